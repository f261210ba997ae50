// The HTTP server of printgate: one cpp-httplib server on loopback, its five
// routes, the shared preflight answer, the root redirect and the error page.
#include "api/api_server.h"

#include "api/origin_gate.h"
#include "apiv2/api_v2.h"
#include "apiv2/jobs_v2.h"
#include "follow/watcher.h"
#include "common/answer.h"
#include "common/diag.h"
#include "common/memory_budget.h"
#include "api/budget_setting.h"
#include "intake/print_image.h"
#include "server/printer_list.h"

namespace {

// Connections waiting for the accept loop.
constexpr int kListenBacklog = 128;
// The library serves each connection on one worker for as long as it stays
// open: an idle keep-alive connection holds its worker until the keep-alive
// time-out, and a client trickling its request holds one for as long as it
// trickles. A desk's browsers hold a few connections each (at most six per
// profile), and a page may keep event streams open. At rest the pool keeps
// a few workers; it starts one whenever the accepted connections outnumber
// the idle workers (scripts/httplib.patch), so a page's burst never waits
// for a held connection to end, and a worker that started so leaves after
// the library's idle time-out without work. The cap is far above what desks
// hold: 96 idle and 32 trickling connections still leave workers for the
// requests that matter. Past the cap a new connection waits in the queue for
// the first worker to come free.
constexpr size_t kRestingWorkers = 4;
constexpr size_t kMaxWorkers = 256;
// An idle connection's worker looks for the next request a few times a
// second (the interval is set where the library is included); two seconds
// keeps a page's burst of labels on one connection and gives the worker
// back soon after.
constexpr time_t kKeepAliveSeconds = 2;
// A page's burst of labels, or a listing polled every second, stays on one
// connection for a hundred requests.
constexpr size_t kKeepAliveRequests = 100;

// For the log file alone: which page asked for a print, when a desk asks
// where a label came from. Standard output stays as it always was.
void LogPrintOrigin(const httplib::Request& req) {
  std::string origin = req.get_header_value("Origin");
  DiagLogOnly(req.path + " from " + (req.has_header("Origin") ? "origin " + origin : "no page (no Origin)"));
}

// HTTP/1.1 gives a request with neither Content-Length nor Transfer-Encoding
// an empty body, and the library routes it so; but once the answer is out
// it reads such a connection to its end looking for the body, so that the
// client's next request on it would be taken for one and left unanswered
// until the read time-out. Such a request's body is whole before its route
// runs.
httplib::Server::HandlerResponse MarkEmptyBodyRead(const httplib::Request& req, httplib::Response&) {
  if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) {
    // The library hands its own request object here, which is not const.
    const_cast<httplib::Request&>(req).body_consumed_ = true;
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

// A request that carries both Content-Length and Transfer-Encoding is the
// shape of request smuggling: HTTP/1.1 forbids it, and two readers may
// disagree where its body ends. The library refuses it only when the length
// is a number above 0; with "0", or a length that is no number, it routes
// the request and reads the chunked body. Every such request is refused
// here, before routing and before any body is read, and the connection
// closes with the answer (as after every error status).
httplib::Server::HandlerResponse RefuseMixedFraming(const httplib::Request& req, httplib::Response& res) {
  if (!req.has_header("Content-Length") || !req.has_header("Transfer-Encoding")) {
    return httplib::Server::HandlerResponse::Unhandled;
  }
  res.status = 400;  // the error handler renders the page
  return httplib::Server::HandlerResponse::Handled;
}

void HandlePreflight(const httplib::Request& req, httplib::Response& res) {
  SetCrossOriginHeaders(res);
  AllowPrivateNetworkIfAsked(req, res);
  res.status = 204;
}

// A stream that reconnects sends Last-Event-ID, which is no header a page
// may send without asking first.
void HandleEventsPreflight(const httplib::Request& req, httplib::Response& res) {
  HandlePreflight(req, res);
  res.headers.erase("Access-Control-Allow-Headers");
  res.set_header("Access-Control-Allow-Headers", "Origin, X-Requested-With, Content-Type, Accept, Last-Event-ID");
}

constexpr char kJobPath[] = R"(/vqapi/v2/jobs/([^/]*))";
constexpr char kCancelPath[] = R"(/vqapi/v2/jobs/([^/]*)/cancel)";
}  // namespace

void RegisterRoutes(httplib::Server& svr) {
  svr.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/hi", 302); });
  svr.Options("/vqapi/GetPrinters", HandlePreflight);
  svr.Options("/vqapi/PrintImage", HandlePreflight);
  svr.Post("/vqapi/GetPrinters", HandleGetPrinters);
  svr.Post("/vqapi/PrintImage",
           [](const httplib::Request& req, httplib::Response& res,
              const httplib::ContentReader& contentReader) {
             LogPrintOrigin(req);
             HandlePrintImage(req, res, contentReader);
             // The answer is set: nothing of the request's body or image is
             // held any more.
             ReleaseHold();
           });
  // The versioned routes for web developers; the table above stays as it is.
  svr.Options("/vqapi/v2/printers", HandlePreflight);
  svr.Options("/vqapi/v2/print", HandlePreflight);
  svr.Get("/vqapi/v2/printers", HandlePrintersV2);
  svr.Post("/vqapi/v2/printers", HandlePrintersV2);
  svr.Post("/vqapi/v2/print",
           [](const httplib::Request& req, httplib::Response& res,
              const httplib::ContentReader& contentReader) {
             LogPrintOrigin(req);
             HandlePrintV2(req, res, contentReader);
             ReleaseHold();
           });
  // Each label's life after its answer, followed by the watcher.
  StartFollowing();
  svr.Options(kJobPath, HandlePreflight);
  svr.Options(kCancelPath, HandlePreflight);
  svr.Options("/vqapi/v2/events", HandleEventsPreflight);
  svr.Get(kJobPath, HandleJobV2);
  svr.Post(kCancelPath, HandleCancelV2);
  svr.Get("/vqapi/v2/events", HandleEventsV2);
  svr.set_pre_request_handler(MarkEmptyBodyRead);
  svr.set_pre_routing_handler(RefuseMixedFraming);
  svr.set_error_handler(httplib::Server::Handler(
      [](const httplib::Request& req, httplib::Response& res) {
        // A v2 route's failure answers carry their own JSON.
        if (IsV2Answer(req, res)) return;
        res.set_content(ErrorPageText(res.status), "text/html");
      }));
}

int RunApiServerOn(const char* host, int port, BoundCallback onBound, void* context) {
  httplib::Server svr;
  if (!svr.is_valid()) {
    DiagPrintf("server has an error...\n");
    return -1;
  }
  RegisterRoutes(svr);
  // Read once at start: an administrator's change takes effect at the next start.
  InstallOriginGate(svr, LoadOriginPolicy(), RefuseMixedFraming);
  // A small answer leaves in one send, a large one (a long listing) in
  // pieces; with Nagle's algorithm on, a piece after the first waits for
  // the client's delayed acknowledgement (about 40 ms on Linux, up to 200 ms
  // on Windows). Accepted sockets take the option from the listening one.
  svr.set_tcp_nodelay(true);
  svr.new_task_queue = [] { return new httplib::ThreadPool(kRestingWorkers, kMaxWorkers); };
  svr.set_keep_alive_timeout(kKeepAliveSeconds);
  svr.set_keep_alive_max_count(kKeepAliveRequests);
  // The library listens with a backlog of 5: a burst of connections (a page
  // opening six at once on a busy machine) overflows it, and each refused
  // SYN is retried only after a second (three on Windows). Listening again
  // on the bound socket raises the backlog on both systems.
  socket_t listening = INVALID_SOCKET;
  svr.set_socket_options([&listening](socket_t sock) {
    listening = sock;
#ifndef _WIN32
    // The library binds with SO_REUSEPORT where the system has it: a second
    // copy of the program would then share the port and half the requests.
    // SO_REUSEADDR alone lets a restarted server bind past the old
    // connections still closing, and makes a second copy fail to bind.
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof(yes));
#endif
  });
  int boundPort = port == 0 ? svr.bind_to_any_port(host, 0) : (svr.bind_to_port(host, port, 0) ? port : -1);
  if (onBound) onBound(boundPort, &svr, context);
  if (boundPort < 0) {
    // Port taken: the program runs on without an API. Only the log says so,
    // for the desk whose pages reach another copy (or another program).
    DiagLogOnly(std::string(host) + ":" + std::to_string(port) + " is in use: this copy of printgate serves nothing");
    return 0;
  }
  // Read once at start, as the allowlist; said only by a copy that serves.
  LoadMemoryBudget();
  if (listening != INVALID_SOCKET) listen(listening, kListenBacklog);
  svr.listen_after_bind();
  return 0;
}

int RunApiServer() { return RunApiServerOn("127.0.0.1", 6780, nullptr, nullptr); }
