// The process-wide memory budget and each request's hold on it.
#include "common/memory_budget.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>

namespace {

// A claim waiting for room, woken on its own: a change of the budget can
// let only the oldest claim of each queue go, and waking every waiter for
// it made each change cost as many wake-ups as there were waiters (under
// Wine each one a round trip through its server, so that a storm of claims
// held up every other request).
struct Waiter {
  std::string queue;
  std::condition_variable wake;
};

std::mutex budgetMutex;
uint64_t budget = kDefaultMemoryBudget;
uint64_t heldTotal = 0;
int waitMs = kBudgetWaitMs;
// Claims waiting for room, oldest first.
std::list<Waiter*> waiting;

thread_local uint64_t heldHere = 0;
thread_local std::string queueHere;

// Whether a claim of `queue` waiting at `at` (or, with at == end, a new
// one) has an older claim of its queue ahead of it. Called locked.
bool QueuedBehind(std::list<Waiter*>::iterator at, const std::string& queue) {
  for (auto it = waiting.begin(); it != at; ++it) {
    if ((*it)->queue == queue) return true;
  }
  return false;
}

// Wakes the oldest waiting claim of each queue, the only ones that may go
// now. Called locked.
void WakeQueueHeads() {
  for (auto it = waiting.begin(); it != waiting.end(); ++it) {
    if (!QueuedBehind(it, (*it)->queue)) (*it)->wake.notify_one();
  }
}

void LowerHold(uint64_t total) {
  std::lock_guard<std::mutex> lock(budgetMutex);
  if (total >= heldHere) return;
  heldTotal -= heldHere - total;
  heldHere = total;
  WakeQueueHeads();
}

}  // namespace

uint64_t MemoryBudget() {
  std::lock_guard<std::mutex> lock(budgetMutex);
  return budget;
}

void SetMemoryBudget(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(budgetMutex);
  budget = bytes;
  WakeQueueHeads();
}

void SetBudgetWait(int milliseconds) {
  std::lock_guard<std::mutex> lock(budgetMutex);
  waitMs = milliseconds;
}

void BeginRequestHold(const std::string& queue) {
  ReleaseHold();
  queueHere = queue;
}

HoldResult HoldAtLeast(uint64_t total) {
  std::unique_lock<std::mutex> lock(budgetMutex);
  if (total <= heldHere) return kHeld;
  uint64_t limit = total <= kSmallHold ? budget : budget - budget / kSmallReserveShare;
  if (total > limit) return kNeverFits;
  auto fits = [total, limit] { return heldTotal - heldHere + total <= limit; };
  auto grant = [total] {
    heldTotal += total - heldHere;
    heldHere = total;
  };
  if (!QueuedBehind(waiting.end(), queueHere) && fits()) {
    grant();
    return kHeld;
  }
  Waiter waiter{queueHere, {}};
  auto me = waiting.insert(waiting.end(), &waiter);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  bool granted = false;
  for (;;) {
    if (!QueuedBehind(me, queueHere) && fits()) {
      grant();
      granted = true;
      break;
    }
    if (waiter.wake.wait_until(lock, deadline) == std::cv_status::timeout) {
      granted = !QueuedBehind(me, queueHere) && fits();
      if (granted) grant();
      break;
    }
  }
  waiting.erase(me);
  // Claims behind this one may go now, whether it got its room or left.
  WakeQueueHeads();
  return granted ? kHeld : kBudgetBusy;
}

void HoldAtMost(uint64_t total) { LowerHold(total); }

void ReleaseHold() {
  LowerHold(0);
  queueHere.clear();
}

uint64_t HeldByThisRequest() { return heldHere; }

uint64_t MemoryHeld() {
  std::lock_guard<std::mutex> lock(budgetMutex);
  return heldTotal;
}

bool ParseMemoryBudgetMiB(const std::string& text, uint64_t* bytes, std::string* why) {
  size_t first = text.find_first_not_of(" \t");
  size_t last = text.find_last_not_of(" \t\r\n");
  if (first == std::string::npos || last == std::string::npos || last < first) {
    *why = "empty";
    return false;
  }
  std::string digits = text.substr(first, last - first + 1);
  if (text.find('\n') < last || digits.size() > 9) {
    *why = digits.size() > 9 ? "not a number of MiB from 16 to 1048576" : "more than one line";
    return false;
  }
  uint64_t mib = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') {
      *why = "not a whole number of MiB";
      return false;
    }
    mib = mib * 10 + static_cast<uint64_t>(c - '0');
  }
  if (mib < kSmallestBudgetMiB || mib > kLargestBudgetMiB) {
    *why = "not a number of MiB from 16 to 1048576";
    return false;
  }
  *bytes = mib << 20;
  return true;
}
