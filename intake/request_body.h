// Reading a posted body through the library's content reader within the
// size limit both print routes share.
#pragma once
#include <cstdint>
#include <string>

#include <httplib.h>

// A label image is a few hundred kilobytes; anything near this is a mistake
// or an attack, and the whole body is held in memory.
constexpr uint64_t kMaxBodyBytes = 64ull << 20;

// The length the client declared in Content-Length (0 when it declared none,
// or sent the body chunked). *declared tells whether it declared one.
uint64_t DeclaredBodyLength(const httplib::Request& req, bool* declared);

// Reads (and forgets) whatever is left of the body, so that the connection
// is ready for the client's next request.
void DrainBody(const httplib::Request& req, const httplib::ContentReader& contentReader);

// Held bodies sent without a length grow by this much of the memory budget
// at a time.
constexpr uint64_t kBodyStep = 1ull << 20;

enum BodyRead {
  kBodyWhole,     // *body holds it all
  kBodyCut,       // it did not arrive whole (cut off or malformed in transit)
  kBodyTooLarge,  // past limit, or past the whole memory budget
  kBodyBusy,      // the memory budget had no room for it in time
};

// Reads a body that is not multipart into *body, at most limit bytes,
// claiming from the memory budget (common/memory_budget.h) what it holds
// before holding it: its declared length at once, or kBodyStep at a time
// when it comes chunked. A body refused (too large, or no room) is read to
// its end and dropped, so the connection can carry the next request, and
// *body is left empty. Blocks while the body arrives and while a claim
// waits for room.
BodyRead ReadWholeBody(const httplib::Request& req, const httplib::ContentReader& contentReader,
                       uint64_t limit, std::string* body);
