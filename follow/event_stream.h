// The page's event stream, "text/event-stream", written from the watcher's
// ring: "retry: 2000" first, then the listing or the events since the
// page's Last-Event-ID, each event as the ring holds it, and a comment
// after 15 seconds without anything else. Each open stream holds one
// worker of the HTTP server's pool for its whole life.
#pragma once
#include <string>

#include <httplib.h>

// Makes res the stream (status 200; headers already set by the caller
// stay). False, with res untouched, when the 32 streams are open or the
// watcher is stopping.
bool ServeEventStream(const std::string& lastEventId, httplib::Response& res);
