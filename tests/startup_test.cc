// The monitor started as a process: start-up sequence, settings file paths,
// idle supervisors.
#include <signal.h>
#include <sys/wait.h>

#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

// Starts the monitor in `dir` inside a namespace with only loopback.
struct Monitor {
  Netns ns{"vt-start"};
  ChildProcess child;
  bool start(const TempDir& dir) {
    return child.start({binaryPath("vantrel")}, dir.path, dir.file("console.log"), ns.name);
  }
};

TEST(Startup, EmptyFolderWritesDefaultsAndPrintsSequence) {
  REQUIRE_ROOT();
  TempDir dir;
  Monitor m;
  ASSERT_TRUE(m.start(dir));
  ASSERT_TRUE(waitFor([&] { return m.child.output().find("In main\n") != std::string::npos; }, milliseconds(5000)))
      << m.child.output();
  EXPECT_EQ(readFile(dir.file("vantrelsettings.json")),
            "{\n   \"httpPort\" : 7909,\n   \"listenerIP\" : \"\",\n   \"pass\" : \"qolpe\",\n"
            "   \"receiverIP\" : \"0.0.0.0\",\n   \"receiverPort\" : 2055,\n   \"user\" : \"admin\"\n}");
  const std::string out = m.child.output();
  const char* sequence[] = {"While opening a file an error is encountered\n",
                            "\t\"pass\" : \"********\",\n",
                            "Calling startHTTPDaemon\n",
                            "startHTTPDaemon on port 7909!\n",
                            "Calling startSniffer\n",
                            "startSniffer listening on at \"\" , sending to \"0.0.0.0\" port 2055\n",
                            "In main\n"};
  size_t at = 0;
  for (const char* line : sequence) {
    size_t found = out.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << out;
    at = found + strlen(line);
  }
  EXPECT_EQ(out.find("qolpe"), std::string::npos) << "password printed";
}

TEST(Startup, EmptyObjectFileGetsFourDefaultMessagesAndStaysUnchanged) {
  REQUIRE_ROOT();
  TempDir dir;
  writeFile(dir.file("vantrelsettings.json"), "{}");
  Monitor m;
  ASSERT_TRUE(m.start(dir));
  ASSERT_TRUE(waitFor([&] { return m.child.output().find("In main\n") != std::string::npos; }, milliseconds(5000)));
  EXPECT_NE(m.child.output().find("Settings file vantrelsettings.json found \n"
                                  "setting default listenerIP \n"
                                  "setting default receiverIP 0.0.0.0\n"
                                  "setting default receiverPort 2055\n"
                                  "setting default httpPort 7909\n"),
            std::string::npos)
      << m.child.output();
  EXPECT_EQ(readFile(dir.file("vantrelsettings.json")), "{}");
}

TEST(Startup, UnusableSettingsFileEndsWithStatusOne) {
  REQUIRE_ROOT();

  for (const char* text : {"", "{\"httpPort\": ", "[1, 2]", "42"}) {
    TempDir dir;
    writeFile(dir.file("vantrelsettings.json"), text);
    Monitor m;
    ASSERT_TRUE(m.start(dir));
    int status = m.child.wait(milliseconds(5000));
    ASSERT_TRUE(WIFEXITED(status)) << "for file text: " << text;
    EXPECT_EQ(WEXITSTATUS(status), 1) << "for file text: " << text;
    EXPECT_EQ(m.child.output().find("startHTTPDaemon"), std::string::npos) << m.child.output();
  }

  TempDir dir;
  writeFile(dir.file("vantrelsettings.json"), std::string(100000, '['));
  Monitor m;
  ASSERT_TRUE(m.start(dir));
  int status = m.child.wait(milliseconds(5000));
  ASSERT_TRUE(WIFEXITED(status)) << "deeply nested file must not abort";
  EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(Startup, ListenerOffIdlesAndWrongTypedPortKeepsRunning) {
  REQUIRE_ROOT();
  TempDir dir;
  writeFile(dir.file("vantrelsettings.json"),
            "{\"listenerIP\": \"0.0.0.0\", \"receiverPort\": \"2055\", \"httpPort\": 7909}");
  Monitor m;
  ASSERT_TRUE(m.start(dir));
  std::this_thread::sleep_for(milliseconds(1800));
  EXPECT_TRUE(m.child.running()) << m.child.output();
  const std::string out = m.child.output();
  size_t idle = 0;
  for (size_t at = out.find("Not listening as ip is incorrect \"0.0.0.0\"\n"); at != std::string::npos;
       at = out.find("Not listening as ip is incorrect \"0.0.0.0\"\n", at + 1))
    ++idle;
  EXPECT_EQ(idle, 1u) << "shown once, then once a minute with a count\n" << out;
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
    TempDir dir;
    writeFile(dir.file("vantrelsettings.json"), row.file);
    Monitor m;
    ChildProcess holder;
    if (row.portTaken) {
      ASSERT_TRUE(holder.start({"python3", "-c", "import socket,time\ns=socket.socket()\ns.bind(('',7909))\n"
                                "s.listen()\nprint('bound',flush=True)\ntime.sleep(30)"},
                               dir.path, dir.file("holder.log"), m.ns.name));
      ASSERT_TRUE(waitFor([&] { return holder.output() == "bound\n"; }, milliseconds(5000))) << holder.output();
    }
    ASSERT_TRUE(m.start(dir));
    ASSERT_TRUE(waitFor([&] { return m.child.output().find(row.lines.back()) != std::string::npos; },
                        milliseconds(5000)))
        << row.file << "\n" << m.child.output();
    for (const char* line : row.lines) EXPECT_NE(m.child.output().find(line), std::string::npos) << line;
    EXPECT_EQ(m.child.output().find("as ip is correct"), std::string::npos) << m.child.output();
  }
}

}  // namespace
