// Connections to the CUPS scheduler, shared by every thread of a native
// program (printgate, printerwatch): a few are kept open between requests,
// more are opened while many requests run at once, and never more than a
// fixed few in all, so a large HTTP worker pool cannot take the scheduler's
// client slots (cupsd serves 100 by default, for the whole machine) away
// from other programs.
//
// Backends: scheduler_connection_cups.cpp (libcups) only; TakeScheduler-
// Connection blocks while all kSchedulerConnectionLimit are in use, until
// one is given back.
#pragma once
#include <cups/cups.h>

// At most this many connections are open at once; a caller that finds them
// all in use waits for one to come back.
const int kSchedulerConnectionLimit = 16;
// At most this many stay open while nothing uses them.
const int kSchedulerConnectionsKept = 4;

// A connection to the scheduler libcups is set up for (CUPS_SERVER,
// client.conf or the local socket), for the caller alone until it is given
// back. It connects on its first request, which fails as one over libcups'
// default connection would when the scheduler is not answering. Null only
// when the scheduler's name does not resolve: callers then report
// IPP_STATUS_ERROR_SERVICE_UNAVAILABLE, as libcups would.
http_t* TakeSchedulerConnection();
// Gives back a connection from TakeSchedulerConnection (null is ignored).
// One that failed its last request (cupsLastError() of this thread says the
// scheduler could not be reached, or the socket is gone) is closed rather
// than kept, so the next caller starts on a sound one.
void GiveBackSchedulerConnection(http_t* http);

// How many connections are open now, in use or kept.
int OpenSchedulerConnections();
