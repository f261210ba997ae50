// The HTTP API of printgate: route table, the root redirect and the error
// handler, on 127.0.0.1:6780. The answers' shared pieces (cross-origin
// headers, JSON body, error page) are in common/answer.h.
#pragma once
#include <httplib.h>

// Server thread body: listens on 127.0.0.1:6780 until the process ends.
// Returns -1 if the server object is unusable, 0 once listening has ended
// (also at once when the port cannot be bound; nothing is reported then).
int RunApiServer();

// As RunApiServer, on any address and port, so tests can use an ephemeral
// port. With port 0 the library picks one and onBound (if given) receives it
// before the server starts accepting; onBound also receives a pointer to the
// server, which the caller may stop(). onBound gets -1 when binding failed.
typedef void (*BoundCallback)(int port, httplib::Server* server, void* context);
int RunApiServerOn(const char* host, int port, BoundCallback onBound, void* context);

// Registers the five routes in table order, the "/vqapi/v2/" routes after
// them, then the error handler, and reads a request that declares no body
// as one whose empty body is whole.
void RegisterRoutes(httplib::Server& svr);
