// The watcher's tables, shared by its two halves inside follow/: the jobs
// and the polling thread (watcher.cpp), and the ring of events with the
// queues' comparison (event_ring.cpp). Not for other folders.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "follow/watcher.h"

struct cJSON;

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

struct WatcherTables {
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

// The one watcher of the process.
WatcherTables& Tables();
// A JSON value printed on one line (taken and freed).
std::string CompactJson(cJSON* root);
// Appends an event to the ring and wakes the streams; w.lock held.
void EmitLocked(WatcherTables& w, const char* type, const std::string& data);
// Reads the queues and emits what changed since the last list (the first
// list of a run of streams is only kept). Call with w.pass held.
void PollPrinters();
