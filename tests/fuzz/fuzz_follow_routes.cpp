// Fuzzes what a page hands the routes of a label's life: the job id of the
// path, the print's until and wait, and the stream's Last-Event-ID, over the
// watcher with one label of its own (job 5 on "Q") and the scripted spooler.
// Checks that only the canonical forms are taken, that nobody else's job is
// ever found, and that a stream's opening is whole events whatever the id
// (none for the id of the newest event).
//
// Input: the id text, a NUL, a query string, a NUL, a Last-Event-ID.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <httplib.h>

#include "apiv2/api_v2.h"
#include "apiv2/jobs_v2.h"
#include "common/diag.h"
#include "follow/watcher.h"
#include "tests/fakes/follow/follow_spooler_fake.h"

namespace {
void Discard(const std::string&) {}

void Check(bool condition) {
  if (!condition) std::abort();
}

std::string Part(const std::string& input, size_t* at) {
  size_t end = input.find('\0', *at);
  if (end == std::string::npos) end = input.size();
  std::string part = input.substr(std::min(*at, input.size()), end - std::min(*at, input.size()));
  *at = end + 1;
  return part;
}

bool Setup() {
  SetDiagSink(Discard);
  ResetFollowingForTests(false);
  FakeFollowSetJob("Q", 5, {FakeStep(kLabelWaiting, {"queue-stopped"})});
  FollowJobStarted("Q", 5);
  FollowJobHandedOver("Q", 5);
  TakeStreamSlot();
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = Setup();
  (void)ready;
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  std::string id = Part(input, &at);
  std::string query = Part(input, &at);
  std::string lastEventId = at <= input.size() ? input.substr(at) : std::string();

  int jobId = 0;
  if (ParseJobId(id, &jobId)) {
    Check(jobId > 0 && std::to_string(jobId) == id);
    FollowedJob job;
    httplib::Request req;
    httplib::detail::parse_query_text(query, req.params);
    std::string printer = req.has_param("printer") ? req.get_param_value("printer") : "VELQ";
    Check(LookUpJob(printer, jobId, &job) == (printer == "Q" && jobId == 5));
  } else {
    Check(id.empty() || id[0] == '0' || id.size() > 9 || id.find_first_not_of("0123456789") != std::string::npos);
  }

  httplib::Request req;
  httplib::detail::parse_query_text(query, req.params);
  bool until = false;
  int wait = -1;
  if (ParseUntil(req, &until, &wait)) {
    Check(wait >= 0 && wait <= kLongestWaitSeconds);
    Check(!until || req.get_param_value("until", req.get_param_value_count("until") - 1) == "printed");
  }

  uint64_t seq = 0;
  if (ParseEventId(lastEventId, &seq)) Check(EventIdText(seq) == lastEventId);
  uint64_t last = 0;
  std::string opening = StreamStart(lastEventId, &last);
  // Only a page that has seen this run's newest event is sent nothing: the
  // fuzzer learns the run's ids (the start time is in them) within minutes.
  if (opening.empty()) {
    Check(ParseEventId(lastEventId, &seq) && seq == last);
    return 0;
  }
  Check(opening.compare(0, 4, "id: ") == 0);
  Check(opening.size() >= 2 && opening.compare(opening.size() - 2, 2, "\n\n") == 0);
  // Whole events of this run's own ids: nothing of a page's id is written
  // back into the stream.
  for (size_t line = 0; line < opening.size();) {
    size_t end = opening.find('\n', line);
    Check(end != std::string::npos);
    std::string text = opening.substr(line, end - line);
    uint64_t written = 0;
    if (text.compare(0, 4, "id: ") == 0) Check(ParseEventId(text.substr(4), &written) && written <= last);
    else Check(text.empty() || text.compare(0, 7, "event: ") == 0 || text.compare(0, 6, "data: ") == 0);
    line = end + 1;
  }
  return 0;
}
