// Test fixtures shared by the printgate suites: a real API server on an
// ephemeral loopback port, and a capture of the diagnostic lines.
#pragma once
#include <string>

#include <httplib.h>

// Starts RunApiServerOn("127.0.0.1", 0) on a thread; returns the port.
int StartTestServer();
// Stops the server started last and joins its thread.
void StopTestServer();

// A client for the running test server.
httplib::Client TestClient(int port);

// A raw TCP connection to 127.0.0.1:port whose reads give up after
// readTimeoutSeconds; -1 when it cannot connect. The caller closes it.
int ConnectLoopback(int port, int readTimeoutSeconds);

// Collects every diagnostic line from now on (replacing what was collected).
void StartDiagCapture();
// What was collected since StartDiagCapture; capture goes on.
std::string DiagOutput();
// Back to standard output.
void StopDiagCapture();
