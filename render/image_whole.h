// Whether a label image's bytes hold the whole image its header announces.
// Decoders hand out partly filled images for cut or corrupted files (the
// rows they never got stay grey or black), and a label printed from one
// wastes stock and may scan wrong; this check walks each format's own
// structure, checksums and compressed streams, so both backends refuse the
// same files whatever their decoder lets through.
#pragma once
#include <string>

enum ImageWholeness {
  kImageWhole,     // every byte the image needs is there and checks out
  kImageUnknown,   // not BMP, GIF, JPEG, PNG or TIFF, or a variant none reads
  kImageDamaged,   // cut short, a checksum wrong, a compressed stream broken
  kImageHeaderDamaged,  // the same, but before the image's size and layout
                        // are known: a decoder can't even start on it
};

// Checks bytes; for kImageUnknown and kImageDamaged *what says what is
// wrong in a few words a page can show ("the PNG ends inside its IDAT
// chunk"). Bytes after the format's own end (PNG's IEND, GIF's trailer)
// are ignored, as decoders ignore them. A baseline JPEG counts as whole
// once every block of its scans is there, end marker or not, as viewers
// show it; other JPEGs need their end marker.
ImageWholeness CheckImageWhole(const std::string& bytes, std::string* what);

// Whether CheckImageWhole finds the header damaged (kImageHeaderDamaged),
// told without inflating or decoding a compressed stream: its work grows
// with the bytes, never with the pixels a header announces, so it may run
// before the decoder's memory is claimed.
bool ImageHeaderDamaged(const std::string& bytes);

// What to append to bytes before decoding them: a JPEG that ends without
// its end marker gets one ("\xff\xd9"), anything else nothing (""). A
// decoder left to find the end itself makes up the last blocks of such a
// file (gdk-pixbuf's) or refuses it (Wine's GDI+); given the marker, it
// decodes exactly what the file holds. A cut scan stays cut: the check
// above still refuses it.
const char* ImageEndToAdd(const std::string& bytes);

// The size in pixels an image's header announces, read from the header
// alone (no pixel, no compressed stream), so that a size can be refused
// before any decoder is given the bytes. False when the numbers are not
// there or of no known format; whether the header around them is sound is
// CheckImageWhole's to say (not kImageHeaderDamaged). GIF: its logical
// screen, the size decoders give it.
bool AnnouncedImageSize(const std::string& bytes, long long* width, long long* height);

// Everything a decoder may take at its word before it has seen a pixel: the
// widest and tallest any announced area reaches, and the most pixels a
// decoder holds for it at once. A GIF's frames are composed on a canvas
// reaching its farthest frame (its screen at least), each frame's pixels
// kept beside it; a TIFF's every directory counts, the largest one's
// pixels held. Other formats: their one size.
struct ImageExtent {
  long long width = 0;
  long long height = 0;
  long long pixels = 0;
};
// False, with a zero extent, where AnnouncedImageSize is.
bool AnnouncedImageExtent(const std::string& bytes, ImageExtent* extent);
