#include "runtime/settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "runtime/console.h"

namespace {

using testing::HasSubstr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::string readAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeAll(const char* path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

const char kDefaultFile[] =
    "{\n   \"httpPort\" : 7909,\n   \"listenerIP\" : \"\",\n   \"pass\" : \"qolpe\",\n"
    "   \"receiverIP\" : \"0.0.0.0\",\n   \"receiverPort\" : 2055,\n   \"user\" : \"admin\"\n}";

// Each test runs in a fresh folder with an empty settings document.
class SettingsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantrel-settings-XXXXXX";
    dir_ = mkdtemp(pattern);
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    previous_ = here;
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    std::lock_guard<std::mutex> lock(settingsMutex);
    settings = Json::Value();
  }
  void TearDown() override {
    ASSERT_EQ(chdir(previous_.c_str()), 0);
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string load() {
    CaptureStdout();
    loadSettings();
    return GetCapturedStdout();
  }
  std::string dir_, previous_;
};

TEST_F(SettingsTest, MissingFileIsCreatedWithTheSixDefaults) {
  std::string out = load();
  EXPECT_EQ(readAll(kSettingsFileName), kDefaultFile);
  EXPECT_EQ(out,
            "While opening a file an error is encountered\n"
            "{\n\t\"httpPort\" : 7909,\n\t\"listenerIP\" : \"\",\n\t\"pass\" : \"********\",\n"
            "\t\"receiverIP\" : \"0.0.0.0\",\n\t\"receiverPort\" : 2055,\n\t\"user\" : \"admin\"\n}\n");
  EXPECT_EQ(settingString("pass"), "qolpe") << "the document keeps the real password";
}

TEST_F(SettingsTest, EmptyObjectGetsDefaultsInMemoryOnly) {
  writeAll(kSettingsFileName, "{}");
  std::string out = load();
  EXPECT_THAT(out, HasSubstr("Settings file vantrelsettings.json found \n"
                             "setting default listenerIP \n"
                             "setting default receiverIP 0.0.0.0\n"
                             "setting default receiverPort 2055\n"
                             "setting default httpPort 7909\n{"));
  EXPECT_EQ(readAll(kSettingsFileName), "{}");
  EXPECT_EQ(settingString("user"), "admin");
  EXPECT_EQ(settingString("pass"), "qolpe");
  EXPECT_EQ(settingPort("receiverPort"), 2055);
}

TEST_F(SettingsTest, NullMembersCountAsPresent) {
  writeAll(kSettingsFileName, "{\"listenerIP\": null}");
  EXPECT_THAT(load(), testing::Not(HasSubstr("setting default listenerIP")));
  EXPECT_TRUE(settingValue("listenerIP").isNull());
}

TEST_F(SettingsTest, CommentsAndExtraMembersSurviveASave) {
  writeAll(kSettingsFileName,
           "{\n  // where we listen\n  \"listenerIP\": \"10.0.0.1\", \"receiverIP\": \"10.0.0.2\",\n"
           "  \"receiverPort\": 2055, \"httpPort\": 7909, \"user\": \"u\", \"pass\": \"p\",\n"
           "  \"site\": {\"rack\": 4}\n}");
  std::string out = load();
  EXPECT_THAT(out, testing::Not(HasSubstr("setting default")));
  setSetting("receiverPort", 2056);
  saveSettings();
  const std::string saved = readAll(kSettingsFileName);
  EXPECT_THAT(saved, HasSubstr("// where we listen\n   \"listenerIP\" : \"10.0.0.1\""));
  EXPECT_THAT(saved, HasSubstr("\"site\" : \n   {\n      \"rack\" : 4\n   }"));
  EXPECT_THAT(saved, HasSubstr("\"receiverPort\" : 2056"));
  EXPECT_NE(saved.back(), '\n');
}

TEST_F(SettingsTest, FailedSaveSaysSoAndLeavesTheFolder) {
  load();
  // A folder in the file's place: the rename over it fails.
  ASSERT_EQ(remove(kSettingsFileName), 0);
  ASSERT_EQ(mkdir(kSettingsFileName, 0700), 0);
  writeAll("vantrelsettings.json/keep", "x");
  setSetting("user", "changed");
  CaptureStdout();
  EXPECT_FALSE(saveSettings());
  EXPECT_EQ(GetCapturedStdout(), "Settings not saved: vantrelsettings.json cannot be written (Is a directory); "
                                 "the new values last until the program ends\n");
  EXPECT_EQ(readAll("vantrelsettings.json/keep"), "x");
}

TEST_F(SettingsTest, SaveReplacesTheFileWholeKeepingItsModeAndANewFileIsPrivate) {
  for (const mode_t mode : {0600, 0640, 0604}) {
    writeAll(kSettingsFileName, std::string(5000, ' ') + "{}");
    ASSERT_EQ(chmod(kSettingsFileName, mode), 0);
    load();
    setSetting("user", "bob");
    EXPECT_TRUE(saveSettings());
    struct stat st;
    ASSERT_EQ(stat(kSettingsFileName, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, mode) << std::oct << mode;
  }
  ASSERT_EQ(remove(kSettingsFileName), 0);
  EXPECT_TRUE(saveSettings());
  struct stat st;
  ASSERT_EQ(stat(kSettingsFileName, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(readAll(kSettingsFileName), settingsFileText(settingsSnapshot()));
  EXPECT_EQ(settingsFileText(settingsSnapshot()).find("\"user\" : \"bob\"") != std::string::npos, true);
}

TEST_F(SettingsTest, UnusableFilesEndTheProcessWithStatusOne) {
  for (const std::string& text :
       {std::string(), std::string("{\"a\": }"), std::string("[1]"), std::string("\"text\""), std::string(20000, '['),
        "{\"x\": \"" + std::string(kSettingsFileLimit, 'a') + "\"}", std::string("{\"user\": \"\xe4\"}"),
        std::string("{\"pass\": \"p\xe4ss\"}")}) {
    writeAll(kSettingsFileName, text);
    EXPECT_EXIT(loadSettings(), testing::ExitedWithCode(1), "") << "file: " << text.substr(0, 20);
  }
}

TEST(TypedSettingReads, WrongTypesFallBackToTheDefaultWithOneLine) {
  struct Case {
    const char* json;
    bool wantInt;
    const char* message;
  } cases[] = {
      {"{\"receiverPort\": \"2056\"}", true, "\"2056\""},
      {"{\"receiverPort\": 3.5}", true, "3.5"},
      {"{\"receiverPort\": 4294967296}", true, "4294967296"},
      {"{\"receiverPort\": 70000}", true, "70000"},
      {"{\"receiverPort\": 65536}", true, "65536"},
      {"{\"receiverPort\": 0}", true, "0"},
      {"{\"receiverPort\": -1}", true, "-1"},
      {"{}", true, "null"},
      {"{\"receiverIP\": 12}", false, "Setting receiverIP should be a string but holds 12; using \"0.0.0.0\"\n"},
      {"{\"receiverIP\": null}", false,
       "Setting receiverIP should be a string but holds null; using \"0.0.0.0\"\n"},
  };
  for (const Case& c : cases) {
    Json::Value doc;
    Json::Reader().parse(c.json, doc);
    CaptureStdout();
    if (c.wantInt) {
      EXPECT_EQ(readPortMember(doc, "receiverPort", 2055), 2055) << c.json;
      EXPECT_EQ(GetCapturedStdout(), std::string("Setting receiverPort should be a port number from 1 to 65535 but "
                                                 "holds ") + c.message + "; using 2055\n") << c.json;
    } else {
      EXPECT_EQ(readStringMember(doc, "receiverIP", "0.0.0.0"), "0.0.0.0") << c.json;
      EXPECT_EQ(GetCapturedStdout(), c.message) << c.json;
    }
  }
  Json::Value ok;
  ok["receiverPort"] = 65535;
  ok["receiverIP"] = "10.1.2.3";
  CaptureStdout();
  EXPECT_EQ(readPortMember(ok, "receiverPort", 2055), 65535);
  EXPECT_EQ(readStringMember(ok, "receiverIP", "0.0.0.0"), "10.1.2.3");
  EXPECT_EQ(GetCapturedStdout(), "");
}

// A flag files may leave out: only a JSON boolean counts; absence is silent.
TEST(TypedSettingReads, FlagsAreBooleansAndMayBeAbsent) {
  const struct {
    const char* json;
    bool value;
    const char* message;
  } cases[] = {
      {"{}", true, ""},
      {"{\"captureIPv6\": null}", true, ""},
      {"{\"captureIPv6\": false}", false, ""},
      {"{\"captureIPv6\": true}", true, ""},
      {"{\"captureIPv6\": \"false\"}", true,
       "Setting captureIPv6 should be true or false but holds \"false\"; using true\n"},
      {"{\"captureIPv6\": 0}", true, "Setting captureIPv6 should be true or false but holds 0; using true\n"},
  };
  for (const auto& c : cases) {
    Json::Value doc;
    Json::Reader().parse(c.json, doc);
    CaptureStdout();
    EXPECT_EQ(readFlagMember(doc, "captureIPv6", true), c.value) << c.json;
    EXPECT_EQ(GetCapturedStdout(), c.message) << c.json;
  }
}

}  // namespace
