// The one vocabulary of a label's and a printer's state that every spooler
// is read into, and the two readings of it: CUPS' job and printer states
// and the Windows spooler's status bits. Portable, so that a unit table
// reaches every rule; the backends only gather the numbers and call these.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum LabelState {
  kLabelQueued,    // the spooler has it and has not started sending it
  kLabelPrinting,  // being sent to the printer
  kLabelPrinted,   // the printer has received all of it (handed over)
  kLabelWaiting,   // not moving; the reasons say why
  kLabelFailed,    // the spooler gave up on it
  kLabelCanceled,
};

enum PrinterState { kPrinterIdle, kPrinterPrinting, kPrinterWaiting };

// "queued", "printing", "printed", "waiting", "failed", "canceled".
const char* LabelStateName(LabelState state);
// "idle", "printing", "waiting".
const char* PrinterStateName(PrinterState state);
// printed, failed and canceled: nothing more happens to the label.
bool LabelStateEnded(LabelState state);

// A state with its short reason codes ("printer-absent", "printer-offline",
// "queue-paused", "queue-stopped", "media-empty", "needs-attention",
// "other"; each at most once, in that order) and the spooler's own text.
struct LabelReading {
  LabelState state = kLabelQueued;
  std::vector<std::string> reasons;
  std::string message;
};
struct PrinterReading {
  std::string name;  // UTF-8, as the listing names the queue
  PrinterState state = kPrinterIdle;
  std::vector<std::string> reasons;
  std::string message;
};

// What CUPS says of a job and of its queue.
struct CupsJobFacts {
  int jobState = 3;                       // job-state: 3 pending ... 9 completed
  std::vector<std::string> jobReasons;    // job-state-reasons
  std::string jobMessage;                 // job-printer-state-message or job-state-message
  int printerState = 3;                   // printer-state: 3 idle, 4 processing, 5 stopped
  std::vector<std::string> printerReasons;  // printer-state-reasons
  std::string printerMessage;             // printer-state-message
  bool accepting = true;                  // printer-is-accepting-jobs
};
LabelReading ReadCupsJob(const CupsJobFacts& facts);
// The queue alone, for the listing: its name and the same facts.
PrinterReading ReadCupsPrinter(const std::string& name, const CupsJobFacts& facts);

// What the Windows spooler says of a job (JOB_INFO_1) and of its queue
// (PRINTER_INFO_2's Status and Attributes).
struct WinJobFacts {
  uint32_t jobStatus = 0;
  std::string jobStatusText;  // pStatus, UTF-8; takes precedence as the message
  uint32_t printerStatus = 0;
  uint32_t printerAttributes = 0;
};
LabelReading ReadWinJob(const WinJobFacts& facts);
PrinterReading ReadWinPrinter(const std::string& name, uint32_t printerStatus,
                              uint32_t printerAttributes);

// The Windows numbers these readings and the Win32 backend use, by their
// documented values: the one place for those MinGW's headers lack
// (JOB_CONTROL_RETAIN and _RELEASE, JOB_STATUS_COMPLETE and _RETAINED).
constexpr uint32_t kWinJobControlRetain = 8;
constexpr uint32_t kWinJobControlRelease = 9;
constexpr uint32_t kWinJobPaused = 0x1;
constexpr uint32_t kWinJobError = 0x2;
constexpr uint32_t kWinJobDeleting = 0x4;
constexpr uint32_t kWinJobSpooling = 0x8;
constexpr uint32_t kWinJobPrinting = 0x10;
constexpr uint32_t kWinJobOffline = 0x20;
constexpr uint32_t kWinJobPaperOut = 0x40;
constexpr uint32_t kWinJobPrinted = 0x80;
constexpr uint32_t kWinJobDeleted = 0x100;
constexpr uint32_t kWinJobBlockedDevq = 0x200;
constexpr uint32_t kWinJobUserIntervention = 0x400;
constexpr uint32_t kWinJobRestart = 0x800;
constexpr uint32_t kWinJobComplete = 0x1000;
constexpr uint32_t kWinJobRetained = 0x2000;
constexpr uint32_t kWinPrinterPaused = 0x1;
constexpr uint32_t kWinPrinterError = 0x2;
constexpr uint32_t kWinPrinterPaperJam = 0x8;
constexpr uint32_t kWinPrinterPaperOut = 0x10;
constexpr uint32_t kWinPrinterOffline = 0x80;
constexpr uint32_t kWinPrinterPrinting = 0x400;
constexpr uint32_t kWinPrinterNotAvailable = 0x1000;
constexpr uint32_t kWinPrinterUserIntervention = 0x100000;
constexpr uint32_t kWinPrinterDoorOpen = 0x400000;
constexpr uint32_t kWinAttributeWorkOffline = 0x400;
