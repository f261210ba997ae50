// A real API server for the HTTP suites, run as the program runs it but on a
// port the system picks.
#include "tests/support/test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "api/api_server.h"
#include "common/diag.h"

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

int ConnectLoopback(int port, int readTimeoutSeconds) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  timeval timeout{readTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  return fd;
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
