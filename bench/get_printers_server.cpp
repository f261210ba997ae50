// Benchmark servers for GetPrinters throughput: "api" runs printgate's real
// server (routes, handler, cJSON, diagnostics) over a fake spooler of three
// queues; "bare" is a plain cpp-httplib route answering the same bytes, the
// anchor the real server is measured against. Usage: MODE PORT.
#include <cstdlib>
#include <cstring>
#include <string>

#include <httplib.h>

#include "api/api_server.h"
#include "server/spooler_list_fake.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  int port = std::atoi(argv[2]);
  FakeSpoolerSetPrinters({{false, "", "VELQ", 0}, {false, "", "Office", 0}, {false, "", "Label2", 0}});
  if (std::strcmp(argv[1], "api") == 0) return RunApiServerOn("127.0.0.1", port, nullptr, nullptr);
  const std::string body =
      "{\n\t\"statusCode\":\t\"10001\",\n\t\"resultInfo\":\t{\n\t\t\"printers\":\t[{\n"
      "\t\t\t\t\"name\":\t\"VELQ\"\n\t\t\t}, {\n\t\t\t\t\"name\":\t\"Office\"\n\t\t\t}, {\n"
      "\t\t\t\t\"name\":\t\"Label2\"\n\t\t\t}]\n\t}\n}";
  httplib::Server svr;
  svr.Post("/vqapi/GetPrinters", [&](const httplib::Request&, httplib::Response& res) {
    res.set_header("Access-Control-Allow-Origin", "*");
    res.set_header("Access-Control-Allow-Methods", "GET, OPTIONS, POST, HEAD");
    res.set_header("Access-Control-Allow-Headers", "Origin, X-Requested-With, Content-Type, Accept");
    res.set_content(body, "application/json");
  });
  svr.listen("127.0.0.1", port);
  return 0;
}
