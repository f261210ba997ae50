// Every spooler state read into the labels' vocabulary: one table for
// CUPS' job and queue states, one for the Windows spooler's status bits.
#include <gtest/gtest.h>

#include "follow/label_states.h"

namespace {

std::string Text(const LabelReading& reading) {
  std::string text = LabelStateName(reading.state);
  for (const std::string& reason : reading.reasons) text += " " + reason;
  return text;
}

std::string Text(const PrinterReading& reading) {
  std::string text = PrinterStateName(reading.state);
  for (const std::string& reason : reading.reasons) text += " " + reason;
  return text;
}

TEST(LabelStates, CupsJobs) {
  struct Case {
    int jobState;
    int printerState;
    std::vector<std::string> printerReasons;
    const char* expected;
  } cases[] = {
      {3, 3, {}, "queued"},
      {3, 4, {"offline-report"}, "queued"},  // behind another job: its turn comes
      {3, 5, {"paused"}, "waiting queue-stopped"},
      {4, 3, {}, "waiting other"},  // held
      {5, 4, {}, "printing"},
      {5, 4, {"offline-report"}, "waiting printer-offline"},
      {5, 4, {"media-empty-error", "toner-low-report"}, "waiting media-empty"},
      {5, 4, {"cover-open-error", "media-needed-warning"}, "waiting media-empty needs-attention"},
      {5, 4, {"cups-missing-filter-warning"}, "printing"},
      {6, 5, {"paused"}, "waiting queue-stopped"},
      {7, 3, {}, "canceled"},
      {8, 5, {"paused"}, "failed"},
      {9, 3, {}, "printed"},
  };
  for (const Case& c : cases) {
    CupsJobFacts facts;
    facts.jobState = c.jobState;
    facts.printerState = c.printerState;
    facts.printerReasons = c.printerReasons;
    EXPECT_EQ(Text(ReadCupsJob(facts)), c.expected) << c.jobState << " " << c.printerState;
  }
  CupsJobFacts facts;
  facts.jobState = 5;
  facts.printerMessage = "Waiting for printer to become available.";
  EXPECT_EQ(ReadCupsJob(facts).message, facts.printerMessage);
  facts.jobMessage = "Sending data";
  EXPECT_EQ(ReadCupsJob(facts).message, "Sending data");
}

TEST(LabelStates, CupsPrinters) {
  struct Case {
    int state;
    std::vector<std::string> reasons;
    bool accepting;
    const char* expected;
  } cases[] = {
      {3, {}, true, "idle"},
      {4, {}, true, "printing"},
      {5, {"paused"}, true, "waiting queue-stopped"},
      {3, {}, false, "waiting other"},
      {4, {"offline-report"}, true, "waiting printer-offline"},
      {3, {"marker-supply-low-warning"}, true, "idle"},
  };
  for (const Case& c : cases) {
    CupsJobFacts facts;
    facts.printerState = c.state;
    facts.printerReasons = c.reasons;
    facts.accepting = c.accepting;
    EXPECT_EQ(Text(ReadCupsPrinter("Q", facts)), c.expected) << c.state;
  }
}

TEST(LabelStates, WindowsJobs) {
  struct Case {
    uint32_t job;
    uint32_t printer;
    uint32_t attributes;
    const char* expected;
  } cases[] = {
      {0, 0, 0, "queued"},
      {kWinJobSpooling, 0, 0, "queued"},
      {kWinJobPrinting, 0, 0, "printing"},
      {kWinJobPrinted, 0, 0, "printed"},
      {kWinJobComplete | kWinJobRetained, 0, 0, "printed"},
      {kWinJobPrinted | kWinJobDeleting, 0, 0, "printed"},  // a printed job being cleared
      {kWinJobDeleting, 0, 0, "canceled"},
      // printerwatch's offline queue: the printer is unplugged.
      {kWinJobSpooling, 0, kWinAttributeWorkOffline, "waiting printer-absent"},
      {kWinJobPrinting | kWinJobOffline, 0, 0, "waiting printer-offline"},
      {kWinJobPaperOut, 0, 0, "waiting media-empty"},
      {kWinJobError | kWinJobUserIntervention, 0, 0, "waiting needs-attention"},
      {kWinJobBlockedDevq, 0, kWinAttributeWorkOffline, "waiting printer-absent needs-attention"},
      {0, kWinPrinterPaused, 0, "waiting queue-paused"},
      {kWinJobPaused, 0, 0, "waiting other"},
  };
  for (const Case& c : cases) {
    WinJobFacts facts;
    facts.jobStatus = c.job;
    facts.printerStatus = c.printer;
    facts.printerAttributes = c.attributes;
    EXPECT_EQ(Text(ReadWinJob(facts)), c.expected) << std::hex << c.job << " " << c.printer;
  }
  WinJobFacts facts;
  facts.jobStatusText = "Paper jam in tray 1";
  EXPECT_EQ(ReadWinJob(facts).message, "Paper jam in tray 1");
}

TEST(LabelStates, WindowsPrinters) {
  EXPECT_EQ(Text(ReadWinPrinter("Q", 0, 0)), "idle");
  EXPECT_EQ(Text(ReadWinPrinter("Q", kWinPrinterPrinting, 0)), "printing");
  EXPECT_EQ(Text(ReadWinPrinter("Q", 0, kWinAttributeWorkOffline)), "waiting printer-absent");
  EXPECT_EQ(Text(ReadWinPrinter("Q", kWinPrinterPaperOut | kWinPrinterPaused, 0)), "waiting queue-paused media-empty");
}

}  // namespace
