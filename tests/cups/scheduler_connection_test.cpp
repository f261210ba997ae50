// The native printgate's connections to the scheduler under many threads:
// run by test_scheduler_connections.py against a private cupsd (PG_SCHEDULER
// "up", the SchedulerUp cases) and against a port nobody answers on ("down",
// the SchedulerDown cases). A case run without its scheduler fails: it would
// prove nothing. Listing and printing
// from far more threads than the connection limit must hold no more
// connections than the limit, keep only a few once idle, and answer as
// libcups' default connection would.
#include <gtest/gtest.h>

#include <cairo.h>
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/diag.h"
#include "base/scheduler_connection.h"
#include "render/print_job.h"
#include "render/printing.h"
#include "server/spooler_list.h"

namespace {

std::string SchedulerState() {
  const char* state = std::getenv("PG_SCHEDULER");
  return state != nullptr ? state : "not set";
}

// The scheduler's TCP port, from CUPS_SERVER ("127.0.0.1:port").
int SchedulerPort() {
  const char* server = std::getenv("CUPS_SERVER");
  if (server == nullptr) return -1;
  const char* colon = std::strrchr(server, ':');
  return colon ? std::atoi(colon + 1) : -1;
}

// This process's TCP connections to the scheduler's port, counted as the
// socket inodes among its file descriptors that /proc/net/tcp lists with
// that remote port (established or still being set up).
int ConnectionsToScheduler(int port) {
  std::set<std::string> inodes;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode;
      int remotePort = static_cast<int>(std::strtol(remote.substr(remote.find(':') + 1).c_str(),
                                                    nullptr, 16));
      // 01 established, 02 SYN sent.
      if (remotePort == port && (state == "01" || state == "02")) inodes.insert(inode);
    }
  }
  int count = 0;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  while (dirent* entry = readdir(fds)) {
    char target[256];
    std::string path = std::string("/proc/self/fd/") + entry->d_name;
    ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    std::string link(target);
    if (link.compare(0, 8, "socket:[") == 0 &&
        inodes.count(link.substr(8, link.size() - 9)) != 0) {
      ++count;
    }
  }
  closedir(fds);
  return count;
}

cairo_status_t AppendPng(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

std::string SmallPng() {
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 16, 8);
  std::string png;
  cairo_surface_write_to_png_stream(image, AppendPng, &png);
  cairo_surface_destroy(image);
  return png;
}

void Quiet(const std::string&) {}

// Runs work on threadCount threads that all stay alive until each has done
// its part (so one connection per thread would all be open at once), while
// another thread samples the connections. Returns the most seen, and those
// still open when every thread had finished its work.
void RunOnManyThreads(int threadCount, const std::function<void(int)>& work, int* peak,
                      int* afterwards) {
  int port = SchedulerPort();
  std::atomic<bool> sampling{true};
  std::atomic<int> most{0};
  std::thread sampler([&] {
    while (sampling) {
      int now = ConnectionsToScheduler(port);
      if (now > most) most = now;
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });
  std::mutex lock;
  std::condition_variable allDone;
  int done = 0;
  bool release = false;
  std::vector<std::thread> threads;
  for (int i = 0; i < threadCount; ++i) {
    threads.emplace_back([&, i] {
      work(i);
      std::unique_lock<std::mutex> guard(lock);
      ++done;
      allDone.notify_all();
      allDone.wait(guard, [&] { return release; });
    });
  }
  {
    std::unique_lock<std::mutex> guard(lock);
    allDone.wait(guard, [&] { return done == threadCount; });
    *afterwards = ConnectionsToScheduler(port);
    release = true;
    allDone.notify_all();
  }
  for (std::thread& t : threads) t.join();
  sampling = false;
  sampler.join();
  *peak = most > *afterwards ? static_cast<int>(most) : *afterwards;
}

constexpr int kThreads = 64;

TEST(SchedulerUp, ManyThreadsListingAndPrintingHoldFewConnections) {
  ASSERT_EQ(SchedulerState(), "up") << "needs the private scheduler";
  SetDiagSink(Quiet);
  std::string png = SmallPng();
  std::atomic<int> listed{0};
  std::atomic<int> printed{0};
  int peak = 0;
  int afterwards = 0;
  RunOnManyThreads(
      kThreads,
      [&](int i) {
        for (int round = 0; round < 3; ++round) {
          std::vector<SpoolerPrinter> printers;
          if (EnumLocalPrinters(&printers) && !printers.empty()) ++listed;
        }
        if (i % 4 == 0) {
          PrintReport report = PrintLabelBytes("VELQ", png, 1);
          if (report.step == kPrintStepDone && report.jobId > 0) ++printed;
        }
      },
      &peak, &afterwards);
  SetDiagSink(nullptr);
  std::printf("%d threads: at most %d connections to the scheduler, %d once done\n", kThreads,
              peak, afterwards);
  EXPECT_EQ(listed, kThreads * 3);
  EXPECT_EQ(printed, kThreads / 4);
  EXPECT_LE(peak, kSchedulerConnectionLimit);
  EXPECT_GE(peak, 1);
  EXPECT_LE(afterwards, kSchedulerConnectionsKept);
  EXPECT_EQ(OpenSchedulerConnections(), afterwards);
}

TEST(SchedulerUp, AnUnknownQueueFailsAsBeforeAndLeavesNoExtraConnection) {
  ASSERT_EQ(SchedulerState(), "up") << "needs the private scheduler";
  unsigned long lastError = 0;
  EXPECT_EQ(CreatePrinterDc(L"NoSuchQueue", PrintDialogHandles{}, &lastError), nullptr);
  EXPECT_EQ(lastError, static_cast<unsigned long>(IPP_STATUS_ERROR_NOT_FOUND));
  EXPECT_TRUE(IsUnknownPrinterError(lastError));
  EXPECT_LE(OpenSchedulerConnections(), kSchedulerConnectionsKept);
}

// No scheduler: every call fails as over libcups' default connection, and
// the failed connections are closed, not kept.
TEST(SchedulerDown, NoSchedulerFailsAsTheDefaultConnectionAndKeepsNone) {
  ASSERT_EQ(SchedulerState(), "down") << "needs a port nobody answers on";
  ipp_t* request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
  ipp_t* response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
  ipp_status_t libcupsStatus = cupsLastError();
  EXPECT_EQ(response, nullptr);
  SetDiagSink(Quiet);
  int peak = 0;
  int afterwards = 0;
  std::atomic<int> asLibcups{0};
  RunOnManyThreads(
      kThreads,
      [&](int) {
        std::vector<SpoolerPrinter> printers;
        unsigned long lastError = 0;
        bool listed = EnumLocalPrinters(&printers);
        PrintHandle dc = CreatePrinterDc(L"VELQ", PrintDialogHandles{}, &lastError);
        PrintReport report = PrintLabelBytes("VELQ", SmallPng(), 1);
        if (!listed && dc == nullptr && lastError == static_cast<unsigned long>(libcupsStatus) &&
            report.step == kPrintStepNoSettings) {
          ++asLibcups;
        }
      },
      &peak, &afterwards);
  SetDiagSink(nullptr);
  EXPECT_EQ(asLibcups, kThreads);
  EXPECT_EQ(OpenSchedulerConnections(), 0);
}

}  // namespace
