#include "tests/support/system_test.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

bool runningAsRoot() { return geteuid() == 0; }

int runCommand(const std::string& command, std::string* output) {
  FILE* p = popen(command.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int status = pclose(p);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string binaryPath(const std::string& name) { return std::string(VANTREL_BINARY_DIR) + "/" + name; }

TempDir::TempDir() {
  char pattern[] = "/tmp/vantrel-test-XXXXXX";
  char* made = mkdtemp(pattern);
  path = made ? made : "/tmp";
}

TempDir::~TempDir() {
  if (path.rfind("/tmp/vantrel-test-", 0) == 0) runCommand("rm -rf '" + path + "'");
}

namespace {
std::atomic<int> netnsSerial{0};
}

Netns::Netns(const std::string& prefix) {
  name = prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(netnsSerial.fetch_add(1));
  runCommand("ip netns add " + name);
  exec("ip link set lo up");
}

Netns::~Netns() {
  // Processes started in the namespace by the test end with it.
  runCommand("ip netns pids " + name + " 2>/dev/null | xargs -r kill -9 2>/dev/null");
  runCommand("ip netns del " + name + " 2>/dev/null");
}

int Netns::exec(const std::string& command, std::string* output) const {
  return runCommand("ip netns exec " + name + " " + command, output);
}

bool enterNamespace(const Netns& ns) {
  const int fd = open(("/run/netns/" + ns.name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = setns(fd, CLONE_NEWNET) == 0;
  close(fd);
  return ok;
}

void inNamespace(const Netns& ns, const std::function<void()>& body) {
  std::thread t([&] {
    if (!enterNamespace(ns)) {
      ADD_FAILURE() << "cannot enter namespace " << ns.name;
      return;
    }
    body();
  });
  t.join();
}

std::string linkNamespaces(const Netns& a, const std::string& addrA, const Netns& b, const std::string& addrB) {
  static std::atomic<int> serial{0};
  const std::string base = "vt" + std::to_string(getpid() % 100000) + "x" + std::to_string(serial.fetch_add(1));
  const std::string ea = base + "a", eb = base + "b";
  runCommand("ip link add " + ea + " netns " + a.name + " type veth peer name " + eb + " netns " + b.name);
  a.exec("ip addr add " + addrA + " dev " + ea);
  b.exec("ip addr add " + addrB + " dev " + eb);
  a.exec("ip link set " + ea + " up");
  b.exec("ip link set " + eb + " up");
  return ea;
}

ChildProcess::~ChildProcess() {
  if (pid > 0 && running()) {
    kill(pid, SIGKILL);
    wait(std::chrono::milliseconds(2000));
  }
  // A sanitizer build of the child reports into its log: any report fails
  // the test that ran it.
  if (!log.empty()) {
    const std::string text = output();
    for (const char* marker : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                               "runtime error:"}) {
      if (text.find(marker) != std::string::npos) {
        ADD_FAILURE() << "sanitizer report in " << log << ":\n" << text.substr(text.find(marker), 4000);
        break;
      }
    }
  }
}

bool ChildProcess::start(const std::vector<std::string>& argv, const std::string& workdir,
                         const std::string& logFile, const std::string& netns) {
  log = logFile;
  std::vector<std::string> args;
  if (!netns.empty()) args = {"ip", "netns", "exec", netns};
  args.insert(args.end(), argv.begin(), argv.end());
  pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    if (chdir(workdir.c_str()) != 0) _exit(126);
    std::vector<char*> cargs;
    for (auto& a : args) cargs.push_back(const_cast<char*>(a.c_str()));
    cargs.push_back(nullptr);
    execvp(cargs[0], cargs.data());
    _exit(127);
  }
  return true;
}

void ChildProcess::signal(int sig) {
  if (pid > 0) kill(pid, sig);
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      pid = -1;
      return status;
    }
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ChildProcess::running() {
  if (pid <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid, &status, WNOHANG);
  if (r == pid) {
    pid = -1;
    return false;
  }
  return r == 0;
}

std::string ChildProcess::output() const { return readFile(log); }

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

sockaddr_in endpoint(const char* address, uint16_t port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

int boundSocket(int type, const char* address, uint16_t port) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  const sockaddr_in a = endpoint(address, port);
  const int one = 1;
  if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t localPort(int fd) {
  sockaddr_in a = {};
  socklen_t length = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  return ntohs(a.sin_port);
}

OwnIdentity::OwnIdentity() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  processname = n > 0 ? std::string(path, static_cast<size_t>(n)) : "";
  if (processname.size() > 30) processname.erase(0, processname.size() - 30);
  if (const passwd* pw = getpwuid(getuid())) user = pw->pw_name;
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  domain = host;
}

bool startMonitor(ChildProcess& monitor, const TempDir& dir, const Netns& ns, const std::string& settings,
                  const std::string& readyText) {
  if (!settings.empty()) writeFile(dir.file("vantrelsettings.json"), settings);
  if (!monitor.start({binaryPath("vantrel")}, dir.path, dir.file("console.log"), ns.name)) return false;
  return waitFor([&] { return monitor.output().find(readyText) != std::string::npos; }, std::chrono::seconds(10));
}

bool CollectorProcess::start(const TempDir& dir, const std::string& listen, const std::string& netns,
                             const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {binaryPath("vantrel-collect")};
  if (!listen.empty()) argv.insert(argv.end(), {"--listen", listen});
  argv.insert(argv.end(), extra.begin(), extra.end());
  const bool tcp = std::find(extra.begin(), extra.end(), "--listen-tcp") != extra.end();
  const size_t listeners = tcp && !listen.empty() ? 2 : 1;
  port = tcpPort = 0;
  if (!child.start(argv, dir.path, dir.file("collect.log"), netns)) return false;
  const std::string marker = "vantrel-collect: listening on ";
  if (!waitFor([&] { return countOf(child.output(), marker) >= listeners; }, std::chrono::seconds(5))) {
    return false;
  }
  const std::string out = child.output();
  for (size_t line = out.find(marker); line != std::string::npos; line = out.find(marker, line + 1)) {
    const size_t at = out.find(':', line + marker.size());
    const uint16_t got = static_cast<uint16_t>(std::stoul(out.substr(at + 1)));
    if (port == 0) port = got;
    if (out.compare(out.find('\n', at) - 6, 6, " (TCP)") == 0) tcpPort = got;
  }
  return true;
}

std::vector<std::string> CollectorProcess::lines(char first) const {
  std::vector<std::string> out;
  std::istringstream in(child.output());
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] == first) out.push_back(line);
  }
  return out;
}

std::vector<Json::Value> CollectorProcess::flows() const {
  std::vector<Json::Value> out;
  for (const std::string& line : lines()) out.push_back(parseJson(line));
  return out;
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

testing::AssertionResult inOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& part : parts) {
    const size_t found = text.find(part, at);
    if (found == std::string::npos) {
      return testing::AssertionFailure() << "missing or out of order: " << part << "\nin:\n" << text;
    }
    at = found + part.size();
  }
  return testing::AssertionSuccess();
}

Json::Value parseJson(const std::string& text) {
  Json::Value doc;
  std::string errors;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &errors)) << errors << "\n" << text;
  return doc;
}

int digestGet(uint16_t port, const std::string& target, const std::string& userPass, std::string* body) {
  TempDir dir;
  std::string status;
  const std::string command = "curl -s -g --digest -u '" + userPass + "' -o '" + dir.file("body") +
                              "' -w '%{http_code}' 'http://127.0.0.1:" + std::to_string(port) + target + "'";
  if (runCommand(command, &status) != 0) return 0;
  if (body != nullptr) *body = readFile(dir.file("body"));
  return atoi(status.c_str());
}

uint16_t collectorWebPort(const ChildProcess& collector) {
  const std::string out = collector.output();
  const std::string marker = "vantrel-collect: web view on http://127.0.0.1:";
  const size_t at = out.find(marker);
  return at == std::string::npos ? 0 : static_cast<uint16_t>(atoi(out.c_str() + at + marker.size()));
}
