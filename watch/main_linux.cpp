// printerwatch's process entry on Linux, run by systemd (Type=notify): reads
// its options, makes sure the CUPS scheduler answers, then hands over to the
// same service host the Windows build runs.
#include <cups/cups.h>
#include <iconv.h>
#include <langinfo.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>

#include "pg_version.h"
#include "watch/service.h"
#include "watch/store_posix.h"
#include "watch/trace.h"

static const char kUsage[] = "usage: printerwatch [--config FILE] [--trace] [--help] [--version]\n";

static iconv_t traceConverter = reinterpret_cast<iconv_t>(-1);

// The traces are GBK text ended by "\r\n"; a terminal or the journal gets
// them in the locale's encoding, one line each.
static void TraceToStderr(const char* text) {
  std::string converted;
  if (traceConverter != reinterpret_cast<iconv_t>(-1)) {
    std::string in = text;
    std::string out(in.size() * 4 + 16, '\0');
    char* inPtr = &in[0];
    size_t inLeft = in.size();
    char* outPtr = &out[0];
    size_t outLeft = out.size();
    iconv(traceConverter, nullptr, nullptr, nullptr, nullptr);
    if (iconv(traceConverter, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) {
      converted.assign(out.data(), out.size() - outLeft);
    } else {
      converted = text;
    }
  } else {
    converted = text;
  }
  for (char c : converted) {
    if (c != '\r') std::fputc(c, stderr);
  }
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
  if (trace) {
    traceConverter = iconv_open(nl_langinfo(CODESET), "GBK");
    SetTraceSink(TraceToStderr);
  }
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
