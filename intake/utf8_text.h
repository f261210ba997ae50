// Whether posted text is UTF-8, as printer names from pages must be.
#pragma once
#include <string>

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates, no
// code points past U+10FFFF).
bool IsUtf8(const std::string& text);
