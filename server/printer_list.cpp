// GetPrinters: reads the options, lists and filters the spooler's queues and
// answers with the JSON envelope.
#include "server/printer_list.h"

#include <cjson/cJSON.h>

#include "common/answer.h"
#include "common/diag.h"
#include "server/spooler_list.h"

int FilterMode(bool onlyLocal, bool onlyOnline, bool onlySupported) {
  return (onlySupported ? 1 : 0) + (onlyOnline ? 2 : 0) + (onlyLocal ? 4 : 0);
}

bool IsSupportedPrinterName(const std::string& name) {
  return name == "VELQ" || name == "LX4 Label Printer";
}

bool PrinterAccepted(int mode, const std::string& printName, unsigned attributes) {
  bool supported = IsSupportedPrinterName(printName);
  if ((mode & 1) && !supported) return false;
  if ((mode & 2) && (attributes & kPrinterAttributeWorkOffline)) return false;
  if ((mode & 4) && (attributes & kPrinterAttributeNetwork)) return false;
  return true;
}

std::vector<std::string> ListPrinters(bool onlyLocal, bool onlyOnline, bool onlySupported,
                                      int* printerQty) {
  std::vector<std::string> accepted;
  *printerQty = 0;
  std::vector<SpoolerPrinter> records;
  if (!EnumLocalPrinters(&records)) return accepted;
  int mode = FilterMode(onlyLocal, onlyOnline, onlySupported);
  // The listing's lines leave together in one write: they stay in one
  // piece beside other requests' lines, and a listing costs one system call.
  std::string lines;
  for (const SpoolerPrinter& record : records) {
    const std::string& printName = record.name;
    lines += (record.hasServerName ? record.serverName : std::string()) + "\n";
    // Every accepted queue is returned: a page choosing among many printers
    // must not silently lose the ones past an arbitrary count.
    if (PrinterAccepted(mode, printName, record.attributes)) accepted.push_back(printName);
  }
  *printerQty = static_cast<int>(accepted.size());
  DiagText(lines + "number " + std::to_string(records.size()) + "\n");
  return accepted;
}

void HandleGetPrinters(const httplib::Request& req, httplib::Response& res) {
  SetCrossOriginHeaders(res);
  // Presence alone turns an option on: "false", "0" and "" count as on.
  bool onlyLocal = req.has_param("onlyLocal");
  bool onlyOnline = req.has_param("onlyOnline");
  bool onlySupported = req.has_param("onlySupported");
  DiagLine(std::string(onlyLocal ? "1" : "0") + (onlyOnline ? "1" : "0") +
           (onlySupported ? "1" : "0") + "===");

  int printerQty = 0;
  std::vector<std::string> names = ListPrinters(onlyLocal, onlyOnline, onlySupported, &printerQty);

  cJSON* root = cJSON_CreateObject();
  cJSON* printers = cJSON_CreateArray();
  cJSON_AddStringToObject(root, "statusCode", "10001");
  for (const std::string& name : names) {
    cJSON* printer = cJSON_CreateObject();
    cJSON_AddItemToObject(printer, "name", cJSON_CreateString(name.c_str()));
    cJSON_AddItemToArray(printers, printer);
  }
  cJSON* resultInfo = cJSON_CreateObject();
  cJSON_AddItemToObject(resultInfo, "printers", printers);
  cJSON_AddItemToObject(root, "resultInfo", resultInfo);
  SetJsonBody(res, root);
}
