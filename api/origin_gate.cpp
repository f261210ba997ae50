// The site allowlist on the HTTP server: a pre-routing check of Host and
// Origin, and the cross-origin answer rewritten for the listed origin.
#include "api/origin_gate.h"

#include <string>
#include <vector>

#include "common/diag.h"

namespace {

// Where refused requests with a body are sent, so that the library reads
// (and this drops) the body: a body left unread would be taken as the next
// request on the connection.
const char kRefusedPath[] = "/printgate-refused-request";

std::vector<std::string> HeaderValues(const httplib::Request& req, const char* name) {
  std::vector<std::string> values;
  auto range = req.headers.equal_range(name);
  for (auto it = range.first; it != range.second; ++it) values.push_back(it->second);
  return values;
}

// The methods whose body the library reads before routing.
bool CarriesBody(const httplib::Request& req) {
  return req.method == "POST" || req.method == "PUT" || req.method == "PATCH" || req.method == "DELETE";
}

std::string Quoted(const std::vector<std::string>& values) {
  std::string text;
  for (const std::string& value : values) text += (text.empty() ? "\"" : ", \"") + PrintableText(value) + "\"";
  return text;
}

void LogRefusal(GateVerdict verdict, const httplib::Request& req) {
  std::string request = PrintableText(req.method) + " " + PrintableText(req.path);
  if (verdict == kGateRefuseHost) {
    std::vector<std::string> hosts = HeaderValues(req, "Host");
    DiagLine("host refused: " + request + " for " + (hosts.empty() ? "no Host" : Quoted(hosts)) +
             ", not 127.0.0.1 or localhost with this server's port");
    return;
  }
  std::vector<std::string> origins = HeaderValues(req, "Origin");
  DiagLine("origin refused: " + request + " from " + Quoted(origins) +
           (origins.size() > 1 ? ", more than one Origin" : ", not in the allowed list"));
}

// Reads what is left of the body and forgets it.
void DropBody(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& contentReader) {
  // Sent here by the gate, or reached by its path: then as if there were no
  // route.
  bool refused = res.status == 403;
  auto discard = [](const char*, size_t) { return true; };
  if (req.is_multipart_form_data()) {
    contentReader([](const httplib::FormData&) { return true; }, discard);
  } else {
    contentReader(discard);
  }
  // A body the library can't read sets its own status; the refusal stands.
  res.status = refused ? 403 : 404;
}

}  // namespace

void InstallOriginGate(httplib::Server& svr, const OriginPolicy& policy,
                       const httplib::Server::HandlerWithResponse& first) {
  if (!policy.active) return;
  svr.Post(kRefusedPath, DropBody);
  svr.Put(kRefusedPath, DropBody);
  svr.Patch(kRefusedPath, DropBody);
  svr.Delete(kRefusedPath, DropBody);

  svr.set_pre_routing_handler([policy, first](const httplib::Request& req, httplib::Response& res) {
    if (first && first(req, res) == httplib::Server::HandlerResponse::Handled) {
      return httplib::Server::HandlerResponse::Handled;
    }
    GateVerdict verdict = JudgeRequest(policy, HeaderValues(req, "Host"), HeaderValues(req, "Origin"), req.local_port);
    if (verdict == kGateServe || verdict == kGateServeOrigin) return httplib::Server::HandlerResponse::Unhandled;
    LogRefusal(verdict, req);
    res.status = 403;  // the error handler renders the page
    if (!CarriesBody(req)) return httplib::Server::HandlerResponse::Handled;
    // The library routes the request object it handed here, which is its
    // own and not const.
    const_cast<httplib::Request&>(req).path = kRefusedPath;
    return httplib::Server::HandlerResponse::Unhandled;
  });

  svr.set_post_routing_handler([policy](const httplib::Request& req, httplib::Response& res) {
    if (!res.has_header("Access-Control-Allow-Origin")) return;
    std::vector<std::string> origins = HeaderValues(req, "Origin");
    res.headers.erase("Access-Control-Allow-Origin");
    // Only answers of served requests carry the set: one listed Origin, or
    // none (a program, not a page), which gets no origin at all.
    if (origins.size() == 1) res.set_header("Access-Control-Allow-Origin", origins[0]);
    res.set_header("Vary", "Origin");
  });
}
