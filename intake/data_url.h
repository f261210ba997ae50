// Data URLs ("data:[<media type>][;base64],<data>") as pages post them:
// their bytes, read strictly, for the routes that say what went wrong.
// The legacy PrintImage route keeps its own lenient reading of the body.
#pragma once
#include <string>

enum DataUrlResult {
  kDataUrlDecoded,
  kDataUrlNotOne,      // the text does not start with "data:" (in any case)
  kDataUrlNoComma,     // nothing separates the media type from the data
  kDataUrlBadBase64,   // ";base64" data that is not whole standard base64
  kDataUrlBadPercent,  // other data with a "%" not followed by two hex digits
};

// The bytes text carries, in *bytes when kDataUrlDecoded. Base64 data must
// be the standard alphabet in whole groups of four with "=" only as the
// last one or two characters; it is then decoded by DecodeBase64, the one
// decoder of posted images.
DataUrlResult DecodeDataUrl(const std::string& text, std::string* bytes);
