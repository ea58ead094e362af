// The web interface's HTTPS at start: the `https`, `httpsCert` and `httpsKey`
// settings, the certificate and key files (made for this host when both are
// absent), and their check. Called once by main, before the server starts.
#pragma once

#include <cstdint>
#include <string>

#include "web/http_server.h"

enum class WebTransport { http, https, off };

// With `https` absent or false: http. Otherwise reads (or makes, printing
// where and the fingerprint) the certificate and key into `credentials` and
// gives https; off with the reason in `whyNot` when they cannot be read, do
// not belong together, are not valid at `now` (s since 1970), or this build
// has no TLS.
WebTransport prepareHttps(int64_t now, HttpsCredentials& credentials, std::string& whyNot);
