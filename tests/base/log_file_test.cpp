// The log writer over the in-memory file seam: stamps, line bounds,
// rotation at the size bound, and a file that can't be written.
#include "base/log_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/fakes/base/log_io_fake.h"

namespace {

const std::string kFolder = "C:\\Users\\desk\\AppData\\Local\\VELQ\\printgate";
const std::string kPath = kFolder + "\\printgate.log";
const std::string kOld = kFolder + "\\printgate.1.log";
const std::string kStamp = "2026-12-09 08:30:00.000 [4242] ";

std::vector<std::string> notices;
void CollectNotice(const std::string& text) { notices.push_back(text); }

class LogFileTest : public ::testing::Test {
 protected:
  // The writer lets go of its file before the fake file system starts over.
  void SetUp() override {
    LogFileOpen("");
    FakeLogIoReset();
    FakeLogIoAddFolder(kFolder);
    notices.clear();
    LogFileSetNotice(CollectNotice);
    LogFileOpen(kPath, 200);
  }
  std::string File(const std::string& path = kPath) { return FakeLogIoFiles()[path]; }
};

TEST_F(LogFileTest, LinesAsTheyAreWritten) {
  struct Case {
    std::vector<std::string> writes;
    std::string file;
  } cases[] = {
      {{"start print\n"}, kStamp + "start print\r\n"},
      {{"a\r\n"}, kStamp + "a\r\n"},
      // A printf-style piece without its line end waits for the rest.
      {{"300  200", "1--size\n"}, kStamp + "300  2001--size\r\n"},
      {{"one\ntwo\n"}, kStamp + "one\r\n" + kStamp + "two\r\n"},
      // The blank line a listing leaves behind is not worth a stamp.
      {{"printer = VELQ\n\n"}, kStamp + "printer = VELQ\r\n"},
      {{"no end yet"}, ""},
      // A newline smuggled into a query can't make a line without a stamp,
      // and escape sequences can't hide text from the reader's terminal.
      {{"printer = x\x1b[2K\tq\n"}, kStamp + "printer = x\\x1B[2K\tq\r\n"},
      {{"\xe6\x97\xa5 ok\n"}, kStamp + "\xe6\x97\xa5 ok\r\n"},
      {{"bad \xff byte\n"}, kStamp + "bad \\xFF byte\r\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    for (const std::string& text : c.writes) LogFileWrite(text);
    EXPECT_EQ(File(), c.file) << c.writes[0];
    LogFileWrite("\n");  // ends a pending piece before the next case
  }
}

TEST_F(LogFileTest, StampIsLocalTimeWithMilliseconds) {
  FakeLogIoSetTime(LogIoTime{2027, 1, 2, 3, 4, 5, 67});
  LogFileWrite("x\n");
  EXPECT_EQ(File(), "2027-01-02 03:04:05.067 [4242] x\r\n");
}

TEST_F(LogFileTest, LongLinesAreCutOnACharacterBoundary) {
  std::string ascii(kLogLineBytes + 500, 'o');
  LogFileOpen(kPath, 1 << 20);
  LogFileWrite(ascii + "\n");
  EXPECT_EQ(File(), kStamp + std::string(kLogLineBytes, 'o') + " [500 more bytes cut]\r\n");

  // Three-byte characters: the cut falls before the one that doesn't fit.
  SetUp();
  LogFileOpen(kPath, 1 << 20);
  std::string chinese;
  for (size_t i = 0; i < kLogLineBytes; ++i) chinese += "\xe6\x97\xa5";
  LogFileWrite(chinese + "\n");
  size_t kept = kLogLineBytes / 3 * 3;
  EXPECT_EQ(File(), kStamp + chinese.substr(0, kept) + " [" + std::to_string(chinese.size() - kept) +
                        " more bytes cut]\r\n");

  // A line that never ends doesn't grow without bound either.
  SetUp();
  LogFileOpen(kPath, 1 << 20);
  for (int i = 0; i < 1000; ++i) LogFileWrite(std::string(1000, 'p'));
  LogFileWrite("\n");
  EXPECT_EQ(File(), kStamp + std::string(kLogLineBytes, 'p') + " [" + std::to_string(1000 * 1000 - kLogLineBytes) +
                        " more bytes cut]\r\n");
}

TEST_F(LogFileTest, RotatesAtTheBoundKeepingOnePredecessor) {
  // Each record is 31 bytes of stamp, 3 of text and 2 of line end: 36.
  const std::string record = kStamp + "abc\r\n";
  for (int i = 0; i < 6; ++i) LogFileWrite("abc\n");
  EXPECT_EQ(File(), record + record + record + record + record + record);  // 216: over the bound now
  EXPECT_EQ(FakeLogIoFiles().count(kOld), 0u);

  LogFileWrite("def\n");
  EXPECT_EQ(File(kOld).size(), 6 * record.size());
  EXPECT_EQ(File(), kStamp + "def\r\n");

  for (int i = 0; i < 6; ++i) LogFileWrite("ghi\n");
  EXPECT_EQ(File(kOld).substr(0, record.size()), kStamp + "def\r\n");  // the older one is gone
  EXPECT_EQ(File(), kStamp + "ghi\r\n");
  EXPECT_EQ(FakeLogIoFiles().size(), 2u);
}

TEST_F(LogFileTest, PredecessorNames) {
  struct Case {
    const char* path;
    const char* predecessor;
  } cases[] = {
      {"C:\\d\\printgate.log", "C:\\d\\printgate.1.log"},
      {"C:\\ProgramData\\VELQ\\printerwatch.log", "C:\\ProgramData\\VELQ\\printerwatch.1.log"},
      {"C:\\d\\trace", "C:\\d\\trace.1"},
      {".log", ".log.1"},
  };
  for (const Case& c : cases) EXPECT_EQ(LogFilePredecessor(c.path), c.predecessor) << c.path;
}

TEST_F(LogFileTest, AnotherCopyRotatedFirst) {
  // A second process renamed the file between this one's open and rename.
  for (int i = 0; i < 6; ++i) LogFileWrite("abc\n");
  FakeLogIoSetFaults(FakeLogIoFaults{0, 0, 2, 0});
  LogFileWrite("still written\n");
  EXPECT_NE(File().find("still written"), std::string::npos);
  EXPECT_TRUE(notices.empty());
}

TEST_F(LogFileTest, MissingFolderIsCreatedOnce) {
  const std::string path = "C:\\Users\\new\\AppData\\Local\\VELQ\\printgate\\printgate.log";
  LogFileOpen(path);
  LogFileWrite("first\n");
  LogFileWrite("second\n");
  EXPECT_EQ(FakeLogIoFiles()[path], kStamp + "first\r\n" + kStamp + "second\r\n");
  std::vector<std::string> calls = FakeLogIoCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "folders C:\\Users\\new\\AppData\\Local\\VELQ\\printgate"), 1);
}

TEST_F(LogFileTest, AFailingFileIsSkippedSaidOnceAndRetried) {
  struct Case {
    const char* what;
    FakeLogIoFaults faults;
    uint32_t code;
  } cases[] = {
      {"locked by another program", {32, 0, 0, 0}, 32},
      {"data folder not writable", {5, 0, 0, 0}, 5},
      {"disk full", {0, 112, 0, 0}, 112},
      {"folder can't be made", {3, 0, 0, 5}, 3},
  };
  for (const Case& c : cases) {
    SetUp();
    LogFileWrite("before\n");
    // The writer keeps its file open; a lock or a denial meets it when it
    // opens the file again.
    FakeLogIoAdvance(kLogReopenMs);
    FakeLogIoSetFaults(c.faults);
    for (int i = 0; i < 5; ++i) LogFileWrite("lost\n");
    ASSERT_EQ(notices.size(), 1u) << c.what;
    EXPECT_EQ(notices[0], "log file " + kPath + " cannot be written (error " + std::to_string(c.code) +
                              "); its lines are skipped until it can")
        << c.what;
    EXPECT_EQ(LogFileSkippedLines(), 5u) << c.what;
    // One attempt, then none until the retry time has passed.
    size_t calls = FakeLogIoCalls().size();
    LogFileWrite("lost\n");
    EXPECT_EQ(FakeLogIoCalls().size(), calls) << c.what;
    FakeLogIoAdvance(kLogRetryMs);
    LogFileWrite("still lost\n");
    EXPECT_GT(FakeLogIoCalls().size(), calls) << c.what;
    EXPECT_EQ(notices.size(), 1u) << c.what;
    // Writable again: the gap is named, then the line.
    FakeLogIoSetFaults(FakeLogIoFaults());
    FakeLogIoAdvance(kLogRetryMs);
    LogFileWrite("after\n");
    EXPECT_EQ(File(), kStamp + "before\r\n" + kStamp + "7 lines were not written: the log file could not be written\r\n" +
                          kStamp + "after\r\n")
        << c.what;
    EXPECT_EQ(LogFileSkippedLines(), 0u);
  }
}

TEST_F(LogFileTest, TheFileIsKeptOpenAndOpenedAgainEachMinute) {
  LogFileOpen(kPath, 1 << 20);
  for (int i = 0; i < 5; ++i) LogFileWrite("line\n");
  FakeLogIoAdvance(kLogReopenMs - 1);
  LogFileWrite("line\n");
  std::vector<std::string> calls = FakeLogIoCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "open " + kPath), 1);
  FakeLogIoAdvance(1);
  LogFileWrite("line\n");
  calls = FakeLogIoCalls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "open " + kPath), 2);
}

TEST_F(LogFileTest, NoFileNoWrites) {
  LogFileOpen("");
  LogFileWrite("nowhere\n");
  EXPECT_TRUE(FakeLogIoCalls().empty());
  EXPECT_TRUE(notices.empty());
}

TEST_F(LogFileTest, GbkTextBecomesUtf8) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"start print", "start print"},
      {"\xe6\x97\xa5", "\xe6\x97\xa5"},                      // UTF-8 already: a printer name from CUPS
      {"\xc8\xd5", "\xe6\x97\xa5"},                          // 日 in GBK
      {"StartPage \xb4\xed\xce\xf3", "StartPage \xe9\x94\x99\xe8\xaf\xaf"},  // 错误
  };
  for (const Case& c : cases) EXPECT_EQ(LogTextUtf8(c.in), c.out);
}

}  // namespace
