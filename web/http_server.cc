#include "web/http_server.h"

#include <microhttpd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "web/data_document.h"
#include "web/digest_check.h"
#include "web/http_daemon.h"
#include "web/request_counts.h"
#include "web/settings_request.h"
#include "web/static_files.h"

namespace {

constexpr const char* kRealm = "admin@vantrel";
constexpr const char* kOpaque = "5e2d90c7a41b38f6d0e7c2a95b14f83e6a0d7c29";
constexpr unsigned kNonceTimeoutSeconds = 300;
constexpr unsigned kNonceTableSize = 300;
constexpr size_t kFileBlockSize = 32768;

constexpr char kAccessDeniedPage[] = "<html><head><title>VantrelV2</title></head><body>Access denied</body></html>";
constexpr char kNotFoundPage[] =
    "<html><head><title>File not found</title></head><body>File not found</body></html>";
static_assert(sizeof kAccessDeniedPage - 1 == 76 && sizeof kNotFoundPage - 1 == 82);

// Seed of the library's nonces. The library keeps the pointer, so the bytes
// live as long as the process.
unsigned char nonceSeed[8];

// Per-request marker set before the handler runs: the raw request path held
// an escaped NUL ("%00"), which the library's decoding turns into the end of
// the path the handler sees.
char escapedNulMarker;

void* noteRawPath(void*, const char* uri, MHD_Connection*) {
  const char* query = strchr(uri, '?');
  const std::string_view path(uri, query ? static_cast<size_t>(query - uri) : strlen(uri));
  return path.find("%00") != std::string_view::npos ? &escapedNulMarker : nullptr;
}

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

// The library refused the request although its Digest answer is right for
// the current user and password: its nonce and count were used already.
bool sharedNonceRefused(MHD_Connection* connection, const char* method, const std::string& user,
                        const std::string& pass) {
  const char* header = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
  return header != nullptr && digestAnswerIsRight(header, method, user, pass, kRealm);
}

// The library stamps nonces with whole seconds of the monotonic clock.
void sleepIntoNextSecond() {
  const auto sinceSecond = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch()).count() % 1000;
  sleepMillis(static_cast<uint32_t>(1000 - sinceSecond + 30));
}

MHD_Result handleRequest(void*, MHD_Connection* connection, const char* url, const char* method, const char*,
                         const char*, size_t*, void** requestState) {
  const uint64_t now = currentTimeMillis();
  requestHeadArrived(connection);

  char* username = MHD_digest_auth_get_username(connection);
  if (username == nullptr) {
    MHD_Response* response = fixedPage(kAccessDeniedPage, sizeof kAccessDeniedPage - 1);
    if (response == nullptr) return MHD_NO;
    const MHD_Result ret = queueAuthFailCounted(connection, kRealm, kOpaque, response, false);
    MHD_destroy_response(response);
    return ret;
  }

  const std::string user = settingString("user");
  const std::string pass = settingString("pass");
  const int check = MHD_digest_auth_check(connection, kRealm, user.c_str(), pass.c_str(), kNonceTimeoutSeconds);
  MHD_free(username);
  // MHD_INVALID_NONCE is -1, so only an exact MHD_YES lets the request in.
  if (check != MHD_YES) {
    bool stale = check == MHD_INVALID_NONCE;
    if (!stale && sharedNonceRefused(connection, method, user, pass)) {
      // The right password on a nonce another client used first: a fresh
      // challenge lets the client try again without asking anyone, and its
      // nonce is only fresh in the library's next second.
      sleepIntoNextSecond();
      stale = true;
    }
    MHD_Response* response = fixedPage(kAccessDeniedPage, sizeof kAccessDeniedPage - 1);
    if (response == nullptr) {
      consoleWrite("NULL == response\n");
      return MHD_NO;
    }
    const MHD_Result ret =
        queueAuthFailCounted(connection, kRealm, kOpaque, response, stale);
    MHD_destroy_response(response);
    return ret;
  }

  if (strcmp(method, "GET") != 0) return MHD_NO;

  const bool escapedNul = *requestState == &escapedNulMarker;
  *requestState = nullptr;

  if (strcmp(url, "/data/") == 0 && !escapedNul) return sendDataDocument(connection, now);

  applySettingsArgs(connection);
  return serveStaticFile(connection, url, escapedNul);
}

}  // namespace

MHD_Daemon* startHTTPDaemon(uint16_t port, std::string& whyNot) {
  std::random_device random;
  for (unsigned char& byte : nonceSeed) byte = static_cast<unsigned char>(random());
  clearLibraryMessage();
  const std::vector<MHD_OptionItem> shared = sharedDaemonOptions();
  MHD_Daemon* daemon = MHD_start_daemon(
      daemonFlags(), port, nullptr, nullptr, handleRequest, const_cast<char*>(kNotFoundPage),
      MHD_OPTION_ARRAY, shared.data(),
      MHD_OPTION_DIGEST_AUTH_RANDOM, sizeof nonceSeed, nonceSeed,
      MHD_OPTION_NONCE_NC_SIZE, kNonceTableSize,
      MHD_OPTION_URI_LOG_CALLBACK, noteRawPath, nullptr,
      MHD_OPTION_END);
  if (daemon == nullptr) whyNot = lastLibraryMessage("the HTTP library gave no reason");
  return daemon;
}
