// How large a label may be, in one place: the paper the printer settings
// can hold and the images the decoders are given at all. Judged from the
// size an image's header announces, before any decoder sees its bytes, so
// that a refusal for size never costs the memory it guards against and
// both routes and every backend refuse the same images.
#pragma once
#include <string>

// The settings' paper fields hold tenths of a millimetre in a signed 16-bit
// field.
constexpr long long kLargestPaperTenths = 32767;
// The paper's length follows the image's width at 10.05 / 8 = 201 / 160
// tenths a pixel (0.5 % longer than the image), its width the image's
// height at 10 / 8.
constexpr long long kLengthTenthsNum = 201;
constexpr long long kLengthTenthsDen = 160;
constexpr long long kWidthTenthsNum = 10;
constexpr long long kWidthTenthsDen = 8;
// The widest and tallest images whose whole paper fits those fields: one
// pixel more and the paper would end before the image does.
constexpr long long kLargestPaperPixelsWide = kLargestPaperTenths * kLengthTenthsDen / kLengthTenthsNum;
constexpr long long kLargestPaperPixelsHigh = kLargestPaperTenths * kWidthTenthsDen / kWidthTenthsNum;
static_assert(kLargestPaperPixelsWide == 26083 && kLargestPaperPixelsHigh == 26213,
              "the documented paper edge moved: update docs/api.md");

// The largest image any decoder is given: larger ones would need gigabytes
// of pixels.
constexpr long long kLargestLabelSide = 32767;
constexpr long long kLargestLabelPixels = 64ll << 20;

enum LabelSizeVerdict {
  kLabelSizeFits,          // prints (or has no size yet: 0 x 0 is no image)
  kLabelTooLargeToDecode,  // a side or the pixel count past what is decoded
  kLabelPaperTooLarge,     // decodable, but past the paper's edge
  // Against the memory budget, judged when a decoder is about to be given it:
  kLabelOverMemoryBudget,  // decoding and printing it needs more than the whole budget
  kLabelMemoryBusy,        // the budget had no room for it in time
};

// The verdict on an image of width x height pixels, as its header announces
// them; sizes of 0 or less fit (they are no image, which the job says).
LabelSizeVerdict JudgeLabelSize(long long width, long long height);

// The verdict on everything a header announces a decoder would hold: the
// widest and tallest area and the pixels held at once (ImageExtent).
// kLabelTooLargeToDecode or kLabelSizeFits; the paper is the image's own
// size's to judge.
LabelSizeVerdict JudgeLabelExtent(long long width, long long height, long long pixels);

// The custom paper for an image of width x height pixels, in tenths of a
// millimetre, truncated as the settings store it. Wide enough not to
// overflow for any int size.
struct LabelPaper {
  long long length;
  long long width;
};
LabelPaper LabelPaperSize(int width, int height);

// The sentence a page shows for a refusal: why, and where the limit is.
std::string LabelSizeRefusal(LabelSizeVerdict verdict, long long width, long long height);
