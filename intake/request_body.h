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

// Reads a body that is not multipart into *body, at most limit bytes: past
// that the rest is read and dropped, *body is emptied and *tooLarge set.
// Returns false when the body did not arrive whole (cut off or malformed).
bool ReadWholeBody(const httplib::Request& req, const httplib::ContentReader& contentReader,
                   uint64_t limit, std::string* body, bool* tooLarge);
