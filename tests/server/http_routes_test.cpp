// The route table over a real server on loopback: methods, paths, the
// preflight and redirect answers, the error page, and what the library
// does with requests it cannot route.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "api/api_server.h"
#include "common/answer.h"
#include "tests/fakes/server/spooler_list_fake.h"
#include "tests/support/test_server.h"

namespace {

const char* const kCorsNames[] = {"Access-Control-Allow-Origin", "Access-Control-Allow-Methods",
                                  "Access-Control-Allow-Headers"};

// The cross-origin headers an answer carries, by name.
std::map<std::string, std::string> CorsHeaders(const httplib::Headers& headers) {
  std::map<std::string, std::string> found;
  for (const auto& header : headers) {
    if (header.first.rfind("Access-Control-", 0) == 0) found[header.first] += header.second;
  }
  return found;
}

void ExpectFullCorsSet(const httplib::Headers& headers) {
  std::map<std::string, std::string> expected = {
      {"Access-Control-Allow-Origin", "*"},
      {"Access-Control-Allow-Methods", "GET, OPTIONS, POST, HEAD"},
      {"Access-Control-Allow-Headers", "Origin, X-Requested-With, Content-Type, Accept"}};
  EXPECT_EQ(CorsHeaders(headers), expected);
  for (const char* name : kCorsNames) EXPECT_EQ(headers.count(name), 1u) << name;
}

// Sends raw bytes and returns what the server writes up to the end of the
// error page (or until it closes, or the read times out).
std::string RawExchange(int port, const std::string& request) {
  int fd = ConnectLoopback(port, 3);
  if (fd < 0) return "connect failed";
  send(fd, request.data(), request.size(), 0);
  std::string answer;
  char chunk[4096];
  ssize_t got;
  // Every answer here ends with the error page; the connection may stay open.
  while (answer.find("</p>") == std::string::npos && (got = recv(fd, chunk, sizeof(chunk), 0)) > 0) {
    answer.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  return answer;
}

// The server's own socket on port: the listening one, or the accepted end
// of the connection whose client side is client. -1 when none is open.
int ServerSocket(int port, int client) {
  sockaddr_in clientAddress{};
  socklen_t length = sizeof(clientAddress);
  if (client >= 0) getsockname(client, reinterpret_cast<sockaddr*>(&clientAddress), &length);
  for (int fd = 0; fd < 4096; ++fd) {
    sockaddr_in local{};
    length = sizeof(local);
    if (fd == client || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET || ntohs(local.sin_port) != port) {
      continue;
    }
    int listening = 0;
    length = sizeof(listening);
    getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length);
    if (client < 0 && listening) return fd;
    sockaddr_in peer{};
    length = sizeof(peer);
    if (client >= 0 && !listening && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        peer.sin_port == clientAddress.sin_port) {
      return fd;
    }
  }
  return -1;
}

// Context switches so far of every thread of this process but the caller's:
// how often the server's threads have woken up.
long OtherThreadsSwitches() {
  long total = 0;
  long self = static_cast<long>(syscall(SYS_gettid));
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.' || std::atol(entry->d_name) == self) continue;
    std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
    std::string line;
    while (std::getline(status, line)) {
      // Only the switches a thread makes by waiting: each wake-up ends in
      // one. A thread preempted while it runs is switched involuntarily, as
      // often as the machine's load has it (18 in one second of one idle
      // connection on a busy machine), which says nothing of the server.
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        total += std::atol(line.c_str() + line.find(':') + 1);
      }
    }
  }
  closedir(tasks);
  return total;
}

// Waits until the server's threads have settled into their waits (the
// pool's threads start with the server), at most five seconds.
void WaitForServerThreadsToSettle() {
  long last = OtherThreadsSwitches();
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    long now = OtherThreadsSwitches();
    if (now == last) return;
    last = now;
  }
}

class HttpRoutes : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeSpoolerReset();
    FakeSpoolerSetPrinters({{false, "", "VELQ", 0}});
    StartDiagCapture();
    port = StartTestServer();
    ASSERT_GT(port, 0);
  }
  void TearDown() override {
    StopTestServer();
    StopDiagCapture();
  }
  int port = 0;
};

const std::string kPrintersBody =
    "{\n\t\"statusCode\":\t\"10001\",\n\t\"resultInfo\":\t{\n\t\t\"printers\":\t[{\n"
    "\t\t\t\t\"name\":\t\"VELQ\"\n\t\t\t}]\n\t}\n}";

TEST_F(HttpRoutes, RootRedirectsToAnUnroutedPageWithoutCrossOriginHeaders) {
  httplib::Client client = TestClient(port);
  for (bool head : {false, true}) {
    auto res = head ? client.Head("/") : client.Get("/");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 302);
    EXPECT_EQ(res->get_header_value("Location"), "/hi");
    EXPECT_TRUE(CorsHeaders(res->headers).empty());
  }
  auto hi = client.Get("/hi");
  ASSERT_TRUE(hi);
  EXPECT_EQ(hi->status, 404);
  EXPECT_EQ(hi->body, "<p>Error Status: <span style='color:red;'>404</span></p>");
  EXPECT_EQ(hi->get_header_value("Content-Type"), "text/html");
  EXPECT_TRUE(CorsHeaders(hi->headers).empty());
}

TEST_F(HttpRoutes, PreflightAnswersBothApiPathsWithExactlyTheCrossOriginSet) {
  httplib::Client client = TestClient(port);
  for (const char* path : {"/vqapi/GetPrinters", "/vqapi/PrintImage",
                           "/vqapi/GetPrinters?onlyLocal=1", "/vqapi/PrintImage?printer=X"}) {
    auto res = client.Options(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 204) << path;
    EXPECT_EQ(res->body, "") << path;
    ExpectFullCorsSet(res->headers);
  }
}

TEST_F(HttpRoutes, PreflightAllowsThePrivateNetworkOnlyWhenAsked) {
  struct Case {
    const char* value;  // of Access-Control-Request-Private-Network; null: absent
    bool allowed;
  };
  const Case cases[] = {{"true", true}, {nullptr, false}, {"false", false}, {"", false},
                        {"TRUE", false}, {"true, true", false}};
  httplib::Client client = TestClient(port);
  for (const char* path : {"/vqapi/GetPrinters", "/vqapi/PrintImage?printer=X"}) {
    for (const Case& c : cases) {
      httplib::Headers asked = {{"Origin", "https://labels.example"},
                                {"Access-Control-Request-Method", "POST"}};
      if (c.value) asked.emplace("Access-Control-Request-Private-Network", c.value);
      auto res = client.Options(path, asked);
      std::string label = std::string(path) + " " + (c.value ? c.value : "(absent)");
      ASSERT_TRUE(res) << label;
      EXPECT_EQ(res->status, 204) << label;
      EXPECT_EQ(res->body, "") << label;
      std::map<std::string, std::string> expected = {
          {"Access-Control-Allow-Origin", "*"},
          {"Access-Control-Allow-Methods", "GET, OPTIONS, POST, HEAD"},
          {"Access-Control-Allow-Headers", "Origin, X-Requested-With, Content-Type, Accept"}};
      if (c.allowed) expected["Access-Control-Allow-Private-Network"] = "true";
      EXPECT_EQ(CorsHeaders(res->headers), expected) << label;
    }
  }
  // Only a preflight says it: the API's own answers and the error page don't.
  httplib::Headers asked = {{"Access-Control-Request-Private-Network", "true"}};
  auto listing = client.Post("/vqapi/GetPrinters", asked, "", "text/plain");
  ASSERT_TRUE(listing);
  EXPECT_FALSE(listing->has_header("Access-Control-Allow-Private-Network"));
  auto missing = client.Options("/", asked);
  ASSERT_TRUE(missing);
  EXPECT_TRUE(CorsHeaders(missing->headers).empty());
}

TEST_F(HttpRoutes, AcceptedConnectionsSendAtOnceAndBurstsOfConnectionsAreQueued) {
  // Without TCP_NODELAY every answer after the first on a reused connection
  // waits for the client's delayed acknowledgement.
  int client = ConnectLoopback(port, 3);
  ASSERT_GE(client, 0);
  std::string request = "OPTIONS /vqapi/GetPrinters HTTP/1.1\r\nHost: x\r\n\r\n";
  send(client, request.data(), request.size(), 0);
  char chunk[4096];
  ASSERT_GT(recv(client, chunk, sizeof(chunk), 0), 0);  // accepted and answered
  int accepted = ServerSocket(port, client);
  ASSERT_GE(accepted, 0);
  int noDelay = 0;
  socklen_t length = sizeof(noDelay);
  ASSERT_EQ(getsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
  EXPECT_NE(noDelay, 0);
  close(client);
  // The library's backlog of 5 drops the SYNs of a burst of connections
  // while the accept loop waits for the processor.
  int listening = ServerSocket(port, -1);
  ASSERT_GE(listening, 0);
  tcp_info info{};
  length = sizeof(info);
  ASSERT_EQ(getsockopt(listening, IPPROTO_TCP, TCP_INFO, &info, &length), 0);
  EXPECT_GE(info.tcpi_sacked, 128u);  // a listening socket's backlog limit
}

TEST_F(HttpRoutes, ApiPathsAnswerOnlyPostAndOptions) {
  httplib::Client client = TestClient(port);
  for (const char* path : {"/vqapi/GetPrinters", "/vqapi/PrintImage"}) {
    for (int method = 0; method < 4; ++method) {
      httplib::Result res = method == 0   ? client.Get(path)
                            : method == 1 ? client.Put(path, "", "text/plain")
                            : method == 2 ? client.Delete(path)
                                          : client.Patch(path, "", "text/plain");
      ASSERT_TRUE(res) << path;
      EXPECT_EQ(res->status, 404) << path;
      EXPECT_EQ(res->body, ErrorPageText(404)) << path;
      EXPECT_TRUE(CorsHeaders(res->headers).empty()) << path;
    }
  }
  auto optionsRoot = client.Options("/");
  ASSERT_TRUE(optionsRoot);
  EXPECT_EQ(optionsRoot->status, 404);
  EXPECT_EQ(optionsRoot->body, ErrorPageText(404));
  auto postRoot = client.Post("/", "", "text/plain");
  ASSERT_TRUE(postRoot);
  EXPECT_EQ(postRoot->status, 404);
}

TEST_F(HttpRoutes, PathsMatchWholeAndCaseSensitivelyButQueriesReachTheHandler) {
  httplib::Client client = TestClient(port);
  for (const char* path : {"/vqapi/getprinters", "/VQAPI/GetPrinters", "/vqapi/GetPrinters/",
                           "/vqapi/PrintImage/", "/vqapi/printimage", "/vqapi/GetPrintersX",
                           "/x/vqapi/GetPrinters", "/vqapi"}) {
    auto res = client.Post(path, "", "text/plain");
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->status, 404) << path;
    EXPECT_EQ(res->body, ErrorPageText(404)) << path;
  }
  auto res = client.Post("/vqapi/GetPrinters?a=1&b=two", "", "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, kPrintersBody);
  EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
  ExpectFullCorsSet(res->headers);
}

TEST_F(HttpRoutes, UnroutableRequestsGetTheErrorPageAndTheServerGoesOn) {
  struct Case {
    std::string request;
    int status;
  };
  std::vector<Case> cases = {
      {"CONNECT 127.0.0.1:443 HTTP/1.1\r\nHost: x\r\n\r\n", 400},
      {"TRACE / HTTP/1.1\r\nHost: x\r\n\r\n", 400},
      {"BREW /vqapi/GetPrinters HTTP/1.1\r\nHost: x\r\n\r\n", 400},
      {"this is not http\r\n\r\n", 400},
      {"GET /nowhere HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 404},
  };
  for (const Case& c : cases) {
    std::string answer = RawExchange(port, c.request);
    std::string statusLine = "HTTP/1.1 " + std::to_string(c.status) + " ";
    EXPECT_EQ(answer.rfind(statusLine, 0), 0u) << c.request << " -> " << answer;
    EXPECT_NE(answer.find(ErrorPageText(c.status)), std::string::npos) << answer;
    EXPECT_EQ(answer.find("Access-Control-"), std::string::npos) << answer;
  }
  httplib::Client client = TestClient(port);
  auto res = client.Post("/vqapi/GetPrinters", "", "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

TEST_F(HttpRoutes, BothContentLengthAndTransferEncodingAreRefusedWhateverTheLength) {
  // The chunked body would print a label if it were read.
  const std::string chunked = "Transfer-Encoding: chunked\r\n\r\n16\r\ndata:image/png;base64,\r\n0\r\n\r\n";
  const char* const lengths[] = {"0", "5", "abc", "", "-1"};
  const char* const targets[] = {"POST /vqapi/PrintImage?printer=VELQ", "POST /vqapi/v2/print?printer=VELQ",
                                 "POST /vqapi/GetPrinters", "GET /vqapi/v2/printers", "POST /nowhere"};
  for (const char* target : targets) {
    for (const char* length : lengths) {
      std::string request = std::string(target) + " HTTP/1.1\r\nHost: x\r\nContent-Length: " + length +
                            "\r\n" + chunked;
      std::string answer = RawExchange(port, request);
      EXPECT_EQ(answer.rfind("HTTP/1.1 400 ", 0), 0u) << target << " " << length << " -> " << answer;
      EXPECT_NE(answer.find(ErrorPageText(400)), std::string::npos) << answer;
      EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
      EXPECT_EQ(answer.find("Access-Control-"), std::string::npos) << answer;
    }
  }
  // No route ran: nothing was stored, listed or printed.
  EXPECT_EQ(DiagOutput().find("start print"), std::string::npos) << DiagOutput();
  EXPECT_EQ(DiagOutput().find("v2 print"), std::string::npos) << DiagOutput();
}

TEST_F(HttpRoutes, ConcurrentRequestsEachGetTheirOwnCompleteAnswer) {
  const int threads = 8;
  const int perThread = 25;
  std::vector<int> good(threads, 0);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      httplib::Client client = TestClient(port);
      for (int i = 0; i < perThread; ++i) {
        auto res = (i % 2) ? client.Post("/vqapi/GetPrinters", "", "text/plain")
                           : client.Options("/vqapi/PrintImage");
        if (!res) continue;
        if ((i % 2) ? (res->status == 200 && res->body == kPrintersBody)
                    : (res->status == 204 && res->body.empty())) {
          ++good[t];
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
  for (int t = 0; t < threads; ++t) EXPECT_EQ(good[t], perThread) << "thread " << t;
}

TEST_F(HttpRoutes, APostWithoutBodyOrLengthReachesItsRoute) {
  // As curl -X POST sends it: no Content-Length, no body, which HTTP/1.1
  // reads as an empty body.
  struct Case {
    const char* target;
    const char* statusLine;
    std::string bodyHas;
  };
  const Case cases[] = {
      {"/vqapi/GetPrinters?onlyOnline", "HTTP/1.1 200 OK\r\n", "\r\n\r\n" + kPrintersBody},
      {"/vqapi/PrintImage?printer=VELQ", "HTTP/1.1 200 OK\r\n",
       "\r\n\r\n{\n\t\"statusCode\":\t\"10001\",\n\t\"resultInfo\":\t\"hahah\"\n}"},
      {"/vqapi/v2/printers", "HTTP/1.1 200 OK\r\n", "\"name\":\t\"VELQ\""},
      {"/vqapi/v2/print?printer=VELQ", "HTTP/1.1 415 ", "\"error\":\t\"not-an-image\""},
  };
  for (const Case& c : cases) {
    // Twice on one connection: the first answer must not leave the server
    // waiting for a body, which would swallow the second request.
    int fd = ConnectLoopback(port, 3);
    ASSERT_GE(fd, 0);
    for (const char* last : {"", "Connection: close\r\n"}) {
      std::string request = std::string("POST ") + c.target + " HTTP/1.1\r\nHost: x\r\n" + last + "\r\n";
      send(fd, request.data(), request.size(), 0);
      std::string answer;
      char chunk[4096];
      ssize_t got;
      while (answer.find(c.bodyHas) == std::string::npos &&
             (got = recv(fd, chunk, sizeof(chunk), 0)) > 0) {
        answer.append(chunk, static_cast<size_t>(got));
      }
      EXPECT_EQ(answer.rfind(c.statusLine, 0), 0u) << c.target << " " << last << "-> " << answer;
      EXPECT_NE(answer.find(c.bodyHas), std::string::npos) << c.target << " " << last << "-> " << answer;
    }
    close(fd);
  }
  EXPECT_NE(DiagOutput().find(" pic data is empty \n"), std::string::npos);
}

TEST_F(HttpRoutes, AnIdleServerAndItsIdleConnectionsWakeOnlyAFewTimesASecond) {
  // A held keep-alive connection's worker looks for the next request a few
  // times a second; with no connection nothing polls at all.
  struct Case {
    int held;
    long mostWakeUps;  // in one second, by every server thread together
  };
  const Case cases[] = {{0, 2}, {1, 10}, {8, 60}};
  WaitForServerThreadsToSettle();
  for (const Case& c : cases) {
    std::vector<int> held;
    for (int i = 0; i < c.held; ++i) {
      int fd = ConnectLoopback(port, 3);
      ASSERT_GE(fd, 0);
      std::string request = "OPTIONS /vqapi/GetPrinters HTTP/1.1\r\nHost: x\r\n\r\n";
      send(fd, request.data(), request.size(), 0);
      char chunk[4096];
      ASSERT_GT(recv(fd, chunk, sizeof(chunk), 0), 0);  // answered, now idle
      held.push_back(fd);
    }
    long before = OtherThreadsSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // inside the 2 s time-out
    long wakeUps = OtherThreadsSwitches() - before;
    for (int fd : held) close(fd);
    EXPECT_LE(wakeUps, c.mostWakeUps) << c.held << " idle connections";
  }
}

TEST(ApiServer, APortAlreadyTakenEndsTheServerQuietlyWithZero) {
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t length = sizeof(address);
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  int takenPort = ntohs(address.sin_port);

  StartDiagCapture();
  int result = RunApiServerOn("127.0.0.1", takenPort, nullptr, nullptr);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(DiagOutput(), "");
  StopDiagCapture();
  close(holder);
}

// Runs a second server on port. One that binds is stopped as soon as it
// serves, so a shared port fails the test instead of hanging it. The port
// the second server was given, -1 when it could not bind.
int SecondServerOn(int port, int* result) {
  struct Bound {
    int port = -2;
    std::atomic<bool> returned{false};
    std::thread stopper;
  } bound;
  *result = RunApiServerOn(
      "127.0.0.1", port,
      [](int boundPort, httplib::Server* server, void* context) {
        Bound* seen = static_cast<Bound*>(context);
        seen->port = boundPort;
        if (boundPort >= 0) {
          // stop() takes hold once the server runs; after it, the server
          // is left alone, as it ends and goes away.
          seen->stopper = std::thread([server, seen] {
            while (!seen->returned && !server->is_running()) std::this_thread::yield();
            if (!seen->returned) server->stop();
          });
        }
      },
      &bound);
  bound.returned = true;
  if (bound.stopper.joinable()) bound.stopper.join();
  return bound.port;
}

TEST_F(HttpRoutes, ASecondServerOnTheSamePortFailsToBindInsteadOfSharingIt) {
  StartDiagCapture();
  int result = -1;
  EXPECT_EQ(SecondServerOn(port, &result), -1);
  EXPECT_EQ(result, 0);
  httplib::Client client = TestClient(port);
  for (int i = 0; i < 4; ++i) {
    auto res = client.Post("/vqapi/GetPrinters", "", "text/plain");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
  }
}

TEST(ApiServer, ErrorPageFitsItsBufferForAnyStatus) {
  EXPECT_EQ(ErrorPageText(500), "<p>Error Status: <span style='color:red;'>500</span></p>");
  EXPECT_EQ(ErrorPageText(-2147483647 - 1),
            "<p>Error Status: <span style='color:red;'>-2147483648</span></p>");
}

}  // namespace
