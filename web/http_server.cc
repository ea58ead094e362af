#include "web/http_server.h"

#include <microhttpd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "platform/clock.h"
#include "platform/stream_socket.h"
#include "runtime/console.h"
#include "runtime/settings.h"
#include "web/data_document.h"
#include "web/digest_check.h"
#include "web/settings_request.h"
#include "web/static_files.h"

namespace {

constexpr const char* kRealm = "admin@vantrel";
constexpr const char* kOpaque = "5e2d90c7a41b38f6d0e7c2a95b14f83e6a0d7c29";
constexpr unsigned kNonceTimeoutSeconds = 300;
constexpr unsigned kNonceTableSize = 300;
constexpr unsigned kConnectionTimeoutSeconds = 30;
constexpr size_t kFileBlockSize = 32768;

// Slow or many clients must not lock the owner out: at most this many
// connections in all and from one client address, and a request head must
// arrive whole within kHeadDeadlineMillis of the connection's start (or of
// the end of the previous request on it). The idle time-out alone does not
// do: a client that sends a byte a second is never idle.
constexpr unsigned kConnectionLimit = 256;
constexpr unsigned kConnectionsPerAddress = 32;
constexpr uint64_t kHeadDeadlineMillis = 10000;
constexpr uint32_t kHeadCheckMillis = 250;

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

uint64_t steadyMillis() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// A connection of the server: its socket, and since when it has been waiting
// for a request head (0 while a request is being answered).
struct HeadClock {
  intptr_t socket;
  uint64_t since;
};
std::mutex headClocksMutex;  // guards headClocks
std::unordered_map<MHD_Connection*, HeadClock> headClocks;

void setHeadClock(MHD_Connection* connection, uint64_t since) {
  std::lock_guard<std::mutex> lock(headClocksMutex);
  if (auto it = headClocks.find(connection); it != headClocks.end()) it->second.since = since;
}

// The library tells of each connection before its first byte is read and
// after its last, before it closes the socket: the socket number stays ours
// to shut down for as long as it is in headClocks.
void noteConnection(void*, MHD_Connection* connection, void**, MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info == nullptr) return;
    std::lock_guard<std::mutex> lock(headClocksMutex);
    headClocks[connection] = HeadClock{static_cast<intptr_t>(info->connect_fd), steadyMillis()};
  } else {
    std::lock_guard<std::mutex> lock(headClocksMutex);
    headClocks.erase(connection);
  }
}

// A request has been answered: the clock runs again for the next head on the
// same connection.
void noteRequestDone(void*, MHD_Connection* connection, void**, MHD_RequestTerminationCode) {
  setHeadClock(connection, steadyMillis());
}

// Shuts down every connection whose head is overdue; the connection's own
// thread then sees the end of its input and closes it. Runs for ever on a
// thread of its own.
void cutSlowHeads() {
  for (;;) {
    sleepMillis(kHeadCheckMillis);
    const uint64_t now = steadyMillis();
    std::lock_guard<std::mutex> lock(headClocksMutex);
    for (auto& [connection, clock] : headClocks) {
      if (clock.since != 0 && now - clock.since >= kHeadDeadlineMillis) {
        streamShutdown(clock.socket);
        clock.since = 0;
      }
    }
  }
}

// The library's own messages go to standard error as they come; the last one
// is kept, so a failed start can say why.
std::mutex libraryMessageMutex;  // guards lastLibraryMessage
std::string lastLibraryMessage;

void logLibraryMessage(void*, const char* format, va_list args) {
  char text[1024];
  const int n = vsnprintf(text, sizeof text, format, args);
  if (n < 0) return;
  const size_t size = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
  fwrite(text, 1, size, stderr);
  fflush(stderr);
  std::lock_guard<std::mutex> lock(libraryMessageMutex);
  lastLibraryMessage.assign(text, size);
  while (!lastLibraryMessage.empty() && lastLibraryMessage.back() == '\n') lastLibraryMessage.pop_back();
}

MHD_Response* fixedPage(const char* page, size_t size) {
  return MHD_create_response_from_buffer(size, const_cast<char*>(page), MHD_RESPMEM_PERSISTENT);
}

MHD_Result queueNotFound(MHD_Connection* connection) {
  MHD_Response* response = fixedPage(kNotFoundPage, sizeof kNotFoundPage - 1);
  if (response == nullptr) return MHD_NO;
  const MHD_Result ret = MHD_queue_response(connection, MHD_HTTP_NOT_FOUND, response);
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
  const MHD_Result ret = MHD_queue_response(connection, MHD_HTTP_OK, response);
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
  setHeadClock(connection, 0);

  char* username = MHD_digest_auth_get_username(connection);
  if (username == nullptr) {
    MHD_Response* response = fixedPage(kAccessDeniedPage, sizeof kAccessDeniedPage - 1);
    if (response == nullptr) return MHD_NO;
    const MHD_Result ret = MHD_queue_auth_fail_response(connection, kRealm, kOpaque, response, MHD_NO);
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
        MHD_queue_auth_fail_response(connection, kRealm, kOpaque, response, stale ? MHD_YES : MHD_NO);
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
  {
    std::lock_guard<std::mutex> lock(libraryMessageMutex);
    lastLibraryMessage.clear();
  }
  // poll, not select, where the library has it: on Linux select cannot wait
  // for a socket numbered 1024 or more.
  const unsigned usePoll = MHD_is_feature_supported(MHD_FEATURE_POLL) == MHD_YES ? MHD_USE_POLL : 0;
  MHD_Daemon* daemon = MHD_start_daemon(
      MHD_USE_ERROR_LOG | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | usePoll, port,
      nullptr, nullptr, handleRequest, const_cast<char*>(kNotFoundPage),
      MHD_OPTION_EXTERNAL_LOGGER, logLibraryMessage, nullptr,
      MHD_OPTION_DIGEST_AUTH_RANDOM, sizeof nonceSeed, nonceSeed,
      MHD_OPTION_NONCE_NC_SIZE, kNonceTableSize,
      MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds,
      MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerAddress,
      MHD_OPTION_NOTIFY_CONNECTION, noteConnection, nullptr,
      MHD_OPTION_NOTIFY_COMPLETED, noteRequestDone, nullptr,
      MHD_OPTION_URI_LOG_CALLBACK, noteRawPath, nullptr,
      MHD_OPTION_END);
  if (daemon == nullptr) {
    std::lock_guard<std::mutex> lock(libraryMessageMutex);
    whyNot = lastLibraryMessage.empty() ? "the HTTP library gave no reason" : lastLibraryMessage;
    return nullptr;
  }
  std::thread(cutSlowHeads).detach();
  return daemon;
}
