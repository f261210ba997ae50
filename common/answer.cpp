// The cross-origin headers, the JSON body and the error page shared by every
// route of the HTTP API.
#include "common/answer.h"

#include <cstdio>

#include <cjson/cJSON.h>

void SetCrossOriginHeaders(httplib::Response& res) {
  res.set_header("Access-Control-Allow-Origin", "*");
  res.set_header("Access-Control-Allow-Methods", "GET, OPTIONS, POST, HEAD");
  res.set_header("Access-Control-Allow-Headers", "Origin, X-Requested-With, Content-Type, Accept");
}

void AllowPrivateNetworkIfAsked(const httplib::Request& req, httplib::Response& res) {
  if (req.get_header_value("Access-Control-Request-Private-Network") == "true") {
    res.set_header("Access-Control-Allow-Private-Network", "true");
  }
}

void SetJsonBody(httplib::Response& res, cJSON* root) {
  char* text = cJSON_Print(root);
  // cJSON_Print returns null only when memory runs out; an empty body is
  // then better than a crash.
  res.set_content(text != nullptr ? text : "", "application/json");
  cJSON_free(text);
  cJSON_Delete(root);
}

std::string ErrorPageText(int status) {
  char buf[512];
  std::snprintf(buf, sizeof(buf), "<p>Error Status: <span style='color:red;'>%d</span></p>", status);
  return buf;
}
