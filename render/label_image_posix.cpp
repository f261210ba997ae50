// The label image for the CUPS backend of the printing seam (Linux, macOS):
// decoded with gdk-pixbuf from its content (the formats GDI+ reads too), from
// a file or from memory, and flattened onto white into an opaque cairo image
// surface, which is the image handle printing_cups.cpp draws.
#include "render/printing.h"

#include <cairo.h>
#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/whole_io.h"
#include "common/wide_bytes.h"
#include "render/label_size.h"

namespace {

constexpr off_t kLargestImageFile = 256 << 20;

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
  std::string name;
  if (!NarrowPosixPath(path, &name)) return false;
  int file = open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (file < 0) return false;
  struct stat info;
  if (fstat(file, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kLargestImageFile) {
    close(file);
    return false;
  }
  bytes->resize(static_cast<size_t>(info.st_size));
  ssize_t got = ReadWhole(file, &(*bytes)[0], bytes->size());
  close(file);
  bytes->resize(got > 0 ? static_cast<size_t>(got) : 0);
  return true;
}

// The size an image announced, and whether it was refused for it.
struct AnnouncedSize {
  bool tooLarge = false;
  int width = 0;
  int height = 0;
};

// Refuses, before any pixel memory is taken, an image too large to hold
// (the job refuses it from its header before it comes here; this holds for
// a header the check read otherwise than the decoder). A size of zero stops
// every loader before it allocates; any other size only asks the loader to
// scale, and a loader that cannot (TIFF's) decodes at the size announced
// and then scales that down: a 142-byte TIFF took 1.5 GB and seconds so.
void CheckDecodedSize(GdkPixbufLoader* loader, int width, int height, gpointer announced) {
  AnnouncedSize* size = static_cast<AnnouncedSize*>(announced);
  size->width = width;
  size->height = height;
  if (width <= 0 || height <= 0 || JudgeLabelSize(width, height) == kLabelTooLargeToDecode) {
    size->tooLarge = true;
    gdk_pixbuf_loader_set_size(loader, 0, 0);
  }
}

// The rows the decoder has produced from the data it was given.
void NoteDecodedRows(GdkPixbufLoader*, int, int y, int, int height, gpointer rowsSeen) {
  std::vector<bool>* rows = static_cast<std::vector<bool>*>(rowsSeen);
  for (int row = y < 0 ? 0 : y; row < y + height && row < static_cast<int>(rows->size()); ++row) {
    (*rows)[static_cast<size_t>(row)] = true;
  }
}

void SizeDecodedRows(GdkPixbufLoader* loader, gpointer rowsSeen) {
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  if (pixbuf) static_cast<std::vector<bool>*>(rowsSeen)->assign(gdk_pixbuf_get_height(pixbuf), false);
}

GdkPixbuf* DecodeImage(const std::string& bytes, AnnouncedSize* announced) {
  const char* type = ImageType(bytes);
  if (type == nullptr) return nullptr;
  GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(type, nullptr);
  if (loader == nullptr) return nullptr;
  AnnouncedSize size;
  std::vector<bool> rows;
  g_signal_connect(loader, "size-prepared", G_CALLBACK(CheckDecodedSize), &size);
  g_signal_connect(loader, "area-prepared", G_CALLBACK(SizeDecodedRows), &rows);
  g_signal_connect(loader, "area-updated", G_CALLBACK(NoteDecodedRows), &rows);
  gboolean wrote = gdk_pixbuf_loader_write(
      loader, reinterpret_cast<const guchar*>(bytes.data()), bytes.size(), nullptr);
  gboolean closed = gdk_pixbuf_loader_close(loader, nullptr);
  // gdk-pixbuf's PNG and BMP loaders produce a row only from its data, and
  // close without an error short of the last one: a row never produced is
  // a row never sent. Its JPEG loader makes up the missing rows on close
  // (an end marker of its own, then grey), GIF frames may rightly cover
  // part of the image, and the TIFF loader reports all rows at once: those
  // formats are left to the job's own check.
  bool rowsByData = strcmp(type, "png") == 0 || strcmp(type, "bmp") == 0;
  bool everyRow = !rows.empty();
  for (bool row : rows) everyRow = everyRow && row;
  *announced = size;
  bool tooLarge = size.tooLarge;
  GdkPixbuf* pixbuf = nullptr;
  if (wrote && closed && !tooLarge && (everyRow || !rowsByData)) {
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

}  // namespace

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

bool ReadLabelImageFile(const std::wstring& path, std::string* bytes) {
  if (ReadImageFile(path, bytes)) return true;
  bytes->clear();
  return false;
}

// gdk-pixbuf's pixels (3 or 4 bytes), the flattened cairo copy (4), then
// the PDF page's compressed stream and libjpeg's coefficients for a
// progressive JPEG: a noisy 4000 x 4000 JPEG peaked at 13.8 bytes a pixel.
unsigned DecodedBytesPerPixel() { return 16; }

// gdk-pixbuf's loader reads the caller's bytes as they stand.
unsigned DecoderCopiesOfBytes() { return 0; }

void ReleaseLabelImage(PrintHandle image) {
  if (image) cairo_surface_destroy(static_cast<cairo_surface_t*>(image));
}
