// Fuzzes GetPrinters from the request's parameters to the JSON answer, over a
// fake spooler built from the input. Checks that the answer is the envelope
// with exactly the accepted names, in spooler order, whatever the options.
//
// Input: a query string, a NUL, then printer records "flags byte, name" each
// ended by a NUL (flags bit 0 network, bit 1 offline, bit 2 has server name).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <cjson/cJSON.h>
#include <httplib.h>

#include "common/diag.h"
#include "server/printer_list.h"
#include "tests/fakes/server/spooler_list_fake.h"

namespace {
void Discard(const std::string&) {}

void Check(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetDiagSink(Discard);
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t end = input.find('\0');
  std::string query = input.substr(0, end);
  std::vector<SpoolerPrinter> printers;
  for (size_t at = end == std::string::npos ? input.size() : end + 1; at < input.size();) {
    unsigned flags = static_cast<unsigned char>(input[at++]);
    size_t stop = input.find('\0', at);
    if (stop == std::string::npos) stop = input.size();
    SpoolerPrinter printer;
    printer.name = input.substr(at, stop - at);
    printer.hasServerName = (flags & 4) != 0;
    printer.serverName = printer.hasServerName ? "\\\\host" : "";
    printer.attributes = ((flags & 1) ? kPrinterAttributeNetwork : 0) |
                         ((flags & 2) ? kPrinterAttributeWorkOffline : 0);
    printers.push_back(printer);
    at = stop + 1;
  }
  FakeSpoolerReset();
  FakeSpoolerSetPrinters(printers);

  httplib::Request req;
  httplib::detail::parse_query_text(query, req.params);
  httplib::Response res;
  HandleGetPrinters(req, res);

  Check(res.status == -1);  // left to the library: 200
  Check(res.get_header_value("Access-Control-Allow-Origin") == "*");
  int mode = FilterMode(req.has_param("onlyLocal"), req.has_param("onlyOnline"),
                        req.has_param("onlySupported"));
  std::vector<std::string> expected;
  for (const SpoolerPrinter& printer : printers) {
    if (PrinterAccepted(mode, printer.name, printer.attributes)) expected.push_back(printer.name);
  }

  cJSON* root = cJSON_Parse(res.body.c_str());
  Check(root != nullptr);
  Check(cJSON_GetArraySize(root) == 2);
  cJSON* status = cJSON_GetObjectItemCaseSensitive(root, "statusCode");
  Check(cJSON_IsString(status) && std::string(status->valuestring) == "10001");
  cJSON* list = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(root, "resultInfo"), "printers");
  Check(cJSON_IsArray(list));
  Check(cJSON_GetArraySize(list) == static_cast<int>(expected.size()));
  int index = 0;
  for (cJSON* item = list->child; item != nullptr; item = item->next, ++index) {
    cJSON* name = cJSON_GetObjectItemCaseSensitive(item, "name");
    Check(cJSON_IsString(name));
    Check(std::string(name->valuestring) == expected[index]);
  }
  cJSON_Delete(root);
  return 0;
}
