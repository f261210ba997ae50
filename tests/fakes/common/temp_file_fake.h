// Controls of the in-memory temporary file backend, for tests.
#pragma once
#include <string>
#include <vector>

// What the fake file system does differently from a working one;
// ResetFakeTempFiles restores these defaults.
struct FakeTempFileFaults {
  bool folderFails = false;  // the folder lookup fails
  std::wstring documentsFolder = L"C:\\Users\\Public\\Documents";  // what it returns
  bool openFails = false;    // opening any file fails
  bool writeShort = false;   // every write stops short after truncating
};

// Back to a working folder "C:\Users\Public\Documents", no files, empty log.
void ResetFakeTempFiles();
void SetFakeTempFileFaults(const FakeTempFileFaults& faults);
// Content of a file, found the way the file system finds it (a doubled
// backslash reads as one). False when there is no such file.
bool FakeFileContent(const std::wstring& path, std::string* content);
void SetFakeFileContent(const std::wstring& path, const std::string& content);
// Calls made so far, one entry each: "folder", "write <path>".
std::vector<std::string> FakeTempFileCalls();
