// Seam: what the watcher asks of the spooler about the labels printgate
// submitted and about the queues. The backends only gather the spooler's
// numbers and read them with follow/label_states.h; what to do with a
// reading (events, ends, who may see a job) is the watcher's.
//
// Backends (one per target):
// - follow_spooler_win.cpp: winspool's GetJob, SetJob and EnumPrinters
//   (Windows);
// - follow_spooler_cups.cpp: Get-Job-Attributes, Cancel-Job and
//   CUPS-Get-Printers over the shared scheduler connections (Linux, macOS);
// - tests/fakes/follow/follow_spooler_fake.cpp: scripted jobs and queues.
// Every call but HoldSpoolerJob's CUPS form blocks for one spooler round
// trip (CUPS: two for a job that has not ended, its queue's state being
// read too; also while all shared scheduler connections are in use, see
// base/scheduler_connection.h). None keeps state between calls.
#pragma once
#include <string>
#include <vector>

#include "follow/label_states.h"

enum SpoolerJobLookup {
  kSpoolerJobFound,   // *reading holds the job's state now
  kSpoolerJobGone,    // the spooler no longer knows the job
  kSpoolerJobFailed,  // the spooler could not be asked: try again later
};

// The job `jobId` on the queue `printer` (UTF-8): its state, reasons and
// the spooler's text.
SpoolerJobLookup ReadSpoolerJob(const std::string& printer, int jobId, LabelReading* reading);

// Keeps a job the spooler would drop at its end visible until it is
// released (Windows: SetJob JOB_CONTROL_RETAIN, called right after StartDoc
// returned the id). True when the job stays visible past its end; CUPS
// keeps its history anyway and answers true without asking.
bool HoldSpoolerJob(const std::string& printer, int jobId);
// Lets the spooler forget a held job (Windows: JOB_CONTROL_RELEASE). Its
// failure changes nothing for the watcher and is not reported.
void ReleaseSpoolerJob(const std::string& printer, int jobId);

// Cancels the job (CUPS: Cancel-Job; Windows: JOB_CONTROL_DELETE). True
// when the spooler took the cancel; otherwise *error holds its code (the
// IPP status on CUPS, GetLastError on Windows).
bool CancelSpoolerJob(const std::string& printer, int jobId, unsigned long* error);

// Every local queue's state, in the spooler's order. False when the
// spooler did not answer (printers is then empty); a spooler without
// queues gives true and none.
bool ReadSpoolerPrinters(std::vector<PrinterReading>* printers);
