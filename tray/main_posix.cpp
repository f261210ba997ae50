// printgate on Linux and macOS: no tray there, only the API server on
// 127.0.0.1:6780 in front of the CUPS scheduler, until SIGINT or SIGTERM.
#include <signal.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/console.h"
#include "common/diag.h"
#include "common/locale_text.h"
#include "pg_version.h"

#include "api/api_server.h"

namespace {

struct ServerState {
  std::mutex mutex;
  httplib::Server* server = nullptr;
  int port = 0;
  bool bound = false;
  bool ended = false;
};

void OnBound(int port, httplib::Server* server, void* context) {
  ServerState* state = static_cast<ServerState*>(context);
  std::lock_guard<std::mutex> lock(state->mutex);
  state->bound = true;
  state->port = port;
  state->server = port > 0 ? server : nullptr;
  DiagFlush();
  if (port > 0) {
    // Stderr, so the diagnostic lines on stdout stay as they are; a script
    // starting printgate can wait for this line.
    std::fprintf(stderr, "printgate: serving http://127.0.0.1:%d/\n", port);
  } else {
    std::fprintf(stderr, "printgate: cannot listen on 127.0.0.1:6780 (is it running already?)\n");
  }
  std::fflush(stderr);
}

constexpr char kUsage[] = "usage: printgate [--help] [--version]\n";

// The diagnostic lines, Chinese ones included, readable in a terminal or
// the journal.
void DiagToStdout(const std::string& bytes) {
  std::string text = GbkToLocale(bytes);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// Answers --help and --version; true (with the exit code in *exitCode)
// when the program should end here.
bool AnswerOptions(int argc, char** argv, int* exitCode) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      std::fputs("Lets web pages print labels: an HTTP API on http://127.0.0.1:6780/ in front of\n"
                 "the CUPS scheduler (CUPS_SERVER or client.conf names it). Runs until SIGINT or\n"
                 "SIGTERM; one diagnostic line per step on standard output.\n",
                 stdout);
      *exitCode = 0;
      return true;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("printgate %s\n", PG_VERSION);
      *exitCode = 0;
      return true;
    }
    std::fprintf(stderr, "printgate: unknown option %s\n%s", argv[i], kUsage);
    *exitCode = 2;
    return true;
  }
  return false;
}

// stop() only takes hold once the accept loop runs: repeat it until the
// server thread has returned. Once a running server has been told to stop,
// it is destroyed as its thread returns, before `ended` is set: it must not
// be touched again.
void StopServer(ServerState* state) {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      if (state->ended) return;
      if (state->server != nullptr && state->server->is_running()) {
        state->server->stop();
        state->server = nullptr;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// glibc gives a freed block of a few MiB back to the system only until one
// is freed: then its threshold rises to that block's size (up to 32 MiB),
// and later such blocks stay in the arena of the thread that freed them.
// Each worker that printed a large label kept its pixels resident: 26 MiB
// per worker for a 3000 x 3000 label, hundreds of MiB over the pool, none
// of it within the memory budget. A fixed threshold gives every block of
// half a MiB or more back when it is freed.
void GiveLargeBlocksBack() {
#ifdef __GLIBC__
  mallopt(M_MMAP_THRESHOLD, 512 * 1024);
#endif
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  int exitCode = 0;
  if (AnswerOptions(argc, argv, &exitCode)) return exitCode;
  GiveLargeBlocksBack();
  SetDiagSink(DiagToStdout);

  // Signals are taken by sigwait below, never by a handler on a server
  // thread; every thread started from here inherits this mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A client that hangs up mid-answer must not end the program.
  signal(SIGPIPE, SIG_IGN);
  // Its writer thread is one of those.
  if (!StandardOutputIsTerminal()) DiagWriteInBatches();

  ServerState state;
  int serverResult = 0;
  std::thread serverThread([&] {
    serverResult = RunApiServerOn("127.0.0.1", 6780, OnBound, &state);
    std::lock_guard<std::mutex> lock(state.mutex);
    state.ended = true;
  });
  // A thread that only waits for the server to end, so that main can wait
  // for either a signal or that end with one sigwait.
  std::thread watcher([&] {
    serverThread.join();
    kill(getpid(), SIGTERM);
  });

  int received = 0;
  sigwait(&stopSignals, &received);
  StopServer(&state);
  watcher.join();

  std::lock_guard<std::mutex> lock(state.mutex);
  if (serverResult != 0 || !state.bound || state.port <= 0) return 1;
  return 0;
}
