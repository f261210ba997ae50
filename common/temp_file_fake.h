// Controls of the in-memory temporary file backend, for tests.
#pragma once
#include <string>
#include <vector>

// Back to a working folder "C:\Users\Public\Documents", no files, empty log.
void ResetFakeTempFiles();
// Makes the folder lookup fail, or return the given text.
void SetFakeDocumentsFolderFails(bool fails);
void SetFakeDocumentsFolder(const std::wstring& folder);
// Makes opening any file fail, or every write stop short after truncating.
void SetFakeFileOpenFails(bool fails);
void SetFakeFileWriteShort(bool shortWrite);
// Content of a file, found the way the file system finds it (a doubled
// backslash reads as one). False when there is no such file.
bool FakeFileContent(const std::wstring& path, std::string* content);
void SetFakeFileContent(const std::wstring& path, const std::string& content);
// Calls made so far, one entry each: "folder", "write <path>".
std::vector<std::string> FakeTempFileCalls();
