// The temporary image file's path rule and its folder lookup.
#include <string>

#include <gtest/gtest.h>

#include "tests/fakes/common/temp_file_fake.h"
#include "common/temp_image_path.h"

namespace {

TEST(TempImagePath, CutsTheFolderAfterItsLastBackslash) {
  std::wstring path;
  ASSERT_TRUE(TempImagePath(L"C:\\Users\\Public\\Documents", &path));
  EXPECT_EQ(path, L"C:\\Users\\Public\\\\tempVQ.JPG");
  ASSERT_TRUE(TempImagePath(L"Documents", &path));
  EXPECT_EQ(path, L"Documents\\tempVQ.JPG");
  ASSERT_TRUE(TempImagePath(L"D:\\", &path));
  EXPECT_EQ(path, L"D:\\\\tempVQ.JPG");
}

TEST(TempImagePath, RefusesAPathThatWouldNotFitTwoHundredSixtyCharacters) {
  // The folder is cut after the backslash before "child"; the path is the
  // kept part, one more backslash and the ten characters of the name.
  auto folderFor = [](size_t pathLength) {
    return L"X:\\" + std::wstring(pathLength - 15, L'p') + L"\\child";
  };
  std::wstring path = L"untouched";
  ASSERT_TRUE(TempImagePath(folderFor(259), &path));
  EXPECT_EQ(path.size(), 259u);
  path = L"untouched";
  EXPECT_FALSE(TempImagePath(folderFor(260), &path));
  EXPECT_EQ(path, L"untouched");
}

TEST(TempImagePath, FindReportsWhetherTheFolderWasFound) {
  ResetFakeTempFiles();
  std::wstring path;
  bool folderFound = false;
  ASSERT_TRUE(FindTempImagePath(&path, &folderFound));
  EXPECT_TRUE(folderFound);
  EXPECT_EQ(path, L"C:\\Users\\Public\\\\tempVQ.JPG");
  FakeTempFileFaults faults;
  faults.folderFails = true;
  SetFakeTempFileFaults(faults);
  EXPECT_FALSE(FindTempImagePath(&path, &folderFound));
  EXPECT_FALSE(folderFound);
  faults.folderFails = false;
  faults.documentsFolder = L"C:\\" + std::wstring(300, L'x') + L"\\Documents";
  SetFakeTempFileFaults(faults);
  EXPECT_FALSE(FindTempImagePath(&path, &folderFound));
  EXPECT_TRUE(folderFound);
  ResetFakeTempFiles();
}

}  // namespace
