// printf-style formatting into a std::string, for every diagnostic hook of
// both programs (printgate's lines, printerwatch's traces).
#pragma once
#include <cstdarg>
#include <string>

// The text that vsnprintf would write for format and args, whole however
// long; empty when the format is invalid (vsnprintf reports an error).
// args is consumed as by vsnprintf.
std::string FormatV(const char* format, va_list args);

// The same, with the arguments given directly.
std::string Format(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
