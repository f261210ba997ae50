// The watcher over the scripted spooler: what a label's life looks like
// in events and answers, when it stops being followed and forgotten, who
// may see and cancel which job, and how a stream resumes from the ring.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include <cjson/cJSON.h>

#include "follow/watcher.h"
#include "tests/fakes/follow/follow_spooler_fake.h"
#include "tests/fakes/server/spooler_list_fake.h"

namespace {

int64_t gClock = 0;
int64_t FakeNow() { return gClock; }

constexpr int64_t kMinute = 60 * 1000;

class Watcher : public testing::Test {
 protected:
  void SetUp() override {
    FakeFollowReset();
    FakeSpoolerReset();
    gClock = 1000;
    SetFollowClockForTests(FakeNow);
    ResetFollowingForTests(false);
  }
  void TearDown() override {
    ResetFollowingForTests(false);
    SetFollowClockForTests(nullptr);
  }
  // A job through the print path's moments.
  void Submit(const std::string& printer, int id) {
    FollowJobStarted(printer, id);
    FollowJobHandedOver(printer, id);
  }
  std::string State(const std::string& printer, int id) {
    FollowedJob job;
    if (!LookUpJob(printer, id, &job)) return "not ours";
    std::string text = LabelStateName(job.reading.state);
    for (const std::string& reason : job.reading.reasons) text += " " + reason;
    return text;
  }
  // The states of the job events a new stream resuming from the start of
  // this run receives.
  std::vector<std::string> JobEvents() {
    uint64_t last = 0;
    std::string text = StreamStart(EventIdText(0), &last);
    std::vector<std::string> states;
    for (size_t at = text.find("event: job\ndata: "); at != std::string::npos;
         at = text.find("event: job\ndata: ", at + 1)) {
      size_t begin = at + 17;
      cJSON* json = cJSON_Parse(text.substr(begin, text.find('\n', begin) - begin).c_str());
      states.push_back(std::to_string(static_cast<int>(cJSON_GetObjectItem(json, "job")->valuedouble)) + " " +
                       cJSON_GetObjectItem(json, "state")->valuestring);
      cJSON_Delete(json);
    }
    return states;
  }
};

TEST_F(Watcher, EachLabelIsFollowedToItsEnd) {
  struct Case {
    const char* name;
    std::vector<FakeJobStep> script;
    bool holdFails;
    std::vector<std::string> events;  // the job's event states after its first "queued"
    const char* end;
  } cases[] = {
      {"printed", {FakeStep(kLabelQueued), FakeStep(kLabelPrinting), FakeStep(kLabelPrinted)}, false,
       {"printing", "printed"}, "printed"},
      {"stopped, started, printed",
       {FakeStep(kLabelQueued), FakeStep(kLabelWaiting, {"queue-stopped"}), FakeStep(kLabelWaiting, {"queue-stopped"}),
        FakeStep(kLabelPrinting), FakeStep(kLabelPrinted)},
       false, {"waiting", "printing", "printed"}, "printed"},
      {"failed", {FakeStep(kLabelQueued), FakeStep(kLabelFailed, {}, "backend failed")}, false, {"failed"}, "failed"},
      // A held job the spooler forgets was deleted by someone.
      {"held and gone", {FakeStep(kLabelQueued), FakeGone()}, false, {"canceled"}, "canceled"},
      // Held, but gone at the first look: the spooler dropped it at its end.
      {"gone at once", {FakeGone()}, false, {"printed"}, "printed"},
      // Not held, it left as printed jobs leave.
      {"gone unheld", {FakeStep(kLabelQueued), FakeGone()}, true, {"printed"}, "printed"},
      // Seen in trouble, then gone: the spooler gave up.
      {"trouble then gone",
       {FakeStep(kLabelQueued), FakeStep(kLabelWaiting, {"needs-attention"}, "error"), FakeGone()}, true,
       {"waiting", "failed"}, "failed needs-attention"},
      // A look that fails changes nothing.
      {"unreachable", {FakeStep(kLabelQueued), FakeJobStep{{}, false, true}, FakeStep(kLabelPrinted)}, false,
       {"printed"}, "printed"},
  };
  int id = 0;
  for (const Case& c : cases) {
    ++id;
    FakeFollowFaults faults;
    faults.holdFails = c.holdFails;
    FakeFollowSetFaults(faults);
    FakeFollowSetJob("Q", id, c.script);
    Submit("Q", id);
    for (int pass = 0; pass < 8; ++pass) FollowPollOnce();
    EXPECT_EQ(State("Q", id), c.end) << c.name;
    std::vector<std::string> expected = {std::to_string(id) + " queued"};
    for (const std::string& state : c.events) expected.push_back(std::to_string(id) + " " + state);
    std::vector<std::string> all = JobEvents();
    std::vector<std::string> mine;
    for (const std::string& event : all) {
      if (event.compare(0, std::to_string(id).size() + 1, std::to_string(id) + " ") == 0) mine.push_back(event);
    }
    EXPECT_EQ(mine, expected) << c.name;
    // Ended: asked no more, and let go once if it was held and still there.
    int reads = FakeFollowCount("read Q " + std::to_string(id));
    FollowPollOnce();
    EXPECT_EQ(FakeFollowCount("read Q " + std::to_string(id)), reads) << c.name;
    bool released = !c.holdFails && c.script.back().gone == false;
    EXPECT_EQ(FakeFollowCount("release Q " + std::to_string(id)), released ? 1 : 0) << c.name;
  }
}

TEST_F(Watcher, OnlyItsOwnJobsAreSeenOrCanceled) {
  FakeFollowSetJob("Q", 7, {FakeStep(kLabelWaiting, {"queue-stopped"})});
  Submit("Q", 7);
  EXPECT_EQ(State("Q", 8), "not ours");
  EXPECT_EQ(State("Other", 7), "not ours");
  FollowedJob job;
  unsigned long error = 0;
  EXPECT_EQ(CancelJob("Q", 8, &job, &error), kCancelNotOurs);
  EXPECT_EQ(FakeFollowCount("cancel Q 8"), 0);
  // A job whose document never reached the spooler is nobody's.
  FollowJobStarted("Q", 9);
  EXPECT_EQ(State("Q", 9), "not ours");
  FollowJobDropped("Q", 9);
  EXPECT_EQ(FakeFollowCount("release Q 9"), 1);

  EXPECT_EQ(CancelJob("Q", 7, &job, &error), kCancelDone);
  EXPECT_EQ(LabelStateName(job.reading.state), std::string("canceled"));
  EXPECT_EQ(CancelJob("Q", 7, &job, &error), kCancelAlreadyEnded);
  EXPECT_EQ(FakeFollowCount("cancel Q 7"), 1);

  FakeFollowFaults faults;
  faults.cancelRefused = true;
  FakeFollowSetFaults(faults);
  Submit("Q", 10);
  EXPECT_EQ(CancelJob("Q", 10, &job, &error), kCancelRefused);
  EXPECT_EQ(error, 5u);
}

TEST_F(Watcher, FollowsForADayAndRemembers256EndsForTenMinutes) {
  FakeFollowSetJob("Q", 1, {FakeStep(kLabelWaiting, {"printer-absent"})});
  Submit("Q", 1);
  gClock += 24 * 60 * kMinute - 1;
  FollowPollOnce();
  int reads = FakeFollowCount("read Q 1");
  gClock += 1;
  FollowPollOnce();
  EXPECT_EQ(FakeFollowCount("read Q 1"), reads);
  EXPECT_EQ(FakeFollowCount("release Q 1"), 1);
  EXPECT_EQ(State("Q", 1), "waiting printer-absent");
  gClock += 10 * kMinute + 1;
  FollowPollOnce();
  EXPECT_EQ(State("Q", 1), "not ours");

  for (int id = 100; id < 400; ++id) {
    FakeFollowSetJob("Q", id, {FakeStep(kLabelPrinted)});
    Submit("Q", id);
    FollowPollOnce();
    gClock += 1;
  }
  FollowPollOnce();
  EXPECT_EQ(State("Q", 143), "not ours");
  EXPECT_EQ(State("Q", 144), "printed");
  EXPECT_EQ(State("Q", 399), "printed");
}

TEST_F(Watcher, StreamsResumeFromTheRingOrStartWithTheListing) {
  FakeSpoolerSetPrinters({{false, "", "Q", 0, "Q", true}});
  FakeFollowSetPrinters({PrinterReading{"Q", kPrinterIdle, {}, ""}});
  ASSERT_TRUE(TakeStreamSlot());
  uint64_t last = 0;
  std::string first = StreamStart("", &last);
  EXPECT_EQ(first.compare(0, 4, "id: "), 0);
  EXPECT_NE(first.find("event: printers\ndata: {\"printers\":[{\"name\":\"Q\",\"online\":true,\"local\":true,"
                       "\"supported\":false,\"default\":true,\"state\":\"idle\",\"reasons\":[]}]"),
            std::string::npos)
      << first;
  uint64_t mark = last;

  // A queue changes, one appears, one goes.
  FakeSpoolerSetPrinters({{false, "", "Q", 0x400, "Q", true}, {false, "", "New", 0, "New", false}});
  FakeFollowSetPrinters({PrinterReading{"Q", kPrinterWaiting, {"printer-absent"}, ""}});
  FollowPollOnce();
  FakeSpoolerSetPrinters({{false, "", "New", 0, "New", false}});
  FollowPollOnce();
  std::string next = StreamNext(&last);
  std::vector<std::string> changes;
  for (size_t at = next.find("\"change\":\""); at != std::string::npos; at = next.find("\"change\":\"", at + 1)) {
    changes.push_back(next.substr(at + 10, next.find('"', at + 10) - at - 10));
  }
  EXPECT_EQ(changes, (std::vector<std::string>{"changed", "added", "removed"})) << next;
  EXPECT_NE(next.find("\"reasons\":[\"printer-absent\"]"), std::string::npos);

  // Resuming from the mark gives the same events; ids of other runs, junk
  // or ids from the future start again with the listing.
  uint64_t resumed = 0;
  EXPECT_EQ(StreamStart(EventIdText(mark), &resumed), next);
  // A page that missed nothing is sent nothing more.
  EXPECT_EQ(StreamStart(EventIdText(last), &resumed), "");
  for (const std::string& id : {std::string("0-1"), std::string("x"), EventIdText(last + 1), EventIdText(mark) + "0",
                                std::string("-") + std::to_string(mark), std::string(2000, '9')}) {
    std::string text = StreamStart(id, &resumed);
    EXPECT_EQ(text.find("event: printers\n"), text.find("event: ")) << id;
  }
  // The ring holds 1000 events: an id older than that starts again.
  for (int id = 1; id <= 1001; ++id) {
    FakeFollowSetJob("Q", id, {FakeStep(kLabelPrinted)});
    Submit("Q", id);
  }
  std::string old = StreamStart(EventIdText(mark), &resumed);
  EXPECT_EQ(old.find("event: printers\n"), old.find("event: ")) << old.substr(0, 200);
  GiveBackStreamSlot();
}

TEST_F(Watcher, AThreadOnlyWhileSomethingIsFollowed) {
  ResetFollowingForTests(true);
  SetFollowClockForTests(nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_EQ(FollowWakeUps(), 0);
  FakeFollowSetJob("Q", 5, {FakeStep(kLabelQueued), FakeStep(kLabelPrinting), FakeStep(kLabelPrinted)});
  Submit("Q", 5);
  FollowedJob job;
  ASSERT_TRUE(WaitForJobEnd("Q", 5, 30, &job));
  EXPECT_EQ(LabelStateName(job.reading.state), std::string("printed"));
  // Nothing left to follow: the thread goes back to sleep for good.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  int wakeUps = FollowWakeUps();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(FollowWakeUps(), wakeUps);
  EXPECT_FALSE(WaitForJobEnd("Q", 6, 1, &job));
}

}  // namespace
