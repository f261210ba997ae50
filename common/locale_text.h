// The programs' own Chinese messages are GBK bytes, as the Windows build
// writes them. On Linux and macOS a terminal or the journal reads them in
// the locale's encoding; this turns one piece of output into that.
//
// Backend: locale_text_posix.cpp (iconv; Linux, macOS) only. Windows
// writes the GBK bytes as they are. Does not block.
#pragma once

#include <string>

// Text that is valid UTF-8 (ASCII, names from CUPS) stays as it is; other
// text is read as GBK. The result is in the locale's encoding: UTF-8 when
// the locale is UTF-8 or plain ASCII (where Chinese has no other form),
// else the locale's own (GB18030, Big5, ...). Bytes that can't be
// converted are passed on unchanged. Call setlocale(LC_CTYPE, "") first.
std::string GbkToLocale(const std::string& bytes);
