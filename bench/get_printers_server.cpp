// Benchmark server for GetPrinters over a fake spooler of three queues, in
// two modes: "api" runs printgate's real server (its settings, routes,
// handler, cJSON, diagnostics); "defaults" registers the same routes on a
// plain cpp-httplib server left at the library's run-time settings (no
// TCP_NODELAY, its own growing pool, five seconds of keep-alive), the
// "before" the real server is measured against; the intervals, set where
// the library is included, are the same in both.
// Built natively and as a MinGW .exe for Wine. Usage: MODE PORT.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <httplib.h>

#include "api/api_server.h"
#include "common/console.h"
#include "common/diag.h"
#include "tests/fakes/server/spooler_list_fake.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s api|defaults PORT\n", argv[0]);
    return 2;
  }
  int port = std::atoi(argv[2]);
  FakeSpoolerSetPrinters({{false, "", "VELQ", 0}, {false, "", "Office", 0}, {false, "", "Label2", 0}});
  if (std::strcmp(argv[1], "api") == 0) {
    // As printgate starts its server.
    if (!StandardOutputIsTerminal()) DiagWriteInBatches();
    return RunApiServerOn("127.0.0.1", port, nullptr, nullptr);
  }
  if (std::strcmp(argv[1], "defaults") != 0) return 2;
  httplib::Server svr;
  RegisterRoutes(svr);
  return svr.listen("127.0.0.1", port) ? 0 : 1;
}
