// Peak memory of one PrintImage request with a 32 MiB body, above the idle
// server: a real server in a child process (the endpoint, the real file
// write, a print job whose printer does nothing), a real client in the
// parent, which reads the child's resident set from /proc. Prints figures.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <httplib.h>

#include "api/api_server.h"
#include "common/diag.h"
#include "render/printing.h"

// A printer that takes everything and prints nothing; the image never
// loads, so the job ends right after its settings step.
bool RunPrintDialog(bool, PrintDialogHandles* handles) {
  static int token;
  *handles = PrintDialogHandles{&token, &token, nullptr};
  return true;
}
void FreePrintDialog(const PrintDialogHandles&) {}
PrintHandle CreatePrinterDc(const std::wstring&, const PrintDialogHandles&, unsigned long*) {
  static int token;
  return &token;
}
void DeletePrinterDc(PrintHandle) {}
PrintHandle LockPrintSettings(PrintHandle devMode) { return devMode; }
void UnlockPrintSettings(PrintHandle) {}
void StorePageSettings(PrintHandle, const PageSettings&) {}
void ApplyPrintSettings(PrintHandle, PrintHandle) {}
bool ReadLabelImageFile(const std::wstring&, std::string*) { return false; }
unsigned DecodedBytesPerPixel() { return 16; }
unsigned DecoderCopiesOfBytes() { return 0; }
void ReleaseLabelImage(PrintHandle) {}
int StartPrintDocument(PrintHandle, const std::wstring&, unsigned long*) { return 1; }
int StartPrintPage(PrintHandle) { return 1; }
bool DrawLabelImage(PrintHandle, PrintHandle, int, int, int, int) { return true; }
int EndPrintPage(PrintHandle) { return 1; }
int EndPrintDocument(PrintHandle) { return 1; }
PrintHandle LoadLabelImageFromMemory(const std::string&, int*, int*) { return nullptr; }
void StorePrintCopies(PrintHandle, short) {}
bool IsUnknownPrinterError(unsigned long) { return false; }
std::wstring PrinterDeviceFromUtf8(const std::string&) { return std::wstring(); }
void AbortPrintDocument(PrintHandle) {}

namespace {

int portPipe[2];

void OnBound(int port, httplib::Server*, void*) {
  if (write(portPipe[1], &port, sizeof(port)) != sizeof(port)) _exit(2);
}

void Discard(const std::string&) {}

long StatusKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// Lowers the child's peak mark to its present resident set.
bool ResetPeak(pid_t pid) {
  std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
  clear << "5";
  return static_cast<bool>(clear);
}

std::string Body(size_t size) {
  std::string body = "data:image/png;base64,";
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  size_t i = 0;
  while (body.size() < size) body += kAlphabet[(i++ * 37) & 63];
  return body;
}

}  // namespace

int main() {
  const size_t bodySize = 32u << 20;
  char folder[] = "/tmp/pg-memory-XXXXXX";
  if (!mkdtemp(folder) || pipe(portPipe) != 0) return 1;

  pid_t child = fork();
  if (child == 0) {
    setenv("XDG_STATE_HOME", folder, 1);
    SetDiagSink(Discard);
    RunApiServerOn("127.0.0.1", 0, OnBound, nullptr);
    _exit(0);
  }
  int port = 0;
  if (read(portPipe[0], &port, sizeof(port)) != sizeof(port) || port <= 0) return 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(120);
  std::string small = Body(4096);
  for (int i = 0; i < 3; ++i) client.Post("/vqapi/PrintImage?p=Q", small, "text/plain");

  std::string body = Body(bodySize);
  std::printf("PrintImage with a %zu-byte body (%.1f MiB), server in its own process\n", body.size(),
              body.size() / 1048576.0);
  double worst = 0;
  for (int round = 1; round <= 3; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    long idle = StatusKiB(child, "VmRSS");
    if (!ResetPeak(child)) {
      std::printf("cannot reset the peak mark (/proc/PID/clear_refs)\n");
      break;
    }
    auto start = std::chrono::steady_clock::now();
    auto result = client.Post("/vqapi/PrintImage?p=Q", body, "text/plain");
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    long peak = StatusKiB(child, "VmHWM");
    double above = (peak - idle) / 1024.0;
    double ratio = (peak - idle) * 1024.0 / body.size();
    if (ratio > worst) worst = ratio;
    std::printf("round %d: status %d, idle %.1f MiB, peak %.1f MiB, peak above idle %.1f MiB = %.2fx the body, %.0f ms\n",
                round, result ? result->status : -1, idle / 1024.0, peak / 1024.0, above, ratio,
                took.count() * 1e3);
  }
  std::printf("worst: %.2fx the body above idle (goal: at most 2.00x)\n", worst);

  kill(child, SIGTERM);
  waitpid(child, nullptr, 0);
  std::string file = std::string(folder) + "/printgate/tempVQ.JPG";
  std::remove(file.c_str());
  rmdir((std::string(folder) + "/printgate").c_str());
  rmdir(folder);
  return worst > 0 && worst <= 2.0 ? 0 : 1;
}
