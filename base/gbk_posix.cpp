// The log seam's GBK conversion over glibc's iconv, apart from the file
// calls so that the unit tests' fake file system can use it too.
#include <iconv.h>

#include <cerrno>

#include "base/log_io.h"

std::string LogIoGbkToUtf8(const std::string& bytes) {
  iconv_t converter = iconv_open("UTF-8", "GBK");
  if (converter == reinterpret_cast<iconv_t>(-1)) return bytes;
  std::string out;
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  while (inLeft > 0) {
    char buffer[256];
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    size_t rc = iconv(converter, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<size_t>(outPtr - buffer));
    if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
      out += "\xEF\xBF\xBD";
      ++in;
      --inLeft;
    }
  }
  iconv_close(converter);
  return out;
}
