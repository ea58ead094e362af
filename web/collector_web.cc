#include "web/collector_web.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/clock.h"
#include "platform/socket_address.h"
#include "web/digest_check.h"
#include "web/digest_nonces.h"
#include "web/http_daemon.h"
#include "web/sign_in_limit.h"
#include "web/static_files.h"
#include "web/usage_document.h"

namespace {

using Json::StaticString;

constexpr const char* kRealm = "collector@vantrel";
constexpr const char* kOpaque = "9b3e51c07d2a48f6a1c5e0d94f7b26c38e1a0d5f";
constexpr const char* kStartPage = "/fleet.html";

constexpr char kAccessDeniedPage[] = "<html><head><title>Vantrel collector</title></head><body>Access denied</body></html>";
constexpr char kNotFoundPage[] = "<html><head><title>File not found</title></head><body>File not found</body></html>";
constexpr char kTooManyPage[] =
    "<html><head><title>Vantrel collector</title></head><body>Too many wrong sign-ins: try again in a minute</body></html>";
constexpr char kGetOnlyPage[] = "<html><head><title>Vantrel collector</title></head><body>GET only</body></html>";

NonceTable nonces;
SignInLimits signInLimits;

MHD_Result queueText(MHD_Connection* connection, unsigned status, const std::string& text, const char* type,
                     const char* header = nullptr, const std::string& value = {}) {
  MHD_Response* response =
      MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", type);
  MHD_add_response_header(response, "Cache-Control", "no-store");
  if (header != nullptr) MHD_add_response_header(response, header, value.c_str());
  const MHD_Result ret = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return ret;
}

MHD_Result queueChallenge(MHD_Connection* connection, uint64_t now, bool stale) {
  const std::string nonce = issueNonce(nonces, now);
  if (nonce.empty()) return MHD_NO;
  const std::string challenge = digestChallenge(kRealm, kOpaque, nonce, stale);
  return queueText(connection, MHD_HTTP_UNAUTHORIZED, kAccessDeniedPage, "text/html", MHD_HTTP_HEADER_WWW_AUTHENTICATE,
                   challenge);
}

// The same sign-in as the monitor's interface: a Digest answer for this
// very request target on a nonce of ours, and a minute's pause after too
// many wrong answers from one address.
bool signedIn(const CollectorWeb& web, MHD_Connection* connection, const std::string& target, uint64_t now,
              MHD_Result& answer) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  const std::string address = info == nullptr ? std::string() : socketAddressText(info->client_addr);
  if (const uint64_t wait = signInWaitSeconds(signInLimits, address, now)) {
    answer = queueText(connection, MHD_HTTP_TOO_MANY_REQUESTS, kTooManyPage, "text/html", MHD_HTTP_HEADER_RETRY_AFTER,
                       std::to_string(wait));
    return false;
  }
  const char* header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  DigestAnswer digest;
  if (header == nullptr || !parseDigestAnswer(header, digest)) {
    answer = queueChallenge(connection, now, false);
    return false;
  }
  if (!digestAnswerIsRight(digest, "GET", web.user, web.password, kRealm)) {
    if (noteWrongAnswer(signInLimits, address, now)) {
      answer = queueText(connection, MHD_HTTP_TOO_MANY_REQUESTS, kTooManyPage, "text/html",
                         MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(kSlowedMillis / 1000));
    } else {
      answer = queueChallenge(connection, now, false);
    }
    return false;
  }
  if (digest.uri != target || useNonce(nonces, digest.nonce, digestNonceCount(digest), now) != NonceUse::accepted) {
    answer = queueChallenge(connection, now, true);
    return false;
  }
  noteRightAnswer(signInLimits, address);
  return true;
}

MHD_Result serveFile(const CollectorWeb& web, MHD_Connection* connection, const char* url) {
  const std::string path = strcmp(url, "/") == 0 ? std::string(kStartPage) : std::string(url);
  const std::filesystem::path file = resolveWebFile(web.root, path);
  std::ifstream in;
  if (!file.empty()) in.open(file, std::ios::binary);
  if (!in) return queueText(connection, MHD_HTTP_NOT_FOUND, kNotFoundPage, "text/html");
  std::ostringstream text;
  text << in.rdbuf();
  return queueText(connection, MHD_HTTP_OK, text.str(), contentTypeForPath(path));
}

// The request target as sent (path and query), for the Digest check.
void* startRequest(void*, const char* uri, MHD_Connection*) { return new std::string(uri); }

void endRequest(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
  delete static_cast<std::string*>(*state);
  *state = nullptr;
}

MHD_Result handleRequest(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                         const char*, size_t* uploadSize, void** state) {
  const CollectorWeb& web = *static_cast<const CollectorWeb*>(cls);
  auto* target = static_cast<std::string*>(*state);
  if (target == nullptr) return MHD_NO;
  requestHeadArrived(connection);
  if (strcmp(method, "GET") != 0) {
    *uploadSize = 0;
    return queueText(connection, MHD_HTTP_METHOD_NOT_ALLOWED, kGetOnlyPage, "text/html", MHD_HTTP_HEADER_ALLOW, "GET");
  }
  const uint64_t now = currentTimeMillis();
  MHD_Result refused;
  if (!signedIn(web, connection, *target, now, refused)) return refused;
  if (strcmp(url, "/data/") != 0) return serveFile(web, connection, url);
  const Json::Value doc = collectorDataDocument(
      web, [connection](const char* name) { return getArgument(connection, name); }, now);
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return queueText(connection, MHD_HTTP_OK, Json::writeString(builder, doc), "application/json");
}

}  // namespace

Json::Value collectorDataDocument(const CollectorWeb& web, const ArgumentLookup& lookup, uint64_t now) {
  Json::Value doc(Json::objectValue);
  const char* asked = lookup("requestedData");
  const std::string what = asked == nullptr ? "" : asked;
  std::string error;
  if (what == "usage") {
    const UsageQuery query = usageQueryOf(readUsageRequest(lookup), now);
    UsageAnswer answer;
    if (!web.usage || !web.usage(query, answer, error)) {
      answer = UsageAnswer();
      if (error.empty()) error = "no store";
    }
    Json::Value& usage = doc[StaticString("usage")] = usageToJson(query, answer, error);
    usage[StaticString("host")] = query.host;
  } else if (what == "hosts") {
    std::vector<CollectorHost> hosts;
    Json::Value& list = doc[StaticString("hosts")] = Json::Value(Json::arrayValue);
    if (!web.hosts || !web.hosts(hosts, error)) {
      if (error.empty()) error = "no store";
      doc[StaticString("error")] = error;
    }
    for (const CollectorHost& h : hosts) {
      Json::Value row(Json::objectValue);
      row[StaticString("host")] = h.address;
      row[StaticString("records")] = Json::UInt64(h.records);
      row[StaticString("lastSeen")] = Json::UInt64(h.lastSeen);
      list.append(row);
    }
  } else {
    doc[StaticString("error")] = "requestedData is usage or hosts";
  }
  return doc;
}

MHD_Daemon* startCollectorWeb(const CollectorWeb& web, std::string& whyNot) {
  clearLibraryMessage();
  sockaddr_in bindTo{};
  bindTo.sin_family = AF_INET;
  bindTo.sin_port = htons(web.port);
  bindTo.sin_addr.s_addr = htonl(web.address);
  const std::vector<MHD_OptionItem> shared = sharedDaemonOptions(endRequest);
  MHD_OptionItem options[] = {
      {MHD_OPTION_ARRAY, 0, const_cast<MHD_OptionItem*>(shared.data())},
      {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(startRequest), nullptr},
      {MHD_OPTION_SOCK_ADDR, 0, &bindTo},
      {MHD_OPTION_END, 0, nullptr},
  };
  MHD_Daemon* daemon = MHD_start_daemon(daemonFlags(), web.port, nullptr, nullptr, handleRequest,
                                        const_cast<CollectorWeb*>(&web), MHD_OPTION_ARRAY, options, MHD_OPTION_END);
  if (daemon == nullptr) whyNot = lastLibraryMessage("the HTTP library gave no reason");
  return daemon;
}
