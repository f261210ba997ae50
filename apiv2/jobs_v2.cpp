// Routes of a label's life after its print answer. A job id the watcher
// does not know is answered as not found, whatever the spooler holds, so a
// page never sees or cancels another program's job.
#include "apiv2/jobs_v2.h"

#include <cjson/cJSON.h>

#include "common/answer.h"
#include "common/diag.h"
#include "follow/event_stream.h"
#include "follow/watcher.h"
#include "intake/utf8_text.h"
#include "render/print_job.h"

namespace {

void SetError(httplib::Response& res, int status, const char* code, const std::string& message,
              cJSON* root = nullptr) {
  DiagLine("v2 answer " + std::to_string(status) + " " + code + ": " + message);
  if (root == nullptr) root = cJSON_CreateObject();
  cJSON_AddStringToObject(root, "error", code);
  // A job's own "message" (the spooler's text) gives way to the answer's.
  cJSON_DeleteItemFromObjectCaseSensitive(root, "message");
  cJSON_AddStringToObject(root, "message", message.c_str());
  res.status = status;
  SetJsonBody(res, root);
}

// The job a path and query name; false, with the 404 answer set, when it
// cannot be one of printgate's.
bool NamedJob(const httplib::Request& req, httplib::Response& res, std::string* printer, int* jobId) {
  *printer = req.has_param("printer") ? req.get_param_value("printer", req.get_param_value_count("printer") - 1)
                                      : std::string();
  if (printer->empty()) *printer = DefaultPrinterName();
  if (req.matches.size() < 2 || !ParseJobId(req.matches[1].str(), jobId) || !IsUtf8(*printer)) {
    SetError(res, 404, "job-not-found", "no label printed through printgate has this job number on this printer");
    return false;
  }
  return true;
}

void NotOurs(httplib::Response& res, const std::string& printer, int jobId) {
  SetError(res, 404, "job-not-found",
           "printgate has no label " + std::to_string(jobId) + " on \"" + printer +
               "\": only labels printed through it, for ten minutes after they end");
}

}  // namespace

bool ParseJobId(const std::string& text, int* jobId) {
  if (text.empty() || text.size() > 10 || text[0] == '0') return false;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > 2147483647) return false;
  *jobId = static_cast<int>(value);
  return true;
}

void HandleJobV2(const httplib::Request& req, httplib::Response& res) {
  SetCrossOriginHeaders(res);
  std::string printer;
  int jobId = 0;
  if (!NamedJob(req, res, &printer, &jobId)) return;
  FollowedJob job;
  if (!LookUpJob(printer, jobId, &job)) {
    NotOurs(res, printer, jobId);
    return;
  }
  SetJsonBody(res, JobJson(job));
}

void HandleCancelV2(const httplib::Request& req, httplib::Response& res) {
  SetCrossOriginHeaders(res);
  std::string printer;
  int jobId = 0;
  if (!NamedJob(req, res, &printer, &jobId)) return;
  FollowedJob job;
  unsigned long error = 0;
  switch (CancelJob(printer, jobId, &job, &error)) {
    case kCancelDone:
      DiagLine("v2 canceled job " + std::to_string(jobId) + " on " + printer);
      SetJsonBody(res, JobJson(job));
      return;
    case kCancelAlreadyEnded:
      SetError(res, 409, "already-ended",
               std::string("the label has already ended: ") + LabelStateName(job.reading.state), JobJson(job));
      return;
    case kCancelNotOurs:
      NotOurs(res, printer, jobId);
      return;
    case kCancelRefused:
      SetError(res, 500, "cancel-failed",
               "the spooler did not cancel the label (error " + std::to_string(error) + ")", JobJson(job));
      return;
  }
}

void HandleEventsV2(const httplib::Request& req, httplib::Response& res) {
  SetCrossOriginHeaders(res);
  if (!ServeEventStream(req.get_header_value("Last-Event-ID"), res)) {
    SetError(res, 503, "too-many-streams",
             "32 event streams are open: close one, or share one stream among a browser's tabs");
  }
}
