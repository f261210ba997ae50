// Whether posted text is UTF-8, as printer names from pages must be, and
// text that quotes posted bytes made fit for a JSON answer.
#pragma once
#include <string>

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates, no
// code points past U+10FFFF).
bool IsUtf8(const std::string& text);

// text with every byte that is not part of a well-formed UTF-8 sequence
// replaced by U+FFFD, so that an answer quoting it stays valid JSON text.
std::string Utf8OrReplaced(const std::string& text);
