// CUPS backend of the printing seam (Linux, macOS). What stands for what:
// - the silent print dialog: the default destination (lpoptions, LPDEST,
//   PRINTER, then the scheduler's default); there is no interactive dialog,
//   so the second form always fails as a Cancel would;
// - the settings record: the default destination's job options that a
//   Windows DEVMODE also carries (copies, quality, colour, sides, source,
//   resolution, collation), plus the page fields the job writes;
// - a device context: a queue the scheduler knows (checked at once, so an
//   unknown name fails here as CreateDCW does; the error code is the IPP
//   status, 1030 for "not found");
// - StartDoc: Create-Job titled with the document name; the job id it
//   returns is the scheduler's;
// - the page: a one-page PDF of exactly the page size (cairo), in device
//   units of 1/8 mm, sent with EndDoc. The job asks for media of that same
//   size and for no scaling, so no filter has a reason to scale or rotate
//   it; landscape is the page's own shape, not an orientation option, which
//   filters would apply by rotating the page;
// - the label image: decoded with gdk-pixbuf from its content (the formats
//   GDI+ reads too), from a file or from memory, and flattened onto white;
// - copies: the job's "copies" option, in place of the default's.
// Every request goes over one of printgate's shared connections to the
// scheduler, taken for that request alone.
//
// Round trips of one label: the default destination's options are kept
// from one label to the next while the scheduler's CUPS-Get-Default says
// the same queue with the same settings' change time (one small request in
// place of libcups' look-up); when the label's queue is that default, the
// same answer stands for the device context's queue check; Create-Job is
// sent as it is, without the two look-ups of the queue cupsCreateJob makes
// first. Every other failure is met where it always was.
#include "render/printing.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <cups/cups.h>
#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/scheduler_connection.h"

namespace {

// Device units: one label pixel is one eighth of a millimetre.
constexpr double kPointsPerDeviceUnit = 72.0 / 203.2;
constexpr double kPointsPerTenthMm = 72.0 / 254.0;
constexpr unsigned long kDmOrientation = 0x1;
constexpr unsigned long kDmPaperLength = 0x4;
constexpr unsigned long kDmPaperWidth = 0x8;
constexpr short kLandscape = 2;
// Larger images would need gigabytes to decode; the page fields stop at
// 32767 tenths of a millimetre anyway.
constexpr int kLargestSide = 32767;
constexpr long long kLargestPixelCount = 64ll << 20;
constexpr off_t kLargestImageFile = 256 << 20;

// Job options of the default destination that a DEVMODE holds too. Paper,
// orientation and scaling are the job's own and are never carried over.
const char* const kCarriedOptions[] = {
    "copies",          "print-quality", "print-color-mode", "sides",  "media-source",
    "printer-resolution", "multiple-document-handling", "Collate", "ColorModel", "Duplex",
    "InputSlot",       "Resolution"};

typedef std::vector<std::pair<std::string, std::string>> OptionList;

struct CupsSettings {
  OptionList options;
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

std::string NarrowBytes(const std::wstring& wide, bool* ok) {
  std::string bytes;
  *ok = true;
  for (wchar_t c : wide) {
    if (c <= 0 || c > 0xFF) *ok = false;
    bytes += static_cast<char>(c);
  }
  return bytes;
}

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

// The page in points: landscape turns the paper's length into the page's
// width. Zero when the settings were never applied.
void PageSizePoints(const CupsDc& dc, double* width, double* height) {
  *width = 0;
  *height = 0;
  const CupsSettings& s = dc.settings;
  if (!dc.sized || !(s.fields & kDmPaperLength) || !(s.fields & kDmPaperWidth)) return;
  bool landscape = (s.fields & kDmOrientation) && s.orientation == kLandscape;
  int across = landscape ? s.paperLength : s.paperWidth;
  int down = landscape ? s.paperWidth : s.paperLength;
  if (across <= 0 || down <= 0) return;
  *width = across * kPointsPerTenthMm;
  *height = down * kPointsPerTenthMm;
}

// "Custom.50.2x30mm": the page's width and height in tenths of a millimetre.
std::string CustomMedia(const CupsDc& dc) {
  const CupsSettings& s = dc.settings;
  bool landscape = (s.fields & kDmOrientation) && s.orientation == kLandscape;
  int across = landscape ? s.paperLength : s.paperWidth;
  int down = landscape ? s.paperWidth : s.paperLength;
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
  if (dc->jobId > 0) {
    http_t* http = TakeSchedulerConnection();
    if (http != nullptr) {
      cupsCancelJob2(http, dc->queue.c_str(), dc->jobId, 0);
      GiveBackSchedulerConnection(http);
    }
  }
  dc->jobId = 0;
  DropPage(dc);
}

// GDI+ reads BMP, GIF, JPEG, PNG and TIFF; no other loader of gdk-pixbuf is
// offered bytes from a web page.
const char* ImageType(const std::string& bytes) {
  auto starts = [&](const char* magic, size_t n) {
    return bytes.size() >= n && memcmp(bytes.data(), magic, n) == 0;
  };
  if (starts("\x89PNG\r\n\x1a\n", 8)) return "png";
  if (starts("\xff\xd8\xff", 3)) return "jpeg";
  if (starts("GIF87a", 6) || starts("GIF89a", 6)) return "gif";
  if (starts("BM", 2)) return "bmp";
  if (starts("II*\0", 4) || starts("MM\0*", 4)) return "tiff";
  return nullptr;
}

bool ReadImageFile(const std::wstring& path, std::string* bytes) {
  bool ok = false;
  std::string name = NarrowBytes(path, &ok);
  if (!ok) return false;
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  int file = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (file < 0) return false;
  struct stat info;
  if (fstat(file, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kLargestImageFile) {
    close(file);
    return false;
  }
  bytes->resize(static_cast<size_t>(info.st_size));
  size_t got = 0;
  while (got < bytes->size()) {
    ssize_t n = read(file, &(*bytes)[got], bytes->size() - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(file);
  bytes->resize(got);
  return true;
}

// The size an image announced, and whether it was refused for it.
struct AnnouncedSize {
  bool tooLarge = false;
  int width = 0;
  int height = 0;
};

// Refuses, before any pixel memory is taken, an image too large to hold.
void CheckDecodedSize(GdkPixbufLoader* loader, int width, int height, gpointer announced) {
  AnnouncedSize* size = static_cast<AnnouncedSize*>(announced);
  size->width = width;
  size->height = height;
  if (width <= 0 || height <= 0 || width > kLargestSide || height > kLargestSide ||
      static_cast<long long>(width) * height > kLargestPixelCount) {
    size->tooLarge = true;
    gdk_pixbuf_loader_set_size(loader, 1, 1);
  }
}

GdkPixbuf* DecodeImage(const std::string& bytes, AnnouncedSize* announced = nullptr) {
  const char* type = ImageType(bytes);
  if (type == nullptr) return nullptr;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(type, nullptr);
  if (loader == nullptr) return nullptr;
  AnnouncedSize size;
  g_signal_connect(loader, "size-prepared", G_CALLBACK(CheckDecodedSize), &size);
  gboolean wrote = gdk_pixbuf_loader_write(
      loader, reinterpret_cast<const guchar*>(bytes.data()), bytes.size(), nullptr);
  gboolean closed = gdk_pixbuf_loader_close(loader, nullptr);
  if (announced) *announced = size;
  bool tooLarge = size.tooLarge;
  GdkPixbuf* pixbuf = nullptr;
  if (wrote && closed && !tooLarge) {
    pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
    if (pixbuf) g_object_ref(pixbuf);
  }
  g_object_unref(loader);
  return pixbuf;
}

// The pixels as an opaque cairo image: transparent parts over white, the
// rest as decoded.
cairo_surface_t* FlattenOntoWhite(GdkPixbuf* pixbuf) {
  int width = gdk_pixbuf_get_width(pixbuf);
  int height = gdk_pixbuf_get_height(pixbuf);
  int channels = gdk_pixbuf_get_n_channels(pixbuf);
  bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
  int sourceStride = gdk_pixbuf_get_rowstride(pixbuf);
  const guchar* source = gdk_pixbuf_read_pixels(pixbuf);
  if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || channels < 3) return nullptr;
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  if (cairo_surface_status(image) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(image);
    return nullptr;
  }
  cairo_surface_flush(image);
  unsigned char* target = cairo_image_surface_get_data(image);
  int targetStride = cairo_image_surface_get_stride(image);
  for (int y = 0; y < height; ++y) {
    const guchar* in = source + static_cast<size_t>(y) * sourceStride;
    uint32_t* out = reinterpret_cast<uint32_t*>(target + static_cast<size_t>(y) * targetStride);
    for (int x = 0; x < width; ++x, in += channels) {
      unsigned a = alpha ? in[3] : 255;
      // Opaque and clear pixels, most of a label, need no arithmetic (the
      // sums below give the same bytes).
      if (a == 255) {
        out[x] = (static_cast<uint32_t>(in[0]) << 16) | (in[1] << 8) | in[2];
        continue;
      }
      if (a == 0) {
        out[x] = 0xFFFFFF;
        continue;
      }
      unsigned rgb[3];
      for (int c = 0; c < 3; ++c) rgb[c] = (in[c] * a + 255 * (255 - a) + 127) / 255;
      out[x] = (rgb[0] << 16) | (rgb[1] << 8) | rgb[2];
    }
  }
  cairo_surface_mark_dirty(image);
  return image;
}

// The scheduler's default destination as last looked up, with the change
// time of its settings then; kept while the scheduler names the same queue
// with the same time.
struct KnownDefault {
  std::string server;  // the scheduler it came from
  std::string name;
  int configTime = 0;  // printer-config-change-time
  OptionList options;
};
std::mutex gKnownDefaultLock;
KnownDefault gKnownDefault;
bool gHaveKnownDefault = false;

// The queue the scheduler has just named as its default for the job this
// thread runs: the next device context on the thread needs no other proof
// that a queue of that name exists.
thread_local std::string tDefaultJustNamed;

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// Whether anything but the scheduler may choose the default destination or
// add options to it (LPDEST, PRINTER, the machine's or the user's lpoptions
// file): libcups then reads those on every look-up, and nothing is kept.
bool DefaultSetOutsideScheduler() {
  if (getenv("LPDEST") != nullptr || getenv("PRINTER") != nullptr) return true;
  const char* root = getenv("CUPS_SERVERROOT");
  if (FileExists(std::string(root != nullptr ? root : "/etc/cups") + "/lpoptions")) return true;
  std::string home;
  if (const char* variable = getenv("HOME")) home = variable;
  if (home.empty()) {
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
      home = found->pw_dir;
    }
  }
  return home.empty() || FileExists(home + "/.cups/lpoptions");
}

std::string SchedulerName() { return std::string(cupsServer()) + ":" + std::to_string(ippPort()); }

// libcups' own look-up of the default destination: its carried options and
// its name.
bool LookUpDefault(http_t* http, OptionList* options, std::string* name) {
  cups_dest_t* dest = cupsGetNamedDest(http, nullptr, nullptr);
  if (dest == nullptr) return false;
  for (const char* option : kCarriedOptions) {
    const char* value = cupsGetOption(option, dest->num_options, dest->options);
    if (value != nullptr) options->emplace_back(option, value);
  }
  *name = dest->name;
  cupsFreeDests(1, dest);
  return true;
}

// CUPS-Get-Default for the queue's name and its settings' change time
// alone. False when the scheduler named none or did not answer.
bool AskDefault(http_t* http, std::string* name, int* configTime) {
  static const char* const kWanted[] = {"printer-name", "printer-config-change-time"};
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_DEFAULT);
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                kWanted);
  ipp_t* response = cupsDoRequest(http, request, "/");
  if (response == nullptr) return false;
  ipp_attribute_t* named = ippFindAttribute(response, "printer-name", IPP_TAG_NAME);
  ipp_attribute_t* changed =
      ippFindAttribute(response, "printer-config-change-time", IPP_TAG_INTEGER);
  bool answered = cupsLastError() <= IPP_STATUS_OK_CONFLICTING && named != nullptr &&
                  changed != nullptr && ippGetString(named, 0, nullptr) != nullptr;
  if (answered) {
    *name = ippGetString(named, 0, nullptr);
    *configTime = ippGetInteger(changed, 0);
  }
  ippDelete(response);
  return answered;
}

// The default destination's carried options: the kept ones while the
// scheduler's answer shows nothing changed, else libcups' look-up. False
// when there is no default destination, as libcups' look-up finds.
bool DefaultOptions(http_t* http, OptionList* options) {
  std::string looked;
  if (DefaultSetOutsideScheduler()) return LookUpDefault(http, options, &looked);
  std::string name;
  int configTime = 0;
  if (!AskDefault(http, &name, &configTime)) {
    // No default named, or no answer: libcups' look-up decides, as always.
    return LookUpDefault(http, options, &looked);
  }
  std::string server = SchedulerName();
  {
    std::lock_guard<std::mutex> lock(gKnownDefaultLock);
    if (gHaveKnownDefault && gKnownDefault.server == server && gKnownDefault.name == name &&
        gKnownDefault.configTime == configTime) {
      *options = gKnownDefault.options;
      tDefaultJustNamed = name;
      return true;
    }
  }
  if (!LookUpDefault(http, options, &looked)) return false;
  if (looked != name) return true;  // changed in between: keep nothing
  tDefaultJustNamed = name;
  // The change time counts whole seconds: settings changed within the
  // second of this look-up would show the same time, so such an answer is
  // not kept.
  if (configTime < time(nullptr) - 1) {
    std::lock_guard<std::mutex> lock(gKnownDefaultLock);
    gKnownDefault = KnownDefault{server, name, configTime, *options};
    gHaveKnownDefault = true;
  }
  return true;
}

// Create-Job as cupsCreateJob sends it (the queue's URI, the user, the
// title, the options), without the two look-ups of the queue it makes
// first: the device context has checked the queue. The job id, or 0 with
// the reason in *status: a queue gone since is reported as cupsCreateJob
// reports a look-up that found none, IPP_STATUS_ERROR_INTERNAL.
int CreateJob(http_t* http, const std::string& queue, const std::string& title, int count,
              cups_option_t* options, ipp_status_t* status) {
  *status = IPP_STATUS_ERROR_INTERNAL;
  char uri[1024];
  char resource[1024];
  if (httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof(uri), "ipp", nullptr, "localhost",
                       ippPort(), "/printers/%s", queue.c_str()) < HTTP_URI_STATUS_OK) {
    return 0;
  }
  char scheme[32];
  char userpass[256];
  char host[256];
  int port = 0;
  httpSeparateURI(HTTP_URI_CODING_NONE, uri, scheme, sizeof(scheme), userpass, sizeof(userpass),
                  host, sizeof(host), &port, resource, sizeof(resource));
  ipp_t* request = ippNewRequest(IPP_OP_CREATE_JOB);
  ippSetVersion(request, 2, 0);  // as libcups asks a CUPS queue
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, title.c_str());
  cupsEncodeOptions2(request, count, options, IPP_TAG_OPERATION);
  cupsEncodeOptions2(request, count, options, IPP_TAG_JOB);
  cupsEncodeOptions2(request, count, options, IPP_TAG_SUBSCRIPTION);
  ipp_t* response = cupsDoRequest(http, request, resource);
  *status = cupsLastError();
  if (*status == IPP_STATUS_ERROR_NOT_FOUND) *status = IPP_STATUS_ERROR_INTERNAL;
  int jobId = 0;
  if (response != nullptr) {
    ipp_attribute_t* id = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER);
    if (id != nullptr) jobId = ippGetInteger(id, 0);
    ippDelete(response);
  }
  return jobId;
}

}  // namespace

bool RunPrintDialog(bool silentDefault, PrintDialogHandles* handles) {
  *handles = PrintDialogHandles{};
  tDefaultJustNamed.clear();
  if (!silentDefault) return false;  // nothing to show on these systems
  http_t* http = TakeSchedulerConnection();
  if (http == nullptr) return false;
  OptionList options;
  bool found = DefaultOptions(http, &options);
  GiveBackSchedulerConnection(http);
  if (!found) return false;
  CupsSettings* settings = new CupsSettings;
  settings->options = options;
  handles->devMode = settings;
  return true;
}

void FreePrintDialog(const PrintDialogHandles& handles) {
  delete static_cast<CupsSettings*>(handles.devMode);
}

PrintHandle CreatePrinterDc(const std::wstring& device, unsigned long* lastError) {
  bool ok = false;
  std::string queue = NarrowBytes(device, &ok);
  if (!ok || queue.empty()) {
    *lastError = IPP_STATUS_ERROR_NOT_FOUND;
    return nullptr;
  }
  bool justNamed = queue == tDefaultJustNamed;
  tDefaultJustNamed.clear();
  if (justNamed) {
    // The scheduler named this queue its default for this very job.
    CupsDc* dc = new CupsDc;
    dc->queue = queue;
    return dc;
  }
  char uri[1024];
  if (httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof(uri), "ipp", nullptr, "localhost", 0,
                       "/printers/%s", queue.c_str()) < HTTP_URI_STATUS_OK) {
    *lastError = IPP_STATUS_ERROR_NOT_FOUND;
    return nullptr;
  }
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "printer-name");
  http_t* http = TakeSchedulerConnection();
  if (http == nullptr) {
    ippDelete(request);
    *lastError = IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
    return nullptr;
  }
  ipp_t* response = cupsDoRequest(http, request, "/");
  ipp_status_t status = cupsLastError();
  GiveBackSchedulerConnection(http);
  if (response) ippDelete(response);
  if (response == nullptr || status > IPP_STATUS_OK_CONFLICTING) {
    *lastError = static_cast<unsigned long>(status);
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
std::wstring PrinterDeviceFromUtf8(const std::string& utf8Name) {
  std::wstring device;
  for (unsigned char byte : utf8Name) device += static_cast<wchar_t>(byte);
  return device;
}

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

PrintHandle LoadLabelImage(const std::wstring& path, int* width, int* height) {
  std::string bytes;
  if (!ReadImageFile(path, &bytes)) return nullptr;
  GdkPixbuf* pixbuf = DecodeImage(bytes);
  if (pixbuf == nullptr) return nullptr;
  cairo_surface_t* image = FlattenOntoWhite(pixbuf);
  g_object_unref(pixbuf);
  if (image == nullptr) return nullptr;
  *width = cairo_image_surface_get_width(image);
  *height = cairo_image_surface_get_height(image);
  return image;
}

PrintHandle LoadLabelImageFromMemory(const std::string& bytes, int* width, int* height) {
  AnnouncedSize announced;
  GdkPixbuf* pixbuf = DecodeImage(bytes, &announced);
  if (pixbuf == nullptr) {
    if (announced.tooLarge && announced.width > 0 && announced.height > 0) {
      *width = announced.width;
      *height = announced.height;
    }
    return nullptr;
  }
  cairo_surface_t* image = FlattenOntoWhite(pixbuf);
  g_object_unref(pixbuf);
  if (image == nullptr) return nullptr;
  *width = cairo_image_surface_get_width(image);
  *height = cairo_image_surface_get_height(image);
  return image;
}

void ReleaseLabelImage(PrintHandle image) {
  if (image) cairo_surface_destroy(static_cast<cairo_surface_t*>(image));
}

int StartPrintDocument(PrintHandle dc, const std::wstring& documentName,
                       unsigned long* lastError) {
  CupsDc* printer = static_cast<CupsDc*>(dc);
  CancelOpenJob(printer);
  printer->title = Utf8(documentName);
  cups_option_t* options = nullptr;
  int count = 0;
  for (const auto& option : printer->settings.options) {
    count = cupsAddOption(option.first.c_str(), option.second.c_str(), count, &options);
  }
  double width = 0;
  double height = 0;
  PageSizePoints(*printer, &width, &height);
  if (width > 0) {
    count = cupsAddOption("media", CustomMedia(*printer).c_str(), count, &options);
    count = cupsAddOption("print-scaling", "none", count, &options);
  }
  http_t* http = TakeSchedulerConnection();
  int jobId = 0;
  ipp_status_t status = IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
  if (http != nullptr) {
    jobId = CreateJob(http, printer->queue, printer->title, count, options, &status);
    GiveBackSchedulerConnection(http);
  }
  cupsFreeOptions(count, options);
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
  if (printer->pdf.empty()) {
    // No page was finished: nothing to print, and no empty job left behind.
    CancelOpenJob(printer);
    return -1;
  }
  http_t* http = TakeSchedulerConnection();
  http_status_t status = HTTP_STATUS_ERROR;
  ipp_status_t finished = IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
  if (http != nullptr) {
    status = cupsStartDocument(http, printer->queue.c_str(), printer->jobId,
                               printer->title.c_str(), CUPS_FORMAT_PDF, 1);
    if (status == HTTP_STATUS_CONTINUE) {
      status = cupsWriteRequestData(http, printer->pdf.data(), printer->pdf.size());
    }
    // Finishing also reads the answer, so the connection is ready for the
    // next request whether or not the data went through.
    finished = cupsFinishDocument(http, printer->queue.c_str());
    GiveBackSchedulerConnection(http);
  }
  if (status != HTTP_STATUS_CONTINUE || finished > IPP_STATUS_OK_CONFLICTING) {
    CancelOpenJob(printer);  // a job without its document would wait forever
    return -1;
  }
  printer->jobId = 0;
  DropPage(printer);
  return 1;
}

void AbortPrintDocument(PrintHandle dc) { CancelOpenJob(static_cast<CupsDc*>(dc)); }
