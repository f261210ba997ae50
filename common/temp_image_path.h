// Where the temporary image file lives: shared by the endpoint, which writes
// it, and the print job, which reads it.
#pragma once
#include <string>

// Room for the file's path, the terminator included (the Win32 MAX_PATH).
constexpr size_t kTempImagePathRoom = 260;

// Forms the file's path from the all-users Documents folder: the folder cut
// right after its last backslash (a folder without one stays whole), then
// "\tempVQ.JPG", so the path holds two backslashes in a row before the name,
// which the file system reads as one. False, with path untouched, when the
// result would not fit kTempImagePathRoom wide characters with its terminator.
bool TempImagePath(const std::wstring& documentsFolder, std::wstring* path);

// Looks the folder up and forms the path. False when the lookup fails or the
// path would not fit; *folderFound tells which of the two it was.
bool FindTempImagePath(std::wstring* path, bool* folderFound);
