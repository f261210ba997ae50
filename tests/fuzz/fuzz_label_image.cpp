// The print job's image step as the native printgate runs it (gdk-pixbuf's
// decode, then the job's completeness rule) against any bytes: whatever it
// accepts, every pixel came from the input. Bytes appended after an
// accepted image may be ignored or refused, but never change a pixel; a
// decoder that filled in what it never got would take the appended bytes
// for image data and draw something else. Seeded by scripts/fuzz.sh with
// the damaged-image table of the print suites.
#include <cairo.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/memory_budget.h"
#include "render/print_job.h"
#include "render/printing.h"

namespace {

// The flattened pixels of a loaded label image (the CUPS backend's handle
// is a cairo image surface).
std::string Pixels(PrintHandle image) {
  cairo_surface_t* surface = static_cast<cairo_surface_t*>(image);
  cairo_surface_flush(surface);
  int height = cairo_image_surface_get_height(surface);
  int stride = cairo_image_surface_get_stride(surface);
  return std::string(reinterpret_cast<const char*>(cairo_image_surface_get_data(surface)),
                     static_cast<size_t>(height) * stride);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1 << 20)) return 0;
  // Each input is a request of its own: what it held is given back.
  ReleaseHold();
  std::string bytes(reinterpret_cast<const char*>(data), size);
  int width = 0;
  int height = 0;
  PrintHandle image = DecodeLabelBytes(bytes, &width, &height);
  PrintReport report;
  if (!KeepWholeImage(&image, bytes, &report)) return 0;
  std::string accepted = Pixels(image);
  ReleaseLabelImage(image);

  static const std::string suffixes[] = {std::string(512, '\0'), std::string(512, '\x55'),
                                         std::string(512, '\xff')};
  for (const std::string& suffix : suffixes) {
    int w = 0;
    int h = 0;
    PrintHandle longer = DecodeLabelBytes(bytes + suffix, &w, &h);
    if (longer == nullptr) continue;
    bool same = w == width && h == height && Pixels(longer) == accepted;
    ReleaseLabelImage(longer);
    if (!same) abort();  // a pixel of the accepted image was not in its bytes
  }
  return 0;
}
