// The native allowlist files: where the user's file is looked for, and what
// counts as absent, unreadable or read. The system's file under /etc is left
// alone here; the machine running the tests has none.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "api/origin_config.h"

namespace {

class OriginConfigPosix : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pg-origins-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    setenv("HOME", root.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    mkdir((root + "/.config").c_str(), 0700);
    mkdir((root + "/.config/printgate").c_str(), 0700);
    file = root + "/.config/printgate/allowed-origins";
  }
  void TearDown() override { system(("rm -rf '" + root + "'").c_str()); }

  // The user's place, as the backend reports it (the system's is absent).
  std::vector<OriginSource> Read() {
    std::vector<OriginSource> sources = ReadOriginSources();
    for (const OriginSource& source : sources) EXPECT_NE(source.where, "/etc/printgate/allowed-origins");
    return sources;
  }

  std::string root;
  std::string file;
};

TEST_F(OriginConfigPosix, TheUsersFileIsReadWholeFromItsConfigurationFolder) {
  EXPECT_TRUE(Read().empty());
  std::ofstream(file) << "https://a.example\n# note\n";
  std::vector<OriginSource> sources = Read();
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(sources[0].where, file);
  EXPECT_TRUE(sources[0].readable);
  EXPECT_EQ(sources[0].format, kOriginLines);
  EXPECT_EQ(sources[0].texts, std::vector<std::string>{"https://a.example\n# note\n"});

  // XDG_CONFIG_HOME moves it; a relative one is ignored, as the XDG rules say.
  setenv("XDG_CONFIG_HOME", (root + "/elsewhere").c_str(), 1);
  EXPECT_TRUE(Read().empty());
  setenv("XDG_CONFIG_HOME", "relative/config", 1);
  ASSERT_EQ(Read().size(), 1u);
}

TEST_F(OriginConfigPosix, WhatStandsInTheFilesPlaceIsUnreadableNotAbsent) {
  mkdir(file.c_str(), 0700);
  std::vector<OriginSource> sources = Read();
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_FALSE(sources[0].readable);
  EXPECT_EQ(sources[0].why, "a folder, not a file");
  rmdir(file.c_str());

  // A FIFO would block a plain open until a writer came.
  ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
  sources = Read();
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(sources[0].why, "not a regular file");
  unlink(file.c_str());

  std::ofstream(file) << std::string((1 << 20) + 1, '#');
  sources = Read();
  ASSERT_EQ(sources.size(), 1u);
  EXPECT_EQ(sources[0].why, "larger than 1 MiB");
}

}  // namespace
