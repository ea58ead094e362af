#include "web/metrics_server.h"

#include <microhttpd.h>

#include <cstring>
#include <vector>

#include "flow/ip_text.h"
#include "platform/clock.h"
#include "platform/stream_socket.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "web/http_daemon.h"
#include "web/metrics.h"
#include "web/request_counts.h"

namespace {

constexpr char kPath[] = "/metrics";
constexpr char kUnauthorizedPage[] = "A bearer token is needed for the metrics.\n";
constexpr char kNotFoundPage[] = "Only /metrics is served here.\n";
constexpr char kMethodPage[] = "Only GET is answered here.\n";

// Set once before the server starts; read by its handlers.
std::string metricsToken;
SocketAddress bindAddress;

MHD_Result answer(MHD_Connection* connection, unsigned status, const char* page,
                  const std::vector<std::pair<const char*, const char*>>& headers) {
  MHD_Response* response =
      MHD_create_response_from_buffer(strlen(page), const_cast<char*>(page), MHD_RESPMEM_PERSISTENT);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", "text/plain; charset=utf-8");
  for (const auto& [name, value] : headers) MHD_add_response_header(response, name, value);
  const MHD_Result ret = queueCounted(HttpServer::metrics, connection, status, response);
  MHD_destroy_response(response);
  return ret;
}

MHD_Result handleMetrics(void*, MHD_Connection* connection, const char* url, const char* method, const char*,
                         const char*, size_t*, void**) {
  requestHeadArrived(connection);
  if (!metricsToken.empty() &&
      !bearerTokenMatches(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION),
                          metricsToken)) {
    return answer(connection, MHD_HTTP_UNAUTHORIZED, kUnauthorizedPage,
                  {{MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer realm=\"vantrel metrics\""}});
  }
  if (strcmp(method, "GET") != 0) return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, kMethodPage, {{"Allow", "GET"}});
  if (strcmp(url, kPath) != 0) return answer(connection, MHD_HTTP_NOT_FOUND, kNotFoundPage, {});
  const std::string text = metricsText(collectMetrics(currentTimeMillis()));
  MHD_Response* response =
      MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", kMetricsContentType);
  const MHD_Result ret = queueCounted(HttpServer::metrics, connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return ret;
}

bool isTokenCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || strchr("-._~+/", c) != nullptr;
}

}  // namespace

bool parseListenAddress(const std::string& text, ListenAddress& out) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  int32_t port = 0;
  if (!portFromText(text.substr(colon + 1).c_str(), port)) return false;
  const std::string host = text.substr(0, colon);
  ListenAddress a;
  a.port = static_cast<uint16_t>(port);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    a.ipv6 = true;
    if (!parseIp6(host.substr(1, host.size() - 2), a.ip6)) return false;
  } else if (!parseDotted(host, a.ipv4)) {
    return false;
  }
  out = a;
  return true;
}

std::string listenAddressText(const ListenAddress& a) {
  return (a.ipv6 ? "[" + ip6Text(a.ip6) + "]" : ipToDotted(a.ipv4)) + ":" + std::to_string(a.port);
}

bool isBearerToken(const std::string& token) {
  size_t i = 0;
  while (i < token.size() && isTokenCharacter(token[i])) ++i;
  if (i == 0) return false;
  while (i < token.size() && token[i] == '=') ++i;
  return i == token.size();
}

bool bearerTokenMatches(const char* header, const std::string& token) {
  if (header == nullptr) return false;
  // The scheme's name in any letter case (RFC 9110), then one blank.
  for (const char* scheme = "bearer "; *scheme != '\0'; ++scheme, ++header) {
    if ((*header >= 'A' && *header <= 'Z' ? *header - 'A' + 'a' : *header) != *scheme) return false;
  }
  const char* given = header;
  const size_t length = strlen(given);
  // Every byte of the token is compared, whatever the first difference.
  unsigned char differ = length != token.size();
  for (size_t i = 0; i < token.size(); ++i) {
    differ |= static_cast<unsigned char>((i < length ? given[i] : 0) ^ token[i]);
  }
  return differ == 0;
}

void startMetricsServer() {
  const Json::Value listen = settingValue("metricsListen");
  if (listen.isNull() || (listen.isString() && listen.asString().empty())) return;
  ListenAddress address;
  if (!listen.isString() || !parseListenAddress(listen.asString(), address)) {
    consoleWrite("metricsListen " + jsonText(listen) +
                 " is not ADDRESS:PORT (such as \"127.0.0.1:9909\"); metrics off\n");
    return;
  }
  const Json::Value token = settingValue("metricsToken");
  if (!token.isNull() && !(token.isString() && (token.asString().empty() || isBearerToken(token.asString())))) {
    consolePrintf("metricsToken is not a bearer token (letters, digits and -._~+/, then any =); metrics off\n");
    return;
  }
  metricsToken = token.isString() ? token.asString() : "";
  uint8_t bytes[16];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(address.ipv4 >> (24 - 8 * i));
  bindAddress = socketAddress(address.ipv6, address.ipv6 ? address.ip6.bytes : bytes, address.port);
  clearLibraryMessage();
  const std::vector<MHD_OptionItem> shared = sharedDaemonOptions();
  MHD_Daemon* daemon = MHD_start_daemon(daemonFlags() | (address.ipv6 ? MHD_USE_IPv6 : 0), address.port, nullptr,
                                        nullptr, handleMetrics, nullptr, MHD_OPTION_ARRAY, shared.data(),
                                        MHD_OPTION_SOCK_ADDR, bindAddress.bytes, MHD_OPTION_END);
  const std::string where = listenAddressText(address);
  if (daemon == nullptr) {
    consolePrintf("Metrics not served on %s: %s\n", where.c_str(),
                  lastLibraryMessage("the HTTP library gave no reason").c_str());
    return;
  }
  consolePrintf("Metrics on http://%s/metrics%s\n", where.c_str(),
                metricsToken.empty() ? "" : " (bearer token required)");
}
