// Take a scheduler connection, send, give it back, judge the answer: the
// steps every IPP request of both programs takes.
#include "base/ipp_cups.h"

#include "base/scheduler_connection.h"

std::string IppPrinterUri(const std::string& queue) {
  char uri[HTTP_MAX_URI];
  if (httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                       "/printers/%s", queue.c_str()) < HTTP_URI_STATUS_OK) {
    return std::string();
  }
  return uri;
}

ipp_t* IppSend(ipp_t* request, const char* resource, const char* file, ipp_status_t* status) {
  http_t* http = TakeSchedulerConnection();
  if (http == nullptr) {
    ippDelete(request);
    *status = IPP_STATUS_ERROR_SERVICE_UNAVAILABLE;
    return nullptr;
  }
  ipp_t* response = cupsDoFileRequest(http, request, resource, file);
  ipp_status_t last = cupsLastError();
  GiveBackSchedulerConnection(http);
  if (response != nullptr && IppSucceeded(last)) {
    *status = last;
    return response;
  }
  if (response != nullptr) ippDelete(response);
  *status = last == IPP_STATUS_OK ? IPP_STATUS_ERROR_INTERNAL : last;
  return nullptr;
}
