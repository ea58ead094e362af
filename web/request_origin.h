// Whether a web request says it was made on behalf of another site, from its
// headers. Settings requests from another site are ignored, so a page
// elsewhere cannot use a browser's cached credentials to change settings.
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

// The request headers that tell where a request comes from; null when absent.
struct RequestOriginHeaders {
  const char* secFetchSite = nullptr;
  const char* origin = nullptr;
  const char* referer = nullptr;
  const char* host = nullptr;
};

// True when Sec-Fetch-Site is "cross-site" or "same-site", or when Origin or
// Referer is present and its host and port differ from Host (an unreadable
// Origin or Referer, "null" included, or a missing Host counts as differing).
// A request with none of these headers is not from another site.
bool fromAnotherSite(const RequestOriginHeaders& headers);

// "host:port" of a URL with a scheme (port from the scheme when not given),
// lower-cased; empty when `url` has no "scheme://host".
std::string urlHostPort(std::string_view url);

// "host:port" of a Host header value (port 80 when not given), lower-cased.
std::string hostHeaderHostPort(std::string_view host);
