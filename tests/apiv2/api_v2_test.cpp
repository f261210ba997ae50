// The "/vqapi/v2/" routes over a real server on loopback with the printing
// and spooler backends faked: every step of the print job that can fail
// gets its one status and code and is never a success, the body and query
// rules, and the listing's fields beside the legacy listing's encoding.
#include <string>
#include <vector>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include "apiv2/api_v2.h"
#include "intake/utf8_text.h"
#include "follow/watcher.h"
#include "tests/fakes/common/temp_file_fake.h"
#include "tests/fakes/follow/follow_spooler_fake.h"
#include "tests/fakes/render/printing_fake.h"
#include "tests/fakes/server/spooler_list_fake.h"
#include "tests/render/fake_png.h"
#include "tests/support/test_server.h"

namespace {

struct Answer {
  int status = 0;
  cJSON* json = nullptr;
  std::string Text(const char* name) const {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(json, name);
    return cJSON_IsString(item) ? item->valuestring : std::string("<none>");
  }
  double Number(const char* name) const {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(json, name);
    return cJSON_IsNumber(item) ? item->valuedouble : -1;
  }
  int Bool(const char* name) const {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(json, name);
    return cJSON_IsBool(item) ? cJSON_IsTrue(item) : -1;
  }
};

class V2Routes : public testing::Test {
 protected:
  void SetUp() override {
    ResetFakePrinting();
    ResetFakeTempFiles();
    FakeSpoolerReset();
    FakeFollowReset();
    ResetFollowingForTests(true);
    FakeSpoolerSetPrinters({{false, "", "Q", 0}, {false, "", "Off", 0x400}});
    StartDiagCapture();
    port = StartTestServer();
  }
  void TearDown() override {
    StopTestServer();
    StopDiagCapture();
    for (cJSON* json : answers) cJSON_Delete(json);
    EXPECT_EQ(FakeLiveHandles(), 0);
  }
  Answer Send(const std::string& method, const std::string& path, const std::string& body = "",
              const std::string& contentType = "image/png") {
    httplib::Client client = TestClient(port);
    httplib::Result result = method == "GET" ? client.Get(path.c_str())
                                             : client.Post(path.c_str(), body, contentType.c_str());
    Answer answer;
    if (!result) return answer;
    answer.status = result->status;
    EXPECT_EQ(result->get_header_value("Content-Type"), "application/json") << result->body;
    EXPECT_EQ(result->get_header_value("Access-Control-Allow-Origin"), "*");
    answer.json = cJSON_Parse(result->body.c_str());
    answers.push_back(answer.json);
    return answer;
  }
  int port = 0;
  std::vector<cJSON*> answers;
};

TEST_F(V2Routes, EveryFailingStepOfTheJobHasItsStatusAndCode) {
  struct Case {
    const char* what;
    void (*arrange)(FakePrintingFaults& faults);
    int status;
    const char* code;
    const char* inMessage;
  } cases[] = {
      {"no default, dialog cancelled", [](FakePrintingFaults& f) { f.noDefaultPrinter = f.dialogCancelled = true; },
       500, "print-failed", "PrintDlg"},
      {"unknown queue", [](FakePrintingFaults& f) { f.unknownPrinters = {L"Q"}; }, 404, "printer-not-found", "\"Q\""},
      {"queue not opened", [](FakePrintingFaults& f) { f.createDcError = 5; }, 500, "print-failed", "error 5"},
      {"settings not locked", [](FakePrintingFaults& f) { f.lockFails = true; }, 500, "print-failed", "GlobalLock"},
      {"StartDoc", [](FakePrintingFaults& f) { f.startDocResult = -1, f.startDocError = 1286; }, 500, "print-failed", "StartDoc"},
      {"StartPage", [](FakePrintingFaults& f) { f.startPageResult = -1; }, 500, "print-failed", "StartPage"},
      {"draw", [](FakePrintingFaults& f) { f.drawFails = true; }, 500, "print-failed", "drawing"},
      {"EndPage", [](FakePrintingFaults& f) { f.endPageResult = 0; }, 500, "print-failed", "EndPage"},
      {"EndDoc", [](FakePrintingFaults& f) { f.endDocResult = -1; }, 500, "print-failed", "EndDoc"},
  };
  for (const Case& c : cases) {
    ResetFakePrinting();
    FakePrintingFaults faults;
    c.arrange(faults);
    SetFakePrintingFaults(faults);
    Answer answer = Send("POST", "/vqapi/v2/print?printer=Q", FakePng(400, 240));
    EXPECT_EQ(answer.status, c.status) << c.what;
    EXPECT_EQ(answer.Bool("printed"), 0) << c.what;
    EXPECT_EQ(answer.Text("error"), c.code) << c.what;
    EXPECT_NE(answer.Text("message").find(c.inMessage), std::string::npos)
        << c.what << ": " << answer.Text("message");
  }
  // A spooler that gives no reason: a name it doesn't list is unknown.
  ResetFakePrinting();
  FakePrintingFaults faults;
  faults.createDcError = 5;
  SetFakePrintingFaults(faults);
  FakeSpoolerSetPrinters({});
  Answer answer = Send("POST", "/vqapi/v2/print?printer=Q", FakePng(4, 4));
  EXPECT_EQ(answer.status, 404);
  EXPECT_EQ(answer.Text("error"), "printer-not-found");
}

TEST_F(V2Routes, APrintedLabelNamesItsJobAndSizeFromMemoryAlone) {
  FakePrintingFaults faults;
  faults.startDocResult = 17;
  SetFakePrintingFaults(faults);
  Answer answer = Send("POST", "/vqapi/v2/print?printer=Q&copies=3", FakePng(400, 240, "pixels"));
  ASSERT_EQ(answer.status, 200);
  EXPECT_EQ(answer.Bool("printed"), 1);
  EXPECT_EQ(answer.Text("printer"), "Q");
  EXPECT_EQ(answer.Number("job"), 17);
  EXPECT_EQ(answer.Number("widthMm"), 50);
  EXPECT_EQ(answer.Number("heightMm"), 30);
  EXPECT_EQ(answer.Bool("online"), 1);
  // Today's members in today's order, then the label's state.
  std::vector<std::string> members;
  for (cJSON* item = answer.json->child; item != nullptr; item = item->next) members.push_back(item->string);
  EXPECT_EQ(members, (std::vector<std::string>{"printed", "printer", "job", "widthMm", "heightMm", "online", "state"}));
  EXPECT_EQ(answer.Text("state"), "queued");
  EXPECT_EQ(FakeDrawnImages(), std::vector<std::string>{FakePng(400, 240, "pixels")});
  EXPECT_EQ(FakeStoredSettings().copies, 3);
  std::string stored;
  EXPECT_FALSE(FakeFileContent(L"C:\\Users\\Public\\tempVQ.JPG", &stored));

  // The default queue, the default printer's copies, and an offline queue.
  ResetFakePrinting();
  answer = Send("POST", "/vqapi/v2/print", FakePng(8, 8));
  EXPECT_EQ(answer.Text("printer"), "VELQ");
  EXPECT_EQ(FakeStoredSettings().copies, 1);
  answer = Send("POST", "/vqapi/v2/print?printer=Off", FakePng(8, 8));
  EXPECT_EQ(answer.Bool("online"), 0);
}

TEST_F(V2Routes, BadInputGetsItsCodeAndPrintsNothing) {
  struct Case {
    const char* query;
    std::string body;
    const char* contentType;
    int status;
    const char* code;
  } cases[] = {
      {"?copies=0", FakePng(8, 8), "image/png", 400, "bad-request"},
      {"?copies=-2", FakePng(8, 8), "image/png", 400, "bad-request"},
      {"?copies=100", FakePng(8, 8), "image/png", 400, "bad-request"},
      {"?copies=007", FakePng(8, 8), "image/png", 400, "bad-request"},
      {"?copies=%2B3", FakePng(8, 8), "image/png", 400, "bad-request"},
      {"?printer=%C3%28", FakePng(8, 8), "image/png", 404, "printer-not-found"},
      {"?printer=%ED%A0%80", FakePng(8, 8), "image/png", 404, "printer-not-found"},
      {"", "hello", "application/json", 415, "not-an-image"},
      {"", "data:image/png;base64", "text/plain", 400, "bad-request"},
      {"", "data:image/png;base64,QQ=A", "text/plain", 400, "bad-request"},
      {"", "data:image/png;base64,QUJ", "text/plain", 400, "bad-request"},
      {"", "data:,%4", "text/plain", 400, "bad-request"},
      {"", "data:image/png;base64,", "text/plain", 415, "not-an-image"},
      {"", FakePng(0, 5), "image/png", 415, "not-an-image"},
      {"", "GIF89a-not-really", "image/gif", 415, "not-an-image"},
      {"", FakePng(26084, 1), "image/png", 422, "image-too-large-for-paper"},
      {"", FakePng(1, 26214), "IMAGE/PNG; q=1", 422, "image-too-large-for-paper"},
      {"", FakePng(8200, 8200).substr(0, 33), "image/png", 422, "image-too-large-for-paper"},
      {"", FakePng(8, 8).substr(0, 60), "image/png", 415, "damaged-image"},
      {"", FakePng(8, 8).substr(0, FakePng(8, 8).size() - 1), "image/jpeg", 415, "damaged-image"},
  };
  for (const Case& c : cases) {
    ResetFakePrinting();
    Answer answer = Send("POST", std::string("/vqapi/v2/print") + c.query, c.body, c.contentType);
    EXPECT_EQ(answer.status, c.status) << c.query << " " << c.body.substr(0, 24);
    EXPECT_EQ(answer.Text("error"), c.code) << c.query << " " << c.body.substr(0, 24);
    for (const std::string& call : FakePrintCalls()) EXPECT_NE(call.rfind("StartDoc", 0), 0u) << call;
  }
}

TEST_F(V2Routes, ADamagedImageSaysWhatWasWrong) {
  std::string png = FakePng(40, 24);
  png[png.find("IDAT") + 9] ^= 0x01;
  Answer answer = Send("POST", "/vqapi/v2/print", png, "image/png");
  EXPECT_EQ(answer.status, 415);
  EXPECT_EQ(answer.Text("error"), "damaged-image");
  EXPECT_EQ(answer.Text("message"),
            "the CRC of the PNG's IDAT chunk does not match; nothing was printed");
  EXPECT_TRUE(FakeDrawnImages().empty());

  // A chunk name of bytes that are no text is quoted, never copied raw.
  png = FakePng(40, 24);
  png[png.find("IEND") + 3] = static_cast<char>(0xBB);
  answer = Send("POST", "/vqapi/v2/print", png, "image/png");
  EXPECT_EQ(answer.Text("message"),
            "the CRC of the PNG's IEN\\xBB chunk does not match; nothing was printed");
}

TEST_F(V2Routes, SizeRefusalsNameTheLimitTheCheckUses) {
  struct Case {
    uint32_t w, h;
    const char* message;
  } cases[] = {
      {1, 26214, "a 1 x 26214 pixel label needs paper past the largest the printer settings can hold "
                 "(3276.7 mm: at most 26083 x 26213 pixels)"},
      {26084, 1, "a 26084 x 1 pixel label needs paper past the largest the printer settings can hold "
                 "(3276.7 mm: at most 26083 x 26213 pixels)"},
      {8200, 8200, "a 8200 x 8200 pixel image is larger than printgate decodes (at most 32767 pixels "
                   "a side and 64 Mi pixels in all)"},
  };
  for (const Case& c : cases) {
    Answer answer = Send("POST", "/vqapi/v2/print", FakePng(c.w, c.h).substr(0, 33), "image/png");
    EXPECT_EQ(answer.status, 422);
    EXPECT_EQ(answer.Text("message"), c.message);
  }
  // The largest that fits prints.
  Answer answer = Send("POST", "/vqapi/v2/print", FakePng(26083, 2), "image/png");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.Number("widthMm"), 26083 / 8.0);
}

TEST_F(V2Routes, DataUrlsInEitherEncodingCarryTheImage) {
  std::string png = FakePng(16, 8, "tail");
  std::string percent;
  for (unsigned char c : png) {
    char hex[4];
    snprintf(hex, sizeof(hex), "%%%02X", c);
    percent += hex;
  }
  EXPECT_EQ(Send("POST", "/vqapi/v2/print", "data:image/png," + percent, "").status, 200);
  // "iVBORw0KGgo" is the PNG signature; a whole 16 x 8 PNG follows.
  std::string base64Url =
      "DATA:image/png;BASE64,iVBORw0KGgoAAAANSUhEUgAAABAAAAAIAQAAAADYDUI6AAAAC0lEQVR4AWNgwA4AABgAAeEqx7UAAAAASUVORK5CYIJ4eA==";
  EXPECT_EQ(Send("POST", "/vqapi/v2/print", base64Url, "text/plain").status, 200);
  EXPECT_EQ(FakeDrawnImages().size(), 2u);
  EXPECT_EQ(FakeDrawnImages()[0], png);
}

TEST_F(V2Routes, TheListingGivesUtf8NamesAndStatesWhereTheLegacyOneKeepsItsCodePage) {
  SpoolerPrinter named{false, "", "\xc9tiquette", 0x10, "\xc3\x89tiquette", true};
  SpoolerPrinter velq{false, "", "VELQ", 0x400};
  FakeSpoolerSetPrinters({named, velq});
  FakeFollowSetPrinters({PrinterReading{"VELQ", kPrinterWaiting, {"printer-absent"}, ""}});
  Answer answer = Send("GET", "/vqapi/v2/printers");
  ASSERT_EQ(answer.status, 200);
  char* text = cJSON_PrintUnformatted(cJSON_GetObjectItem(answer.json, "printers"));
  EXPECT_STREQ(text,
               "[{\"name\":\"\xc3\x89tiquette\",\"online\":true,\"local\":false,\"supported\":false,"
               "\"default\":true,\"state\":\"idle\",\"reasons\":[]},{\"name\":\"VELQ\",\"online\":false,"
               "\"local\":true,\"supported\":true,\"default\":false,\"state\":\"waiting\","
               "\"reasons\":[\"printer-absent\"]}]");
  cJSON_free(text);
  httplib::Client client = TestClient(port);
  auto legacy = client.Post("/vqapi/GetPrinters", "", "text/plain");
  ASSERT_TRUE(legacy);
  EXPECT_NE(legacy->body.find("\"\xc9tiquette\""), std::string::npos);

  FakeSpoolerSetFaults(FakeSpoolerFaults{true});
  answer = Send("POST", "/vqapi/v2/printers?onlySupported");
  EXPECT_EQ(answer.status, 500);
  EXPECT_EQ(answer.Text("error"), "list-failed");
}

TEST(V2Rules, WellFormedUtf8Only) {
  struct {
    std::string text;
    bool utf8;
  } texts[] = {{"", true},           {"VELQ", true},        {"\xc3\x89", true},
               {"\xe6\xa0\x87", true}, {"\xf0\x9f\x96\xa8", true}, {"\xc3", false},
               {"\xc0\xaf", false},  {"\xe0\x80\xaf", false}, {"\xed\xa0\x80", false},
               {"\xf4\x90\x80\x80", false}, {"\xff", false}, {"\x80", false}};
  for (const auto& t : texts) EXPECT_EQ(IsUtf8(t.text), t.utf8) << t.text;
}

TEST(V2Rules, IllFormedBytesAreReplacedAndTheRestKept) {
  struct {
    std::string text;
    std::string made;
  } texts[] = {{"IEN\xbb", "IEN\xef\xbf\xbd"},
               {"\xc3\x89t\xc3", "\xc3\x89t\xef\xbf\xbd"},
               {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
               {"\xf0\x9f\x96\xa8 ok", "\xf0\x9f\x96\xa8 ok"}};
  for (const auto& t : texts) {
    EXPECT_EQ(Utf8OrReplaced(t.text), t.made);
    EXPECT_TRUE(IsUtf8(Utf8OrReplaced(t.text)));
  }
}

}  // namespace
