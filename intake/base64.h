// Decoding of the base64 text that web pages post as label images.
#pragma once
#include <cstddef>
#include <string>

// Decodes base64 the lenient way browsers' data URLs are taken here: it never
// fails. Characters outside the standard alphabet count as 0; a carriage
// return or line feed is skipped only where a group begins; "=" in a group's
// third or fourth place ends that group early, and the next group then starts
// at the padding (the consumed count still moves by four). A final group of
// three reads a value-0 fourth character; a final group of two gives one
// byte, of one gives none. Reads nothing outside text[0, length).
std::string DecodeBase64(const char* text, size_t length);
