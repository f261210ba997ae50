// The v2 routes that follow a label after its print answer: its state, its
// cancel, and the page's event stream. They only route: the watcher
// (follow/) decides, and writes the stream.
#pragma once
#include <httplib.h>

// GET "/vqapi/v2/jobs/ID?printer=NAME": {"job", "printer", "state",
// "reasons", "message"}, or 404 job-not-found for any job printgate did not
// submit.
void HandleJobV2(const httplib::Request& req, httplib::Response& res);
// POST "/vqapi/v2/jobs/ID/cancel?printer=NAME": 200 with state canceled,
// 409 already-ended with the state it ended in, 404 job-not-found, 500
// cancel-failed.
void HandleCancelV2(const httplib::Request& req, httplib::Response& res);
// GET "/vqapi/v2/events": the event stream, or 503 too-many-streams.
void HandleEventsV2(const httplib::Request& req, httplib::Response& res);
// The job id of a path's ID: plain digits from 1 to 2147483647 without a
// leading zero. False for anything else.
bool ParseJobId(const std::string& text, int* jobId);
