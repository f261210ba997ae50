// A listing that a system call writes into the caller's buffer, taken whole.
// The list can grow between the call that sizes the buffer and the call that
// fills it (the spooler's queues, when another program adds one meanwhile);
// the fill then fails with ERROR_INSUFFICIENT_BUFFER, which is no failure of
// the system: it is asked again at the size it now reports.
#pragma once
#include <cstdint>
#include <functional>
#include <new>
#include <vector>

#include "base/win_error.h"

enum WholeListingResult { kWholeListingOk, kWholeListingFailed, kWholeListingNoMemory };

// One call of the listing: fills at most size bytes at buffer (null when size
// is 0), sets *needed to the bytes the whole list takes and *count to the
// records written; returns 0 or the Win32 error.
typedef std::function<uint32_t(uint8_t* buffer, uint32_t size, uint32_t* needed, uint32_t* count)> ListingCall;

// Calls `call` first with no buffer, then with a zero-filled one `slack`
// bytes larger than it asked for, again while the list outgrows it (at most
// 8 more times). Returns kWholeListingOk with *count records at the start of
// *buffer (none and an empty buffer when the list is empty);
// kWholeListingFailed with the call's error in *error
// (kErrorInsufficientBuffer when the list still grew); kWholeListingNoMemory
// with kErrorNotEnoughMemory when no buffer could be had. Blocks as long as
// the calls do.
inline WholeListingResult TakeWholeListing(const ListingCall& call, uint32_t slack, std::vector<uint8_t>* buffer,
                                           uint32_t* count, uint32_t* error) {
  constexpr int kTries = 8;
  buffer->clear();
  *count = 0;
  *error = 0;
  for (int attempt = 0; attempt <= kTries; ++attempt) {
    uint32_t needed = 0;
    uint32_t returned = 0;
    *error = call(buffer->empty() ? nullptr : buffer->data(), static_cast<uint32_t>(buffer->size()), &needed,
                  &returned);
    if (*error == 0) {
      *count = returned;
      return kWholeListingOk;
    }
    if (*error != kErrorInsufficientBuffer || attempt == kTries) return kWholeListingFailed;
    try {
      buffer->assign(static_cast<size_t>(needed) + slack, 0);
    } catch (const std::bad_alloc&) {
      buffer->clear();
      *error = kErrorNotEnoughMemory;
      return kWholeListingNoMemory;
    }
  }
  return kWholeListingFailed;
}
