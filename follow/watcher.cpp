// The watcher's jobs, its polling thread and the ring of events. One lock
// guards the tables; the spooler is asked outside it, one pass at a time.
#include "follow/watcher.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "follow/follow_spooler.h"
#include "render/print_job.h"

namespace {

constexpr int64_t kPollMs = 500;
constexpr int64_t kFollowLongestMs = 24ll * 3600 * 1000;
constexpr int64_t kRememberMs = 10 * 60 * 1000;
constexpr size_t kRememberedEnds = 256;
constexpr size_t kRingEvents = 1000;
constexpr int kLargestStreams = 32;

typedef std::pair<std::string, int> JobKey;

struct JobRecord {
  LabelReading reading;
  bool handedOver = false;  // the spooler has the whole document
  bool followed = true;     // still asked about; false once ended or too old
  bool held = false;        // kept visible past its end
  bool sawTrouble = false;  // was ever seen waiting for the printer's attention
  bool seen = false;        // the spooler has shown it at least once
  int64_t since = 0;        // handed over at, on the watcher's clock
  int64_t endedAt = 0;      // no longer followed since
};

struct Watcher {
  std::mutex lock;
  std::condition_variable wake;     // the thread: something to follow, or stop
  std::condition_variable changed;  // waiters for a job's end and streams
  std::mutex pass;                  // one pass over the spooler at a time
  std::map<JobKey, JobRecord> jobs;
  std::deque<std::pair<uint64_t, std::string>> ring;
  uint64_t seq = 0;
  std::vector<ListedPrinter> printers;
  bool havePrinters = false;
  bool printersFailed = false;  // the last try at a first list failed
  uint64_t printersSince = 0;  // ids before this predate the queues' list
  int streams = 0;
  bool stopping = false;
  bool threadRunning = false;
  bool started = false;
  int wakeUps = 0;
  std::string boot;
};

// Never destroyed: the thread and open streams may outlive static
// destruction at the program's exit.
Watcher& W() {
  static Watcher* watcher = [] {
    Watcher* made = new Watcher;
    // This run's tag in every event id: the wall clock's milliseconds at
    // start, so a page's id from an earlier run never resumes this one.
    char tag[32];
    std::snprintf(tag, sizeof(tag), "%llx",
                  static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count()));
    made->boot = tag;
    return made;
  }();
  return *watcher;
}

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch()).count();
}
int64_t (*gNow)() = SteadyMs;

std::string Compact(cJSON* root) {
  char* text = cJSON_PrintUnformatted(root);
  std::string out = text != nullptr ? text : "{}";
  cJSON_free(text);
  cJSON_Delete(root);
  return out;
}

void EmitLocked(Watcher& w, const char* type, const std::string& data) {
  ++w.seq;
  w.ring.emplace_back(w.seq, "id: " + EventIdText(w.seq) + "\nevent: " + type + "\ndata: " + data + "\n\n");
  while (w.ring.size() > kRingEvents) w.ring.pop_front();
  w.changed.notify_all();
}

bool Busy(const Watcher& w) {
  if (w.streams > 0) return true;
  for (const auto& job : w.jobs) {
    if (job.second.followed && job.second.handedOver) return true;
  }
  return false;
}

// Forgets ends older than ten minutes and all but the last 256.
void PruneLocked(Watcher& w, int64_t now) {
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
bool ApplyLocked(Watcher& w, const JobKey& key, JobRecord& record, const LabelReading& reading) {
  if (record.reading.state == kLabelWaiting || reading.state == kLabelWaiting) {
    for (const std::string& reason : reading.reasons) {
      if (reason == "needs-attention") record.sawTrouble = true;
    }
  }
  if (SameReading(record.reading, reading)) return false;
  record.reading = reading;
  EmitLocked(w, "job", Compact(JobJson(Copy(key, record))));
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
  Watcher& w = W();
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

bool ReadPrinters(std::vector<ListedPrinter>* printers) {
  std::vector<SpoolerPrinter> records;
  std::vector<PrinterReading> readings;
  if (!EnumLocalPrinters(&records) || !ReadSpoolerPrinters(&readings)) return false;
  *printers = MergePrinterStates(records, readings);
  return true;
}

std::string PrinterChange(const char* change, const ListedPrinter& printer) {
  cJSON* root = cJSON_CreateObject();
  cJSON_AddStringToObject(root, "change", change);
  cJSON_AddItemToObject(root, "printer", ListedPrinterJson(printer));
  return Compact(root);
}

// Compares the queues with the last list and emits what changed. The first
// list of a run of streams is only kept.
void PollPrinters() {
  std::vector<ListedPrinter> now;
  Watcher& w = W();
  if (!ReadPrinters(&now)) {
    std::lock_guard<std::mutex> guard(w.lock);
    if (!w.havePrinters) w.printersFailed = true;
    return;
  }
  std::lock_guard<std::mutex> guard(w.lock);
  if (!w.havePrinters) {
    w.printers = now;
    w.havePrinters = true;
    // Streams that were sent a failed listing get the whole one now.
    if (w.printersFailed) EmitLocked(w, "printers", Compact(PrinterListingJson(w.printers, true, 0)));
    w.printersFailed = false;
    w.printersSince = w.seq;
    return;
  }
  std::map<std::string, std::string> before;
  for (const ListedPrinter& printer : w.printers) {
    before[printer.record.utf8Name] = Compact(ListedPrinterJson(printer));
  }
  for (const ListedPrinter& printer : now) {
    auto it = before.find(printer.record.utf8Name);
    if (it == before.end()) {
      EmitLocked(w, "printer", PrinterChange("added", printer));
      continue;
    }
    if (it->second != Compact(ListedPrinterJson(printer))) EmitLocked(w, "printer", PrinterChange("changed", printer));
    before.erase(it);
  }
  for (const ListedPrinter& printer : w.printers) {
    if (before.count(printer.record.utf8Name)) EmitLocked(w, "printer", PrinterChange("removed", printer));
  }
  w.printers = now;
}

void PassLocked() {
  Watcher& w = W();
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
  Watcher& w = W();
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

void StartThreadLocked(Watcher& w) {
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
  Watcher& w = W();
  std::lock_guard<std::mutex> guard(w.lock);
  if (w.started) return;
  w.started = true;
  w.stopping = false;
  SetJobWatch(OnJobMoment);
  StartThreadLocked(w);
}

void StopFollowing() {
  Watcher& w = W();
  std::unique_lock<std::mutex> guard(w.lock);
  w.stopping = true;
  w.wake.notify_all();
  w.changed.notify_all();
  w.changed.wait(guard, [&w] { return !w.threadRunning; });
}

bool FollowingStopped() {
  Watcher& w = W();
  std::lock_guard<std::mutex> guard(w.lock);
  return w.stopping;
}

void FollowJobStarted(const std::string& printer, int jobId) {
  if (jobId <= 0) return;
  bool held = HoldSpoolerJob(printer, jobId);
  Watcher& w = W();
  std::lock_guard<std::mutex> guard(w.lock);
  JobRecord record;
  record.held = held;
  record.since = gNow();
  w.jobs[JobKey(printer, jobId)] = record;
}

void FollowJobHandedOver(const std::string& printer, int jobId) {
  Watcher& w = W();
  {
    std::lock_guard<std::mutex> guard(w.lock);
    JobRecord& record = w.jobs[JobKey(printer, jobId)];
    record.handedOver = true;
    record.followed = true;
    record.since = gNow();
    EmitLocked(w, "job", Compact(JobJson(Copy(JobKey(printer, jobId), record))));
    w.wake.notify_all();
  }
  // No look here: the legacy route's answer would wait for it, and the
  // thread's next pass comes within half a second.
}

void FollowJobDropped(const std::string& printer, int jobId) {
  Watcher& w = W();
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
  Watcher& w = W();
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
  Watcher& w = W();
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
  Watcher& w = W();
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

std::string EventIdText(uint64_t seq) {
  Watcher& w = W();
  return w.boot + "-" + std::to_string(seq);
}

bool ParseEventId(const std::string& text, uint64_t* seq) {
  Watcher& w = W();
  size_t dash = text.find('-');
  if (dash == std::string::npos || text.compare(0, dash, w.boot) != 0 || dash != w.boot.size()) return false;
  std::string digits = text.substr(dash + 1);
  // Only the form this run writes: no sign, no leading zero, no overflow.
  if (digits.empty() || digits.size() > 18 || (digits.size() > 1 && digits[0] == '0')) return false;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  *seq = value;
  return true;
}

bool TakeStreamSlot() {
  Watcher& w = W();
  std::lock_guard<std::mutex> guard(w.lock);
  if (w.streams >= kLargestStreams || w.stopping) return false;
  ++w.streams;
  w.wake.notify_all();
  return true;
}

void GiveBackStreamSlot() {
  Watcher& w = W();
  std::lock_guard<std::mutex> guard(w.lock);
  if (w.streams > 0) --w.streams;
  // Nobody compares the queues while no stream is open: the next stream
  // starts from a fresh list.
  if (w.streams == 0) {
    w.havePrinters = false;
    w.printersFailed = false;
  }
}

namespace {

std::string PrintersEventLocked(Watcher& w) {
  std::string data = Compact(PrinterListingJson(w.printers, w.havePrinters, 0));
  return "id: " + EventIdText(w.seq) + "\nevent: printers\ndata: " + data + "\n\n";
}

// Whether the ring still holds every event after `after`.
bool RingCoversLocked(const Watcher& w, uint64_t after) {
  if (after > w.seq) return false;
  return after == w.seq || (!w.ring.empty() && w.ring.front().first <= after + 1);
}

std::string EventsAfterLocked(const Watcher& w, uint64_t after) {
  std::string text;
  for (const auto& event : w.ring) {
    if (event.first > after) text += event.second;
  }
  return text;
}

}  // namespace

std::string StreamStart(const std::string& lastEventId, uint64_t* last) {
  Watcher& w = W();
  bool have = false;
  {
    std::lock_guard<std::mutex> guard(w.lock);
    have = w.havePrinters;
  }
  if (!have) {
    std::lock_guard<std::mutex> pass(w.pass);
    bool again = false;
    {
      std::lock_guard<std::mutex> guard(w.lock);
      again = !w.havePrinters;
    }
    if (again) PollPrinters();
  }
  std::lock_guard<std::mutex> guard(w.lock);
  uint64_t after = 0;
  std::string text;
  if (ParseEventId(lastEventId, &after) && RingCoversLocked(w, after)) {
    text = EventsAfterLocked(w, after);
    // The queues were not compared while no stream was open: their state
    // now comes whole after the labels' events.
    if (after < w.printersSince || !w.havePrinters) text += PrintersEventLocked(w);
  } else {
    text = PrintersEventLocked(w);
  }
  *last = w.seq;
  return text;
}

std::string StreamNext(uint64_t* last) {
  Watcher& w = W();
  std::lock_guard<std::mutex> guard(w.lock);
  std::string text = RingCoversLocked(w, *last) ? EventsAfterLocked(w, *last) : PrintersEventLocked(w);
  *last = w.seq;
  return text;
}

void WaitForEventAfter(uint64_t after, std::chrono::milliseconds longest) {
  Watcher& w = W();
  std::unique_lock<std::mutex> guard(w.lock);
  w.changed.wait_for(guard, longest, [&w, after] { return w.seq > after || w.stopping; });
}

void ResetFollowingForTests(bool thread) {
  Watcher& w = W();
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
  std::lock_guard<std::mutex> pass(W().pass);
  PassLocked();
}

void SetFollowClockForTests(int64_t (*now)()) { gNow = now != nullptr ? now : SteadyMs; }

int FollowWakeUps() {
  Watcher& w = W();
  std::lock_guard<std::mutex> guard(w.lock);
  return w.wakeUps;
}
