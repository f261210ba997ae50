// The floor under one label over CUPS: libcups Create-Job and Send-Document
// of the label's PDF on one kept connection, in-process, with nothing else
// around them; and each scheduler round trip a PrintImage job may make,
// timed alone. print_latency_cups.py runs it beside printgate and lp.
//
//   bench_print_floor QUEUE LABEL.png serve   one label per line read from
//                                             stdin; writes its milliseconds
//   bench_print_floor QUEUE LABEL.png steps N p50 of each round trip, N times
//
// The PDF is drawn as printgate's CUPS backend draws it: a page of the
// label's paper (10.05/8 mm a pixel across, 10/8 mm down, in tenths of a
// millimetre, landscape), the image one pixel to 1/8 mm from the top left,
// and the job asks for that media and no scaling.
#include <cairo-pdf.h>
#include <cairo.h>
#include <cups/cups.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::string gQueue;
std::string gPdf;
std::string gMedia;

cairo_status_t AppendPdf(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

bool MakePdf(const char* png) {
  cairo_surface_t* image = cairo_image_surface_create_from_png(png);
  if (cairo_surface_status(image) != CAIRO_STATUS_SUCCESS) return false;
  int width = cairo_image_surface_get_width(image);
  int height = cairo_image_surface_get_height(image);
  int across = width * 201 / 160;  // tenths of a millimetre
  int down = height * 10 / 8;
  char media[64];
  snprintf(media, sizeof(media), "Custom.%d.%dx%d.%dmm", across / 10, across % 10, down / 10,
           down % 10);
  gMedia = media;
  cairo_surface_t* page =
      cairo_pdf_surface_create_for_stream(AppendPdf, &gPdf, across * 72.0 / 254, down * 72.0 / 254);
  cairo_t* cr = cairo_create(page);
  cairo_scale(cr, 72.0 / 203.2, 72.0 / 203.2);
  cairo_set_source_surface(cr, image, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_finish(page);
  bool good = cairo_surface_status(page) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(page);
  cairo_surface_destroy(image);
  return good && !gPdf.empty();
}

double Ms(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Create-Job alone (one round trip), or through cupsCreateJob, which looks
// the queue up twice first.
int CreateJob(http_t* http, bool throughLibcups = false) {
  cups_option_t* options = nullptr;
  int count = cupsAddOption("media", gMedia.c_str(), 0, &options);
  count = cupsAddOption("print-scaling", "none", count, &options);
  count = cupsAddOption("copies", "1", count, &options);
  int job = 0;
  if (throughLibcups) {
    job = cupsCreateJob(http, gQueue.c_str(), "velq label", count, options);
  } else {
    char uri[1024];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof(uri), "ipp", nullptr, "localhost", ippPort(),
                     "/printers/%s", gQueue.c_str());
    ipp_t* request = ippNewRequest(IPP_OP_CREATE_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, "velq label");
    cupsEncodeOptions2(request, count, options, IPP_TAG_OPERATION);
    cupsEncodeOptions2(request, count, options, IPP_TAG_JOB);
    ipp_t* response = cupsDoRequest(http, request, ("/printers/" + gQueue).c_str());
    ipp_attribute_t* id = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER);
    if (id != nullptr) job = ippGetInteger(id, 0);
    ippDelete(response);
  }
  cupsFreeOptions(count, options);
  return job;
}

bool SendDocument(http_t* http, int job) {
  http_status_t status =
      cupsStartDocument(http, gQueue.c_str(), job, "velq label", CUPS_FORMAT_PDF, 1);
  if (status == HTTP_STATUS_CONTINUE) status = cupsWriteRequestData(http, gPdf.data(), gPdf.size());
  ipp_status_t finished = cupsFinishDocument(http, gQueue.c_str());
  return status == HTTP_STATUS_CONTINUE && finished <= IPP_STATUS_OK_CONFLICTING;
}

bool OneLabel(http_t* http) {
  int job = CreateJob(http);
  return job > 0 && SendDocument(http, job);
}

// The queue check printgate's device context makes.
bool QueueCheck(http_t* http) {
  char uri[1024];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof(uri), "ipp", nullptr, "localhost", 0,
                   "/printers/%s", gQueue.c_str());
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "printer-name");
  ipp_t* response = cupsDoRequest(http, request, "/");
  bool ok = response != nullptr && cupsLastError() <= IPP_STATUS_OK_CONFLICTING;
  ippDelete(response);
  return ok;
}

// Which queue is the default and when its settings last changed.
bool DefaultCheck(http_t* http) {
  static const char* const kWanted[] = {"printer-name", "printer-config-change-time"};
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_DEFAULT);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                kWanted);
  ipp_t* response = cupsDoRequest(http, request, "/");
  bool ok = response != nullptr && cupsLastError() <= IPP_STATUS_OK_CONFLICTING;
  ippDelete(response);
  return ok;
}

bool DefaultLookup(http_t* http) {
  cups_dest_t* dest = cupsGetNamedDest(http, nullptr, nullptr);
  if (dest == nullptr) return false;
  cupsFreeDests(1, dest);
  return true;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || (strcmp(argv[3], "serve") && (strcmp(argv[3], "steps") || argc < 5))) {
    fprintf(stderr, "usage: %s QUEUE LABEL.png serve | steps N\n", argv[0]);
    return 2;
  }
  gQueue = argv[1];
  if (!MakePdf(argv[2])) {
    fprintf(stderr, "cannot draw %s\n", argv[2]);
    return 1;
  }
  http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                              30000, nullptr);
  if (http == nullptr) {
    fprintf(stderr, "no scheduler\n");
    return 1;
  }
  if (!strcmp(argv[3], "serve")) {
    std::string line;
    while (std::getline(std::cin, line)) {
      auto start = std::chrono::steady_clock::now();
      bool ok = OneLabel(http);
      printf(ok ? "%.3f\n" : "failed %.3f\n", Ms(start));
      fflush(stdout);
    }
  } else {
    int rounds = std::max(1, atoi(argv[4]));
    struct Step {
      const char* name;
      std::function<bool()> run;
    };
    int job = 0;
    const Step steps[] = {
        {"default destination lookup (cupsGetNamedDest)", [&] { return DefaultLookup(http); }},
        {"default check (CUPS-Get-Default, 2 attributes)", [&] { return DefaultCheck(http); }},
        {"queue check (Get-Printer-Attributes)", [&] { return QueueCheck(http); }},
        {"Create-Job", [&] { return (job = CreateJob(http)) > 0; }},
        {"Send-Document", [&] { return SendDocument(http, job); }},
        {"cupsCreateJob (two queue look-ups, Create-Job)",
         [&] { return (job = CreateJob(http, true)) > 0; }},
        {"Send-Document of that job", [&] { return SendDocument(http, job); }},
    };
    std::vector<std::vector<double>> times(sizeof(steps) / sizeof(steps[0]));
    // Create-Job and Send-Document alternate, so each job gets its document.
    for (int round = 0; round < rounds; ++round) {
      for (size_t i = 0; i < times.size(); ++i) {
        auto start = std::chrono::steady_clock::now();
        if (!steps[i].run()) {
          fprintf(stderr, "%s failed: %s\n", steps[i].name, cupsLastErrorString());
          return 1;
        }
        times[i].push_back(Ms(start));
      }
    }
    for (size_t i = 0; i < times.size(); ++i) {
      printf("step %-48s p50 %.3f ms\n", steps[i].name, Median(times[i]));
    }
    printf("PDF %zu bytes, media %s\n", gPdf.size(), gMedia.c_str());
  }
  httpClose(http);
  return 0;
}
