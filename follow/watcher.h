// The watcher: follows every label printgate submitted until it ends
// (printed, failed, canceled) or for 24 hours, remembers the ends of the
// last 256 for 10 minutes, and keeps the ring of events a page's stream
// reads: "job" events for those labels and, while a stream is open,
// "printer" events for queues added, removed or changed. It polls the
// spooler (follow/follow_spooler.h) every 500 ms while a label is followed
// or a stream is open, and does not wake at all otherwise. Only labels
// printgate submitted are known here: no page sees or touches another
// program's job.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "follow/label_states.h"
#include "follow/printer_listing.h"

struct cJSON;

// One of printgate's labels as last read.
struct FollowedJob {
  std::string printer;
  int job = 0;
  LabelReading reading;
};

// Hands the print path's job ids to the watcher from now on, and starts
// its thread (which sleeps until there is something to follow). Idempotent.
void StartFollowing();
// Ends every open stream and the watcher's thread, for a program that is
// stopping; blocks until the thread has returned (at most one spooler
// round trip).
void StopFollowing();

// The print path's three moments of a job, as the hook passes them on:
// right after StartDoc gave its id (held, so it stays visible past its
// end), once the spooler took the whole document (followed from then on),
// or dropped because the document did not reach the spooler.
void FollowJobStarted(const std::string& printer, int jobId);
void FollowJobHandedOver(const std::string& printer, int jobId);
void FollowJobDropped(const std::string& printer, int jobId);

// The label's state now (read again from the spooler while it has not
// ended). False for any job printgate did not submit, or whose end it has
// forgotten. Blocks for a spooler round trip.
bool LookUpJob(const std::string& printer, int jobId, FollowedJob* job);

enum CancelOutcome {
  kCancelDone,          // canceled; *job says so
  kCancelAlreadyEnded,  // *job holds the state it ended in
  kCancelNotOurs,       // not one of printgate's jobs
  kCancelRefused,       // the spooler refused; *error holds its code
};
CancelOutcome CancelJob(const std::string& printer, int jobId, FollowedJob* job, unsigned long* error);

// Blocks until the label ends or `seconds` pass; *job holds its state then.
// False when it is not one of printgate's jobs.
bool WaitForJobEnd(const std::string& printer, int jobId, int seconds, FollowedJob* job);

// {"job", "printer", "state", "reasons", "message"}: a job route's answer
// and a "job" event's data.
cJSON* JobJson(const FollowedJob& job);

// Every queue's state now, for the listing (one spooler round trip). False
// when the spooler did not answer.
bool ListPrinterStates(std::vector<PrinterReading>* printers);

// --- The ring of events, for the stream's writer (follow/event_stream.cpp).

// An event's id as sent: this run's tag, "-", its number. Ids of another
// run of the program never match.
std::string EventIdText(uint64_t seq);
// The number of an id of this run; false for anything else.
bool ParseEventId(const std::string& text, uint64_t* seq);
// Takes one of the 32 stream slots (false when all are taken); the stream
// gives it back as it ends. While any is taken the watcher polls.
bool TakeStreamSlot();
void GiveBackStreamSlot();
// What a stream sends first: with the id of an event of this run that the
// ring still holds after it, the events since (and the whole listing as a
// "printers" event when the queues were not followed meanwhile);
// otherwise the listing alone. The "printers" event carries the last
// event's id, so a stream resumes after it. Reads the queues first when no
// stream had them (one spooler round trip). *last: the last id sent.
std::string StreamStart(const std::string& lastEventId, uint64_t* last);
// The events after *last, whole and in order, or the listing again when the
// ring lost some of them; *last advances.
std::string StreamNext(uint64_t* last);
// Waits until an event after `after` exists, the watcher stops, or the
// time passes.
void WaitForEventAfter(uint64_t after, std::chrono::milliseconds longest);
// Whether StopFollowing has been called.
bool FollowingStopped();

// --- For the unit tests.

// Forgets everything and, with `thread` false, runs no thread: the test
// drives the passes with FollowPollOnce and the clock with
// SetFollowClockForTests.
void ResetFollowingForTests(bool thread);
void FollowPollOnce();
// Milliseconds on the watcher's clock; null restores the steady clock.
void SetFollowClockForTests(int64_t (*now)());
// Passes the thread has made since the reset.
int FollowWakeUps();
