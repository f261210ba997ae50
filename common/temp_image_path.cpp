// The temporary image file's location rule.
#include "common/temp_image_path.h"

#include "common/temp_file.h"

bool TempImagePath(const std::wstring& documentsFolder, std::wstring* path) {
  std::wstring publicFolderPath = documentsFolder;
  size_t lastBackslash = publicFolderPath.rfind(L'\\');
  if (lastBackslash != std::wstring::npos) publicFolderPath.resize(lastBackslash + 1);
  std::wstring jpgFilePath = publicFolderPath + L"\\tempVQ.JPG";
  if (jpgFilePath.size() + 1 > kTempImagePathRoom) return false;
  *path = jpgFilePath;
  return true;
}

bool FindTempImagePath(std::wstring* path, bool* folderFound) {
  std::wstring folder;
  *folderFound = GetCommonDocumentsFolder(&folder);
  if (!*folderFound) return false;
  return TempImagePath(folder, path);
}
