// Text between the byte strings our seams carry and the UTF-16 the Win32 W
// functions take, converted in one place. What a caller makes of text that
// doesn't convert stays its own.
#pragma once
#include <windows.h>

#include <string>

// `text` in `codePage` (UTF-8 unless told) as UTF-16. flags go to
// MultiByteToWideChar: with MB_ERR_INVALID_CHARS, bytes invalid in the code
// page fail the conversion; without it they become U+FFFD. Returns "" for
// empty text and when the conversion fails. Never blocks.
inline std::wstring WideText(const std::string& text, UINT codePage = CP_UTF8, DWORD flags = 0) {
  if (text.empty()) return std::wstring();
  int size = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), &wide[0], size);
  return wide;
}

// `length` UTF-16 units at `text` in `codePage` (UTF-8 unless told);
// characters the code page lacks become its default character. Returns ""
// for no text and when the conversion fails. Never blocks.
inline std::string NarrowText(const wchar_t* text, size_t length, UINT codePage = CP_UTF8) {
  if (text == nullptr || length == 0) return std::string();
  int size = WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), &narrow[0], size, nullptr, nullptr);
  return narrow;
}
