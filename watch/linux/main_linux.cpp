// printerwatch's process entry on Linux, run by systemd (Type=notify): reads
// its options, makes sure the CUPS scheduler answers, then hands over to the
// same service host the Windows build runs.
#include <cups/cups.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/locale_text.h"
#include "pg_version.h"
#include "watch/service.h"
#include "watch/linux/store_posix.h"
#include "watch/trace.h"

static const char kUsage[] = "usage: printerwatch [--config FILE] [--trace] [--help] [--version]\n";

// The traces are GBK text ended by "\r\n"; a terminal or the journal gets
// them in the locale's encoding, one line each.
// The dispatcher and the pass trace from two threads: one write per text
// keeps each whole.
static void TraceToStderr(const char* text) {
  std::string line;
  for (char c : GbkToLocale(text)) {
    if (c != '\r') line += c;
  }
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// One request the scheduler must answer; any answer counts, even "no
// default printer".
static bool SchedulerAnswers() {
  http_t* connection = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 5000, nullptr);
  if (connection == nullptr) return false;
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_DEFAULT);
  ipp_t* response = cupsDoRequest(connection, request, "/");
  ipp_status_t status = cupsLastError();
  if (response != nullptr) ippDelete(response);
  httpClose(connection);
  return response != nullptr || status == IPP_STATUS_ERROR_NOT_FOUND;
}

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  bool trace = false;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs("Keeps one CUPS queue per attached label printer of the family.\n"
                 "  --config FILE  the settings file (default /etc/printerwatch.conf)\n"
                 "  --trace        write the service's traces to standard error\n",
                 stdout);
      return 0;
    }
    if (option == "--version") {
      std::printf("printerwatch %s\n", PG_VERSION);
      return 0;
    }
    if (option == "--trace") {
      trace = true;
    } else if (option == "--config" && i + 1 < argc) {
      SetSettingsFile(argv[++i]);
    } else if (option.compare(0, 9, "--config=") == 0) {
      SetSettingsFile(option.c_str() + 9);
    } else {
      std::fprintf(stderr, "printerwatch: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    }
  }
  if (trace) SetTraceSink(TraceToStderr);
  if (!SchedulerAnswers()) {
    // A domain socket's path, or a host and the port beside it.
    std::string where = cupsServer();
    if (where.empty() || where[0] != '/') where += ":" + std::to_string(ippPort());
    std::fprintf(stderr, "printerwatch: the CUPS scheduler at %s does not answer: %s\n", where.c_str(),
                 cupsLastErrorString());
    return 1;
  }
  MyMain();
  return 0;
}
