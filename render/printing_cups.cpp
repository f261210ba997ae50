// CUPS backend of the printing seam (Linux, macOS). What stands for what:
// - the silent print dialog: the default destination's job options
//   (default_destination_cups.cpp); there is no interactive dialog, so the
//   second form always fails as a Cancel would;
// - the settings record: those options, plus the page fields the job writes;
// - a device context: a queue the scheduler knows (checked at once, so an
//   unknown name fails here as CreateDCW does; the error code is the IPP
//   status, 1030 for "not found"). The queue the scheduler has just named
//   its default for the job's dialog needs no second check;
// - StartDoc: Create-Job titled with the document name (scheduler_job_cups.cpp);
//   the job id it returns is the scheduler's;
// - the page: a one-page PDF of exactly the page size (cairo), in device
//   units of 1/8 mm, sent with EndDoc. The job asks for media of that same
//   size and for no scaling, so no filter has a reason to scale or rotate
//   it; landscape is the page's own shape, not an orientation option, which
//   filters would apply by rotating the page;
// - the label image: an opaque cairo image surface (label_image_posix.cpp);
// - copies: the job's "copies" option, in place of the default's.
// Every request goes over one of printgate's shared connections to the
// scheduler, taken for that request alone.
#include "render/printing.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <cups/cups.h>

#include <cstdio>
#include <string>

#include "base/ipp_cups.h"
#include "common/wide_bytes.h"
#include "render/default_destination_cups.h"
#include "render/scheduler_job_cups.h"

namespace {

// Device units: one label pixel is one eighth of a millimetre.
constexpr double kPointsPerDeviceUnit = 72.0 / 203.2;
constexpr double kPointsPerTenthMm = 72.0 / 254.0;
constexpr unsigned long kDmOrientation = 0x1;
constexpr unsigned long kDmPaperLength = 0x4;
constexpr unsigned long kDmPaperWidth = 0x8;
constexpr short kLandscape = 2;

struct CupsSettings {
  CupsOptionList options;
  std::string namedDefault;  // the queue the scheduler named its default for this dialog
  unsigned long fields = 0;
  short orientation = 1;
  short paperSize = 0;
  short paperLength = 0;
  short paperWidth = 0;
};

struct CupsDc {
  std::string queue;
  CupsSettings settings;
  bool sized = false;  // settings applied: the page has the job's size
  int jobId = 0;       // > 0 while a document is open at the scheduler
  std::string title;
  std::string pdf;
  cairo_surface_t* surface = nullptr;
  cairo_t* cr = nullptr;
};

std::string Utf8(const std::wstring& wide) {
  std::string bytes;
  for (wchar_t w : wide) {
    unsigned long c = static_cast<unsigned long>(w);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = '?';
    if (c < 0x80) {
      bytes += static_cast<char>(c);
    } else if (c < 0x800) {
      bytes += static_cast<char>(0xC0 | (c >> 6));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      bytes += static_cast<char>(0xE0 | (c >> 12));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      bytes += static_cast<char>(0xF0 | (c >> 18));
      bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return bytes;
}

// The page's width and height in tenths of a millimetre: landscape turns
// the paper's length into the page's width.
void PageTenths(const CupsSettings& s, int* across, int* down) {
  bool landscape = (s.fields & kDmOrientation) && s.orientation == kLandscape;
  *across = landscape ? s.paperLength : s.paperWidth;
  *down = landscape ? s.paperWidth : s.paperLength;
}

// The page in points; zero when the settings were never applied.
void PageSizePoints(const CupsDc& dc, double* width, double* height) {
  *width = 0;
  *height = 0;
  const CupsSettings& s = dc.settings;
  if (!dc.sized || !(s.fields & kDmPaperLength) || !(s.fields & kDmPaperWidth)) return;
  int across = 0;
  int down = 0;
  PageTenths(s, &across, &down);
  if (across <= 0 || down <= 0) return;
  *width = across * kPointsPerTenthMm;
  *height = down * kPointsPerTenthMm;
}

// "Custom.50.2x30mm": the page's width and height.
std::string CustomMedia(const CupsDc& dc) {
  int across = 0;
  int down = 0;
  PageTenths(dc.settings, &across, &down);
  char media[64];
  snprintf(media, sizeof(media), "Custom.%d.%dx%d.%dmm", across / 10, across % 10, down / 10,
           down % 10);
  return media;
}

cairo_status_t AppendPdf(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

void DropPage(CupsDc* dc) {
  if (dc->cr) cairo_destroy(dc->cr);
  if (dc->surface) cairo_surface_destroy(dc->surface);
  dc->cr = nullptr;
  dc->surface = nullptr;
  dc->pdf.clear();
}

void CancelOpenJob(CupsDc* dc) {
  if (dc->jobId > 0) CancelSchedulerJob(dc->queue, dc->jobId);
  dc->jobId = 0;
  DropPage(dc);
}

// Whether the scheduler knows a queue of that name: 0, or the IPP status
// that says why not.
unsigned long CheckQueue(const std::string& queue) {
  std::string uri = IppPrinterUri(queue);
  if (uri.empty()) return IPP_STATUS_ERROR_NOT_FOUND;
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "printer-name");
  ipp_status_t status = IPP_STATUS_OK;
  ipp_t* response = IppSend(request, "/", nullptr, &status);
  if (response == nullptr) return static_cast<unsigned long>(status);
  ippDelete(response);
  return 0;
}

}  // namespace

bool RunPrintDialog(bool silentDefault, PrintDialogHandles* handles) {
  *handles = PrintDialogHandles{};
  if (!silentDefault) return false;  // nothing to show on these systems
  CupsSettings* settings = new CupsSettings;
  if (!DefaultDestinationOptions(&settings->options, &settings->namedDefault)) {
    delete settings;
    return false;
  }
  handles->devMode = settings;
  return true;
}

void FreePrintDialog(const PrintDialogHandles& handles) {
  delete static_cast<CupsSettings*>(handles.devMode);
}

PrintHandle CreatePrinterDc(const std::wstring& device, const PrintDialogHandles& dialog,
                            unsigned long* lastError) {
  std::string queue;
  if (!NarrowBytes(device, &queue) || queue.empty()) {
    *lastError = IPP_STATUS_ERROR_NOT_FOUND;
    return nullptr;
  }
  const CupsSettings* settings = static_cast<const CupsSettings*>(dialog.devMode);
  bool justNamed = settings != nullptr && settings->namedDefault == queue;
  unsigned long failure = justNamed ? 0 : CheckQueue(queue);
  if (failure != 0) {
    *lastError = failure;
    return nullptr;
  }
  CupsDc* dc = new CupsDc;
  dc->queue = queue;
  return dc;
}

bool IsUnknownPrinterError(unsigned long lastError) {
  return lastError == IPP_STATUS_ERROR_NOT_FOUND;
}

// The scheduler's queue names are UTF-8 bytes, which a device name carries
// one byte to a character.
std::wstring PrinterDeviceFromUtf8(const std::string& utf8Name) { return WidenBytes(utf8Name); }

void DeletePrinterDc(PrintHandle dc) {
  CupsDc* printer = static_cast<CupsDc*>(dc);
  if (printer == nullptr) return;
  CancelOpenJob(printer);  // a document left open is not printed
  delete printer;
}

PrintHandle LockPrintSettings(PrintHandle devMode) { return devMode; }

void UnlockPrintSettings(PrintHandle) {}

void StorePageSettings(PrintHandle lockedSettings, const PageSettings& page) {
  CupsSettings* settings = static_cast<CupsSettings*>(lockedSettings);
  settings->fields |= page.addFields;
  settings->orientation = page.orientation;
  settings->paperSize = page.paperSize;
  settings->paperLength = page.paperLength;
  settings->paperWidth = page.paperWidth;
}

void StorePrintCopies(PrintHandle lockedSettings, short copies) {
  CupsSettings* settings = static_cast<CupsSettings*>(lockedSettings);
  auto& options = settings->options;
  for (auto it = options.begin(); it != options.end();) {
    it = it->first == "copies" ? options.erase(it) : it + 1;
  }
  options.emplace_back("copies", std::to_string(copies));
}

void ApplyPrintSettings(PrintHandle dc, PrintHandle lockedSettings) {
  CupsDc* printer = static_cast<CupsDc*>(dc);
  if (printer == nullptr || lockedSettings == nullptr) return;
  printer->settings = *static_cast<CupsSettings*>(lockedSettings);
  printer->sized = true;
}

int StartPrintDocument(PrintHandle dc, const std::wstring& documentName,
                       unsigned long* lastError) {
  CupsDc* printer = static_cast<CupsDc*>(dc);
  CancelOpenJob(printer);
  printer->title = Utf8(documentName);
  CupsOptionList options = printer->settings.options;
  double width = 0;
  double height = 0;
  PageSizePoints(*printer, &width, &height);
  if (width > 0) {
    options.emplace_back("media", CustomMedia(*printer));
    options.emplace_back("print-scaling", "none");
  }
  ipp_status_t status = IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
  int jobId = CreateSchedulerJob(printer->queue, printer->title, options, &status);
  if (jobId <= 0) {
    *lastError = static_cast<unsigned long>(status);
    return -1;  // SP_ERROR, as StartDocW reports it
  }
  printer->jobId = jobId;
  return jobId;
}

int StartPrintPage(PrintHandle dc) {
  CupsDc* printer = static_cast<CupsDc*>(dc);
  if (printer->jobId <= 0 || printer->surface != nullptr) return -1;
  double width = 0;
  double height = 0;
  PageSizePoints(*printer, &width, &height);
  if (width <= 0) {
    // Not sized by the job: the queue's own default paper, Letter here.
    width = 612;
    height = 792;
  }
  printer->pdf.clear();
  printer->surface = cairo_pdf_surface_create_for_stream(AppendPdf, &printer->pdf, width, height);
  printer->cr = cairo_create(printer->surface);
  if (cairo_status(printer->cr) != CAIRO_STATUS_SUCCESS) {
    DropPage(printer);
    return -1;
  }
  return 1;
}

bool DrawLabelImage(PrintHandle dc, PrintHandle image, int left, int top, int right,
                    int bottom) {
  CupsDc* printer = static_cast<CupsDc*>(dc);
  cairo_surface_t* picture = static_cast<cairo_surface_t*>(image);
  if (printer->cr == nullptr || picture == nullptr || right <= left || bottom <= top) return false;
  int width = cairo_image_surface_get_width(picture);
  int height = cairo_image_surface_get_height(picture);
  cairo_t* cr = printer->cr;
  cairo_save(cr);
  cairo_scale(cr, kPointsPerDeviceUnit, kPointsPerDeviceUnit);
  cairo_rectangle(cr, left, top, right - left, bottom - top);
  cairo_clip(cr);
  cairo_translate(cr, left, top);
  cairo_scale(cr, static_cast<double>(right - left) / width,
              static_cast<double>(bottom - top) / height);
  cairo_set_source_surface(cr, picture, 0, 0);
  // Pixels stay pixels: a label's bars and text must not be smoothed.
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
  cairo_paint(cr);
  cairo_restore(cr);
  return cairo_status(cr) == CAIRO_STATUS_SUCCESS;
}

int EndPrintPage(PrintHandle dc) {
  CupsDc* printer = static_cast<CupsDc*>(dc);
  if (printer->surface == nullptr) return -1;
  cairo_destroy(printer->cr);
  printer->cr = nullptr;
  cairo_surface_finish(printer->surface);
  bool good = cairo_surface_status(printer->surface) == CAIRO_STATUS_SUCCESS;
  cairo_surface_destroy(printer->surface);
  printer->surface = nullptr;
  if (!good) printer->pdf.clear();
  return good ? 1 : -1;
}

int EndPrintDocument(PrintHandle dc) {
  CupsDc* printer = static_cast<CupsDc*>(dc);
  if (printer->jobId <= 0) return -1;
  if (printer->surface != nullptr) EndPrintPage(dc);
  // No page finished: nothing to print, and no empty job left behind. A job
  // without its document would wait forever.
  if (printer->pdf.empty() ||
      !SendJobDocument(printer->queue, printer->jobId, printer->title, printer->pdf)) {
    CancelOpenJob(printer);
    return -1;
  }
  printer->jobId = 0;
  DropPage(printer);
  return 1;
}

void AbortPrintDocument(PrintHandle dc) { CancelOpenJob(static_cast<CupsDc*>(dc)); }
