// A label's job at the CUPS scheduler, for the CUPS backend of the printing
// seam: created with its options, given its one document, or cancelled.
// Each call borrows a scheduler connection for its round trip and blocks
// for it (see base/ipp_cups.h).
#pragma once
#include <cups/cups.h>

#include <string>

#include "render/default_destination_cups.h"

// Create-Job on queue, titled title, with options. The job id, or 0 with
// the reason in *status: a queue gone since its check is reported as
// cupsCreateJob reports a look-up that found none, IPP_STATUS_ERROR_INTERNAL.
int CreateSchedulerJob(const std::string& queue, const std::string& title,
                       const CupsOptionList& options, ipp_status_t* status);

// Sends pdf as the job's one and last document. True when the scheduler
// took it; the job is then complete and prints.
bool SendJobDocument(const std::string& queue, int jobId, const std::string& title,
                     const std::string& pdf);

// Cancels the job; its answer is not reported.
void CancelSchedulerJob(const std::string& queue, int jobId);
