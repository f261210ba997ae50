// Bounded reading of posted bodies for the print routes.
#include "intake/request_body.h"

#include "base/ascii.h"

namespace {

bool IsChunked(const httplib::Request& req) {
  return AsciiLower(req.get_header_value("Transfer-Encoding")) == "chunked";
}

}  // namespace

uint64_t DeclaredBodyLength(const httplib::Request& req, bool* declared) {
  *declared = !IsChunked(req) && req.has_header("Content-Length");
  return *declared ? req.get_header_value_u64("Content-Length") : 0;
}

void DrainBody(const httplib::Request& req, const httplib::ContentReader& contentReader) {
  auto discard = [](const char*, size_t) { return true; };
  if (req.is_multipart_form_data()) {
    contentReader([](const httplib::FormData&) { return true; }, discard);
  } else {
    contentReader(discard);
  }
}

bool ReadWholeBody(const httplib::Request& req, const httplib::ContentReader& contentReader,
                   uint64_t limit, std::string* body, bool* tooLarge) {
  bool declared = false;
  uint64_t declaredLength = DeclaredBodyLength(req, &declared);
  if (declared && declaredLength <= limit) body->reserve(static_cast<size_t>(declaredLength));
  *tooLarge = false;
  return contentReader([&](const char* data, size_t n) {
    if (*tooLarge) return true;
    if (body->size() + n > limit) {
      *tooLarge = true;
      std::string().swap(*body);
      return true;  // keep reading to the end, discarding
    }
    body->append(data, n);
    return true;
  });
}
