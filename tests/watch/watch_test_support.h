// Shared set-up of printerwatch's unit tests: every fake reset, the default
// settings in the fake registry, and the traces captured.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/watch/spool_fake.h"
#include "tests/fakes/watch/usb_fake.h"

extern const char kBaseName[];
extern const char kDriver[];
extern const char kPort[];
extern const char kDataDir[];
extern const char kSettingsKey[];

std::vector<std::string> CapturedTraces();
bool TraceSeen(const std::string& text);
int TracesStartingWith(const std::string& prefix);

class WatchTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// A managed queue (the configured driver).
FakeQueue ManagedQueue(const std::string& name, int position);  // position < 0: none
// The managed queues in the spooler's order.
std::vector<FakeQueue> ManagedQueues();
// The queue name of rank index k: the base name, then "<base> #k".
std::string TableName(int k);
// The configuration file's path for a queue.
std::string ConfigFilePath(const std::string& queueName);
// The bytes a configuration file holds for a block: its first 63, zero-padded.
std::vector<unsigned char> FileBytes(const std::vector<unsigned char>& block);
