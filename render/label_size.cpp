// The size rules of a label: the decoders' limits and the paper's edge.
#include "render/label_size.h"

#include <cstdio>

#include "common/memory_budget.h"

LabelSizeVerdict JudgeLabelSize(long long width, long long height) {
  if (width <= 0 || height <= 0) return kLabelSizeFits;
  if (width > kLargestLabelSide || height > kLargestLabelSide ||
      width * height > kLargestLabelPixels) {
    return kLabelTooLargeToDecode;
  }
  if (width > kLargestPaperPixelsWide || height > kLargestPaperPixelsHigh) return kLabelPaperTooLarge;
  return kLabelSizeFits;
}

LabelSizeVerdict JudgeLabelExtent(long long width, long long height, long long pixels) {
  if (width > kLargestLabelSide || height > kLargestLabelSide || pixels > kLargestLabelPixels) {
    return kLabelTooLargeToDecode;
  }
  return kLabelSizeFits;
}

LabelPaper LabelPaperSize(int width, int height) {
  long long w = width < 0 ? 0 : width;
  long long h = height < 0 ? 0 : height;
  // W * 10.05 / 8 truncated equals W * 201 / 160 in whole numbers.
  return LabelPaper{w * kLengthTenthsNum / kLengthTenthsDen, h * kWidthTenthsNum / kWidthTenthsDen};
}

std::string LabelSizeRefusal(LabelSizeVerdict verdict, long long width, long long height) {
  char text[200];
  if (verdict == kLabelOverMemoryBudget) {
    std::snprintf(text, sizeof(text),
                  "a %lld x %lld pixel image needs more memory to decode and print than printgate's "
                  "budget of %llu MiB",
                  width, height, static_cast<unsigned long long>(MemoryBudget() >> 20));
  } else if (verdict == kLabelTooLargeToDecode) {
    std::snprintf(text, sizeof(text),
                  "a %lld x %lld pixel image is larger than printgate decodes (at most %lld pixels "
                  "a side and %lld Mi pixels in all)",
                  width, height, kLargestLabelSide, kLargestLabelPixels >> 20);
  } else {
    std::snprintf(text, sizeof(text),
                  "a %lld x %lld pixel label needs paper past the largest the printer settings can "
                  "hold (%lld.%lld mm: at most %lld x %lld pixels)",
                  width, height, kLargestPaperTenths / 10, kLargestPaperTenths % 10,
                  kLargestPaperPixelsWide, kLargestPaperPixelsHigh);
  }
  return text;
}
