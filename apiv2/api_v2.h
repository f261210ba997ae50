// The versioned routes for web developers, under "/vqapi/v2/": a printer
// listing with each queue's state, and a print route whose answer says what
// happened. They sit beside the legacy routes and change none of them.
#pragma once
#include <string>

#include <httplib.h>

#include "render/print_job.h"

// Handler of GET and POST "/vqapi/v2/printers".
void HandlePrintersV2(const httplib::Request& req, httplib::Response& res);

// Handler of POST "/vqapi/v2/print"; pulls the body through contentReader.
void HandlePrintV2(const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& contentReader);

// Whether an answer is a v2 route's own JSON answer, which the error page
// must not replace whatever its status.
bool IsV2Answer(const httplib::Request& req, const httplib::Response& res);

// A v2 failure: the HTTP status, the error code and a message.
struct V2Failure {
  int status;
  const char* code;
  std::string message;
};

// The image bytes a print body carries. contentType is the request's
// Content-Type; a known image type means the body is the image, anything
// else must be a data URL. False with *failure filled when it is neither.
bool ImageFromBody(const std::string& contentType, const std::string& body,
                   std::string* image, V2Failure* failure);

// "copies": absent gives 0 (the default printer's count); otherwise a whole
// number from 1 to 99 written in plain digits. False for anything else.
bool ParseCopies(const httplib::Request& req, int* copies);

// "until" and "wait" of a print: until absent, or "printed" (then *until);
// wait absent (kDefaultWaitSeconds) or a whole number of seconds from 0 to
// kLongestWaitSeconds in plain digits. False for anything else.
constexpr int kDefaultWaitSeconds = 30;
constexpr int kLongestWaitSeconds = 300;
bool ParseUntil(const httplib::Request& req, bool* until, int* waitSeconds);
// The answer for a request refused because the memory budget had no room.
V2Failure BusyFailure();

// The answer for a job that did not print. Every step maps to one status.
V2Failure FailureOfJob(const PrintReport& report);
