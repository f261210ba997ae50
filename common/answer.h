// The pieces every answer of the HTTP API is made of: the cross-origin
// headers, the JSON envelope's printing and the error page. Kept below the
// endpoints and the route table so both can use them.
#pragma once
#include <string>

#include <httplib.h>

struct cJSON;

// The three cross-origin headers, in their order. Both API handlers set them
// first; the preflight answers carry them; the redirect and error page don't.
void SetCrossOriginHeaders(httplib::Response& res);

// Chrome asks a page's preflight to a loopback server whether private
// network access is allowed ("Access-Control-Request-Private-Network:
// true"); only then does the answer say it is, so every other preflight
// answer stays byte for byte as it was.
void AllowPrivateNetworkIfAsked(const httplib::Request& req, httplib::Response& res);

// Prints a JSON answer with cJSON's formatted printer and sets it as the body
// with content type "application/json". Takes ownership of root.
void SetJsonBody(httplib::Response& res, cJSON* root);

// The error page for a status, as it is sent.
std::string ErrorPageText(int status);
