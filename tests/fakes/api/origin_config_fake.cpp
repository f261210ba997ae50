// In-memory allowlist configuration for unit tests.
#include "tests/fakes/api/origin_config_fake.h"

#include <mutex>

#include "api/budget_config.h"

namespace {
std::mutex fakeMutex;
std::vector<OriginSource> fakeSources;
int fakeReads = 0;
}  // namespace

void FakeOriginSourcesSet(const std::vector<OriginSource>& sources) {
  std::lock_guard<std::mutex> lock(fakeMutex);
  fakeSources = sources;
}

void FakeOriginSourcesReset() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  fakeSources.clear();
  fakeReads = 0;
}

int FakeOriginSourcesReads() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  return fakeReads;
}

std::vector<OriginSource> ReadOriginSources() {
  std::lock_guard<std::mutex> lock(fakeMutex);
  ++fakeReads;
  return fakeSources;
}

// No budget is set in the fake places: the unit tests set it themselves.
std::vector<OriginSource> ReadBudgetSources() { return {}; }
