// Helpers for system tests: running commands, network namespaces made by the
// test itself, sockets on addresses the test made, and the monitor and the
// collector as child processes in folders of their own.
// Tests that need root call REQUIRE_ROOT() first and are skipped, with a
// message, otherwise.
#pragma once

#include <gtest/gtest.h>
#include <json/json.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

bool runningAsRoot();

#define REQUIRE_ROOT()                                                                    \
  do {                                                                                    \
    if (!runningAsRoot()) GTEST_SKIP() << "needs root (network namespaces, packet sockets)"; \
  } while (0)

// Outside CI a missing tool skips the test; CI installs them
// (scripts/test-packages.txt), so there it fails.
#define REQUIRE_TOOL(tool, package)                                                                 \
  do {                                                                                               \
    if (runCommand("command -v " tool " >/dev/null 2>&1") != 0) {                                    \
      if (getenv("CI") != nullptr) FAIL() << tool " is missing: install the Debian package " package; \
      GTEST_SKIP() << tool " is missing: install the Debian package " package " to run this test";   \
    }                                                                                                \
  } while (0)

// Runs `command` through /bin/sh; returns its exit status (-1 when it could
// not run) and, when `output` is given, its standard output.
int runCommand(const std::string& command, std::string* output = nullptr);

// Path of a file built next to the tests (build/<name>).
std::string binaryPath(const std::string& name);

// A fresh, empty folder under /tmp, removed by the destructor.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

// A network namespace with a unique name; loopback is up. Deleted (with
// everything in it) by the destructor, also when the test fails.
struct Netns {
  explicit Netns(const std::string& prefix);
  ~Netns();
  Netns(const Netns&) = delete;
  Netns& operator=(const Netns&) = delete;
  // Runs `command` inside the namespace, as runCommand does.
  int exec(const std::string& command, std::string* output = nullptr) const;
  std::string name;
};

// Moves the calling thread into `ns`; sockets it opens afterwards belong
// there. False when the namespace cannot be entered.
bool enterNamespace(const Netns& ns);

// Runs `body` on a thread inside `ns` and waits for it.
void inNamespace(const Netns& ns, const std::function<void()>& body);

// Joins two namespaces with a veth pair and gives each end an address
// ("10.x.y.z/24" form); the link is up on both sides. Returns the name of
// a's end.
std::string linkNamespaces(const Netns& a, const std::string& addrA, const Netns& b, const std::string& addrB);

// IPv4 socket address of dotted `address` and `port`.
sockaddr_in endpoint(const char* address, uint16_t port);
// A socket of `type` (SOCK_DGRAM, SOCK_STREAM) bound to `address`:`port`
// (0: any port); -1 when it cannot be had.
int boundSocket(int type, const char* address, uint16_t port = 0);
// The local port of socket `fd`.
uint16_t localPort(int fd);

// What the monitor names as the owner of this process's sockets: the last
// 30 bytes of its executable's path, its account and the host name.
struct OwnIdentity {
  OwnIdentity();
  std::string processname, user, domain;
};

// A child process whose standard output and error go to a file. Killed
// (SIGKILL) by the destructor if still running.
struct ChildProcess {
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Starts `argv` in `workdir` (optionally inside namespace `netns`).
  bool start(const std::vector<std::string>& argv, const std::string& workdir, const std::string& logFile,
             const std::string& netns = "");
  // Sends `signal`; returns immediately.
  void signal(int sig);
  // Waits up to `timeout` for the child to end; returns its wait status, or
  // -1 on time-out.
  int wait(std::chrono::milliseconds timeout);
  bool running();
  // The output written so far.
  std::string output() const;
  pid_t pid = -1;
  std::string log;
};

// Writes `settings` (unless empty) as the settings file in `dir` and starts
// build/vantrel there inside `ns`; true once its output holds `readyText`.
bool startMonitor(ChildProcess& monitor, const TempDir& dir, const Netns& ns, const std::string& settings,
                  const std::string& readyText = "In main\n");

// vantrel-collect as a child, logging to a file of `dir`.
struct CollectorProcess {
  // Starts it on `listen` (no --listen when "") inside `netns` when given,
  // with `extra` arguments; true once it listens, with `port` the first port
  // it reports and `tcpPort` its TCP one (0 when none).
  bool start(const TempDir& dir, const std::string& listen = "127.0.0.1:0", const std::string& netns = "",
             const std::vector<std::string>& extra = {});
  // The lines it wrote that begin with `first` ('{': its JSON flow lines).
  std::vector<std::string> lines(char first = '{') const;
  // Its JSON flow lines, parsed.
  std::vector<Json::Value> flows() const;
  ChildProcess child;
  uint16_t port = 0;
  uint16_t tcpPort = 0;
};

// Polls `condition` every 20 ms until it holds or `timeout` passes.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// How often `part` occurs in `text`.
size_t countOf(const std::string& text, const std::string& part);
// Success when `parts` occur in `text` one after the other, in this order.
testing::AssertionResult inOrder(const std::string& text, const std::vector<std::string>& parts);
// `text` parsed as one JSON document (null, with a test failure, when it is not).
Json::Value parseJson(const std::string& text);

// Reads a whole file ("" when missing).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);

// GET http://127.0.0.1:`port``target` signed in by Digest as `userPass`
// ("user:password"); the HTTP status (0 when curl failed) and the body.
int digestGet(uint16_t port, const std::string& target, const std::string& userPass, std::string* body = nullptr);

// vantrel-collect's web view port, from its "web view on" line (0 when absent).
uint16_t collectorWebPort(const ChildProcess& collector);
