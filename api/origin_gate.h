// The site allowlist applied to a server: every request is judged before it
// is routed, and listed origins get answers addressed to them. Routes and
// their handlers know nothing of it.
#pragma once
#include <httplib.h>

#include "api/origin_list.h"

// Installs the gate on svr after its routes: a refused request gets 403 and
// the error page without cross-origin headers, reaches no route and is
// logged in one line; an answer that carries the cross-origin set names the
// listed origin instead of "*" (and drops it for requests without Origin),
// with "Vary: Origin". Does nothing when the list is not active, so the
// server answers exactly as without a gate. The library holds one
// pre-routing handler: the gate's runs first (the server's own check,
// which it replaces) and judges only what first leaves unhandled.
void InstallOriginGate(httplib::Server& svr, const OriginPolicy& policy,
                       const httplib::Server::HandlerWithResponse& first = nullptr);
