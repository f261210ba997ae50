// Bounded reading of posted bodies for the print routes.
#include "intake/request_body.h"

#include "base/ascii.h"
#include "common/memory_budget.h"

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

namespace {

BodyRead Refusal(HoldResult hold) { return hold == kBudgetBusy ? kBodyBusy : kBodyTooLarge; }

}  // namespace

BodyRead ReadWholeBody(const httplib::Request& req, const httplib::ContentReader& contentReader,
                       uint64_t limit, std::string* body) {
  bool declared = false;
  uint64_t declaredLength = DeclaredBodyLength(req, &declared);
  BodyRead result = kBodyWhole;
  if (declared && declaredLength > limit) {
    result = kBodyTooLarge;
  } else if (declared) {
    HoldResult hold = HoldAtLeast(declaredLength);
    if (hold == kHeld) {
      body->reserve(static_cast<size_t>(declaredLength));
    } else {
      result = Refusal(hold);
    }
  }
  bool complete = contentReader([&](const char* data, size_t n) {
    if (result != kBodyWhole) return true;  // read to the end, discarding
    uint64_t needed = body->size() + n;
    HoldResult hold = needed > limit ? kNeverFits : kHeld;
    if (hold == kHeld && needed > HeldByThisRequest()) {
      hold = HoldAtLeast((needed + kBodyStep - 1) / kBodyStep * kBodyStep);
      if (hold == kNeverFits && needed <= MemoryBudget()) hold = HoldAtLeast(needed);
    }
    if (hold != kHeld) {
      result = Refusal(hold);
      std::string().swap(*body);
      HoldAtMost(0);
      return true;
    }
    body->append(data, n);
    return true;
  });
  if (result == kBodyWhole && !complete) return kBodyCut;
  return result;
}
