// Byte strings carried in the seams' wide strings, one byte to a character
// of the same code: printer names as the job gets them, and POSIX paths,
// which the seams hold wide only because Windows' paths are.
#pragma once
#include <string>

// Each byte to the character of the same code (0 to 255); no code page.
std::wstring WidenBytes(const std::string& bytes);

// The way back: false, with *bytes unspecified, when a character is NUL or
// above 255 (no WidenBytes made it).
bool NarrowBytes(const std::wstring& wide, std::string* bytes);

// A seam's wide path as the bytes of a POSIX path: NarrowBytes, with every
// backslash read as a separator.
bool NarrowPosixPath(const std::wstring& path, std::string* bytes);
