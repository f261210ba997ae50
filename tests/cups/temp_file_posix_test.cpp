// The native temporary image file: where it lives, and the places and
// things it refuses to write through.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "common/temp_file.h"
#include "common/temp_image_path.h"

namespace {

std::wstring Wide(const std::string& bytes) {
  std::wstring wide;
  for (unsigned char byte : bytes) wide += static_cast<wchar_t>(byte);
  return wide;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

class TempFilePosix : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pg-tempfile-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    setenv("HOME", (root + "/home").c_str(), 1);
    mkdir((root + "/home").c_str(), 0700);
    unsetenv("XDG_STATE_HOME");
  }
  void TearDown() override { system(("rm -rf '" + root + "'").c_str()); }
  std::string root;
};

TEST_F(TempFilePosix, TheFileLivesInAPrivateStateFolderOfTheUser) {
  std::wstring path;
  bool folderFound = false;
  ASSERT_TRUE(FindTempImagePath(&path, &folderFound));
  std::string folder = root + "/home/.local/state/printgate";
  EXPECT_EQ(path, Wide(folder + "\\tempVQ.JPG"));
  struct stat info;
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  ASSERT_EQ(WriteWholeFile(path, "abc", 3), kFileWritten);
  ASSERT_EQ(WriteWholeFile(path, "x", 1), kFileWritten);  // truncated, not appended
  EXPECT_EQ(Read(folder + "/tempVQ.JPG"), "x");
  ASSERT_EQ(stat((folder + "/tempVQ.JPG").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  setenv("XDG_STATE_HOME", (root + "/state").c_str(), 1);
  ASSERT_TRUE(FindTempImagePath(&path, &folderFound));
  EXPECT_EQ(path, Wide(root + "/state/printgate\\tempVQ.JPG"));
  setenv("XDG_STATE_HOME", "relative/state", 1);  // not absolute: ignored
  ASSERT_TRUE(FindTempImagePath(&path, &folderFound));
  EXPECT_EQ(path, Wide(folder + "\\tempVQ.JPG"));
}

TEST_F(TempFilePosix, AFolderOthersCanWriteIsRefused) {
  std::string state = root + "/shared";
  mkdir(state.c_str(), 0700);
  mkdir((state + "/printgate").c_str(), 0777);
  chmod((state + "/printgate").c_str(), 0777);
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  std::wstring folder;
  EXPECT_FALSE(GetCommonDocumentsFolder(&folder));
  EXPECT_EQ(WriteWholeFile(Wide(state + "/printgate\\tempVQ.JPG"), "abc", 3), kFileNotOpened);
  EXPECT_EQ(WriteWholeFile(Wide("/tmp\\tempVQ-pg-test.JPG"), "abc", 3), kFileNotOpened);
}

TEST_F(TempFilePosix, LinksAndFifosInTheFilesPlaceAreNotWrittenThrough) {
  std::wstring path;
  bool folderFound = false;
  ASSERT_TRUE(FindTempImagePath(&path, &folderFound));
  std::string file = root + "/home/.local/state/printgate/tempVQ.JPG";
  std::string victim = root + "/victim";
  std::ofstream(victim) << "keep";
  ASSERT_EQ(symlink(victim.c_str(), file.c_str()), 0);
  EXPECT_EQ(WriteWholeFile(path, "abc", 3), kFileNotOpened);
  EXPECT_EQ(Read(victim), "keep");
  unlink(file.c_str());
  ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
  EXPECT_EQ(WriteWholeFile(path, "abc", 3), kFileNotOpened);  // and returns at once
}

TEST_F(TempFilePosix, AHomeWithABackslashIsNotCutByThePathRule) {
  std::string odd = root + "/odd\\home";
  mkdir(odd.c_str(), 0700);
  setenv("HOME", odd.c_str(), 1);
  std::wstring folder;
  EXPECT_FALSE(GetCommonDocumentsFolder(&folder));
}

}  // namespace
