#include "web/http_daemon.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/clock.h"
#include "platform/stream_socket.h"

namespace {

constexpr unsigned kConnectionTimeoutSeconds = 30;

// Slow or many clients must not lock the owner out: at most this many
// connections in all and from one client address, and a request head must
// arrive whole within kHeadDeadlineMillis of the connection's start (or of
// the end of the previous request on it). The idle time-out alone does not
// do: a client that sends a byte a second is never idle.
constexpr unsigned kConnectionLimit = 256;
constexpr unsigned kConnectionsPerAddress = 32;
constexpr uint64_t kHeadDeadlineMillis = 10000;
constexpr uint32_t kHeadCheckMillis = 250;

uint64_t steadyMillis() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// A connection of either server: its socket, and since when it has been
// waiting for a request head (0 while a request is being answered).
struct HeadClock {
  intptr_t socket;
  uint64_t since;
};
std::mutex headClocksMutex;  // guards headClocks
// Never destroyed: the watcher thread reads it until the process ends, also
// while a program that returns from main runs its static destructors.
std::unordered_map<MHD_Connection*, HeadClock>& headClocks = *new std::unordered_map<MHD_Connection*, HeadClock>;

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
    // An answer goes out in several writes (head and body, and with TLS
    // a record each): waiting for acknowledgements between them would cost
    // a delayed ACK per request on a kept-alive connection.
    streamNoDelay(static_cast<intptr_t>(info->connect_fd));
    std::lock_guard<std::mutex> lock(headClocksMutex);
    headClocks[connection] = HeadClock{static_cast<intptr_t>(info->connect_fd), steadyMillis()};
  } else {
    std::lock_guard<std::mutex> lock(headClocksMutex);
    headClocks.erase(connection);
  }
}

// A request has been answered: the clock runs again for the next head on the
// same connection.
void noteRequestDone(void* cls, MHD_Connection* connection, void** requestState, MHD_RequestTerminationCode code) {
  setHeadClock(connection, steadyMillis());
  if (cls != nullptr) reinterpret_cast<MHD_RequestCompletedCallback>(cls)(nullptr, connection, requestState, code);
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
std::mutex libraryMessageMutex;  // guards libraryMessage
std::string libraryMessage;

void logLibraryMessage(void*, const char* format, va_list args) {
  char text[1024];
  const int n = vsnprintf(text, sizeof text, format, args);
  if (n < 0) return;
  const size_t size = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
  fwrite(text, 1, size, stderr);
  fflush(stderr);
  std::lock_guard<std::mutex> lock(libraryMessageMutex);
  libraryMessage.assign(text, size);
  while (!libraryMessage.empty() && libraryMessage.back() == '\n') libraryMessage.pop_back();
}

template <typename Function>
intptr_t asValue(Function* f) {
  return reinterpret_cast<intptr_t>(f);
}

}  // namespace

std::vector<MHD_OptionItem> sharedDaemonOptions(MHD_RequestCompletedCallback requestDone) {
  static std::once_flag watchdog;
  std::call_once(watchdog, [] { std::thread(cutSlowHeads).detach(); });
  return {
      {MHD_OPTION_EXTERNAL_LOGGER, asValue(logLibraryMessage), nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerAddress, nullptr},
      {MHD_OPTION_NOTIFY_CONNECTION, asValue(noteConnection), nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, asValue(noteRequestDone), reinterpret_cast<void*>(requestDone)},
      {MHD_OPTION_END, 0, nullptr},
  };
}

void requestHeadArrived(MHD_Connection* connection) { setHeadClock(connection, 0); }

void clearLibraryMessage() {
  std::lock_guard<std::mutex> lock(libraryMessageMutex);
  libraryMessage.clear();
}

std::string lastLibraryMessage(const std::string& fallback) {
  std::lock_guard<std::mutex> lock(libraryMessageMutex);
  return libraryMessage.empty() ? fallback : libraryMessage;
}

unsigned daemonFlags() {
  // poll, not select, where the library has it: on Linux select cannot wait
  // for a socket numbered 1024 or more.
  const unsigned usePoll = MHD_is_feature_supported(MHD_FEATURE_POLL) == MHD_YES ? MHD_USE_POLL : 0;
  return MHD_USE_ERROR_LOG | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | usePoll;
}
