// The shared connections to the CUPS scheduler: a mutex-guarded list of
// idle ones and a count of all that are open. libcups' own default (one
// connection per thread, open for the thread's life) would hold one for
// every HTTP worker.
#include "base/scheduler_connection.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

// The scheduler closes a client idle for its Timeout (15 minutes unless set
// lower); one idle this long is closed here first rather than found dead on
// the next request.
constexpr std::chrono::seconds kLongestIdle(60);

std::mutex gLock;
std::condition_variable gReturned;
std::vector<std::pair<http_t*, Clock::time_point>> gIdle;  // most recent last
int gOpen = 0;

// The same server, port and encryption the default connection would use,
// not yet connected: the first request connects it (and a request over one
// the scheduler closed connects it again), so a scheduler that is not
// answering fails that request as it would over the default connection.
http_t* Connect() {
  return httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 0,
                      nullptr);
}

}  // namespace

http_t* TakeSchedulerConnection() {
  std::vector<http_t*> stale;
  http_t* http = nullptr;
  {
    std::unique_lock<std::mutex> lock(gLock);
    gReturned.wait(lock, [] { return !gIdle.empty() || gOpen < kSchedulerConnectionLimit; });
    Clock::time_point oldest = Clock::now() - kLongestIdle;
    while (!gIdle.empty() && http == nullptr) {
      std::pair<http_t*, Clock::time_point> idle = gIdle.back();
      gIdle.pop_back();
      if (idle.second < oldest) {
        stale.push_back(idle.first);
        --gOpen;
      } else {
        http = idle.first;
      }
    }
    if (http == nullptr) ++gOpen;  // this caller's slot, opened below
  }
  for (http_t* old : stale) httpClose(old);
  if (http != nullptr) return http;
  http = Connect();
  if (http == nullptr) {
    {
      std::lock_guard<std::mutex> lock(gLock);
      --gOpen;
    }
    gReturned.notify_one();
  }
  return http;
}

void GiveBackSchedulerConnection(http_t* http) {
  if (http == nullptr) return;
  ipp_status_t last = cupsLastError();
  bool broken = httpGetFd(http) < 0 || last == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE ||
                last == IPP_STATUS_ERROR_INTERNAL;
  bool close = broken;
  {
    std::lock_guard<std::mutex> lock(gLock);
    if (!close && static_cast<int>(gIdle.size()) >= kSchedulerConnectionsKept) close = true;
    if (close) {
      --gOpen;
    } else {
      gIdle.emplace_back(http, Clock::now());
    }
  }
  if (close) httpClose(http);
  gReturned.notify_one();
}

int OpenSchedulerConnections() {
  std::lock_guard<std::mutex> lock(gLock);
  return gOpen;
}
