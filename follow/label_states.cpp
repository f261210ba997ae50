// The readings of CUPS' and the Windows spooler's states into the labels'
// vocabulary. Which reason wins, and when a job counts as waiting rather
// than queued or printing, is decided here alone.
#include "follow/label_states.h"

#include <algorithm>

namespace {

const char* const kReasonOrder[] = {"printer-absent", "printer-offline", "queue-paused", "queue-stopped",
                                    "media-empty",    "needs-attention", "other"};

void AddReason(std::vector<std::string>* reasons, const char* code) {
  if (std::find(reasons->begin(), reasons->end(), code) == reasons->end()) reasons->push_back(code);
}

void SortReasons(std::vector<std::string>* reasons) {
  auto rank = [](const std::string& code) {
    for (size_t i = 0; i < sizeof(kReasonOrder) / sizeof(kReasonOrder[0]); ++i) {
      if (code == kReasonOrder[i]) return i;
    }
    return sizeof(kReasonOrder) / sizeof(kReasonOrder[0]);
  };
  std::stable_sort(reasons->begin(), reasons->end(),
                   [&rank](const std::string& a, const std::string& b) { return rank(a) < rank(b); });
}

bool EndsWith(const std::string& text, const char* tail) {
  std::string end(tail);
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// CUPS printer-state-reasons that keep a label from moving. A keyword's
// "-report" and "-warning" forms are news, not a stop, except "offline":
// the USB backend says "offline-report" while it waits for the printer.
void AddCupsPrinterReasons(const std::vector<std::string>& keywords, std::vector<std::string>* reasons) {
  for (const std::string& keyword : keywords) {
    if (keyword == "paused") {
      AddReason(reasons, "queue-stopped");
    } else if (keyword.compare(0, 7, "offline") == 0) {
      AddReason(reasons, "printer-offline");
    } else if (keyword.compare(0, 11, "media-empty") == 0 || keyword.compare(0, 12, "media-needed") == 0) {
      AddReason(reasons, "media-empty");
    } else if (EndsWith(keyword, "-error")) {
      AddReason(reasons, "needs-attention");
    }
  }
}

// The job's own text first: it names this job's trouble.
std::string CupsMessage(const CupsJobFacts& facts) {
  return facts.jobMessage.empty() ? facts.printerMessage : facts.jobMessage;
}

void AddWinPrinterReasons(uint32_t status, uint32_t attributes, std::vector<std::string>* reasons) {
  // printerwatch takes a queue offline when its printer is unplugged: on a
  // USB queue the status bits are mostly 0, and this is all there is.
  if (attributes & kWinAttributeWorkOffline) AddReason(reasons, "printer-absent");
  if (status & kWinPrinterNotAvailable) AddReason(reasons, "printer-absent");
  if (status & kWinPrinterOffline) AddReason(reasons, "printer-offline");
  if (status & kWinPrinterPaused) AddReason(reasons, "queue-paused");
  if (status & kWinPrinterPaperOut) AddReason(reasons, "media-empty");
  if (status & (kWinPrinterError | kWinPrinterPaperJam | kWinPrinterDoorOpen | kWinPrinterUserIntervention)) {
    AddReason(reasons, "needs-attention");
  }
}

}  // namespace

const char* LabelStateName(LabelState state) {
  switch (state) {
    case kLabelQueued: return "queued";
    case kLabelPrinting: return "printing";
    case kLabelPrinted: return "printed";
    case kLabelWaiting: return "waiting";
    case kLabelFailed: return "failed";
    case kLabelCanceled: return "canceled";
  }
  return "queued";
}

const char* PrinterStateName(PrinterState state) {
  switch (state) {
    case kPrinterIdle: return "idle";
    case kPrinterPrinting: return "printing";
    case kPrinterWaiting: return "waiting";
  }
  return "idle";
}

bool LabelStateEnded(LabelState state) {
  return state == kLabelPrinted || state == kLabelFailed || state == kLabelCanceled;
}

LabelReading ReadCupsJob(const CupsJobFacts& facts) {
  LabelReading reading;
  reading.message = CupsMessage(facts);
  switch (facts.jobState) {
    case 7: reading.state = kLabelCanceled; return reading;
    case 8: reading.state = kLabelFailed; return reading;
    case 9: reading.state = kLabelPrinted; return reading;
    default: break;
  }
  std::vector<std::string> reasons;
  if (facts.printerState == 5 || facts.jobState == 6) AddReason(&reasons, "queue-stopped");
  AddCupsPrinterReasons(facts.printerReasons, &reasons);
  if (facts.jobState == 4 && reasons.empty()) AddReason(&reasons, "other");  // held
  // A job behind others on a working queue is just queued; only a stopped
  // queue or a held job keeps a pending one from its turn.
  if (facts.jobState == 3 && facts.printerState != 5) reasons.clear();
  SortReasons(&reasons);
  if (!reasons.empty()) {
    reading.state = kLabelWaiting;
    reading.reasons = reasons;
  } else {
    reading.state = facts.jobState == 5 ? kLabelPrinting : kLabelQueued;
  }
  return reading;
}

PrinterReading ReadCupsPrinter(const std::string& name, const CupsJobFacts& facts) {
  PrinterReading reading;
  reading.name = name;
  reading.message = facts.printerMessage;
  if (facts.printerState == 5) AddReason(&reading.reasons, "queue-stopped");
  AddCupsPrinterReasons(facts.printerReasons, &reading.reasons);
  if (!facts.accepting) {
    AddReason(&reading.reasons, "other");
    if (reading.message.empty()) reading.message = "the queue refuses new jobs";
  }
  SortReasons(&reading.reasons);
  if (!reading.reasons.empty()) {
    reading.state = kPrinterWaiting;
  } else {
    reading.state = facts.printerState == 4 ? kPrinterPrinting : kPrinterIdle;
  }
  return reading;
}

LabelReading ReadWinJob(const WinJobFacts& facts) {
  LabelReading reading;
  reading.message = facts.jobStatusText;
  uint32_t status = facts.jobStatus;
  if (status & (kWinJobPrinted | kWinJobComplete)) {
    reading.state = kLabelPrinted;
    return reading;
  }
  if (status & (kWinJobDeleting | kWinJobDeleted)) {
    reading.state = kLabelCanceled;
    return reading;
  }
  std::vector<std::string> reasons;
  if (status & kWinJobOffline) AddReason(&reasons, "printer-offline");
  if (status & kWinJobPaperOut) AddReason(&reasons, "media-empty");
  if (status & (kWinJobError | kWinJobBlockedDevq | kWinJobUserIntervention)) {
    AddReason(&reasons, "needs-attention");
  }
  if (status & kWinJobPaused) AddReason(&reasons, "other");
  AddWinPrinterReasons(facts.printerStatus, facts.printerAttributes, &reasons);
  SortReasons(&reasons);
  if (!reasons.empty()) {
    reading.state = kLabelWaiting;
    reading.reasons = reasons;
  } else {
    reading.state = (status & kWinJobPrinting) ? kLabelPrinting : kLabelQueued;
  }
  return reading;
}

PrinterReading ReadWinPrinter(const std::string& name, uint32_t printerStatus, uint32_t printerAttributes) {
  PrinterReading reading;
  reading.name = name;
  AddWinPrinterReasons(printerStatus, printerAttributes, &reading.reasons);
  SortReasons(&reading.reasons);
  if (!reading.reasons.empty()) {
    reading.state = kPrinterWaiting;
  } else {
    reading.state = (printerStatus & kWinPrinterPrinting) ? kPrinterPrinting : kPrinterIdle;
  }
  return reading;
}
