// Helpers for system tests: running commands, network namespaces made by the
// test itself, and the monitor as a child process in a folder of its own.
// Tests that need root call REQUIRE_ROOT() first and are skipped, with a
// message, otherwise.
#pragma once

#include <gtest/gtest.h>
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

// Runs `command` through /bin/sh; returns its exit status (-1 when it could
// not run) and, when `output` is given, its standard output.
int runCommand(const std::string& command, std::string* output = nullptr);

// Path of a file built next to the tests (build/<name>) and of the source tree.
std::string binaryPath(const std::string& name);
std::string sourcePath(const std::string& relative);

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
  // `command` run inside the namespace.
  int exec(const std::string& command, std::string* output = nullptr) const;
  // Prefix that runs a command inside the namespace.
  std::string prefix() const { return "ip netns exec " + name + " "; }
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

// Polls `condition` every 20 ms until it holds or `timeout` passes.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Reads a whole file ("" when missing).
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
