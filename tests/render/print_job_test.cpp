// The print job's step ladder over the fake printing backend: every way out,
// the paper maths, the messages byte for byte, and that everything the job
// obtains is given back.
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/memory_budget.h"
#include "tests/fakes/common/temp_file_fake.h"
#include "render/print_job.h"
#include "tests/fakes/render/printing_fake.h"
#include "tests/render/fake_png.h"
#include "tests/render/label_images.h"
#include "tests/support/test_server.h"

namespace {

using Calls = std::vector<std::string>;

const std::wstring kTempImage = L"C:\\Users\\Public\\tempVQ.JPG";

// The job's GBK messages, spelled out byte by byte.
const std::string kNoPrinterChosen =
    "\xc3\xbb\xd3\xd0\xd1\xa1\xd4\xf1\xb4\xf2\xd3\xa1\xbb\xfa\xa1\xa3\n";
const std::string kSettingsError =
    "\xbb\xf1\xc8\xa1\xb4\xf2\xd3\xa1\xbb\xfa\xc9\xe8\xd6\xc3\xca\xb1\xb7\xa2\xc9\xfa\xc1\xcb"
    "\xb4\xed\xce\xf3.\n";
const std::string kStartDocError =
    "StartDoc \xb4\xed\xce\xf3\xa3\xac\xb4\xed\xce\xf3\xb4\xfa\xc2\xeb\xa3\xba";
const std::string kJobNumber = "\xd7\xf7\xd2\xb5\xb1\xe0\xba\xc5\xa3\xba";
const std::string kStartPageError = "StartPage \xb4\xed\xce\xf3\n";
const std::string kBitmapSize = "1--\xce\xbb\xcd\xbc\xb4\xf3\xd0\xa1\xa3\xba";
const std::string kDone =
    "\xb4\xf2\xd3\xa1\xcb\xb3\xc0\xfb\xcd\xea\xb3\xc9\xc1\xcb. o(\xa1\xc9_\xa1\xc9)o \n";
const std::string kNoImage = "No label image could be loaded from tempVQ.JPG; nothing printed.\n";
const std::string kFailed = "Printing failed: the document or its page did not start.\n";

class PrintJob : public testing::Test {
 protected:
  void SetUp() override {
    ResetFakePrinting();
    ResetFakeTempFiles();
    SetFakeFileContent(kTempImage, FakePng(400, 240));
    StartDiagCapture();
  }
  void TearDown() override {
    StopDiagCapture();
    // Whatever way the job left, it gave back all it took.
    EXPECT_EQ(FakeLiveHandles(), 0);
    EXPECT_EQ(FakeLockCount(), 0);
  }
  std::string Run(const std::string& name) {
    EXPECT_EQ(PrintLabelImage(name), 0);
    return DiagOutput();
  }
  static bool Called(const std::string& call) {
    for (const auto& c : FakePrintCalls()) {
      if (c.rfind(call, 0) == 0) return true;
    }
    return false;
  }
};

TEST_F(PrintJob, PrintsOneLandscapePageOnTheDefaultQueueWithExactMessages) {
  FakePrintingFaults faults;
  faults.initialFields = 0x10000 | 0x100;
  SetFakePrintingFaults(faults);
  std::string out = Run("");
  EXPECT_EQ(out, "502  300" + kJobNumber + "1\n" + kBitmapSize + "400 x 240\n" + kDone);
  EXPECT_EQ(FakePrintCalls(),
            (Calls{"PrintDlg default", "CreateDC VELQ", "Lock",
                   "LoadImage C:\\Users\\Public\\\\tempVQ.JPG",
                   "LoadImage memory " + std::to_string(FakePng(400, 240).size()), "ResetDC", "Unlock",
                   "StartDoc velq label", "StartPage", "Draw 0,0,400,240", "EndPage", "EndDoc",
                   "DeleteDC"}));
  FakeDevMode stored = FakeStoredSettings();
  EXPECT_EQ(stored.fields, 0x10000ul | 0x100 | 0xF);
  EXPECT_EQ(stored.orientation, 2);
  EXPECT_EQ(stored.paperSize, 0);
  EXPECT_EQ(stored.paperLength, 502);
  EXPECT_EQ(stored.paperWidth, 300);
}

TEST_F(PrintJob, PaperFollowsTheImageAtAnEighthOfAMillimetrePerPixel) {
  struct Case {
    int w, h;
    const char* message;
  } cases[] = {{400, 240, "502  300"}, {320, 240, "402  300"}, {800, 480, "1005  600"},
               {1, 1, "1  1"},         {7, 7, "8  8"},         {26083, 2, "32766  2"},
               {2, 26213, "2  32766"}};
  for (const Case& c : cases) {
    ResetFakePrinting();
    SetFakeFileContent(kTempImage, FakePng(c.w, c.h));
    StartDiagCapture();
    std::string out = Run("Q");
    EXPECT_EQ(out.substr(0, out.find(kJobNumber)), c.message) << c.w << "x" << c.h;
    EXPECT_EQ(FakeStoredSettings().paperLength, LabelPaperSize(c.w, c.h).length);
    EXPECT_TRUE(Called("Draw 0,0," + std::to_string(c.w) + "," + std::to_string(c.h)));
  }
}

TEST_F(PrintJob, WholeNumberPaperLengthMatchesTheDecimalFactor) {
  for (int w = 0; w <= 40000; ++w) {
    ASSERT_EQ(LabelPaperSize(w, 0).length, static_cast<long long>(w * 10.05 / 8.0)) << w;
  }
  EXPECT_EQ(LabelPaperSize(0, 26214).width, 32767);
  EXPECT_EQ(LabelPaperSize(0, 2147483647).width, 2684354558ll);  // no 32-bit overflow
}

TEST_F(PrintJob, PaperBeyondTheShortFieldsStartsNoDocument) {
  // The paper's edge: one pixel more than the fields' 3276.7 mm hold.
  const char* const paper = " is too large for the paper size fields; nothing printed.\n";
  const char* const decoder = " is larger than printgate decodes; nothing printed.\n";
  struct Case {
    int w, h;
    const char* says;
  } cases[] = {{26084, 1, paper}, {1, 26214, paper}, {8200, 8200, decoder},
               {2147483647, 2147483647, decoder}};
  for (const Case& size : cases) {
    ResetFakePrinting();
    SetFakeFileContent(kTempImage, FakePng(size.w, size.h).substr(0, 33));
    StartDiagCapture();
    std::string out = Run("Q");
    EXPECT_EQ(out, "Label image " + std::to_string(size.w) + " x " + std::to_string(size.h) + size.says);
    EXPECT_FALSE(Called("ResetDC"));
    EXPECT_FALSE(Called("StartDoc"));
    EXPECT_EQ(FakeLiveHandles(), 0);
  }
}

TEST_F(PrintJob, WithoutADefaultPrinterTheDialogChoosesTheStartingSettings) {
  FakePrintingFaults faults;
  faults.noDefaultPrinter = true;
  SetFakePrintingFaults(faults);
  Run("Office");
  Calls calls = FakePrintCalls();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0], "PrintDlg default");
  EXPECT_EQ(calls[1], "PrintDlg dialog");
  EXPECT_EQ(calls[2], "CreateDC Office");  // still the named queue
  EXPECT_TRUE(Called("EndDoc"));
}

TEST_F(PrintJob, ACancelledDialogEndsTheJobWithItsMessageAlone) {
  FakePrintingFaults faults;
  faults.noDefaultPrinter = true;
  faults.dialogCancelled = true;
  SetFakePrintingFaults(faults);
  EXPECT_EQ(Run("Office"), kNoPrinterChosen);
  EXPECT_EQ(FakePrintCalls(), (Calls{"PrintDlg default", "PrintDlg dialog"}));
}

TEST_F(PrintJob, AnUnknownQueueGivesTheSystemErrorAndNoDocument) {
  FakePrintingFaults faults;
  faults.unknownPrinters = {L"Nowhere"};
  SetFakePrintingFaults(faults);
  EXPECT_EQ(Run("Nowhere"), "Could not create printer DC: 1801\n");
  EXPECT_FALSE(Called("StartDoc"));
  faults.createDcError = 4294967295ul;
  SetFakePrintingFaults(faults);
  StartDiagCapture();
  EXPECT_EQ(Run("X"), "Could not create printer DC: 4294967295\n");
}

TEST_F(PrintJob, NameIsWidenedByteForByte) {
  EXPECT_EQ(WidenPrinterName("LX4 Label Printer"), L"LX4 Label Printer");
  EXPECT_EQ(WidenPrinterName("Caf\xe9 \xc8\xd5"), std::wstring(L"Caf\u00e9 \u00c8\u00d5"));
  FakePrintingFaults faults;
  faults.unknownPrinters = {std::wstring(L"Caf\u00e9")};
  SetFakePrintingFaults(faults);
  EXPECT_EQ(Run("Caf\xe9"), "Could not create printer DC: 1801\n");
}

TEST_F(PrintJob, SettingsThatCannotBeLockedEndTheJob) {
  FakePrintingFaults faults;
  faults.lockFails = true;
  SetFakePrintingFaults(faults);
  EXPECT_EQ(Run(""), kSettingsError);
  EXPECT_FALSE(Called("LoadImage"));
  EXPECT_FALSE(Called("StartDoc"));
}

TEST_F(PrintJob, NoLoadableImageStartsNoDocument) {
  const std::string notAnImage = "\xff\xd8 truncated";
  for (int variant = 0; variant < 3; ++variant) {
    ResetFakePrinting();
    ResetFakeTempFiles();
    if (variant == 0) {
      FakeTempFileFaults faults;
      faults.folderFails = true;
      SetFakeTempFileFaults(faults);
    }
    if (variant == 1) SetFakeFileContent(kTempImage, notAnImage);
    // variant 2: the file was never written
    StartDiagCapture();
    EXPECT_EQ(Run(""), kNoImage) << variant;
    EXPECT_FALSE(Called("ResetDC"));
    EXPECT_FALSE(Called("StartDoc"));
    EXPECT_EQ(FakeLiveHandles(), 0);
    EXPECT_EQ(FakeLockCount(), 0);
  }
}

// The decoder takes these (the fake reads the header alone, as real ones
// hand out what they got), but their bytes do not hold the whole image:
// neither route starts a document, and the request's route learns why.
TEST_F(PrintJob, ADamagedImageStopsAtTheLoadStepOnBothRoutes) {
  std::string whole = FakePng(400, 240);
  std::string flipped = whole;
  flipped[whole.find("IDAT") + 6] ^= 0x20;
  struct {
    const char* name;
    std::string bytes;
    const char* fault;
  } cases[] = {
      {"cut in its data", whole.substr(0, whole.size() / 2), "the PNG ends inside its IDAT chunk"},
      {"one byte short", whole.substr(0, whole.size() - 1), "the PNG ends inside its IEND chunk"},
      {"a flipped byte", flipped, "the CRC of the PNG's IDAT chunk does not match"},
  };
  for (const auto& c : cases) {
    ResetFakePrinting();
    SetFakeFileContent(kTempImage, c.bytes);
    StartDiagCapture();
    EXPECT_EQ(Run(""), kNoImage) << c.name;
    EXPECT_TRUE(Called("LoadImage")) << c.name;
    EXPECT_FALSE(Called("ResetDC")) << c.name;
    EXPECT_FALSE(Called("StartDoc")) << c.name;
    EXPECT_EQ(FakeLiveHandles(), 0) << c.name;

    ResetFakePrinting();
    StartDiagCapture();
    PrintReport report = PrintLabelBytes("VELQ", c.bytes, 0);
    EXPECT_EQ(DiagOutput(), "No label image could be decoded from the request; nothing printed.\n");
    EXPECT_EQ(report.step, kPrintStepNoImage) << c.name;
    EXPECT_TRUE(report.damaged) << c.name;
    EXPECT_EQ(report.imageFault, c.fault) << c.name;
    EXPECT_FALSE(Called("StartDoc")) << c.name;
    EXPECT_EQ(FakeLiveHandles(), 0) << c.name;
  }
  ResetFakePrinting();
  StartDiagCapture();
  EXPECT_EQ(PrintLabelBytes("VELQ", whole, 0).step, kPrintStepDone);
}

// Checking a stream costs what decoding it would, so only a header is
// judged before the claim: while another queue's request holds the room,
// a damaged image large enough to wait for it is answered busy, not
// checked, and a broken header is still answered at once.
TEST_F(PrintJob, OnlyTheHeaderIsCheckedBeforeTheClaim) {
  ReleaseHold();  // what earlier jobs on this thread claimed
  std::string large = FakePng(1000, 1000);  // its claim is past the small holds
  std::string flipped = large;
  flipped[large.find("IDAT") + 6] ^= 0x20;
  std::promise<void> holding, done;
  std::thread other([&] {
    BeginRequestHold("another queue");
    EXPECT_EQ(HoldAtLeast(MemoryBudget() - MemoryBudget() / kSmallReserveShare), kHeld);
    holding.set_value();
    done.get_future().wait();
    ReleaseHold();
  });
  holding.get_future().wait();
  SetBudgetWait(20);
  struct {
    const char* name;
    std::string bytes;
    PrintStep step;
  } cases[] = {{"damaged in its stream", flipped, kPrintStepBusy},
               {"cut in its header", large.substr(0, 20), kPrintStepNoImage}};
  for (const auto& c : cases) {
    ResetFakePrinting();
    StartDiagCapture();
    BeginRequestHold("VELQ");
    EXPECT_EQ(PrintLabelBytes("VELQ", c.bytes, 0).step, c.step) << c.name;
    ReleaseHold();
    EXPECT_FALSE(Called("LoadImage memory")) << c.name;
  }
  SetBudgetWait(kBudgetWaitMs);
  done.set_value();
  other.join();
}

// Bytes held in memory are judged for their size on their header's word:
// no decoder is given an image it would need gigabytes for, or one whose
// paper would end before the image, and the answer says which.
TEST_F(PrintJob, ASizeRefusedOnTheHeadersWordIsNeverDecoded) {
  // A budget that holds the largest image decoded: the size limits alone.
  SetMemoryBudget(2ull << 30);
  struct Case {
    uint32_t w, h;
    PrintStep step;
  } cases[] = {{8200, 8200, kPrintStepImageTooLarge},   {40000, 8, kPrintStepImageTooLarge},
               {26084, 1, kPrintStepPaperTooLarge},     {1, 26214, kPrintStepPaperTooLarge},
               {26083, 2, kPrintStepNoImage},       // fits; cut after its header
               {8192, 8192, kPrintStepNoImage},     // 64 Mi pixels: decoded
               {8193, 8192, kPrintStepImageTooLarge}};  // one column more
  for (const Case& c : cases) {
    ResetFakePrinting();
    StartDiagCapture();
    PrintReport report = PrintLabelBytes("VELQ", FakePng(c.w, c.h).substr(0, 33), 0);
    EXPECT_EQ(report.step, c.step) << c.w << "x" << c.h;
    if (c.step != kPrintStepNoImage) {
      EXPECT_EQ(report.width, static_cast<int>(c.w));
      EXPECT_EQ(report.height, static_cast<int>(c.h));
      EXPECT_FALSE(Called("LoadImage memory")) << c.w << "x" << c.h;
    }
    EXPECT_FALSE(Called("StartDoc"));
  }
  SetMemoryBudget(kDefaultMemoryBudget);
}

// The stored file is read, then judged as posted bytes are: no decoder is
// given a header either route would refuse, and every size a header
// announces counts (a GIF frame reaching past its screen).
TEST_F(PrintJob, TheStoredFileAndEveryAnnouncedSizeAreJudgedBeforeDecoding) {
  SetFakeFileContent(kTempImage, FakePng(8200, 8200).substr(0, 33));
  EXPECT_EQ(Run(""), "Label image 8200 x 8200 is larger than printgate decodes; nothing printed.\n");
  EXPECT_TRUE(Called("LoadImage C:"));
  EXPECT_FALSE(Called("LoadImage memory"));
  EXPECT_FALSE(Called("StartDoc"));

  std::string farFrame = TestGif(7, 5);
  farFrame[20] = static_cast<char>(33000 & 0xFF);
  farFrame[21] = static_cast<char>(33000 >> 8);
  ResetFakePrinting();
  StartDiagCapture();
  PrintReport report = PrintLabelBytes("VELQ", farFrame, 0);
  EXPECT_EQ(report.step, kPrintStepImageTooLarge);
  EXPECT_EQ(report.width, 33007);
  EXPECT_EQ(report.height, 5);
  EXPECT_FALSE(Called("LoadImage memory"));
}

// Decoders make up (or refuse) the last blocks of a JPEG that ends without
// its end marker: both routes give them the marker.
TEST_F(PrintJob, AJpegWithoutItsEndMarkerIsDecodedWithOne) {
  std::string jpeg = TestJpeg(16, 16, false);
  std::string open = jpeg.substr(0, jpeg.size() - 2);
  PrintLabelBytes("VELQ", open, 0);
  EXPECT_TRUE(Called("LoadImage memory " + std::to_string(jpeg.size())));
  ResetFakePrinting();
  SetFakeFileContent(kTempImage, open);
  StartDiagCapture();
  Run("");
  EXPECT_TRUE(Called("LoadImage C:"));
  EXPECT_TRUE(Called("LoadImage memory " + std::to_string(jpeg.size())));
  ResetFakePrinting();
  PrintLabelBytes("VELQ", jpeg, 0);
  EXPECT_TRUE(Called("LoadImage memory " + std::to_string(jpeg.size())));
}

TEST_F(PrintJob, AFailedStartDocIsReportedAndTheLadderRunsOnWithoutClaimingSuccess) {
  FakePrintingFaults faults;
  faults.startDocResult = 0;
  faults.startDocError = 1804;
  SetFakePrintingFaults(faults);
  std::string out = Run("");
  EXPECT_EQ(out, "502  300" + kStartDocError + "1804 | work id:0\n" + kJobNumber + "0\n" +
                     kBitmapSize + "400 x 240\n" + kFailed);
  for (const char* call : {"StartPage", "Draw", "EndPage", "EndDoc"}) {
    EXPECT_TRUE(Called(call)) << call;
  }
  faults.startDocResult = -1;
  faults.startDocError = 6;
  SetFakePrintingFaults(faults);
  StartDiagCapture();
  EXPECT_NE(Run("").find(kStartDocError + "6 | work id:-1\n" + kJobNumber + "-1\n"),
            std::string::npos);
}

TEST_F(PrintJob, AFailedStartPageAbortsTheDocument) {
  FakePrintingFaults faults;
  faults.startPageResult = -1;
  SetFakePrintingFaults(faults);
  std::string out = Run("");
  EXPECT_EQ(out, "502  300" + kJobNumber + "1\n" + kStartPageError + kBitmapSize +
                     "400 x 240\n" + kFailed);
  Calls calls = FakePrintCalls();
  Calls tail(calls.end() - 6, calls.end());
  EXPECT_EQ(tail, (Calls{"StartPage", "AbortDoc", "Draw 0,0,400,240", "EndPage", "EndDoc",
                         "DeleteDC"}));
}

}  // namespace
