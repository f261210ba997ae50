// GetPrinters: the eight filter modes, the option semantics as a page sends
// them, the answer's exact bytes and the diagnostic lines.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/diag.h"
#include "server/printer_list.h"
#include "tests/fakes/server/spooler_list_fake.h"
#include "tests/support/test_server.h"

namespace {

const unsigned kNet = kPrinterAttributeNetwork;
const unsigned kOff = kPrinterAttributeWorkOffline;

// Every combination of network/offline with a supported and an unsupported
// name, plus names that only resemble the supported ones.
std::vector<SpoolerPrinter> Mixed() {
  return {{false, "", "VELQ", 0},
          {true, "\\\\server", "LX4 Label Printer", kNet},
          {false, "", "VELQ", kOff},
          {false, "", "LX4 Label Printer", kNet | kOff},
          {false, "", "Office", 0},
          {false, "", "Office Net", kNet},
          {false, "", "Office Off", kOff},
          {false, "", "Office Both", kNet | kOff | 0x4},
          {false, "", "velq", 0},
          {false, "", "VELQ #1", 0},
          {false, "", "LX4 Label Printer (Copy 1)", 0},
          {false, "", "VELQ ", 0}};
}

std::vector<std::string> Listed(bool local, bool online, bool supported) {
  int qty = -1;
  std::vector<std::string> names = ListPrinters(local, online, supported, &qty);
  EXPECT_EQ(qty, static_cast<int>(names.size()));
  return names;
}

typedef std::vector<std::string> Names;

TEST(ListPrinters, EachModeKeepsExactlyThePrintersItsTestsAccept) {
  FakeSpoolerReset();
  FakeSpoolerSetPrinters(Mixed());
  StartDiagCapture();
  EXPECT_EQ(Listed(false, false, false),
            (Names{"VELQ", "LX4 Label Printer", "VELQ", "LX4 Label Printer", "Office", "Office Net",
                   "Office Off", "Office Both", "velq", "VELQ #1", "LX4 Label Printer (Copy 1)",
                   "VELQ "}));
  EXPECT_EQ(Listed(false, false, true), (Names{"VELQ", "LX4 Label Printer", "VELQ", "LX4 Label Printer"}));
  EXPECT_EQ(Listed(false, true, false),
            (Names{"VELQ", "LX4 Label Printer", "Office", "Office Net", "velq", "VELQ #1",
                   "LX4 Label Printer (Copy 1)", "VELQ "}));
  EXPECT_EQ(Listed(false, true, true), (Names{"VELQ", "LX4 Label Printer"}));
  EXPECT_EQ(Listed(true, false, false),
            (Names{"VELQ", "VELQ", "Office", "Office Off", "velq", "VELQ #1",
                   "LX4 Label Printer (Copy 1)", "VELQ "}));
  EXPECT_EQ(Listed(true, false, true), (Names{"VELQ", "VELQ"}));
  EXPECT_EQ(Listed(true, true, false),
            (Names{"VELQ", "Office", "velq", "VELQ #1", "LX4 Label Printer (Copy 1)", "VELQ "}));
  EXPECT_EQ(Listed(true, true, true), (Names{"VELQ"}));
  StopDiagCapture();
}

TEST(ListPrinters, WritesEachServerNameAndTheNumberEnumeratedNotAccepted) {
  FakeSpoolerReset();
  FakeSpoolerSetPrinters({{false, "", "A", 0}, {true, "\\\\host", "B", kOff}, {false, "", "C", 0}});
  StartDiagCapture();
  Listed(false, true, false);
  EXPECT_EQ(DiagOutput(), "\n\\\\host\n\nnumber 3\n");
  StopDiagCapture();
}

std::vector<std::string> gDiagChunks;

void KeepDiagChunk(const std::string& bytes) { gDiagChunks.push_back(bytes); }

TEST(ListPrinters, OneListingsLinesLeaveInOnePieceSoConcurrentRequestsCannotSplitThem) {
  FakeSpoolerReset();
  FakeSpoolerSetPrinters({{false, "", "A", 0}, {true, "\\\\host", "B", kOff}, {false, "", "C", 0}});
  gDiagChunks.clear();
  SetDiagSink(KeepDiagChunk);
  Listed(false, false, false);
  SetDiagSink(nullptr);
  EXPECT_EQ(gDiagChunks, (std::vector<std::string>{"\n\\\\host\n\nnumber 3\n"}));
}

TEST(ListPrinters, AFailedOrEmptyEnumerationListsNothing) {
  FakeSpoolerReset();
  FakeSpoolerSetPrinters({{false, "", "VELQ", 0}});
  FakeSpoolerSetFaults(FakeSpoolerFaults{true});
  StartDiagCapture();
  EXPECT_TRUE(Listed(false, false, false).empty());
  EXPECT_EQ(DiagOutput(), "");
  FakeSpoolerSetFaults(FakeSpoolerFaults{});
  FakeSpoolerSetPrinters({});
  EXPECT_TRUE(Listed(false, false, false).empty());
  EXPECT_EQ(DiagOutput(), "number 0\n");
  StopDiagCapture();
}

TEST(ListPrinters, MoreThanTwentyAcceptedPrintersAreAllReturnedInOrder) {
  FakeSpoolerReset();
  std::vector<SpoolerPrinter> many;
  Names expected;
  for (int i = 0; i < 45; ++i) {
    many.push_back({false, "", "Q" + std::to_string(i), 0});
    expected.push_back("Q" + std::to_string(i));
  }
  FakeSpoolerSetPrinters(many);
  StartDiagCapture();
  EXPECT_EQ(Listed(false, false, false), expected);
  StopDiagCapture();
}

class GetPrintersOverHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeSpoolerReset();
    FakeSpoolerSetPrinters(Mixed());
    StartDiagCapture();
    port = StartTestServer();
    ASSERT_GT(port, 0);
  }
  void TearDown() override {
    StopTestServer();
    StopDiagCapture();
  }
  // The names of an answer, and its first diagnostic line.
  Names Ask(const std::string& path, const std::string& body, const std::string& type,
            std::string* optionLine) {
    StartDiagCapture();
    httplib::Client client = TestClient(port);
    auto res = client.Post(path.c_str(), body, type.c_str());
    Names names;
    if (!res || res->status != 200) {
      ADD_FAILURE() << path;
      return names;
    }
    std::string out = DiagOutput();
    *optionLine = out.substr(0, out.find('\n'));
    const std::string key = "\"name\":\t\"";
    for (size_t at = res->body.find(key); at != std::string::npos; at = res->body.find(key, at)) {
      at += key.size();
      names.push_back(res->body.substr(at, res->body.find('"', at) - at));
    }
    return names;
  }
  int port = 0;
};

TEST_F(GetPrintersOverHttp, AnOptionIsOnWheneverItsParameterIsPresentWhateverItsValue) {
  std::string line;
  Names localOnly = Listed(true, false, false);
  StopDiagCapture();
  for (const char* query : {"onlyLocal", "onlyLocal=", "onlyLocal=false", "onlyLocal=0",
                            "onlyLocal=true", "x=1&onlyLocal=no"}) {
    EXPECT_EQ(Ask(std::string("/vqapi/GetPrinters?") + query, "", "text/plain", &line), localOnly)
        << query;
    EXPECT_EQ(line, "100===") << query;
  }
  EXPECT_EQ(Ask("/vqapi/GetPrinters?onlylocal=1&ONLYONLINE=1&only_supported", "", "text/plain", &line).size(),
            Mixed().size());
  EXPECT_EQ(line, "000===");
  EXPECT_EQ(Ask("/vqapi/GetPrinters?onlySupported&onlyOnline=0", "", "text/plain", &line),
            (Names{"VELQ", "LX4 Label Printer"}));
  EXPECT_EQ(line, "011===");
}

TEST_F(GetPrintersOverHttp, FormBodiesCountButJsonBodiesAndHeadersDoNot) {
  std::string line;
  EXPECT_EQ(Ask("/vqapi/GetPrinters", "onlyLocal=1&onlyOnline=1&onlySupported=1",
                "application/x-www-form-urlencoded", &line),
            (Names{"VELQ"}));
  EXPECT_EQ(line, "111===");
  EXPECT_EQ(Ask("/vqapi/GetPrinters", "{\"onlyLocal\":true,\"onlySupported\":true}", "application/json",
                &line)
                .size(),
            Mixed().size());
  EXPECT_EQ(line, "000===");
  EXPECT_EQ(Ask("/vqapi/GetPrinters?onlyOnline", "onlySupported=", "application/x-www-form-urlencoded", &line),
            (Names{"VELQ", "LX4 Label Printer"}));
  EXPECT_EQ(line, "011===");
}

TEST_F(GetPrintersOverHttp, NoAcceptedPrinterGivesTheEnvelopeWithAnEmptyArray) {
  FakeSpoolerSetPrinters({{false, "", "Office", 0}});
  httplib::Client client = TestClient(port);
  auto res = client.Post("/vqapi/GetPrinters?onlySupported=1", "", "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->body, "{\n\t\"statusCode\":\t\"10001\",\n\t\"resultInfo\":\t{\n\t\t\"printers\":\t[]\n\t}\n}");
  FakeSpoolerSetFaults(FakeSpoolerFaults{true});
  auto failed = client.Post("/vqapi/GetPrinters", "", "text/plain");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->status, 200);
  EXPECT_EQ(failed->body, res->body);
}

TEST_F(GetPrintersOverHttp, NamesGoOutAsTheirBytesWithJsonEscapesOnly) {
  // A code-page name (GBK bytes) is passed through; quotes and backslashes
  // are escaped so the answer stays valid JSON.
  FakeSpoolerSetPrinters({{false, "", "\xB2\xE2\xCA\xD4", 0}, {false, "", "A \"q\" \\ b", 0}});
  httplib::Client client = TestClient(port);
  auto res = client.Post("/vqapi/GetPrinters", "", "text/plain");
  ASSERT_TRUE(res);
  EXPECT_NE(res->body.find("\"name\":\t\"\xB2\xE2\xCA\xD4\""), std::string::npos);
  EXPECT_NE(res->body.find("\"name\":\t\"A \\\"q\\\" \\\\ b\""), std::string::npos);
}

}  // namespace
