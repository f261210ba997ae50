// Win32 backend of the temporary file seam: the shell's folder lookup and
// the C runtime's wide-path file functions.
#include "common/temp_file.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdio>

bool GetCommonDocumentsFolder(std::wstring* folder) {
  wchar_t buffer[MAX_PATH] = {};
  HRESULT result = SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr,
                                    SHGFP_TYPE_CURRENT, buffer);
  if (result != S_OK) return false;
  *folder = buffer;
  return true;
}

WriteFileResult WriteWholeFile(const std::wstring& path, const char* data, size_t size) {
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (!file) return kFileNotOpened;
  size_t written = size == 0 ? 0 : std::fwrite(data, 1, size, file);
  bool closed = std::fclose(file) == 0;
  return written == size && closed ? kFileWritten : kFileIncomplete;
}
