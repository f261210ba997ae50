// The site allowlist on a real server on loopback, configured through the
// fake seam: listed origins are answered to, others refused before any
// route runs, requests without Origin served, and the Host checked.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/fakes/api/origin_config_fake.h"
#include "common/answer.h"
#include "tests/fakes/common/temp_file_fake.h"
#include "tests/fakes/render/printing_fake.h"
#include "tests/fakes/server/spooler_list_fake.h"
#include "tests/support/test_server.h"

namespace {

const char kListed[] = "http://127.0.0.1:5000";

class OriginGate : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeSpoolerReset();
    FakeSpoolerSetPrinters({{false, "", "VELQ", 0}});
    ResetFakeTempFiles();
    ResetFakePrinting();
    OriginSource file;
    file.where = "/etc/printgate/allowed-origins";
    file.readable = true;
    file.texts = {std::string(kListed) + "\nhttps://*.labels.example\n"};
    FakeOriginSourcesSet({file});
    StartDiagCapture();
    port = StartTestServer();
    ASSERT_GT(port, 0);
    host = "127.0.0.1:" + std::to_string(port);
  }
  void TearDown() override {
    StopTestServer();
    StopDiagCapture();
    FakeOriginSourcesReset();
  }

  // One request on a fresh connection, with exactly the headers given.
  std::string Raw(const std::string& head, const std::string& body = "") {
    int fd = ConnectLoopback(port, 5);
    if (fd < 0) return "connect failed";
    std::string request = head + "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    send(fd, request.data(), request.size(), 0);
    std::string answer;
    char chunk[4096];
    ssize_t got;
    while ((got = recv(fd, chunk, sizeof(chunk), 0)) > 0) answer.append(chunk, static_cast<size_t>(got));
    close(fd);
    return answer;
  }

  int port = 0;
  std::string host;
};

bool HasHeader(const std::string& answer, const std::string& line) {
  return answer.find("\r\n" + line + "\r\n") != std::string::npos;
}

TEST_F(OriginGate, AListedOriginIsAnsweredToByName) {
  for (const std::string& origin : {std::string(kListed), std::string("https://a.labels.example")}) {
    for (const char* request : {"POST /vqapi/GetPrinters", "OPTIONS /vqapi/PrintImage"}) {
      std::string answer = Raw(std::string(request) + " HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + origin + "\r\n");
      EXPECT_EQ(answer.rfind(request[0] == 'P' ? "HTTP/1.1 200 " : "HTTP/1.1 204 ", 0), 0u) << answer;
      EXPECT_TRUE(HasHeader(answer, "Access-Control-Allow-Origin: " + origin)) << answer;
      EXPECT_TRUE(HasHeader(answer, "Access-Control-Allow-Methods: GET, OPTIONS, POST, HEAD")) << answer;
      EXPECT_TRUE(HasHeader(answer, "Vary: Origin")) << answer;
      EXPECT_EQ(answer.find("Access-Control-Allow-Origin: *"), std::string::npos);
    }
  }
  EXPECT_EQ(FakeSpoolerEnumCalls(), 2);
  EXPECT_EQ(DiagOutput().find("origin refused"), std::string::npos) << DiagOutput();
}

TEST_F(OriginGate, AnUnlistedOriginGetsTheErrorPageAndNothingIsDone) {
  const std::string page = ErrorPageText(403);
  const std::string image = "data:image/png;base64,iVBORw0KGgo=";
  struct Case {
    std::string request;
    std::string origins;
    std::string body;
  };
  const Case cases[] = {
      {"POST /vqapi/GetPrinters", "Origin: https://evil.example\r\n", ""},
      {"OPTIONS /vqapi/GetPrinters", "Origin: https://evil.example\r\n", ""},
      {"OPTIONS /vqapi/PrintImage?printer=VELQ", "Origin: https://evil.example\r\n", ""},
      {"POST /vqapi/PrintImage?printer=VELQ", "Origin: https://evil.example\r\n", image},
      {"POST /vqapi/PrintImage?printer=VELQ", "Origin: null\r\n", image},
      {"POST /vqapi/PrintImage?printer=VELQ", "Origin: HTTP://127.0.0.1:5000\r\n", image},
      {"POST /vqapi/PrintImage?printer=VELQ", "Origin: https://labels.example\r\n", image},
      {"POST /vqapi/PrintImage?printer=VELQ", "Origin: " + std::string(kListed) + "\r\nOrigin: https://evil.example\r\n", image},
      {"GET /", "Origin: https://evil.example\r\n", ""},
      {"PUT /vqapi/PrintImage", "Origin: https://evil.example\r\n", image},
      {"POST /vqapi/PrintImage", "Origin: https://evil.example\r\nContent-Type: multipart/form-data\r\n", image},
      {"POST /vqapi/PrintImage", "Origin: https://evil.example\r\nContent-Type: multipart/form-data; boundary=x\r\n",
       "--x\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n" + image + "\r\n--x--\r\n"},
  };
  for (const Case& c : cases) {
    StartDiagCapture();
    std::string answer = Raw(c.request + " HTTP/1.1\r\nHost: " + host + "\r\n" + c.origins, c.body);
    EXPECT_EQ(answer.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << c.request << c.origins << answer;
    EXPECT_EQ(answer.substr(answer.size() - std::min(answer.size(), page.size())), page) << answer;
    EXPECT_EQ(answer.find("Access-Control-"), std::string::npos) << answer;
    std::string diag = DiagOutput();
    EXPECT_EQ(diag.rfind("origin refused: ", 0), 0u) << diag;
    EXPECT_EQ(std::count(diag.begin(), diag.end(), '\n'), 1) << diag;
  }
  EXPECT_EQ(FakeSpoolerEnumCalls(), 0);
  EXPECT_TRUE(FakePrintCalls().empty());
  EXPECT_TRUE(FakeTempFileCalls().empty());
  StartDiagCapture();
  Raw("POST /vqapi/PrintImage?printer=VELQ HTTP/1.1\r\nHost: " + host + "\r\nOrigin: https://evil.example\r\n", image);
  EXPECT_EQ(DiagOutput(),
            "origin refused: POST /vqapi/PrintImage from \"https://evil.example\", not in the allowed list\n");
}

TEST_F(OriginGate, TheVersionedRoutesAreGatedLikeTheOthers) {
  const std::string origin = "Origin: " + std::string(kListed) + "\r\n";
  std::string listing = Raw("GET /vqapi/v2/printers HTTP/1.1\r\nHost: " + host + "\r\n" + origin);
  EXPECT_EQ(listing.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << listing;
  EXPECT_TRUE(HasHeader(listing, "Access-Control-Allow-Origin: " + std::string(kListed))) << listing;
  EXPECT_TRUE(HasHeader(listing, "Vary: Origin")) << listing;
  std::string preflight = Raw("OPTIONS /vqapi/v2/print HTTP/1.1\r\nHost: " + host + "\r\n" + origin);
  EXPECT_EQ(preflight.rfind("HTTP/1.1 204 ", 0), 0u) << preflight;
  EXPECT_TRUE(HasHeader(preflight, "Access-Control-Allow-Origin: " + std::string(kListed))) << preflight;

  const std::string page = ErrorPageText(403);
  for (const char* request : {"GET /vqapi/v2/printers", "POST /vqapi/v2/printers", "OPTIONS /vqapi/v2/print",
                              "POST /vqapi/v2/print?printer=VELQ"}) {
    std::string answer = Raw(std::string(request) + " HTTP/1.1\r\nHost: " + host +
                                 "\r\nOrigin: https://evil.example\r\nContent-Type: image/png\r\n",
                             request[0] == 'P' ? "\x89PNG\r\n\x1a\n" : "");
    EXPECT_EQ(answer.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << request << answer;
    EXPECT_EQ(answer.substr(answer.size() - std::min(answer.size(), page.size())), page) << answer;
    EXPECT_EQ(answer.find("Access-Control-"), std::string::npos) << answer;
  }
  EXPECT_EQ(FakeSpoolerEnumCalls(), 1);
  EXPECT_TRUE(FakePrintCalls().empty());
}

TEST_F(OriginGate, ARefusedBodyIsReadSoTheConnectionCarriesTheNextRequest) {
  int fd = ConnectLoopback(port, 5);
  ASSERT_GE(fd, 0);
  std::string body = "data:image/png;base64," + std::string(300000, 'A');
  std::string refused = "POST /vqapi/PrintImage?printer=VELQ HTTP/1.1\r\nHost: " + host +
                        "\r\nOrigin: https://evil.example\r\nContent-Type: text/plain\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body;
  std::string next = "POST /vqapi/GetPrinters HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + kListed +
                     "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  // The library reads one request at a time: the next is sent once the
  // answer is in, as browsers do.
  std::thread sender([&] { send(fd, refused.data(), refused.size(), 0); });
  std::string answer;
  char chunk[4096];
  ssize_t got;
  while (answer.find("</p>") == std::string::npos && (got = recv(fd, chunk, sizeof(chunk), 0)) > 0) {
    answer.append(chunk, static_cast<size_t>(got));
  }
  sender.join();
  EXPECT_EQ(answer.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << answer;
  send(fd, next.data(), next.size(), 0);
  answer.clear();
  while ((got = recv(fd, chunk, sizeof(chunk), 0)) > 0) answer.append(chunk, static_cast<size_t>(got));
  close(fd);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("\"name\":\t\"VELQ\""), std::string::npos) << answer;
  EXPECT_TRUE(FakePrintCalls().empty());
}

TEST_F(OriginGate, BothLengthAndChunkedAreRefusedBeforeTheGateJudges) {
  // Listed or not: the request's framing is refused before its origin counts.
  for (const char* origin : {kListed, "https://evil.example"}) {
    std::string answer = Raw("POST /vqapi/v2/print HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + origin +
                             "\r\nTransfer-Encoding: chunked\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 400 ", 0), 0u) << origin << " -> " << answer;
    EXPECT_EQ(answer.find("Access-Control-"), std::string::npos) << answer;
  }
  EXPECT_TRUE(FakePrintCalls().empty());
}

TEST_F(OriginGate, WithoutOriginAProgramIsServedButNotAsAPage) {
  std::string answer = Raw("POST /vqapi/GetPrinters HTTP/1.1\r\nHost: localhost:" + std::to_string(port) + "\r\n");
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_NE(answer.find("\"name\":\t\"VELQ\""), std::string::npos);
  // No page may read an answer it didn't ask for under its own origin.
  EXPECT_EQ(answer.find("Access-Control-Allow-Origin"), std::string::npos) << answer;
  EXPECT_TRUE(HasHeader(answer, "Vary: Origin")) << answer;
  // The place refused bodies are read is no route of its own.
  std::string direct = Raw("POST /printgate-refused-request HTTP/1.1\r\nHost: " + host + "\r\n", "x");
  EXPECT_EQ(direct.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << direct;
  // Answers without the cross-origin set stay as they are.
  std::string redirect = Raw("GET / HTTP/1.1\r\nHost: " + host + "\r\n");
  EXPECT_EQ(redirect.rfind("HTTP/1.1 302 Found\r\n", 0), 0u) << redirect;
  EXPECT_EQ(redirect.find("Vary"), std::string::npos);
}

TEST_F(OriginGate, AnotherHostNameIsRefusedWhateverTheOrigin) {
  const std::string hostLines[] = {"Host: rebind.example:" + std::to_string(port) + "\r\n", "Host: 127.0.0.1\r\n",
                                   "", "Host: " + host + "\r\nHost: " + host + "\r\n"};
  for (const std::string& hostLine : hostLines) {
    for (const std::string& origin : {std::string(""), "Origin: " + std::string(kListed) + "\r\n"}) {
      StartDiagCapture();
      std::string answer = Raw("POST /vqapi/GetPrinters HTTP/1.1\r\n" + hostLine + origin);
      EXPECT_EQ(answer.rfind("HTTP/1.1 403 Forbidden\r\n", 0), 0u) << hostLine << answer;
      EXPECT_EQ(answer.find("Access-Control-"), std::string::npos) << answer;
      EXPECT_EQ(DiagOutput().rfind("host refused: POST /vqapi/GetPrinters for ", 0), 0u) << DiagOutput();
    }
  }
  EXPECT_EQ(FakeSpoolerEnumCalls(), 0);
}

TEST(OriginGateOff, NoListAnywhereLeavesEveryAnswerAsItWas) {
  FakeOriginSourcesReset();
  FakeSpoolerReset();
  StartDiagCapture();
  int port = StartTestServer();
  ASSERT_GT(port, 0);
  httplib::Client client = TestClient(port);
  auto res = client.Post("/vqapi/GetPrinters", {{"Origin", "https://evil.example"}, {"Host", "rebind.example"}}, "",
                         "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), "*");
  EXPECT_FALSE(res->has_header("Vary"));
  StopTestServer();
  EXPECT_EQ(FakeOriginSourcesReads(), 1);
  EXPECT_EQ(DiagOutput().find("allowed origins"), std::string::npos) << DiagOutput();
  StopDiagCapture();
}

}  // namespace
