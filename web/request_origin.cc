#include "web/request_origin.h"

#include <cstring>

namespace {

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// "host" or "host:port" (IPv6 hosts in brackets) with `defaultPort` filled in.
std::string withPort(std::string_view authority, const char* defaultPort) {
  if (authority.empty()) return {};
  const size_t bracket = authority.rfind(']');
  const size_t colon = authority.rfind(':');
  const bool hasPort = colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket);
  if (hasPort) {
    if (colon == 0 || colon + 1 == authority.size()) return {};
    return lowerAscii(authority);
  }
  return lowerAscii(authority) + ":" + defaultPort;
}

}  // namespace

std::string urlHostPort(std::string_view url) {
  const size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos || schemeEnd == 0) return {};
  const std::string scheme = lowerAscii(url.substr(0, schemeEnd));
  const char* defaultPort = scheme == "https" ? "443" : scheme == "http" ? "80" : nullptr;
  if (defaultPort == nullptr) return {};
  std::string_view authority = url.substr(schemeEnd + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority = authority.substr(at + 1);
  return withPort(authority, defaultPort);
}

std::string hostHeaderHostPort(std::string_view host) { return withPort(host, "80"); }

bool fromAnotherSite(const RequestOriginHeaders& headers) {
  if (headers.secFetchSite != nullptr &&
      (strcmp(headers.secFetchSite, "cross-site") == 0 || strcmp(headers.secFetchSite, "same-site") == 0)) {
    return true;
  }
  const std::string own = headers.host ? hostHeaderHostPort(headers.host) : std::string();
  for (const char* url : {headers.origin, headers.referer}) {
    if (url == nullptr) continue;
    const std::string claimed = urlHostPort(url);
    if (claimed.empty() || own.empty() || claimed != own) return true;
  }
  return false;
}
