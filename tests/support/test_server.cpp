// A real API server for the HTTP suites, run as the program runs it but on a
// port the system picks.
#include "tests/support/test_server.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "server/api_server.h"
#include "server/diag.h"

namespace {
std::mutex serverMutex;
std::condition_variable serverBound;
std::thread serverThread;
httplib::Server* runningServer = nullptr;
int boundPort = 0;
bool bindDone = false;

void OnBound(int port, httplib::Server* server, void*) {
  std::lock_guard<std::mutex> lock(serverMutex);
  boundPort = port;
  runningServer = port > 0 ? server : nullptr;
  bindDone = true;
  serverBound.notify_all();
}

std::mutex captureMutex;
std::string captured;

void CaptureSink(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(captureMutex);
  captured += bytes;
}
}  // namespace

int StartTestServer() {
  {
    std::lock_guard<std::mutex> lock(serverMutex);
    bindDone = false;
  }
  serverThread = std::thread([] { RunApiServerOn("127.0.0.1", 0, OnBound, nullptr); });
  std::unique_lock<std::mutex> lock(serverMutex);
  serverBound.wait(lock, [] { return bindDone; });
  if (runningServer != nullptr) {
    httplib::Server* server = runningServer;
    lock.unlock();
    // stop() only takes effect once the accept loop runs.
    while (!server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    lock.lock();
  }
  return boundPort;
}

void StopTestServer() {
  {
    std::lock_guard<std::mutex> lock(serverMutex);
    if (runningServer != nullptr) runningServer->stop();
    runningServer = nullptr;
  }
  if (serverThread.joinable()) serverThread.join();
}

httplib::Client TestClient(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(5);
  client.set_read_timeout(30);
  return client;
}

void StartDiagCapture() {
  {
    std::lock_guard<std::mutex> lock(captureMutex);
    captured.clear();
  }
  SetDiagSink(CaptureSink);
}

std::string DiagOutput() {
  std::lock_guard<std::mutex> lock(captureMutex);
  return captured;
}

void StopDiagCapture() { SetDiagSink(nullptr); }
