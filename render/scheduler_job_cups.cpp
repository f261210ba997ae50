// Create-Job, Send-Document and Cancel-Job for one label. Create-Job is sent
// as cupsCreateJob sends it, without the two look-ups of the queue it makes
// first: the device context has checked the queue.
#include "render/scheduler_job_cups.h"

#include "base/ipp_cups.h"
#include "base/scheduler_connection.h"

int CreateSchedulerJob(const std::string& queue, const std::string& title,
                       const CupsOptionList& options, ipp_status_t* status) {
  *status = IPP_STATUS_ERROR_INTERNAL;
  std::string uri = IppPrinterUri(queue);
  char resource[HTTP_MAX_URI];
  char scheme[32];
  char userpass[256];
  char host[256];
  int port = 0;
  if (uri.empty() ||
      httpSeparateURI(HTTP_URI_CODING_NONE, uri.c_str(), scheme, sizeof(scheme), userpass,
                      sizeof(userpass), host, sizeof(host), &port, resource,
                      sizeof(resource)) < HTTP_URI_STATUS_OK) {
    return 0;
  }
  cups_option_t* encoded = nullptr;
  int count = 0;
  for (const auto& option : options) {
    count = cupsAddOption(option.first.c_str(), option.second.c_str(), count, &encoded);
  }
  ipp_t* request = ippNewRequest(IPP_OP_CREATE_JOB);
  ippSetVersion(request, 2, 0);  // as libcups asks a CUPS queue
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, title.c_str());
  cupsEncodeOptions2(request, count, encoded, IPP_TAG_OPERATION);
  cupsEncodeOptions2(request, count, encoded, IPP_TAG_JOB);
  cupsEncodeOptions2(request, count, encoded, IPP_TAG_SUBSCRIPTION);
  cupsFreeOptions(count, encoded);
  ipp_t* response = IppSend(request, resource, nullptr, status);
  if (*status == IPP_STATUS_ERROR_NOT_FOUND) *status = IPP_STATUS_ERROR_INTERNAL;
  int jobId = 0;
  if (response != nullptr) {
    ipp_attribute_t* id = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER);
    if (id != nullptr) jobId = ippGetInteger(id, 0);
    ippDelete(response);
  }
  return jobId;
}

// The document is streamed to the scheduler, which IppSend does not do: the
// connection is borrowed here, and the answer judged by the same rule.
bool SendJobDocument(const std::string& queue, int jobId, const std::string& title,
                     const std::string& pdf) {
  http_t* http = TakeSchedulerConnection();
  if (http == nullptr) return false;
  http_status_t status =
      cupsStartDocument(http, queue.c_str(), jobId, title.c_str(), CUPS_FORMAT_PDF, 1);
  if (status == HTTP_STATUS_CONTINUE) status = cupsWriteRequestData(http, pdf.data(), pdf.size());
  // Finishing also reads the answer, so the connection is ready for the
  // next request whether or not the data went through.
  ipp_status_t finished = cupsFinishDocument(http, queue.c_str());
  GiveBackSchedulerConnection(http);
  return status == HTTP_STATUS_CONTINUE && IppSucceeded(finished);
}

void CancelSchedulerJob(const std::string& queue, int jobId) {
  http_t* http = TakeSchedulerConnection();
  if (http == nullptr) return;
  cupsCancelJob2(http, queue.c_str(), jobId, 0);
  GiveBackSchedulerConnection(http);
}
