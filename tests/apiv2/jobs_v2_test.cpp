// The routes of a label's life after its print answer, over a real server on
// loopback with the printing and spooler backends faked: who may read and
// cancel which job, what until=printed answers for each end, and the event
// stream's opening, its job events and its limit of 32.
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include "follow/watcher.h"
#include "tests/fakes/follow/follow_spooler_fake.h"
#include "tests/fakes/render/printing_fake.h"
#include "tests/fakes/server/spooler_list_fake.h"
#include "tests/render/fake_png.h"
#include "tests/support/test_server.h"

namespace {

struct Reply {
  int status = 0;
  std::string error;
  std::string state;
  std::string reasons;
  std::string body;
};

class JobRoutes : public testing::Test {
 protected:
  void SetUp() override {
    ResetFakePrinting();
    FakeSpoolerReset();
    FakeFollowReset();
    ResetFollowingForTests(true);
    FakeSpoolerSetPrinters({{false, "", "Q", 0, "Q", true}});
    StartDiagCapture();
    port = StartTestServer();
  }
  void TearDown() override {
    StopTestServer();
    StopDiagCapture();
  }
  Reply Call(const std::string& method, const std::string& path, const std::string& body = "") {
    httplib::Client client = TestClient(port);
    httplib::Result result = method == "GET" ? client.Get(path.c_str()) : client.Post(path.c_str(), body, "image/png");
    Reply reply;
    if (!result) return reply;
    reply.status = result->status;
    reply.body = result->body;
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json") << path;
    EXPECT_EQ(result->get_header_value("Access-Control-Allow-Origin"), "*") << path;
    cJSON* json = cJSON_Parse(result->body.c_str());
    cJSON* error = cJSON_GetObjectItem(json, "error");
    cJSON* state = cJSON_GetObjectItem(json, "state");
    cJSON* reasons = cJSON_GetObjectItem(json, "reasons");
    if (cJSON_IsString(error)) reply.error = error->valuestring;
    if (cJSON_IsString(state)) reply.state = state->valuestring;
    for (cJSON* reason = reasons != nullptr ? reasons->child : nullptr; reason != nullptr; reason = reason->next) {
      reply.reasons += std::string(reply.reasons.empty() ? "" : " ") + reason->valuestring;
    }
    cJSON_Delete(json);
    return reply;
  }
  // Prints a label that the spooler numbers jobId and walks through script.
  Reply Print(int jobId, const std::vector<FakeJobStep>& script, const std::string& query = "") {
    FakePrintingFaults faults;
    faults.startDocResult = jobId;
    SetFakePrintingFaults(faults);
    FakeFollowSetJob("Q", jobId, script);
    return Call("POST", "/vqapi/v2/print?printer=Q" + query, FakePng(8, 8));
  }
  int port = 0;
};

TEST_F(JobRoutes, OnlyItsOwnLabelsCanBeReadOrCanceled) {
  ASSERT_EQ(Print(17, {FakeStep(kLabelWaiting, {"queue-stopped"}, "Paused")}).status, 200);
  struct Case {
    const char* method;
    const char* path;
    int status;
    const char* error;
    const char* state;
  } cases[] = {
      {"GET", "/vqapi/v2/jobs/17?printer=Q", 200, "", "waiting"},
      {"GET", "/vqapi/v2/jobs/18?printer=Q", 404, "job-not-found", ""},
      {"GET", "/vqapi/v2/jobs/17?printer=Other", 404, "job-not-found", ""},
      {"GET", "/vqapi/v2/jobs/17", 404, "job-not-found", ""},  // the default queue, VELQ
      {"GET", "/vqapi/v2/jobs/017?printer=Q", 404, "job-not-found", ""},
      {"GET", "/vqapi/v2/jobs/%31%37?printer=Q", 200, "", "waiting"},  // a path is read decoded
      {"GET", "/vqapi/v2/jobs/-17?printer=Q", 404, "job-not-found", ""},
      {"GET", "/vqapi/v2/jobs/4294967313?printer=Q", 404, "job-not-found", ""},
      {"GET", "/vqapi/v2/jobs/?printer=Q", 404, "job-not-found", ""},
      {"GET", "/vqapi/v2/jobs/17?printer=%FF", 404, "job-not-found", ""},
      {"POST", "/vqapi/v2/jobs/18/cancel?printer=Q", 404, "job-not-found", ""},
      {"POST", "/vqapi/v2/jobs/17/cancel?printer=Q", 200, "", "canceled"},
      {"POST", "/vqapi/v2/jobs/17/cancel?printer=Q", 409, "already-ended", "canceled"},
      {"GET", "/vqapi/v2/jobs/17?printer=Q", 200, "", "canceled"},
  };
  for (const Case& c : cases) {
    Reply reply = Call(c.method, c.path);
    EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path << " " << reply.body;
    EXPECT_EQ(reply.error, c.error) << c.path;
    EXPECT_EQ(reply.state, c.state) << c.path;
  }
  // Another program's job (18) was never asked for, let alone canceled.
  EXPECT_EQ(FakeFollowCount("cancel Q 18"), 0);
  EXPECT_EQ(FakeFollowCount("read Q 18"), 0);
  EXPECT_EQ(FakeFollowCount("cancel Q 17"), 1);
}

TEST_F(JobRoutes, UntilPrintedAnswersWithTheLabelsEnd) {
  struct Case {
    const char* query;
    std::vector<FakeJobStep> script;
    int status;
    const char* error;
    const char* state;
    const char* reasons;
  } cases[] = {
      {"&until=printed", {FakeStep(kLabelQueued), FakeStep(kLabelPrinting), FakeStep(kLabelPrinted)}, 200, "", "printed", ""},
      {"&until=printed&wait=5", {FakeStep(kLabelQueued), FakeStep(kLabelFailed, {}, "backend failed")}, 500,
       "print-failed", "failed", ""},
      {"&until=printed", {FakeStep(kLabelQueued), FakeStep(kLabelCanceled)}, 409, "canceled", "canceled", ""},
      {"&until=printed&wait=1", {FakeStep(kLabelWaiting, {"printer-absent"})}, 202, "", "waiting", "printer-absent"},
      {"&until=printed&wait=0", {FakeStep(kLabelPrinting)}, 202, "", "printing", ""},
      {"", {FakeStep(kLabelWaiting, {"queue-stopped"})}, 200, "", "waiting", ""},
  };
  int jobId = 100;
  for (const Case& c : cases) {
    Reply reply = Print(++jobId, c.script, c.query);
    EXPECT_EQ(reply.status, c.status) << c.query << " " << reply.body;
    EXPECT_EQ(reply.error, c.error) << c.query;
    EXPECT_EQ(reply.state, c.state) << c.query;
    EXPECT_EQ(reply.reasons, c.reasons) << c.query;
  }
  // Bad until or wait: nothing printed.
  for (const char* query : {"&until=done", "&until=", "&until=printed&wait=301", "&until=printed&wait=-1",
                            "&until=printed&wait=1.5", "&until=printed&wait=", "&wait=0300", "&wait=x"}) {
    ResetFakePrinting();
    Reply reply = Call("POST", std::string("/vqapi/v2/print?printer=Q") + query, FakePng(8, 8));
    EXPECT_EQ(reply.status, 400) << query;
    EXPECT_EQ(reply.error, "bad-request") << query;
    for (const std::string& call : FakePrintCalls()) EXPECT_NE(call.rfind("StartDoc", 0), 0u) << call;
  }
}

// Reads a stream's bytes until `want` shows up (or the read times out).
std::string ReadUntil(int fd, const std::string& want, std::string* seen) {
  char buffer[4096];
  while (seen->find(want) == std::string::npos) {
    ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
    if (got <= 0) break;
    seen->append(buffer, static_cast<size_t>(got));
  }
  return *seen;
}

int OpenStream(int port, std::string* seen) {
  int fd = ConnectLoopback(port, 10);
  std::string request = "GET /vqapi/v2/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n";
  send(fd, request.data(), request.size(), 0);
  ReadUntil(fd, "event: printers\n", seen);
  return fd;
}

TEST_F(JobRoutes, StreamsStartWithTheListingCarryJobEventsAndStopAt32) {
  std::string first;
  int fd = OpenStream(port, &first);
  EXPECT_NE(first.find("HTTP/1.1 200"), std::string::npos) << first;
  EXPECT_NE(first.find("Content-Type: text/event-stream\r\n"), std::string::npos);
  EXPECT_NE(first.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos);
  EXPECT_NE(first.find("retry: 2000\n\nid: "), std::string::npos) << first;
  EXPECT_NE(first.find("\"name\":\"Q\""), std::string::npos);

  ASSERT_EQ(Print(31, {FakeStep(kLabelQueued), FakeStep(kLabelPrinted)}).status, 200);
  std::string events = first;
  ReadUntil(fd, "\"state\":\"printed\"", &events);
  size_t queued = events.find("event: job\ndata: {\"job\":31,\"printer\":\"Q\",\"state\":\"queued\"");
  size_t printed = events.find("event: job\ndata: {\"job\":31,\"printer\":\"Q\",\"state\":\"printed\"");
  EXPECT_NE(queued, std::string::npos) << events;
  EXPECT_NE(printed, std::string::npos) << events;
  EXPECT_LT(queued, printed);

  std::vector<int> streams{fd};
  for (int i = 1; i < 32; ++i) {
    std::string seen;
    streams.push_back(OpenStream(port, &seen));
    EXPECT_NE(seen.find("event: printers\n"), std::string::npos) << i;
  }
  Reply refused = Call("GET", "/vqapi/v2/events");
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.error, "too-many-streams");
  // The listing and a print go on beside 32 open streams.
  EXPECT_EQ(Call("GET", "/vqapi/v2/printers").status, 200);
  EXPECT_EQ(Print(32, {FakeStep(kLabelPrinted)}).status, 200);
  // A stream the page closes gives its place back (the stream notices
  // within 5 s).
  close(streams.back());
  streams.pop_back();
  std::string again;
  for (int tries = 0; tries < 100 && again.find("event: printers\n") == std::string::npos; ++tries) {
    again.clear();
    int next = OpenStream(port, &again);
    if (again.find("event: printers\n") != std::string::npos) {
      streams.push_back(next);
    } else {
      close(next);
      usleep(100 * 1000);
    }
  }
  EXPECT_NE(again.find("event: printers\n"), std::string::npos) << again;
  for (int stream : streams) close(stream);
}

TEST_F(JobRoutes, TheStreamsPreflightAdmitsLastEventId) {
  httplib::Client client = TestClient(port);
  auto result = client.Options("/vqapi/v2/events");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 204);
  EXPECT_EQ(result->get_header_value("Access-Control-Allow-Headers"),
            "Origin, X-Requested-With, Content-Type, Accept, Last-Event-ID");
  EXPECT_EQ(result->get_header_value_count("Access-Control-Allow-Headers"), 1u);
  for (const char* path : {"/vqapi/v2/jobs/5", "/vqapi/v2/jobs/5/cancel"}) {
    result = client.Options(path);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 204) << path;
  }
}

}  // namespace
