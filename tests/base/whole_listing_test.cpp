// Taking a listing whole while the list changes between the call that sizes
// the buffer and the call that fills it: a list of records of 8 bytes each
// whose length the table sets call by call.
#include "base/whole_listing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kRecordBytes = 8;

struct Case {
  const char* name;
  std::vector<uint32_t> lengths;  // the list's length at each call; the last holds on
  uint32_t otherError;            // the call's own failure from the second call on, or 0
  WholeListingResult result;
  uint32_t count;
  uint32_t error;
  int calls;
};

TEST(WholeListing, AskedAgainWhileTheListOutgrowsTheBuffer) {
  const Case cases[] = {
      {"an empty list", {0}, 0, kWholeListingOk, 0, 0, 1},
      {"a list that holds still", {3}, 0, kWholeListingOk, 3, 0, 2},
      {"a queue added between sizing and filling", {3, 4}, 0, kWholeListingOk, 4, 0, 3},
      {"a queue removed between sizing and filling", {3, 2}, 0, kWholeListingOk, 2, 0, 2},
      {"growing on every call", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 0, kWholeListingFailed, 0,
       kErrorInsufficientBuffer, 9},
      {"the system refusing", {3}, kErrorAccessDenied, kWholeListingFailed, 0, kErrorAccessDenied, 2},
  };
  for (const Case& c : cases) {
    int calls = 0;
    ListingCall call = [&](uint8_t* buffer, uint32_t size, uint32_t* needed, uint32_t* count) -> uint32_t {
      uint32_t length = c.lengths[std::min<size_t>(calls, c.lengths.size() - 1)];
      ++calls;
      if (calls > 1 && c.otherError != 0) return c.otherError;
      *needed = length * kRecordBytes;
      *count = 0;
      if (size < *needed) return kErrorInsufficientBuffer;
      for (uint32_t i = 0; i < *needed; ++i) EXPECT_EQ(buffer[i], 0) << c.name << ": not zero-filled";
      if (*needed > 0) std::memset(buffer, 0xab, *needed);
      *count = length;
      return 0;
    };
    std::vector<uint8_t> buffer(5, 0xff);
    uint32_t count = 99;
    uint32_t error = 99;
    EXPECT_EQ(TakeWholeListing(call, 4, &buffer, &count, &error), c.result) << c.name;
    EXPECT_EQ(count, c.count) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_EQ(calls, c.calls) << c.name;
    if (c.result == kWholeListingOk && c.count > 0) {
      // Whole records, and the slack the caller asked for beyond them.
      EXPECT_GE(buffer.size(), c.count * kRecordBytes + 4) << c.name;
    }
    if (c.result == kWholeListingOk && c.count == 0) {
      EXPECT_TRUE(buffer.empty()) << c.name;
    }
  }
}

}  // namespace
