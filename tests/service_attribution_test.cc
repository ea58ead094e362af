// The service and container of each flow's owner, with the monitor watching
// a veth link: client programs run in cgroups this test makes under the
// cgroup v2 hierarchy, with systemd-like and container-like names, and open
// TCP and UDP flows to the far end. Every record names the service and
// container of its program's cgroup, through the kernel's owner events and,
// with ownerEvents false, through the socket tables; a program moved to
// another cgroup while it runs names its new flows by the new group.
#include <sys/stat.h>
#include <unistd.h>

#include <json/json.h>

#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

constexpr const char* kNear = "10.205.3.1";
constexpr const char* kFar = "10.205.3.2";
constexpr uint16_t kPeerPort = 5301;
constexpr int kWebPort = 17913;
const std::string kContainerId = "4f1c0a9e2b7d8c6e5a3b1d0f9e8c7b6a5d4c3b2a1f0e9d8c7b6a5f4e3d2c1b0a";
const std::string kPodUid = "6f2c4a1e-3b5d-4e7f-9a8b-1c2d3e4f5a6b";

// Where the cgroup v2 hierarchy is mounted here ("" when it is not).
std::string cgroupRoot() {
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point, word, type;
    fields >> id >> parent >> device >> root >> point;
    while (fields >> word && word != "-") {
    }
    fields >> type;
    if (type == "cgroup2" && root == "/") return point;
  }
  return "";
}

// Cgroups made below a folder of this test's own, removed with it (once the
// processes in them have ended: declare it before the processes).
struct CgroupTree {
  explicit CgroupTree(const std::string& root) : top(root + "/vtsvc" + std::to_string(getpid())) {}
  ~CgroupTree() {
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
      waitFor([&] { return rmdir(it->c_str()) == 0 || errno == ENOENT; }, milliseconds(3000));
    }
  }
  // Makes `relative` and its parents; returns its path.
  std::string make(const std::string& relative) {
    std::string path = top;
    if (mkdir(path.c_str(), 0755) == 0) made.push_back(path);
    std::istringstream parts(relative);
    std::string part;
    while (std::getline(parts, part, '/')) {
      path += "/" + part;
      if (mkdir(path.c_str(), 0755) == 0) made.push_back(path);
    }
    return path;
  }
  static bool move(pid_t pid, const std::string& group) {
    std::ofstream procs(group + "/cgroup.procs");
    procs << pid << std::flush;
    return procs.good();
  }
  std::string top;
  std::vector<std::string> made;
};

// Opens three TCP connections and three UDP sockets to the peer once
// `go1` exists, keeps them, prints their local ports; then the same once
// `go2` exists, and waits.
const char* const kClient =
    "import os,socket,sys,time\n"
    "far, port, held = sys.argv[1], int(sys.argv[2]), []\n"
    "def round(go):\n"
    "  while not os.path.exists(go): time.sleep(0.02)\n"
    "  out = []\n"
    "  for i in range(3):\n"
    "    t = socket.create_connection((far, port)); t.sendall(b'q'); t.recv(4); held.append(t)\n"
    "    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.settimeout(2)\n"
    "    u.sendto(b'q', (far, port)); u.recv(4); held.append(u)\n"
    "    out += ['6:%d' % t.getsockname()[1], '17:%d' % u.getsockname()[1]]\n"
    "  print(' '.join(out), flush=True)\n"
    "round(sys.argv[3]); round(sys.argv[4])\n"
    "time.sleep(600)\n";

// Answers each TCP request and UDP query on kPeerPort.
const char* const kPeer =
    "import socket,select\n"
    "u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(('', 5301))\n"
    "l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); l.bind(('', 5301)); l.listen(64)\n"
    "print('ready', flush=True); conns = []\n"
    "while True:\n"
    "  for s in select.select([u, l] + conns, [], [])[0]:\n"
    "    if s is u: d, a = u.recvfrom(16); u.sendto(b'a', a)\n"
    "    elif s is l: conns.append(l.accept()[0])\n"
    "    else:\n"
    "      d = s.recv(16)\n"
    "      if d: s.sendall(b'a')\n"
    "      else: conns.remove(s); s.close()\n";

struct Group {
  std::string path;  // below the test's own folder
  std::string service, container;
};

struct Client {
  const char* name;
  const Group* first;
  const Group* second;  // the group it is moved to before its second round
};

// Runs every client with owner events on or off; every record of a client's
// flows must name the service and container of the group it was in when it
// opened them. Returns one line per record that did not.
std::string runClients(bool events) {
  const std::string root = cgroupRoot();
  if (root.empty()) return "no cgroup v2 hierarchy mounted";
  const Group web{"demo.slice/web.service", "web.service", ""};
  const Group docker{"system.slice/docker-" + kContainerId + ".scope", "docker-" + kContainerId + ".scope",
                     kContainerId.substr(0, 12)};
  std::string uid = kPodUid;
  for (char& c : uid) c = c == '-' ? '_' : c;
  const Group pod{"kubepods.slice/kubepods-burstable.slice/kubepods-burstable-pod" + uid + ".slice", "", kPodUid};
  const Client clients[] = {{"web", &web, &web}, {"docker", &docker, &docker}, {"pod", &pod, &pod},
                            {"moved", &web, &docker}};

  CgroupTree tree(root);
  std::map<const Group*, std::string> groupPath;
  for (const Group* g : {&web, &docker, &pod}) groupPath[g] = tree.make(g->path);
  Netns watched("vt-svc-a");
  Netns peer("vt-svc-b");
  linkNamespaces(watched, std::string(kNear) + "/24", peer, std::string(kFar) + "/24");
  TempDir dir;
  ChildProcess monitor;
  if (!startMonitor(monitor, dir, watched,
                    "{\"listenerIP\": \"\", \"receiverIP\": \"0.0.0.0\", \"httpPort\": " + std::to_string(kWebPort) +
                        ", \"user\": \"admin\", \"pass\": \"x\", \"ownerEvents\": " + (events ? "true" : "false") + "}",
                    "IO controls set!\n")) {
    return "the monitor did not start:\n" + monitor.output();
  }
  const char* source = events ? "Socket owners from kernel events, else from the socket tables\n"
                              : "ownerEvents is false: owners come from the socket tables only\n";
  if (monitor.output().find(source) == std::string::npos) return "owners from elsewhere:\n" + monitor.output();
  ChildProcess answering;
  answering.start({"/usr/bin/python3", "-c", kPeer}, dir.path, dir.file("peer.log"), peer.name);
  if (!waitFor([&] { return answering.output() == "ready\n"; }, milliseconds(5000))) return "no peer";

  ChildProcess running[std::size(clients)];
  for (size_t i = 0; i < std::size(clients); ++i) {
    const std::string go = dir.file(std::string(clients[i].name) + ".go");
    running[i].start({"/usr/bin/python3", "-c", kClient, kFar, std::to_string(kPeerPort), go + "1", go + "2"},
                     dir.path, dir.file(std::string(clients[i].name) + ".log"), watched.name);
  }

  // Each record of each flow, both directions, and the group it must name.
  struct Want {
    std::string key;  // proto src:port > dst:port
    const Group* group;
  };
  std::vector<Want> wants;
  std::map<std::string, Json::Value> records;
  const auto allNamed = [&] {
    std::string body;
    watched.exec("curl -s --max-time 5 --digest -u admin:x 'http://127.0.0.1:" + std::to_string(kWebPort) +
                     "/data/?requestedData=flows'",
                 &body);
    Json::Value doc;
    std::istringstream in(body);
    if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, nullptr)) return false;
    records.clear();
    for (const Json::Value& f : doc["flows"]) {
      records[f["proto"].asString() + " " + f["srcip"].asString() + ":" + f["srcport"].asString() + " > " +
              f["dstip"].asString() + ":" + f["dstport"].asString()] = f;
    }
    for (const Want& w : wants) {
      auto it = records.find(w.key);
      if (it == records.end() || it->second["processname"].asString().empty()) return false;
    }
    return true;
  };
  for (int round = 1; round <= 2; ++round) {
    for (size_t i = 0; i < std::size(clients); ++i) {
      const Group* group = round == 1 ? clients[i].first : clients[i].second;
      if (!CgroupTree::move(running[i].pid, groupPath[group])) return "cannot move a client into " + group->path;
      writeFile(dir.file(std::string(clients[i].name) + ".go" + std::to_string(round)), "");
      std::string ports;
      const auto printed = [&] {
        std::istringstream lines(running[i].output());
        std::string line;
        for (int n = 0; n < round; ++n) {
          if (!std::getline(lines, line)) return false;
        }
        ports = line;
        return true;
      };
      if (!waitFor(printed, milliseconds(5000))) return std::string(clients[i].name) + ": " + running[i].output();
      std::istringstream words(ports);
      std::string word;
      while (words >> word) {
        const std::string proto = word.substr(0, word.find(':')), port = word.substr(word.find(':') + 1);
        const std::string near = std::string(kNear) + ":" + port;
        const std::string far = std::string(kFar) + ":" + std::to_string(kPeerPort);
        wants.push_back({proto + " " + near + " > " + far, group});
        wants.push_back({proto + " " + far + " > " + near, group});
      }
    }
    // The socket tables name a flow by the cgroup its process is in when the
    // flow's owner is looked up: the move waits for the first round's owners.
    waitFor(allNamed, milliseconds(10000));
  }
  std::string wrong;
  for (const Want& w : wants) {
    auto it = records.find(w.key);
    const std::string got = it == records.end() ? "(no record)"
                                                : "'" + it->second["service"].asString() + "' '" +
                                                      it->second["container"].asString() + "'";
    if (got != "'" + w.group->service + "' '" + w.group->container + "'") {
      wrong += "\n  " + w.key + " of " + w.group->path + " named " + got;
    }
  }
  return wrong;
}

TEST(ServiceAttribution, RecordsNameTheServiceAndContainerOfTheirCgroupThroughEvents) {
  REQUIRE_ROOT();
  if (cgroupRoot().empty()) GTEST_SKIP() << "no cgroup v2 hierarchy mounted";
  EXPECT_EQ(runClients(true), "");
}

TEST(ServiceAttribution, RecordsNameTheServiceAndContainerOfTheirCgroupThroughSocketTables) {
  REQUIRE_ROOT();
  if (cgroupRoot().empty()) GTEST_SKIP() << "no cgroup v2 hierarchy mounted";
  EXPECT_EQ(runClients(false), "");
}

}  // namespace
