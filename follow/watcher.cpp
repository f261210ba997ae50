// The watcher's jobs and its polling thread. One lock guards the tables
// (follow/watcher_state.h); the spooler is asked outside it, one pass at a
// time.
#include "follow/watcher.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "follow/follow_spooler.h"
#include "follow/watcher_state.h"
#include "render/print_job.h"

namespace {

constexpr int64_t kPollMs = 500;
constexpr int64_t kFollowLongestMs = 24ll * 3600 * 1000;
constexpr int64_t kRememberMs = 10 * 60 * 1000;
constexpr size_t kRememberedEnds = 256;

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch()).count();
}
int64_t (*gNow)() = SteadyMs;

bool Busy(const WatcherTables& w) {
  if (w.streams > 0) return true;
  for (const auto& job : w.jobs) {
    if (job.second.followed && job.second.handedOver) return true;
  }
  return false;
}

// Forgets ends older than ten minutes and all but the last 256.
void PruneLocked(WatcherTables& w, int64_t now) {
  std::vector<std::pair<int64_t, JobKey>> ended;
  for (auto it = w.jobs.begin(); it != w.jobs.end();) {
    if (!it->second.followed && now - it->second.endedAt > kRememberMs) {
      it = w.jobs.erase(it);
      continue;
    }
    if (!it->second.followed) ended.emplace_back(it->second.endedAt, it->first);
    ++it;
  }
  if (ended.size() <= kRememberedEnds) return;
  std::sort(ended.begin(), ended.end());
  for (size_t i = 0; i + kRememberedEnds < ended.size(); ++i) w.jobs.erase(ended[i].second);
}

FollowedJob Copy(const JobKey& key, const JobRecord& record) {
  FollowedJob job;
  job.printer = key.first;
  job.job = key.second;
  job.reading = record.reading;
  return job;
}

bool SameReading(const LabelReading& a, const LabelReading& b) {
  return a.state == b.state && a.reasons == b.reasons && a.message == b.message;
}

// Takes a reading into the record; emits the job's event when it changed.
// True when the job has just ended (its hold is then the caller's to
// release, outside the lock).
bool ApplyLocked(WatcherTables& w, const JobKey& key, JobRecord& record, const LabelReading& reading) {
  if (record.reading.state == kLabelWaiting || reading.state == kLabelWaiting) {
    for (const std::string& reason : reading.reasons) {
      if (reason == "needs-attention") record.sawTrouble = true;
    }
  }
  if (SameReading(record.reading, reading)) return false;
  record.reading = reading;
  EmitLocked(w, "job", CompactJson(JobJson(Copy(key, record))));
  if (!LabelStateEnded(reading.state) || !record.followed) return false;
  record.followed = false;
  record.endedAt = gNow();
  return true;
}

// A job the spooler no longer knows ended unseen. One that was held and
// seen since can only have been deleted; one that was not held, or that
// was gone at the first look (a spooler that took the hold and dropped the
// job at its end all the same), left as spoolers drop printed jobs. Either
// way a job last seen in trouble failed.
LabelReading GoneReading(const JobRecord& record) {
  LabelReading reading;
  if (record.sawTrouble) {
    reading.state = kLabelFailed;
    reading.reasons = {"needs-attention"};
    reading.message = record.reading.message.empty() ? "the spooler dropped the job after an error"
                                                     : record.reading.message;
  } else {
    reading.state = record.held && record.seen ? kLabelCanceled : kLabelPrinted;
  }
  return reading;
}

// Reads one job and takes the reading in. False when the spooler could
// not be asked.
bool RefreshJob(const JobKey& key) {
  LabelReading reading;
  SpoolerJobLookup lookup = ReadSpoolerJob(key.first, key.second, &reading);
  if (lookup == kSpoolerJobFailed) return false;
  WatcherTables& w = Tables();
  bool ended = false;
  bool held = false;
  {
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = w.jobs.find(key);
    if (it == w.jobs.end() || !it->second.followed) return true;
    if (lookup == kSpoolerJobGone) reading = GoneReading(it->second);
    if (lookup == kSpoolerJobFound) it->second.seen = true;
    ended = ApplyLocked(w, key, it->second, reading);
    held = it->second.held;
    if (ended) it->second.held = false;
  }
  if (ended && held && lookup == kSpoolerJobFound) ReleaseSpoolerJob(key.first, key.second);
  return true;
}

void PassLocked() {
  WatcherTables& w = Tables();
  std::vector<JobKey> followed;
  std::vector<JobKey> tooOld;
  bool streams = false;
  {
    std::lock_guard<std::mutex> guard(w.lock);
    int64_t now = gNow();
    for (auto& job : w.jobs) {
      if (!job.second.followed || !job.second.handedOver) continue;
      if (now - job.second.since >= kFollowLongestMs) {
        job.second.followed = false;
        job.second.endedAt = now;
        if (job.second.held) tooOld.push_back(job.first);
        job.second.held = false;
      } else {
        followed.push_back(job.first);
      }
    }
    PruneLocked(w, now);
    streams = w.streams > 0;
  }
  for (const JobKey& key : tooOld) ReleaseSpoolerJob(key.first, key.second);
  for (const JobKey& key : followed) RefreshJob(key);
  if (streams) PollPrinters();
}

void ThreadBody() {
  WatcherTables& w = Tables();
  std::unique_lock<std::mutex> guard(w.lock);
  for (;;) {
    w.wake.wait(guard, [&w] { return w.stopping || Busy(w); });
    if (w.stopping) break;
    ++w.wakeUps;
    guard.unlock();
    {
      std::lock_guard<std::mutex> pass(w.pass);
      PassLocked();
    }
    guard.lock();
    w.wake.wait_for(guard, std::chrono::milliseconds(kPollMs), [&w] { return w.stopping; });
  }
  w.threadRunning = false;
  w.changed.notify_all();
}

void StartThreadLocked(WatcherTables& w) {
  if (w.threadRunning) return;
  w.threadRunning = true;
  std::thread(ThreadBody).detach();
}

void OnJobMoment(JobMoment moment, const std::string& printer, int jobId) {
  if (moment == kJobStarted) FollowJobStarted(printer, jobId);
  if (moment == kJobHandedOver) FollowJobHandedOver(printer, jobId);
  if (moment == kJobDropped) FollowJobDropped(printer, jobId);
}

}  // namespace

void StartFollowing() {
  WatcherTables& w = Tables();
  std::lock_guard<std::mutex> guard(w.lock);
  if (w.started) return;
  w.started = true;
  w.stopping = false;
  SetJobWatch(OnJobMoment);
  StartThreadLocked(w);
}

void StopFollowing() {
  WatcherTables& w = Tables();
  std::unique_lock<std::mutex> guard(w.lock);
  w.stopping = true;
  w.wake.notify_all();
  w.changed.notify_all();
  w.changed.wait(guard, [&w] { return !w.threadRunning; });
}

bool FollowingStopped() {
  WatcherTables& w = Tables();
  std::lock_guard<std::mutex> guard(w.lock);
  return w.stopping;
}

void FollowJobStarted(const std::string& printer, int jobId) {
  if (jobId <= 0) return;
  bool held = HoldSpoolerJob(printer, jobId);
  WatcherTables& w = Tables();
  std::lock_guard<std::mutex> guard(w.lock);
  JobRecord record;
  record.held = held;
  record.since = gNow();
  w.jobs[JobKey(printer, jobId)] = record;
}

void FollowJobHandedOver(const std::string& printer, int jobId) {
  WatcherTables& w = Tables();
  {
    std::lock_guard<std::mutex> guard(w.lock);
    JobRecord& record = w.jobs[JobKey(printer, jobId)];
    record.handedOver = true;
    record.followed = true;
    record.since = gNow();
    EmitLocked(w, "job", CompactJson(JobJson(Copy(JobKey(printer, jobId), record))));
    w.wake.notify_all();
  }
  // No look here: the legacy route's answer would wait for it, and the
  // thread's next pass comes within half a second.
}

void FollowJobDropped(const std::string& printer, int jobId) {
  WatcherTables& w = Tables();
  bool held = false;
  {
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = w.jobs.find(JobKey(printer, jobId));
    if (it == w.jobs.end()) return;
    held = it->second.held;
    w.jobs.erase(it);
  }
  if (held) ReleaseSpoolerJob(printer, jobId);
}

bool LookUpJob(const std::string& printer, int jobId, FollowedJob* job) {
  WatcherTables& w = Tables();
  JobKey key(printer, jobId);
  bool followed = false;
  {
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = w.jobs.find(key);
    if (it == w.jobs.end() || !it->second.handedOver) return false;
    followed = it->second.followed;
  }
  if (followed) RefreshJob(key);
  std::lock_guard<std::mutex> guard(w.lock);
  auto it = w.jobs.find(key);
  if (it == w.jobs.end()) return false;
  *job = Copy(key, it->second);
  return true;
}

CancelOutcome CancelJob(const std::string& printer, int jobId, FollowedJob* job, unsigned long* error) {
  *error = 0;
  if (!LookUpJob(printer, jobId, job)) return kCancelNotOurs;
  if (LabelStateEnded(job->reading.state)) return kCancelAlreadyEnded;
  if (!CancelSpoolerJob(printer, jobId, error)) {
    // It may have ended meanwhile: then that is the answer.
    if (LookUpJob(printer, jobId, job) && LabelStateEnded(job->reading.state)) return kCancelAlreadyEnded;
    return kCancelRefused;
  }
  WatcherTables& w = Tables();
  JobKey key(printer, jobId);
  bool release = false;
  {
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = w.jobs.find(key);
    if (it == w.jobs.end()) return kCancelNotOurs;
    LabelReading canceled;
    canceled.state = kLabelCanceled;
    if (ApplyLocked(w, key, it->second, canceled)) release = it->second.held;
    it->second.held = false;
    *job = Copy(key, it->second);
  }
  if (release) ReleaseSpoolerJob(printer, jobId);
  return kCancelDone;
}

bool WaitForJobEnd(const std::string& printer, int jobId, int seconds, FollowedJob* job) {
  if (!LookUpJob(printer, jobId, job)) return false;
  WatcherTables& w = Tables();
  JobKey key(printer, jobId);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::unique_lock<std::mutex> guard(w.lock);
  for (;;) {
    auto it = w.jobs.find(key);
    if (it == w.jobs.end()) return true;  // forgotten meanwhile: its last state stands
    *job = Copy(key, it->second);
    if (LabelStateEnded(job->reading.state) || !it->second.followed || w.stopping) return true;
    if (w.changed.wait_until(guard, deadline) == std::cv_status::timeout) {
      it = w.jobs.find(key);
      if (it != w.jobs.end()) *job = Copy(key, it->second);
      return true;
    }
  }
}

cJSON* JobJson(const FollowedJob& job) {
  cJSON* root = cJSON_CreateObject();
  cJSON_AddNumberToObject(root, "job", job.job);
  cJSON_AddStringToObject(root, "printer", job.printer.c_str());
  cJSON_AddStringToObject(root, "state", LabelStateName(job.reading.state));
  cJSON* reasons = cJSON_AddArrayToObject(root, "reasons");
  for (const std::string& reason : job.reading.reasons) cJSON_AddItemToArray(reasons, cJSON_CreateString(reason.c_str()));
  cJSON_AddStringToObject(root, "message", job.reading.message.c_str());
  return root;
}

bool ListPrinterStates(std::vector<PrinterReading>* printers) { return ReadSpoolerPrinters(printers); }

void ResetFollowingForTests(bool thread) {
  WatcherTables& w = Tables();
  StopFollowing();
  std::lock_guard<std::mutex> guard(w.lock);
  w.jobs.clear();
  w.ring.clear();
  w.seq = 0;
  w.printers.clear();
  w.havePrinters = false;
  w.printersFailed = false;
  w.printersSince = 0;
  w.streams = 0;
  w.wakeUps = 0;
  w.stopping = false;
  w.started = true;
  SetJobWatch(OnJobMoment);
  if (thread) StartThreadLocked(w);
}

void FollowPollOnce() {
  std::lock_guard<std::mutex> pass(Tables().pass);
  PassLocked();
}

void SetFollowClockForTests(int64_t (*now)()) { gNow = now != nullptr ? now : SteadyMs; }

int FollowWakeUps() {
  WatcherTables& w = Tables();
  std::lock_guard<std::mutex> guard(w.lock);
  return w.wakeUps;
}
