// The systemd dispatcher gives back every descriptor it opened, whether it
// ran the service or could not start for want of descriptors.
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <gtest/gtest.h>

#include "watch/scm.h"

namespace {

int OpenDescriptors() {
  int count = 0;
  DIR* folder = opendir("/proc/self/fd");
  while (dirent* entry = readdir(folder)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(folder);
  return count - 1;  // the listing's own
}

// The lowest descriptor number a new descriptor would get.
int LowestFree() {
  int fd = dup(0);
  close(fd);
  return fd;
}

void QuietServiceMain(uint32_t, char**) {}

struct DescriptorCase {
  int freeDescriptors;  // how many new descriptors the process may open
  bool started;         // ScmStartDispatcher's answer
};

TEST(ScmSystemdTest, DispatcherLeavesNoDescriptorOpen) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizers test whether memory is readable through a pipe of their
  // own; under the tight limit that pipe cannot open, and they report a
  // sound object as a bad one. The plain build runs the case.
  GTEST_SKIP() << "needs descriptors the sanitizers' runtime would take";
#endif
  // One free: the signalfd opens, the eventfd can't. Two: both open, the
  // udev monitor's socket can't, and the service runs without events.
  const DescriptorCase cases[] = {{1, false}, {2, true}};
  for (const DescriptorCase& c : cases) {
    int before = OpenDescriptors();
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(LowestFree() + c.freeDescriptors);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    uint32_t error = 0;
    bool started = ScmStartDispatcher("USB Printer Service VELQ", QuietServiceMain, &error);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(started, c.started) << c.freeDescriptors;
    if (!c.started) {
      EXPECT_EQ(error, static_cast<uint32_t>(EMFILE));
    }
    EXPECT_EQ(OpenDescriptors(), before) << c.freeDescriptors;
  }
}

}  // namespace
