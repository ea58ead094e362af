// The monitor started as a process: start-up sequence, settings file paths,
// idle supervisors, a namespace without addresses.

#include <thread>

#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

TEST(Startup, EmptyFolderWritesDefaultsAndPrintsSequence) {
  REQUIRE_ROOT();
  Netns ns("vt-start");
  TempDir dir;
  ChildProcess monitor;
  ASSERT_TRUE(startMonitor(monitor, dir, ns, "")) << monitor.output();
  EXPECT_FALSE(readFile(dir.file("vantrelsettings.json")).empty()) << "defaults written";
  EXPECT_TRUE(inOrder(monitor.output(), {"While opening a file an error is encountered\n",
                                         "\t\"pass\" : \"********\",\n", "Calling startHTTPDaemon\n",
                                         "startHTTPDaemon on port 7909!\n", "Calling startSniffer\n",
                                         "startSniffer listening on at \"\" , sending to \"0.0.0.0\" port 2055\n",
                                         "In main\n"}));
  EXPECT_EQ(monitor.output().find("qolpe"), std::string::npos) << "password printed";
}

TEST(Startup, ListenerOffIdlesAndWrongTypedPortKeepsRunning) {
  REQUIRE_ROOT();
  Netns ns("vt-start");
  TempDir dir;
  ChildProcess monitor;
  ASSERT_TRUE(startMonitor(monitor, dir, ns,
                           "{\"listenerIP\": \"0.0.0.0\", \"receiverPort\": \"2055\", \"httpPort\": 7909}"));
  std::this_thread::sleep_for(milliseconds(1800));
  EXPECT_TRUE(monitor.running()) << monitor.output();
  EXPECT_EQ(countOf(monitor.output(), "Not listening as ip is incorrect \"0.0.0.0\"\n"), 1u)
      << "shown once, then once a minute with a count\n" << monitor.output();
}

TEST(Startup, UnusablePortsAndAddressesAreRefusedWithALine) {
  REQUIRE_ROOT();
  struct Row {
    const char* file;
    bool portTaken;  // something else listens on 7909 first
    std::vector<const char*> lines;
  };
  const Row rows[] = {
      {R"({"listenerIP": "localhost", "receiverIP": "999.1.1.1", "httpPort": 70000})", false,
       {"Setting httpPort should be a port number from 1 to 65535 but holds 70000; using 7909\n",
        "startHTTPDaemon on port 7909!\n", "Not listening as ip is incorrect \"localhost\"\n",
        "Not exporting as ip is incorrect \"999.1.1.1\"\n"}},
      {R"({"listenerIP": "0.0.0.0", "receiverIP": "localhost", "httpPort": 7909})", true,
       {"startHTTPDaemon Null!\nThe web interface is off: Failed to bind to port 7909: Address already in use\n",
        "Not exporting as ip is incorrect \"localhost\"\n"}},
  };
  for (const Row& row : rows) {
    Netns ns("vt-start");
    TempDir dir;
    ChildProcess holder, monitor;
    if (row.portTaken) {
      ASSERT_TRUE(holder.start({"python3", "-c", "import socket,time\ns=socket.socket()\ns.bind(('',7909))\n"
                                "s.listen()\nprint('bound',flush=True)\ntime.sleep(30)"},
                               dir.path, dir.file("holder.log"), ns.name));
      ASSERT_TRUE(waitFor([&] { return holder.output() == "bound\n"; }, milliseconds(5000))) << holder.output();
    }
    ASSERT_TRUE(startMonitor(monitor, dir, ns, row.file, row.lines.back())) << row.file << "\n" << monitor.output();
    for (const char* line : row.lines) EXPECT_NE(monitor.output().find(line), std::string::npos) << line;
    EXPECT_EQ(monitor.output().find("as ip is correct"), std::string::npos) << monitor.output();
  }
}

TEST(Startup, NoIpv4AddressGoesOnAfterTheNoDataLines) {
  REQUIRE_ROOT();
  Netns ns("vt-start");
  ns.exec("ip link set lo down");
  ns.exec("ip addr flush dev lo");
  TempDir dir;
  ChildProcess monitor;
  ASSERT_TRUE(startMonitor(monitor, dir, ns, "")) << monitor.output();
  EXPECT_EQ(monitor.output().rfind("Calling GetAdaptersAddresses function with family = AF_INET\n"
                                   "Call to GetAdaptersAddresses failed with error: 232\n"
                                   "\tNo addresses were found for the requested parameters\n",
                                   0),
            0u)
      << monitor.output();
  EXPECT_TRUE(monitor.running());
}

}  // namespace
