#include "web/http_server.h"

#include <microhttpd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/socket_address.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "web/data_document.h"
#include "web/digest_check.h"
#include "web/digest_nonces.h"
#include "web/http_daemon.h"
#include "web/request_counts.h"
#include "web/settings_request.h"
#include "web/sign_in_limit.h"
#include "web/static_files.h"

namespace {

constexpr const char* kRealm = "admin@vantrel";
constexpr const char* kOpaque = "5e2d90c7a41b38f6d0e7c2a95b14f83e6a0d7c29";
constexpr size_t kFileBlockSize = 32768;
constexpr size_t kFormBodyLimit = 16384;
// TLS 1.2 and 1.3 only, with GnuTLS's usual choice of ciphers.
constexpr const char* kTlsPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";

constexpr char kAccessDeniedPage[] = "<html><head><title>VantrelV2</title></head><body>Access denied</body></html>";
constexpr char kNotFoundPage[] =
    "<html><head><title>File not found</title></head><body>File not found</body></html>";
static_assert(sizeof kAccessDeniedPage - 1 == 76 && sizeof kNotFoundPage - 1 == 82);
constexpr char kTooManyPage[] =
    "<html><head><title>VantrelV2</title></head><body>Too many wrong sign-ins: try again in a minute</body></html>";
constexpr char kTooLargePage[] =
    "<html><head><title>VantrelV2</title></head><body>The form is larger than 16 KB</body></html>";
constexpr char kFormOnlyPage[] =
    "<html><head><title>VantrelV2</title></head><body>Send settings as application/x-www-form-urlencoded</body></html>";

NonceTable nonces;
SignInLimits signInLimits;

MHD_Response* fixedPage(const char* page, size_t size) {
  return MHD_create_response_from_buffer(size, const_cast<char*>(page), MHD_RESPMEM_PERSISTENT);
}

MHD_Result queueNotFound(MHD_Connection* connection) {
  MHD_Response* response = fixedPage(kNotFoundPage, sizeof kNotFoundPage - 1);
  if (response == nullptr) return MHD_NO;
  const MHD_Result ret = queueCounted(HttpServer::web, connection, MHD_HTTP_NOT_FOUND, response);
  MHD_destroy_response(response);
  return ret;
}

ssize_t readFileBlock(void* cls, uint64_t pos, char* buf, size_t max) {
  std::filebuf* file = static_cast<std::filebuf*>(cls);
  if (file->pubseekpos(static_cast<std::streamoff>(pos), std::ios::in) == std::streampos(-1)) {
    return MHD_CONTENT_READER_END_WITH_ERROR;
  }
  const std::streamsize got = file->sgetn(buf, static_cast<std::streamsize>(max));
  // A file that became shorter than announced ends the transfer.
  if (got <= 0) return MHD_CONTENT_READER_END_WITH_ERROR;
  return static_cast<ssize_t>(got);
}

void closeFile(void* cls) { delete static_cast<std::filebuf*>(cls); }

// Step 8: a file of the web folder, or the not-found page.
MHD_Result serveStaticFile(MHD_Connection* connection, const char* url, bool escapedNul) {
  const std::string path = strcmp(url, "/") == 0 ? std::string("/index.html") : std::string(url);
  if (escapedNul) return queueNotFound(connection);
  const std::filesystem::path file = resolveWebFile(kWebRoot, path);
  if (file.empty()) return queueNotFound(connection);
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(file, ec);
  if (ec) return queueNotFound(connection);
  auto* open = new std::filebuf;
  if (open->open(file, std::ios::in | std::ios::binary) == nullptr) {
    delete open;
    return queueNotFound(connection);
  }
  MHD_Response* response = MHD_create_response_from_callback(size, kFileBlockSize, readFileBlock, open, closeFile);
  if (response == nullptr) {
    consoleWrite("response == null");
    delete open;
    return MHD_NO;
  }
  MHD_add_response_header(response, "Content-Type", contentTypeForPath(path));
  const MHD_Result ret = queueCounted(HttpServer::web, connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return ret;
}

// One request's own state, from its head's arrival to its end.
struct WebRequest {
  std::string target;       // the request target as sent: path and query
  bool escapedNul = false;  // the raw path held an escaped NUL ("%00")
  bool headSeen = false;    // the handler has run for the head
  MHD_PostProcessor* form = nullptr;  // a POST's form reader, until the body's end
  size_t bodyBytes = 0;
  bool tooLarge = false;  // the body passed kFormBodyLimit
  bool answered = false;  // its 413 is queued
  // The form's arguments in order; names compared without letter case.
  std::vector<std::pair<std::string, std::string>> arguments;
};

void* startRequest(void*, const char* uri, MHD_Connection*) {
  auto* request = new WebRequest;
  request->target = uri;
  const size_t query = request->target.find('?');
  request->escapedNul = request->target.substr(0, query).find("%00") != std::string::npos;
  return request;
}

void endRequest(void*, MHD_Connection*, void** requestState, MHD_RequestTerminationCode) {
  auto* request = static_cast<WebRequest*>(*requestState);
  if (request == nullptr) return;
  if (request->form != nullptr) MHD_destroy_post_processor(request->form);
  delete request;
  *requestState = nullptr;
}

bool sameNameIgnoringCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return i == a.size() && b[i] == '\0';
}

MHD_Result takeFormValue(void* cls, MHD_ValueKind, const char* key, const char*, const char*, const char*,
                         const char* data, uint64_t off, size_t size) {
  auto* request = static_cast<WebRequest*>(cls);
  if (off == 0 || request->arguments.empty() || request->arguments.back().first != key) {
    request->arguments.emplace_back(key, std::string());
  }
  if (data != nullptr) request->arguments.back().second.append(data, size);
  return MHD_YES;
}

// The request's arguments: a POST form's first, then the query's.
ArgumentLookup argumentsOf(MHD_Connection* connection, const WebRequest* request) {
  return [connection, request](const char* name) -> const char* {
    if (request != nullptr) {
      for (const auto& [key, value] : request->arguments) {
        if (sameNameIgnoringCase(key, name)) return value.c_str();
      }
    }
    return getArgument(connection, name);
  };
}

MHD_Result queueFixed(MHD_Connection* connection, unsigned status, const char* page, size_t size,
                      const char* header = nullptr, const std::string& value = {}) {
  MHD_Response* response = fixedPage(page, size);
  if (response == nullptr) {
    consoleWrite("NULL == response\n");
    return MHD_NO;
  }
  if (header != nullptr) MHD_add_response_header(response, header, value.c_str());
  const MHD_Result ret = queueCounted(HttpServer::web, connection, status, response);
  MHD_destroy_response(response);
  return ret;
}

// A Digest challenge with a nonce of its own.
MHD_Result queueChallenge(MHD_Connection* connection, uint64_t now, bool stale) {
  const std::string nonce = issueNonce(nonces, now);
  if (nonce.empty()) return MHD_NO;
  const std::string challenge = digestChallenge(kRealm, kOpaque, nonce, stale);
  return queueFixed(connection, MHD_HTTP_UNAUTHORIZED, kAccessDeniedPage, sizeof kAccessDeniedPage - 1,
                    MHD_HTTP_HEADER_WWW_AUTHENTICATE, challenge);
}

std::string clientAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  return info == nullptr ? std::string() : socketAddressText(info->client_addr);
}

// The sign-in of one request: true when it may go on; otherwise `answer`
// holds the result of the refusal queued (429, or 401 with a challenge).
bool signedIn(MHD_Connection* connection, const WebRequest& request, const char* method, uint64_t now,
              MHD_Result& answer) {
  const std::string address = clientAddress(connection);
  if (const uint64_t wait = signInWaitSeconds(signInLimits, address, now)) {
    answer = queueFixed(connection, MHD_HTTP_TOO_MANY_REQUESTS, kTooManyPage, sizeof kTooManyPage - 1,
                        MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(wait));
    return false;
  }
  const char* header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  DigestAnswer digest;
  if (header == nullptr || !parseDigestAnswer(header, digest)) {
    answer = queueChallenge(connection, now, false);
    return false;
  }
  if (!digestAnswerIsRight(digest, method, settingString("user"), settingString("pass"), kRealm)) {
    if (noteWrongAnswer(signInLimits, address, now)) {
      consolePrintf("Sign-ins from %s refused for a minute: %u wrong answers\n", address.c_str(),
                    kWrongAnswersAllowed);
      answer = queueFixed(connection, MHD_HTTP_TOO_MANY_REQUESTS, kTooManyPage, sizeof kTooManyPage - 1,
                          MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(kSlowedMillis / 1000));
    } else {
      answer = queueChallenge(connection, now, false);
    }
    return false;
  }
  // A right answer for another request target, or on a nonce that is not
  // ours any more or on a count used before: a fresh nonce lets an honest
  // client go on, and nothing in it helps a replay.
  if (digest.uri != request.target ||
      useNonce(nonces, digest.nonce, digestNonceCount(digest), now) != NonceUse::accepted) {
    answer = queueChallenge(connection, now, true);
    return false;
  }
  noteRightAnswer(signInLimits, address);
  return true;
}

bool isFormBody(MHD_Connection* connection) {
  const char* type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
  constexpr std::string_view kForm = "application/x-www-form-urlencoded";
  if (type == nullptr || strlen(type) < kForm.size()) return false;
  for (size_t i = 0; i < kForm.size(); ++i) {
    if (tolower(static_cast<unsigned char>(type[i])) != kForm[i]) return false;
  }
  return type[kForm.size()] == '\0' || type[kForm.size()] == ';' || type[kForm.size()] == ' ';
}

// The head of a POST to /data/: checks the body's type and announced size,
// and prepares its reading.
MHD_Result startForm(MHD_Connection* connection, WebRequest& request) {
  const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
  if (length != nullptr && (strlen(length) > 9 || strtoul(length, nullptr, 10) > kFormBodyLimit)) {
    return queueFixed(connection, MHD_HTTP_CONTENT_TOO_LARGE, kTooLargePage, sizeof kTooLargePage - 1);
  }
  if (!isFormBody(connection) ||
      (request.form = MHD_create_post_processor(connection, 1024, takeFormValue, &request)) == nullptr) {
    return queueFixed(connection, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE, kFormOnlyPage, sizeof kFormOnlyPage - 1);
  }
  return MHD_YES;
}

// One piece of a request body: read into the form of a POST to /data/,
// dropped otherwise, and past the limit refused.
MHD_Result takeBodyPiece(MHD_Connection* connection, WebRequest& request, const char* data, size_t* size) {
  const size_t piece = *size;
  *size = 0;
  if (request.tooLarge) return MHD_YES;
  request.bodyBytes += piece;
  if (request.bodyBytes > kFormBodyLimit) {
    // Answered at once where the library lets us, else after the body.
    request.tooLarge = true;
    request.answered =
        queueFixed(connection, MHD_HTTP_CONTENT_TOO_LARGE, kTooLargePage, sizeof kTooLargePage - 1) == MHD_YES;
    return MHD_YES;
  }
  return request.form != nullptr ? MHD_post_process(request.form, data, piece) : MHD_YES;
}

// The library calls the handler once for the head, once per piece of the
// body, and once at the end. GET and POST to /data/ are answered at the
// end: an answer queued at the head makes the library close the connection
// after it, so keep-alive would never hold. Other methods, and the refusal
// of a form it cannot take, are answered at the head.
MHD_Result handleRequest(void*, MHD_Connection* connection, const char* url, const char* method, const char*,
                         const char* uploadData, size_t* uploadSize, void** requestState) {
  const uint64_t now = currentTimeMillis();
  auto* request = static_cast<WebRequest*>(*requestState);
  if (request == nullptr) return MHD_NO;
  const bool isGet = strcmp(method, "GET") == 0;
  const bool isForm = strcmp(method, "POST") == 0 && strcmp(url, "/data/") == 0 && !request->escapedNul;

  if (!request->headSeen) {
    request->headSeen = true;
    requestHeadArrived(connection);
    if (isForm) return startForm(connection, *request);
    if (isGet) return MHD_YES;
    MHD_Result refused;
    if (!signedIn(connection, *request, method, now, refused)) return refused;
    return MHD_NO;
  }
  if (*uploadSize != 0) return takeBodyPiece(connection, *request, uploadData, uploadSize);
  if (request->tooLarge) {
    return request->answered
               ? MHD_YES
               : queueFixed(connection, MHD_HTTP_CONTENT_TOO_LARGE, kTooLargePage, sizeof kTooLargePage - 1);
  }

  MHD_Result refused;
  if (!signedIn(connection, *request, method, now, refused)) return refused;
  if (isForm) return sendDataDocument(connection, now, argumentsOf(connection, request));
  if (strcmp(url, "/data/") == 0 && !request->escapedNul) {
    return sendDataDocument(connection, now, argumentsOf(connection, nullptr));
  }
  applySettingsArgs(connection, argumentsOf(connection, nullptr));
  return serveStaticFile(connection, url, request->escapedNul);
}

}  // namespace

MHD_Daemon* startHTTPDaemon(uint16_t port, const HttpsCredentials* https, std::string& whyNot) {
  clearLibraryMessage();
  const std::vector<MHD_OptionItem> shared = sharedDaemonOptions(endRequest);
  std::vector<MHD_OptionItem> options = {
      {MHD_OPTION_ARRAY, 0, const_cast<MHD_OptionItem*>(shared.data())},
      {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(startRequest), nullptr},
  };
  unsigned flags = daemonFlags();
  // The library reads the certificate and key at start; they stay here for
  // the life of the server all the same.
  static HttpsCredentials serving;
  if (https != nullptr) {
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
      whyNot = "the HTTP library was built without TLS";
      return nullptr;
    }
    serving = *https;
    flags |= MHD_USE_TLS;
    options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(serving.certificatePem.c_str())});
    options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(serving.keyPem.c_str())});
    options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(kTlsPriorities)});
  }
  options.push_back({MHD_OPTION_END, 0, nullptr});
  MHD_Daemon* daemon = MHD_start_daemon(flags, port, nullptr, nullptr, handleRequest,
                                        const_cast<char*>(kNotFoundPage), MHD_OPTION_ARRAY, options.data(),
                                        MHD_OPTION_END);
  if (daemon == nullptr) whyNot = lastLibraryMessage("the HTTP library gave no reason");
  return daemon;
}
