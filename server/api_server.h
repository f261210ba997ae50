// The HTTP API of printgate: route table, cross-origin answers, the root
// redirect and the error page, on 127.0.0.1:6780.
#pragma once
#include <string>

#include <httplib.h>

struct cJSON;

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

// Registers the five routes in table order, then the error handler.
void RegisterRoutes(httplib::Server& svr);

// The three cross-origin headers, in their order. Both API handlers set them
// first; the preflight answers carry them; the redirect and error page don't.
void SetCrossOriginHeaders(httplib::Response& res);

// Prints a JSON answer with cJSON's formatted printer and sets it as the body
// with content type "application/json". Takes ownership of root.
void SetJsonBody(httplib::Response& res, cJSON* root);

// The error page for a status, as it is sent.
std::string ErrorPageText(int status);
