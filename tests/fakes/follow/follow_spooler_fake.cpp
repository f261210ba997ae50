// The follow seam in memory. A canceled job reads canceled from then on, as
// a spooler's would.
#include "tests/fakes/follow/follow_spooler_fake.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

namespace {

struct FakeJob {
  std::vector<FakeJobStep> script;
  size_t next = 0;
};

// Never destroyed: the watcher's detached thread may still ask the fake
// while the test program's static objects are torn down at exit.
struct FakeTables {
  std::mutex lock;
  std::map<std::pair<std::string, int>, FakeJob> jobs;
  std::vector<PrinterReading> printers;
  FakeFollowFaults faults;
  std::vector<std::string> calls;
};
FakeTables& gFake = *new FakeTables;
std::mutex& gLock = gFake.lock;
std::map<std::pair<std::string, int>, FakeJob>& gJobs = gFake.jobs;
std::vector<PrinterReading>& gPrinters = gFake.printers;
FakeFollowFaults& gFaults = gFake.faults;
std::vector<std::string>& gCalls = gFake.calls;

void Log(const std::string& call) { gCalls.push_back(call); }

std::string Name(const char* call, const std::string& printer, int jobId) {
  return std::string(call) + " " + printer + " " + std::to_string(jobId);
}

}  // namespace

FakeJobStep FakeStep(LabelState state, std::vector<std::string> reasons, std::string message) {
  FakeJobStep step;
  step.reading.state = state;
  step.reading.reasons = std::move(reasons);
  step.reading.message = std::move(message);
  return step;
}

FakeJobStep FakeGone() {
  FakeJobStep step;
  step.gone = true;
  return step;
}

void FakeFollowSetJob(const std::string& printer, int jobId, const std::vector<FakeJobStep>& script) {
  std::lock_guard<std::mutex> guard(gLock);
  gJobs[{printer, jobId}] = FakeJob{script, 0};
}

void FakeFollowSetPrinters(const std::vector<PrinterReading>& printers) {
  std::lock_guard<std::mutex> guard(gLock);
  gPrinters = printers;
}

void FakeFollowSetFaults(const FakeFollowFaults& faults) {
  std::lock_guard<std::mutex> guard(gLock);
  gFaults = faults;
}

void FakeFollowReset() {
  std::lock_guard<std::mutex> guard(gLock);
  gJobs.clear();
  gPrinters.clear();
  gFaults = FakeFollowFaults{};
  gCalls.clear();
}

std::vector<std::string> FakeFollowCalls() {
  std::lock_guard<std::mutex> guard(gLock);
  return gCalls;
}

int FakeFollowCount(const std::string& call) {
  std::lock_guard<std::mutex> guard(gLock);
  return static_cast<int>(std::count(gCalls.begin(), gCalls.end(), call));
}

SpoolerJobLookup ReadSpoolerJob(const std::string& printer, int jobId, LabelReading* reading) {
  std::lock_guard<std::mutex> guard(gLock);
  Log(Name("read", printer, jobId));
  auto it = gJobs.find({printer, jobId});
  if (it == gJobs.end()) {
    *reading = LabelReading{};
    return kSpoolerJobFound;
  }
  FakeJob& job = it->second;
  if (job.script.empty()) {
    *reading = LabelReading{};
    return kSpoolerJobFound;
  }
  const FakeJobStep& step = job.script[std::min(job.next, job.script.size() - 1)];
  if (job.next < job.script.size()) ++job.next;
  if (step.unreachable) return kSpoolerJobFailed;
  if (step.gone) return kSpoolerJobGone;
  *reading = step.reading;
  return kSpoolerJobFound;
}

bool HoldSpoolerJob(const std::string& printer, int jobId) {
  std::lock_guard<std::mutex> guard(gLock);
  Log(Name("hold", printer, jobId));
  return !gFaults.holdFails;
}

void ReleaseSpoolerJob(const std::string& printer, int jobId) {
  std::lock_guard<std::mutex> guard(gLock);
  Log(Name("release", printer, jobId));
}

bool CancelSpoolerJob(const std::string& printer, int jobId, unsigned long* error) {
  std::lock_guard<std::mutex> guard(gLock);
  Log(Name("cancel", printer, jobId));
  if (gFaults.cancelRefused) {
    *error = gFaults.cancelError;
    return false;
  }
  gJobs[{printer, jobId}] = FakeJob{{FakeStep(kLabelCanceled)}, 0};
  return true;
}

bool ReadSpoolerPrinters(std::vector<PrinterReading>* printers) {
  std::lock_guard<std::mutex> guard(gLock);
  Log("printers");
  printers->clear();
  if (gFaults.printersFail) return false;
  *printers = gPrinters;
  return true;
}
