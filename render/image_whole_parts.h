// The per-format halves of CheckImageWhole that live in files of their own;
// each takes bytes already known to start with its format's signature.
#pragma once
#include <string>

#include "render/image_whole.h"

ImageWholeness CheckJpegWhole(const std::string& bytes, std::string* what);
// streams: false skips the frames' LZW codes (the header's verdict stands).
ImageWholeness CheckGifWhole(const std::string& bytes, std::string* what, bool streams);
ImageWholeness CheckTiffWhole(const std::string& bytes, std::string* what);
