// One memory budget for everything requests hold at once: the bodies being
// received, the decoded pixels and the page being drawn. Each request claims
// what it is about to allocate before it allocates it, from the declared
// length of its body or the sizes its image's header announces, so a few
// small posts can never make the process take gigabytes. A claim that does
// not fit waits its turn for a short, bounded time; claims on one printer
// queue are granted in the order they were asked for, so labels still print
// in the order their requests arrived.
//
// A request is served on one worker thread from start to end: what it holds
// is kept per thread, and the route releases it when the answer is set.
#pragma once
#include <cstdint>
#include <string>

constexpr uint64_t kDefaultMemoryBudget = 512ull << 20;
// The smallest and largest budgets a setting may give, in MiB: below the
// first a plain label could not print, past the second it is no bound.
constexpr uint64_t kSmallestBudgetMiB = 16;
constexpr uint64_t kLargestBudgetMiB = 1ull << 20;
// A request holding at most this much is a plain label: it may use the
// whole budget. Larger holds share all but a sixteenth of it, so that a
// storm of large requests always leaves room for a desk's labels.
constexpr uint64_t kSmallHold = 8ull << 20;
constexpr uint64_t kSmallReserveShare = 16;
// How long a claim waits for room before its request is refused as busy.
constexpr int kBudgetWaitMs = 2000;
// What a busy answer asks the client to wait, in seconds (Retry-After).
constexpr int kBusyRetrySeconds = 2;

enum HoldResult {
  kHeld,        // this request now holds at least what it asked for
  kBudgetBusy,  // no room came within the wait: refuse with 503
  kNeverFits,   // more than the budget ever gives one request: no wait would help
};

// The whole budget in bytes; SetMemoryBudget before serving (and in tests).
uint64_t MemoryBudget();
void SetMemoryBudget(uint64_t bytes);
// The wait of a claim, in milliseconds (tests shorten it).
void SetBudgetWait(int milliseconds);

// Starts this thread's request: anything still held is released, and its
// claims queue behind earlier ones on the same printer queue.
void BeginRequestHold(const std::string& queue);
// Raises what this request holds to at least total bytes, waiting (at most
// the budget's wait) while the rest of the budget is held by others or
// earlier claims on the same queue wait. Never lowers it. A hold past
// kSmallHold gets at most the budget less its reserve for small holds.
HoldResult HoldAtLeast(uint64_t total);
// Lowers what this request holds to at most total bytes (never waits).
void HoldAtMost(uint64_t total);
// Releases all this request holds.
void ReleaseHold();
// What this request holds, and what all requests hold together.
uint64_t HeldByThisRequest();
uint64_t MemoryHeld();

// A budget setting's text: a whole number of MiB from kSmallestBudgetMiB to
// kLargestBudgetMiB, blanks and one line break around it allowed. False
// with *why (a few words) for anything else.
bool ParseMemoryBudgetMiB(const std::string& text, uint64_t* bytes, std::string* why);
