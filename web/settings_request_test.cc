#include "web/settings_request.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "runtime/settings.h"
#include "runtime/state.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Query arguments as the library hands them over: the name has already been
// matched, the value decoded; a missing entry is an absent argument.
ArgumentLookup argumentsOf(const std::map<std::string, std::string>& args) {
  return [args](const char* name) -> const char* {
    auto it = args.find(name);
    return it == args.end() ? nullptr : it->second.c_str();
  };
}

Json::Value defaultSettings() {
  Json::Value doc(Json::objectValue);
  doc["listenerIP"] = "";
  doc["receiverIP"] = "0.0.0.0";
  doc["receiverPort"] = 2055;
  doc["httpPort"] = 7909;
  doc["user"] = "admin";
  doc["pass"] = "qolpe";
  return doc;
}

TEST(PortFromText, WholeDecimalNumberFromOneTo65535AndNothingElse) {
  const std::map<std::string, int32_t> good = {{"1", 1}, {"7909", 7909}, {"65535", 65535}, {"00080", 80}};
  for (const auto& [text, port] : good) {
    int32_t value = 77;
    EXPECT_TRUE(portFromText(text.c_str(), value)) << "input: \"" << text << "\"";
    EXPECT_EQ(value, port) << "input: \"" << text << "\"";
  }
  for (const char* text : {"", "0", "65536", "70000", "99999", "-1", "+80", " 80", "80 ", "8080abc", "1e3", "0x10",
                           "4294967296", "99999999999999999999", "8.0"}) {
    int32_t value = 77;
    EXPECT_FALSE(portFromText(text, value)) << "input: \"" << text << "\"";
    EXPECT_EQ(value, 77) << "input: \"" << text << "\"";
  }
}

TEST(HasSettingsArgument, AnyOfTheEightWithAValue) {
  EXPECT_FALSE(hasSettingsArgument(argumentsOf({})));
  EXPECT_FALSE(hasSettingsArgument(argumentsOf({{"requestedData", "flows"}, {"user", "x"}})));
  for (const char* name :
       {"httpPort", "receiverPort", "userPass", "receiverIP", "listenerIP", "exportFormat", "exportTransport",
        "savesettings"}) {
    EXPECT_TRUE(hasSettingsArgument(argumentsOf({{name, ""}}))) << name;
  }
}

TEST(SettingsChanges, ConsoleLinesAndChangedMembers) {
  struct Row {
    const char* what;
    std::map<std::string, std::string> args;
    const char* console;
    const char* changes;         // compact JSON of the members to store
    const char* current = "{}";  // members that differ from the defaults
  };
  const Row rows[] = {
      {"nothing", {}, "", "{}"},
      {"same port", {{"httpPort", "7909"}}, "httpPort 7909 specified\n", "{}"},
      {"port with letters",
       {{"httpPort", "8080abc"}},
       "httpPort 8080abc specified\nhttpPort 8080abc is not a port number from 1 to 65535; httpPort unchanged\n",
       "{}"},
      {"port out of range",
       {{"receiverPort", "99999"}},
       "receiverPort 99999 specified\nreceiverPort 99999 is not a port number from 1 to 65535; receiverPort unchanged\n",
       "{}"},
      {"password not UTF-8", {{"userPass", "p\xe4ss"}},
       "userPass specified4\nuserPass is not valid UTF-8 text; pass unchanged\n", "{}"},
      {"password in UTF-8", {{"userPass", "p\xc3\xa4ss"}}, "userPass specified5\n", R"({"pass":"p\u00e4ss"})"},
      {"empty password", {{"userPass", ""}}, "userPass specified0\n", "{}"},
      {"same password", {{"userPass", "qolpe"}}, "userPass specified5\n", "{}"},
      {"new password", {{"userPass", "s3cret!"}}, "userPass specified7\n", R"({"pass":"s3cret!"})"},
      {"empty addresses",
       {{"receiverIP", ""}, {"listenerIP", ""}},
       "receiverIP  specified\nlistenerIP  specified\n",
       R"({"receiverIP":""})"},
      {"all five in order",
       {{"listenerIP", "10.0.0.2"},
        {"receiverIP", "10.0.0.9"},
        {"userPass", "pw"},
        {"receiverPort", "2056"},
        {"httpPort", "7910"}},
       "httpPort 7910 specified\nreceiverPort 2056 specified\nuserPass specified2\n"
       "receiverIP 10.0.0.9 specified\nlistenerIP 10.0.0.2 specified\n",
       R"({"httpPort":7910,"listenerIP":"10.0.0.2","pass":"pw","receiverIP":"10.0.0.9","receiverPort":2056})"},
      {"savesettings alone", {{"savesettings", "1"}}, "", "{}"},
      {"ipfix", {{"exportFormat", "ipfix"}}, "exportFormat ipfix specified\n", R"({"exportFormat":"ipfix"})"},
      {"native while the member is absent", {{"exportFormat", "native"}}, "exportFormat native specified\n", "{}"},
      {"format in other letter case",
       {{"exportFormat", "IPFIX"}},
       "exportFormat IPFIX specified\nexportFormat IPFIX is neither native nor ipfix; exportFormat unchanged\n",
       "{}"},
      {"format after listenerIP",
       {{"exportFormat", "ipfix"}, {"listenerIP", "10.0.0.2"}},
       "listenerIP 10.0.0.2 specified\nexportFormat ipfix specified\n",
       R"({"exportFormat":"ipfix","listenerIP":"10.0.0.2"})"},
      {"ipfix again", {{"exportFormat", "ipfix"}}, "exportFormat ipfix specified\n", "{}",
       R"({"exportFormat":"ipfix"})"},
      {"ipfix back to native", {{"exportFormat", "native"}}, "exportFormat native specified\n",
       R"({"exportFormat":"native"})", R"({"exportFormat":"ipfix"})"},
      {"native to ipfix", {{"exportFormat", "ipfix"}}, "exportFormat ipfix specified\n",
       R"({"exportFormat":"ipfix"})", R"({"exportFormat":"native"})"},
      {"unknown format to native", {{"exportFormat", "native"}}, "exportFormat native specified\n",
       R"({"exportFormat":"native"})", R"({"exportFormat":"xml"})"},
      {"tcp with ipfix", {{"exportFormat", "ipfix"}, {"exportTransport", "tcp"}},
       "exportFormat ipfix specified\nexportTransport tcp specified\n",
       R"({"exportFormat":"ipfix","exportTransport":"tcp"})"},
      {"udp while the member is absent", {{"exportTransport", "udp"}}, "exportTransport udp specified\n", "{}"},
      {"tcp back to udp", {{"exportTransport", "udp"}}, "exportTransport udp specified\n",
       R"({"exportTransport":"udp"})", R"({"exportTransport":"tcp"})"},
      {"transport of another name",
       {{"exportTransport", "TCP"}},
       "exportTransport TCP specified\nexportTransport TCP is neither udp nor tcp; exportTransport unchanged\n", "{}"},
      {"current settings of the wrong type read as their defaults",
       {{"httpPort", "7909"}, {"userPass", "qolpe"}},
       "httpPort 7909 specified\n"
       "Setting httpPort should be a port number from 1 to 65535 but holds \"7909\"; using 7909\n"
       "userPass specified5\n"
       "Setting pass should be a string but holds ********; using ********\n",
       "{}", R"({"httpPort":"7909","pass":5})"},
  };
  Json::StreamWriterBuilder compact;
  compact["indentation"] = "";
  for (const Row& row : rows) {
    Json::Value current = defaultSettings(), differ;
    Json::Reader().parse(row.current, differ);
    for (const std::string& name : differ.getMemberNames()) current[name] = differ[name];
    CaptureStdout();
    const Json::Value changes = settingsChanges(current, argumentsOf(row.args));
    EXPECT_EQ(GetCapturedStdout(), row.console) << row.what;
    EXPECT_EQ(Json::writeString(compact, changes), row.changes) << row.what;
  }
}

// Runs in a folder of its own with the default settings in memory.
class ApplySettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantrel-web-XXXXXX";
    dir_ = mkdtemp(pattern);
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    previous_ = here;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    std::lock_guard<std::mutex> lock(settingsMutex);
    settings = defaultSettings();
  }
  void TearDown() override {
    ASSERT_EQ(chdir(previous_.c_str()), 0);
    ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
    keepSniffing = false;
    keepSendingExports = true;
  }
  static std::string fileText() {
    std::ifstream in(kSettingsFileName, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::string dir_, previous_;
};

TEST_F(ApplySettingsTest, SeveralChangesMakeOneSaveWithThePasswordMasked) {
  CaptureStdout();
  applySettingsArgsWith(argumentsOf({{"receiverIP", "10.1.1.1"}, {"receiverPort", "9995"}, {"userPass", "new"}}));
  EXPECT_EQ(GetCapturedStdout(),
            "receiverPort 9995 specified\n"
            "userPass specified3\n"
            "receiverIP 10.1.1.1 specified\n"
            "Saving new settings:{\n"
            "\t\"httpPort\" : 7909,\n"
            "\t\"listenerIP\" : \"\",\n"
            "\t\"pass\" : \"********\",\n"
            "\t\"receiverIP\" : \"10.1.1.1\",\n"
            "\t\"receiverPort\" : 9995,\n"
            "\t\"user\" : \"admin\"\n"
            "}\n");
  EXPECT_EQ(fileText(),
            "{\n   \"httpPort\" : 7909,\n   \"listenerIP\" : \"\",\n   \"pass\" : \"new\",\n"
            "   \"receiverIP\" : \"10.1.1.1\",\n   \"receiverPort\" : 9995,\n   \"user\" : \"admin\"\n}");
  EXPECT_EQ(settingValue("pass"), Json::Value("new"));
}

TEST_F(ApplySettingsTest, ExportFormatIsSavedWithTheOtherChanges) {
  CaptureStdout();
  applySettingsArgsWith(argumentsOf({{"exportFormat", "ipfix"}, {"receiverIP", "10.1.1.1"}}));
  EXPECT_EQ(GetCapturedStdout().rfind("receiverIP 10.1.1.1 specified\nexportFormat ipfix specified\n"
                                      "Saving new settings:{\n\t\"exportFormat\" : \"ipfix\",\n\t\"httpPort\"",
                                      0),
            0u);
  EXPECT_EQ(fileText().rfind("{\n   \"exportFormat\" : \"ipfix\",\n   \"httpPort\" : 7909,", 0), 0u) << fileText();
}

TEST_F(ApplySettingsTest, NoChangeWritesNoFileAndOnlyChangedMembersAreWrittenBack) {
  CaptureStdout();
  applySettingsArgsWith(argumentsOf({{"httpPort", "7909"}, {"userPass", ""}, {"receiverPort", "x"}}));
  EXPECT_EQ(access(kSettingsFileName, F_OK), -1);
  setSetting("extra", Json::Value(1));  // changed meanwhile
  applySettingsArgsWith(argumentsOf({{"listenerIP", "10.0.0.3"}}));
  GetCapturedStdout();
  EXPECT_EQ(settingValue("extra"), Json::Value(1));
  EXPECT_EQ(settingValue("listenerIP"), Json::Value("10.0.0.3"));
}

TEST_F(ApplySettingsTest, RestartWaitsForBothThreadsWithoutHoldingTheSettingsLock) {
  // Stand-ins for the capture and export runs: each runs until told to stop,
  // then takes a little while to get there, reading the settings meanwhile.
  keepSniffing = true;
  keepSendingExports = true;
  snifferRunning = true;
  exporterRunning = true;
  auto worker = [](std::atomic<bool>& keep, std::atomic<bool>& running) {
    while (keep) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < 5; ++i) {
      settingValue("listenerIP");
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    running = false;
  };
  std::thread sniffer(worker, std::ref(keepSniffing), std::ref(snifferRunning));
  std::thread exporter(worker, std::ref(keepSendingExports), std::ref(exporterRunning));

  CaptureStdout();
  applySettingsArgsWith(argumentsOf({{"savesettings", ""}}));
  const std::string out = GetCapturedStdout();
  sniffer.join();
  exporter.join();

  // The restart polls each worker ("(ws)", "(we)") until it has stopped;
  // workers that are not running are not waited for.
  const auto restart = [](const std::string& polls) {
    return std::regex("Saving settings restart:\\{[^}]*\\}\nRe-Starting Sniffer\nStopping sniffer\n(\\(ws\\))" + polls +
                      "Stopped sniffer,restarting\nRe-Starting Exporter\nStopping Exporter\n(\\(we\\))" + polls +
                      "Stopped Exporter,restarting\n");
  };
  EXPECT_TRUE(std::regex_match(out, restart("+"))) << out;
  EXPECT_TRUE(keepSniffing);
  EXPECT_TRUE(keepSendingExports);
  EXPECT_EQ(access(kSettingsFileName, F_OK), -1) << "a restart alone saves nothing";
  CaptureStdout();
  restartCaptureAndExport();
  const std::string again = GetCapturedStdout();
  EXPECT_TRUE(std::regex_match(again, restart("{0}"))) << again;
}

}  // namespace
