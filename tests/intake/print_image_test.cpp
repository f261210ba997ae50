// The PrintImage endpoint over a real server on loopback and a real HTTP
// client, with the temporary file and printing backends faked: parameters,
// log lines, the body's cases, the size limit, concurrency, and the answer.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fakes/common/temp_file_fake.h"
#include "tests/fakes/render/printing_fake.h"
#include "tests/render/fake_png.h"
#include "tests/support/test_server.h"

namespace {

const std::wstring kTempImage = L"C:\\Users\\Public\\tempVQ.JPG";
const char kAnswer[] = "{\n\t\"statusCode\":\t\"10001\",\n\t\"resultInfo\":\t\"hahah\"\n}";
const size_t kLimit = 64u << 20;

std::string Encode(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) text += kAlphabet[(v >> shift) & 63];
  }
  if (i + 1 == bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    text = text + kAlphabet[v >> 18] + kAlphabet[(v >> 12) & 63] + "==";
  } else if (i + 2 == bytes.size()) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8);
    text = text + kAlphabet[v >> 18] + kAlphabet[(v >> 12) & 63] + kAlphabet[(v >> 6) & 63] + "=";
  }
  return text;
}

std::string DataUrl(const std::string& bytes) {
  return "data:image/png;base64," + Encode(bytes);
}

std::string StoredImage() {
  std::string content;
  return FakeFileContent(kTempImage, &content) ? content : "<no file>";
}

bool Printed() {
  for (const auto& call : FakePrintCalls()) {
    if (call.rfind("PrintDlg", 0) == 0) return true;
  }
  return false;
}

std::string PrintedOn() {
  for (const auto& call : FakePrintCalls()) {
    if (call.rfind("CreateDC ", 0) == 0) return call.substr(9);
  }
  return "<none>";
}

int ConnectTo(int port) { return ConnectLoopback(port, 10); }

void SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

// Reads one whole answer (headers and Content-Length bytes of body).
std::string ReadAnswer(int fd) {
  std::string answer;
  char chunk[4096];
  for (;;) {
    size_t headerEnd = answer.find("\r\n\r\n");
    if (headerEnd != std::string::npos) {
      size_t at = answer.find("Content-Length: ");
      size_t length = at < headerEnd ? std::stoul(answer.substr(at + 16)) : 0;
      if (answer.size() >= headerEnd + 4 + length) return answer;
    }
    ssize_t got = recv(fd, chunk, sizeof(chunk), 0);
    if (got <= 0) return answer;
    answer.append(chunk, static_cast<size_t>(got));
  }
}

class PrintImageEndpoint : public testing::Test {
 protected:
  static void SetUpTestSuite() { port = StartTestServer(); }
  static void TearDownTestSuite() { StopTestServer(); }
  void SetUp() override {
    ResetFakeTempFiles();
    ResetFakePrinting();
    StartDiagCapture();
  }
  void TearDown() override { StopDiagCapture(); }

  static httplib::Result Post(const std::string& target, const std::string& body,
                              const char* type = "text/plain") {
    httplib::Client client = TestClient(port);
    return client.Post(target.c_str(), body, type);
  }
  static void ExpectFixedAnswer(const httplib::Result& result) {
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, kAnswer);
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json");
    ExpectCrossOrigin(result);
  }
  static void ExpectCrossOrigin(const httplib::Result& result) {
    EXPECT_EQ(result->get_header_value_count("Access-Control-Allow-Origin"), 1u);
    EXPECT_EQ(result->get_header_value("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(result->get_header_value("Access-Control-Allow-Methods"),
              "GET, OPTIONS, POST, HEAD");
    EXPECT_EQ(result->get_header_value("Access-Control-Allow-Headers"),
              "Origin, X-Requested-With, Content-Type, Accept");
  }

  static int port;
};
int PrintImageEndpoint::port = 0;

TEST_F(PrintImageEndpoint, PrintsOnTheValueOfTheGreatestParameterName) {
  const std::string body = DataUrl(FakePng(400, 240));
  struct Case {
    const char* query;
    const char* printer;
  } cases[] = {{"?b=Y&a=X", "Y"}, {"?a=X&b=Y", "Y"}, {"?p=X&p=Y", "Y"},
               {"", "VELQ"},      {"?name=Label%20One", "Label One"}};
  for (const Case& c : cases) {
    ResetFakePrinting();
    ExpectFixedAnswer(Post(std::string("/vqapi/PrintImage") + c.query, body));
    EXPECT_EQ(PrintedOn(), c.printer) << c.query;
  }
}

TEST_F(PrintImageEndpoint, LogsEachParameterTwiceThenTheStepsOfTheStoreAndThePrint) {
  ExpectFixedAnswer(Post("/vqapi/PrintImage?p=Office", DataUrl(FakePng(400, 240))));
  std::string out = DiagOutput();
  const std::string expectedStart =
      "p = Office\np = Office\n\n"
      "Picture file is saved to tempVQ.JPG.\npic file is save to tempVQ\nstart print\n502  300";
  EXPECT_EQ(out.substr(0, expectedStart.size()), expectedStart);

  StartDiagCapture();
  Post("/vqapi/PrintImage?b=2&a=1", DataUrl(FakePng(1, 1)));
  EXPECT_EQ(DiagOutput().substr(0, 25), "a = 1\nb = 2\na = 1\nb = 2\n\n");

  StartDiagCapture();
  Post("/vqapi/PrintImage", DataUrl(FakePng(1, 1)));
  EXPECT_EQ(DiagOutput().substr(0, 2), "\nP");
}

TEST_F(PrintImageEndpoint, StoresTheDecodedSecondPieceWhateverItsFormat) {
  const std::string png = FakePng(320, 240, "pixels");
  ExpectFixedAnswer(Post("/vqapi/PrintImage?p=Q", DataUrl(png)));
  EXPECT_EQ(StoredImage(), png);
  EXPECT_EQ(FakeDrawnImages(), std::vector<std::string>{png});

  // Further pieces are ignored.
  const std::string other = FakePng(7, 7, "other");
  ResetFakePrinting();
  ExpectFixedAnswer(Post("/vqapi/PrintImage?p=Q",
                         "data:image/png;base64," + Encode(other) + ",QUJD,QUJD"));
  EXPECT_EQ(StoredImage(), other);

  // A body without a comma is all base64.
  const std::string bare = FakePng(8, 8, "bare");
  ExpectFixedAnswer(Post("/vqapi/PrintImage?p=Q", Encode(bare)));
  EXPECT_EQ(StoredImage(), bare);
  EXPECT_NE(DiagOutput().find("1--"), std::string::npos);
}

TEST_F(PrintImageEndpoint, NothingAfterTheCommaLeavesAnEmptyFileAndStillRunsTheJob) {
  for (const char* body : {"data:image/png;base64,", ","}) {
    SetFakeFileContent(kTempImage, FakePng(5, 5));
    ResetFakePrinting();
    StartDiagCapture();
    ExpectFixedAnswer(Post("/vqapi/PrintImage?p=Q", body));
    EXPECT_EQ(StoredImage(), "") << body;
    EXPECT_TRUE(Printed());
    std::string out = DiagOutput();
    EXPECT_NE(out.find("Picture file is saved to tempVQ.JPG.\npic file is save to tempVQ\n"
                       "start print\nNo label image could be loaded"),
              std::string::npos)
        << out;
  }
}

TEST_F(PrintImageEndpoint, RequestsThatStoreNothingDoNotPrintTheOldFile) {
  const std::string old = FakePng(9, 9, "old");
  struct Case {
    const char* what;
    std::string expectedLog;
  } cases[] = {
      {"multipart", "\xc8\xd5\nprint skipped: no image stored (multipart body)\n"},
      {"empty", " pic data is empty \nprint skipped: no image stored (empty body)\n"},
      {"no folder",
       "Failed to retrieve Common Documents folder path.\n"
       "print skipped: no image stored (folder lookup failed)\n"},
      {"not opened",
       "pic file is save to tempVQ\nprint skipped: no image stored (file not opened)\n"},
      {"short write",
       "pic file is save to tempVQ\nprint skipped: no image stored (file not fully written)\n"},
      {"long path",
       "tempVQ.JPG path is longer than 259 characters, file not saved\n"
       "print skipped: no image stored (path too long)\n"},
  };
  for (const Case& c : cases) {
    ResetFakeTempFiles();
    ResetFakePrinting();
    SetFakeFileContent(kTempImage, old);
    StartDiagCapture();
    std::string image = DataUrl(FakePng(4, 4));
    std::string what = c.what;
    FakeTempFileFaults faults;
    faults.folderFails = what == "no folder";
    faults.openFails = what == "not opened";
    faults.writeShort = what == "short write";
    if (what == "long path") faults.documentsFolder = L"C:\\" + std::wstring(250, L'd') + L"\\D";
    SetFakeTempFileFaults(faults);
    auto send = [&]() -> httplib::Result {
      if (what != "multipart") return Post("/vqapi/PrintImage?p=Q", what == "empty" ? "" : image);
      httplib::Client client = TestClient(port);
      httplib::UploadFormDataItems items = {{"file", image, "label.png", "text/plain"}};
      return client.Post("/vqapi/PrintImage?p=Q", items);
    };
    httplib::Result result = send();
    ExpectFixedAnswer(result);
    EXPECT_EQ(DiagOutput(), "p = Q\np = Q\n\n" + c.expectedLog) << c.what;
    EXPECT_FALSE(Printed()) << c.what;
    if (what != "short write") {
      EXPECT_EQ(StoredImage(), old) << c.what;
    }
  }
}

TEST_F(PrintImageEndpoint, ABodyCutOffOrMalformedInTransitIsNeitherStoredNorPrinted) {
  const std::string old = FakePng(9, 9, "old");
  const std::string body = DataUrl(FakePng(400, 240, "whole label"));
  SetFakeFileContent(kTempImage, old);
  // The client goes away halfway through the body it announced.
  int fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  SendAll(fd, "POST /vqapi/PrintImage?p=VELQ HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\n"
              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
              body.substr(0, body.size() / 2));
  shutdown(fd, SHUT_WR);
  for (int i = 0; i < 500 && DiagOutput().find("print skipped") == std::string::npos; ++i) {
    usleep(10000);
  }
  close(fd);
  EXPECT_NE(DiagOutput().find("print skipped: no image stored (body not fully received)"), std::string::npos)
      << DiagOutput();
  EXPECT_EQ(StoredImage(), old);
  EXPECT_FALSE(Printed());

  // A chunked body whose framing breaks: the library's 400 stays.
  fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  SendAll(fd, "POST /vqapi/PrintImage?p=VELQ HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
              "10\r\ndata:image/png;b\r\nzz\r\n");
  std::string answer = ReadAnswer(fd);
  close(fd);
  EXPECT_EQ(answer.rfind("HTTP/1.1 400 ", 0), 0u) << answer;
  EXPECT_NE(answer.find("<span style='color:red;'>400</span>"), std::string::npos) << answer;
  EXPECT_NE(answer.find("Access-Control-Allow-Origin: *"), std::string::npos) << answer;
  EXPECT_EQ(StoredImage(), old);
  EXPECT_FALSE(Printed());
}

TEST_F(PrintImageEndpoint, ConcurrentRequestsEachPrintTheirOwnImage) {
  FakePrintingFaults faults;
  faults.dialogDelayMs = 150;  // holds the job between the write and the load
  SetFakePrintingFaults(faults);
  std::vector<std::string> images;
  for (int i = 0; i < 4; ++i) images.push_back(FakePng(10 + i, 10, "image " + std::to_string(i)));
  std::vector<std::thread> senders;
  for (const std::string& image : images) {
    senders.emplace_back([&image] { ExpectFixedAnswer(Post("/vqapi/PrintImage?p=Q", DataUrl(image))); });
  }
  for (auto& sender : senders) sender.join();
  std::vector<std::string> drawn = FakeDrawnImages();
  std::sort(drawn.begin(), drawn.end());
  EXPECT_EQ(drawn, images);
}

TEST_F(PrintImageEndpoint, BodiesUpToTheLimitAreStored) {
  // Exactly 64 MiB: a valid image followed by padding that decodes as zeros.
  std::string body = DataUrl(FakePng(2, 2));
  body += std::string(kLimit - body.size(), 'A');
  ExpectFixedAnswer(Post("/vqapi/PrintImage?p=Q", body));
  std::string stored = StoredImage();
  EXPECT_EQ(stored.substr(0, 24), FakePng(2, 2).substr(0, 24));
  EXPECT_TRUE(Printed());
}

TEST_F(PrintImageEndpoint, ABodyOverTheLimitIsRefusedAndTheConnectionServesTheNextRequest) {
  SetFakeFileContent(kTempImage, FakePng(9, 9, "old"));
  const std::string errorPage = "<p>Error Status: <span style='color:red;'>413</span></p>";
  std::string big(kLimit + 1, 'A');
  big.replace(0, 22, "data:image/png;base64,");

  // Declared length: refused from the header, the rest read and dropped.
  {
    httplib::Client client = TestClient(port);
    client.set_keep_alive(true);
    httplib::Result result = client.Post("/vqapi/PrintImage?p=Q", big, "text/plain");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 413);
    EXPECT_EQ(result->body, errorPage);
    ExpectCrossOrigin(result);
    ExpectFixedAnswer(client.Post("/vqapi/PrintImage?p=Q", DataUrl(FakePng(3, 3)), "text/plain"));
  }
  // Chunked: counted as it arrives.
  {
    httplib::Client client = TestClient(port);
    client.set_keep_alive(true);
    httplib::Result result = client.Post(
        "/vqapi/PrintImage?p=Q",
        [&big](size_t offset, httplib::DataSink& sink) {
          if (offset < big.size()) {
            sink.write(big.data() + offset, std::min<size_t>(1 << 20, big.size() - offset));
          } else {
            sink.done();
          }
          return true;
        },
        "text/plain");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 413);
    EXPECT_EQ(result->body, errorPage);
    ExpectCrossOrigin(result);
  }
  std::string out = DiagOutput();
  EXPECT_EQ(out.find("print skipped"), std::string::npos);
  size_t refusals = 0;
  for (size_t at = out.find("refused"); at != std::string::npos; at = out.find("refused", at + 1)) {
    ++refusals;
  }
  EXPECT_EQ(refusals, 2u);
  // Only the small request between the two stored and printed.
  EXPECT_EQ(FakeDrawnImages(), std::vector<std::string>{FakePng(3, 3)});
}

TEST_F(PrintImageEndpoint, AfterARefusalTheSameSocketCarriesTheNextRequest) {
  std::string body(kLimit + 10, 'A');
  std::string header = "POST /vqapi/PrintImage?p=Q HTTP/1.1\r\nHost: x\r\nContent-Type: "
                       "text/plain\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n";
  std::string small = DataUrl(FakePng(2, 2));
  std::string second = "POST /vqapi/PrintImage?p=R HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                       std::to_string(small.size()) + "\r\nConnection: close\r\n\r\n" + small;
  int fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  SendAll(fd, header);
  SendAll(fd, body);
  std::string refusal = ReadAnswer(fd);
  EXPECT_EQ(refusal.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << refusal;
  SendAll(fd, second);
  std::string answer = ReadAnswer(fd);
  close(fd);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_EQ(answer.substr(answer.size() - std::string(kAnswer).size()), kAnswer);
  EXPECT_EQ(PrintedOn(), "R");
}

TEST_F(PrintImageEndpoint, AMultipartBodyWithoutBoundaryKeepsTheLibrarysErrorStatus) {
  SetFakeFileContent(kTempImage, FakePng(9, 9, "old"));
  httplib::Result result = Post("/vqapi/PrintImage?p=Q", "--x--", "multipart/form-data");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 400);
  EXPECT_EQ(result->body, "<p>Error Status: <span style='color:red;'>400</span></p>");
  ExpectCrossOrigin(result);
  EXPECT_FALSE(Printed());
}

}  // namespace
