// The web interface of the running monitor, driven with curl inside a
// namespace of the test's own: Digest authentication, static files and their
// content types, refused paths, settings arguments and restarts.
#include <json/json.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <thread>

#include "platform/crypto.h"
#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

const char kAccessDenied[] = "<html><head><title>VantrelV2</title></head><body>Access denied</body></html>";
const char kNotFound[] = "<html><head><title>File not found</title></head><body>File not found</body></html>";
const char kOpaque[] = "opaque=\"5e2d90c7a41b38f6d0e7c2a95b14f83e6a0d7c29\"";
const char kIgnoredLine[] = "Settings arguments ignored: the request comes from another site\n";
const char kAuth[] = "--digest -u admin:qolpe ";

struct Reply {
  int curlExit = -1;
  int status = 0;
  std::string headers;  // of the last response only
  std::string body;
  // The value of header `name` (lower case), "" when absent.
  std::string header(const std::string& name) const {
    std::string lower = headers;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const size_t at = lower.find("\n" + name + ":");
    if (at == std::string::npos) return "";
    const size_t start = headers.find_first_not_of(' ', at + name.size() + 2);
    return headers.substr(start, headers.find('\r', start) - start);
  }
};

// The monitor in a TempDir inside a namespace with only loopback, its web
// folder filled with the test's own files.
class WebTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!runningAsRoot()) GTEST_SKIP() << "needs root (network namespaces)";
    web_ = dir_.path + "/resources/web";
    ASSERT_EQ(runCommand("mkdir -p '" + web_ + "/sub'"), 0);
    writeFile(web_ + "/index.html", "<p>index</p>");
    writeFile(web_ + "/style.css", "body{}");
    writeFile(web_ + "/a.js", "var a;");
    writeFile(web_ + "/empty.html", "");
    writeFile(web_ + "/sub/page.html", "<p>page</p>");
    std::string big;
    for (int i = 0; big.size() < 100000; ++i) big += std::to_string(i) + ",";
    writeFile(web_ + "/big.html", big);
    writeFile(dir_.file("secret.txt"), "top secret");
    ASSERT_EQ(runCommand("ln -s ../../secret.txt '" + web_ + "/link'"), 0);
  }

  // Writes the settings file and starts the monitor; returns once it answers.
  void start(const std::string& listenerIP = "0.0.0.0", const std::string& receiverIP = "0.0.0.0") {
    ASSERT_TRUE(startMonitor(child_, dir_, ns_,
                             "{\"listenerIP\": \"" + listenerIP + "\", \"receiverIP\": \"" + receiverIP +
                                 "\", \"receiverPort\": 2055, \"httpPort\": 7909, \"user\": \"admin\", "
                                 "\"pass\": \"qolpe\"}"))
        << output();
    ASSERT_EQ(get("", "/").status, 401) << output();
  }

  // One curl run; `options` go before the URL, `path` is sent as it stands.
  Reply get(const std::string& options, const std::string& path, const std::string& host = "127.0.0.1") {
    const int n = serial_.fetch_add(1);
    const std::string headerFile = dir_.file("h" + std::to_string(n)), bodyFile = dir_.file("b" + std::to_string(n));
    std::string code;
    Reply r;
    r.curlExit = ns_.exec("curl -s --path-as-is --max-time 20 -D " + headerFile + " -o " + bodyFile +
                              " -w '%{http_code}' " + options + " 'http://" + host + ":7909" + path + "'",
                          &code);
    r.status = atoi(code.c_str());
    std::string all = readFile(headerFile);
    size_t last = all.rfind("HTTP/1.");
    r.headers = last == std::string::npos ? "" : all.substr(last);
    r.body = readFile(bodyFile);
    return r;
  }

  std::string output() const { return child_.output(); }
  std::string settingsFile() const { return readFile(dir_.file("vantrelsettings.json")); }
  size_t count(const std::string& text) const { return countOf(output(), text); }

  TempDir dir_;
  Netns ns_{"vt-web"};
  ChildProcess child_;
  std::string web_;
  std::atomic<int> serial_{0};
};

TEST_F(WebTest, EveryMethodPathAndWrongCredentialGetsTheChallenge) {
  start();
  std::vector<std::pair<std::string, const char*>> requests;  // curl options, path
  for (const char* method : {"-X GET", "-X POST -d a=1", "-I", "-X PUT -d a=1", "-X DELETE", "-X OPTIONS"}) {
    for (const char* path :
         {"/", "/data/", "/missing.html", "/index.html?savesettings=1&receiverPort=9", "/%2e%2e/x"}) {
      requests.emplace_back(method, path);
    }
  }
  for (const char* wrong : {"root:qolpe", "Admin:qolpe", "admin:wrong", "admin:QOLPE", "admin:"}) {
    requests.emplace_back(std::string("--digest -u ") + wrong, "/data/?receiverPort=9");
  }
  for (const auto& [options, path] : requests) {
    const Reply r = get(options, path);
    const std::string what = options + " " + path;
    EXPECT_EQ(r.status, 401) << what;
    const std::string challenge = r.header("www-authenticate");
    EXPECT_EQ(challenge.rfind("Digest ", 0), 0u) << what << ": " << challenge;
    for (const char* part : {kOpaque, "qop=\"auth\"", "realm=\"admin@vantrel\""}) {
      EXPECT_NE(challenge.find(part), std::string::npos) << what << ": " << challenge;
    }
    EXPECT_EQ(challenge.find("stale"), std::string::npos) << what << ": " << challenge;
    if (options != "-I") EXPECT_EQ(r.body, kAccessDenied) << what;
  }
  EXPECT_EQ(get(kAuth, "/").status, 200);
  EXPECT_EQ(count("receiverPort 9 specified"), 0u) << "arguments acted on without credentials";
  EXPECT_EQ(count("Re-Starting Sniffer"), 0u);
}

// The Authorization header a client sends for `nonce`, `uri` and `nc`.
std::string digestAuthorization(const std::string& password, const std::string& nonce, const std::string& uri,
                                const char* nc, const char* method = "GET") {
  const std::string ha1 = md5Hex("admin:admin@vantrel:" + password);
  const std::string ha2 = md5Hex(std::string(method) + ":" + uri);
  const std::string response = md5Hex(ha1 + ":" + nonce + ":" + nc + ":c0ffee:auth:" + ha2);
  return "Authorization: Digest username=\"admin\", realm=\"admin@vantrel\", nonce=\"" + nonce + "\", uri=\"" + uri +
         "\", qop=auth, nc=" + nc + ", cnonce=\"c0ffee\", response=\"" + response + "\"";
}

std::string nonceOf(const Reply& r) {
  const std::string challenge = r.header("www-authenticate");
  const size_t at = challenge.find("nonce=\"");
  return at == std::string::npos ? "" : challenge.substr(at + 7, challenge.find('"', at + 7) - at - 7);
}

TEST_F(WebTest, EachChallengeHasItsOwnNonceTakenOncePerCount) {
  start();
  const std::string nonce = nonceOf(get("", "/"));
  ASSERT_EQ(nonce.size(), 32u);
  EXPECT_NE(nonceOf(get("", "/")), nonce) << "the same path in the same second";
  struct Row {
    std::string header, path;
    int status;
    bool stale;
  };
  const Row rows[] = {
      {digestAuthorization("qolpe", nonce, "/", "00000001"), "/", 200, false},
      {digestAuthorization("qolpe", nonce, "/", "00000001"), "/", 401, true},  // the same count again
      {digestAuthorization("qolpe", nonce, "/", "00000003"), "/", 200, false},
      {digestAuthorization("qolpe", nonce, "/", "00000002"), "/", 200, false},  // late, but not used yet
      {digestAuthorization("qolpe", nonce, "/", "00000004"), "/index.html", 401, true},  // made for another path
      {digestAuthorization("qolpe", std::string(32, '0'), "/", "00000001"), "/", 401, true},  // not ours
      {digestAuthorization("wrong", nonce, "/", "00000005"), "/", 401, false},
  };
  for (const Row& row : rows) {
    const Reply r = get("-H '" + row.header + "'", row.path);
    EXPECT_EQ(r.status, row.status) << row.header << " " << row.path;
    if (row.status != 401) continue;
    EXPECT_EQ(r.body, kAccessDenied) << row.path;
    EXPECT_EQ(r.header("www-authenticate").find("stale=true") != std::string::npos, row.stale)
        << row.header << ": " << r.header("www-authenticate");
  }
}

// Strict clients (no stale retry) from one address, all at once: every
// authorised request is let in on its first try.
TEST_F(WebTest, SixteenStrictClientsSigningInAtOnceAreAllLetInFirstTime) {
  start();
  std::string out;
  EXPECT_EQ(ns_.exec(std::string("python3 ") + VANTREL_SOURCE_DIR +
                         "/bench/sign_ins.py --clients 16 --requests 20 --source 127.0.0.3 2>&1",
                     &out),
            0)
      << out;
  EXPECT_NE(out.find("320 sign-ins answered 200 on the first try, 0 refused"), std::string::npos) << out;
}

// One address guesses while another signs in, again and again: the guesser
// is turned away after ten wrong answers, the owner never. The owner's
// clients pause between sign-ins, each a new connection, so that they do
// not run out of local ports over the minute.
// The minute's end is the sign-in table's (its unit tests move the clock);
// here the server turns the guessing address away and only it.
TEST_F(WebTest, GuessingSlowsItsOwnAddressOnly) {
  start();
  ChildProcess owner;
  ASSERT_TRUE(owner.start({"python3", std::string(VANTREL_SOURCE_DIR) + "/bench/sign_ins.py", "--clients", "2",
                           "--seconds", "8", "--pause", "0.02", "--source", "127.0.0.3", "--uri", "/"},
                          dir_.path, dir_.file("owner.log"), ns_.name));
  const std::string guesser = "--interface 127.0.0.2 ";
  for (int i = 1; i <= 9; ++i) EXPECT_EQ(get(guesser + "--digest -u admin:guess" + std::to_string(i), "/").status, 401) << i;
  const Reply tenth = get(guesser + "--digest -u admin:guess10", "/");
  EXPECT_EQ(tenth.status, 429);
  EXPECT_EQ(tenth.header("retry-after"), "60");
  const Reply right = get(guesser + kAuth, "/");
  EXPECT_EQ(right.status, 429) << "the right password too, within the minute";
  const int wait = atoi(right.header("retry-after").c_str());
  EXPECT_GE(wait, 58);
  EXPECT_LE(wait, 60);
  EXPECT_EQ(get(guesser + "--digest -u admin:guess11", "/").status, 429);
  EXPECT_EQ(count("Sign-ins from 127.0.0.2 refused for a minute: 10 wrong answers\n"), 1u) << output();
  EXPECT_EQ(get(kAuth, "/", "127.0.0.1").status, 200) << "another address";
  ASSERT_EQ(owner.wait(milliseconds(30000)), 0) << owner.output();
  EXPECT_NE(owner.output().find(" 0 refused"), std::string::npos) << owner.output();
  EXPECT_EQ(count("Sign-ins from 127.0.0.2"), 1u) << "said once";
}

TEST_F(WebTest, SettingsByPostFormWithTheirLimits) {
  start();
  const std::string post = std::string(kAuth) + "-H 'Sec-Fetch-Site: same-origin' ";
  const Reply r = get(post + "--data-urlencode 'userPass=n3w pw&x' --data-urlencode receiverPort=9995", "/data/");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("x-settings-saved"), "true");
  EXPECT_TRUE(parseJson(r.body).isMember("settings")) << "the status document, as for a GET";
  EXPECT_NE(settingsFile().find("\"pass\" : \"n3w pw&x\""), std::string::npos) << settingsFile();
  EXPECT_NE(settingsFile().find("\"receiverPort\" : 9995"), std::string::npos) << settingsFile();
  EXPECT_NE(output().find("receiverPort 9995 specified\n"), std::string::npos) << output();
  const std::string auth = "--digest -u 'admin:n3w pw&x' ";

  const std::string before = settingsFile();
  struct Row {
    std::string options;
    int status;
  };
  const Row rows[] = {
      {auth + "--data-urlencode receiverIP=10.1.1.1 -H 'Origin: http://evil.example'", 200},  // ignored, said
      {auth + "--data-binary @" + dir_.file("big.form"), 413},
      {auth + "-H 'Content-Type: application/json' --data-binary '{\"receiverPort\":9}'", 415},
      {"--digest -u admin:qolpe --data-urlencode receiverPort=9", 401},
  };
  writeFile(dir_.file("big.form"), "receiverPort=9&x=" + std::string(16384, 'a'));
  for (const Row& row : rows) EXPECT_EQ(get(row.options, "/data/").status, row.status) << row.options;
  EXPECT_EQ(settingsFile(), before);
  EXPECT_EQ(count(kIgnoredLine), 1u) << output();
  // A form of exactly 16 KB is taken.
  writeFile(dir_.file("full.form"), "receiverPort=9994&x=" + std::string(16384 - 20, 'a'));
  EXPECT_EQ(get(auth + "--data-binary @" + dir_.file("full.form"), "/data/").status, 200);
  EXPECT_NE(settingsFile().find("\"receiverPort\" : 9994"), std::string::npos) << settingsFile();
}

// Python's ssl against the web port: what it says for one client setting.
std::string tlsProbe(const Netns& ns, const std::string& script) {
  std::string out;
  ns.exec("python3 -c '\nimport hashlib, socket, ssl\n"
          "c = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)\nc.check_hostname = False\nc.verify_mode = ssl.CERT_NONE\n"
          "c.set_ciphers(\"ALL:@SECLEVEL=0\")\n" + script +
              "\ntry:\n  s = c.wrap_socket(socket.create_connection((\"127.0.0.1\", 7909)))\n"
              "  print(s.version(), \":\".join(\"%02X\" % b for b in hashlib.sha256(s.getpeercert(True)).digest()))\n"
              "except (ssl.SSLError, OSError) as e:\n  print(\"refused\")'",
          &out);
  return out;
}

TEST_F(WebTest, HttpsWithTheCertificateMadeAtStartOnly) {
  ASSERT_TRUE(startMonitor(child_, dir_, ns_,
                           "{\"https\": true, \"httpPort\": 7909, \"listenerIP\": \"0.0.0.0\", "
                           "\"receiverIP\": \"0.0.0.0\"}"))
      << output();
  const std::string marker = "HTTPS certificate SHA-256 fingerprint: ";
  const size_t at = output().find(marker);
  ASSERT_NE(at, std::string::npos) << output();
  const std::string fingerprint = output().substr(at + marker.size(), 95);
  EXPECT_NE(output().find("HTTPS: made a self-signed certificate for "), std::string::npos) << output();
  std::string mode;
  ns_.exec("stat -c %a " + dir_.file("vantrel.key"), &mode);
  EXPECT_EQ(mode, "600\n");

  // curl checks the made certificate for the address it asked.
  std::string out;
  EXPECT_EQ(ns_.exec(std::string("curl -s -o /dev/null -w '%{http_code}' --cacert ") + dir_.file("vantrel.crt") + " " +
                         kAuth + "https://127.0.0.1:7909/data/",
                     &out),
            0);
  EXPECT_EQ(out, "200");
  // Only TLS 1.2 and 1.3, with the certificate whose fingerprint was printed.
  const std::pair<const char*, std::string> versions[] = {
      {"c.minimum_version = ssl.TLSVersion.TLSv1\nc.maximum_version = ssl.TLSVersion.TLSv1", "refused\n"},
      {"c.minimum_version = ssl.TLSVersion.TLSv1_1\nc.maximum_version = ssl.TLSVersion.TLSv1_1", "refused\n"},
      {"c.maximum_version = ssl.TLSVersion.TLSv1_2", "TLSv1.2 " + fingerprint + "\n"},
      {"c.minimum_version = ssl.TLSVersion.TLSv1_3", "TLSv1.3 " + fingerprint + "\n"},
  };
  for (const auto& [setting, want] : versions) EXPECT_EQ(tlsProbe(ns_, setting), want) << setting;
  // Plain HTTP on the same port gets no data.
  std::string plain;
  EXPECT_NE(ns_.exec(std::string("curl -s --max-time 5 ") + kAuth + "http://127.0.0.1:7909/data/", &plain), 0);
  EXPECT_EQ(plain, "");

  // Files that are no certificate for the key, or no certificate at all:
  // one line, and no web interface at all.
  child_.signal(SIGKILL);
  child_.wait(milliseconds(5000));
  const std::string made = readFile(dir_.file("vantrel.crt"));
  const std::pair<std::string, const char*> files[] = {
      {"openssl ecparam -genkey -name prime256v1 -noout -out vantrel.key",
       "The web interface is off: HTTPS with vantrel.crt and vantrel.key: the key does not belong to the "
       "certificate\n"},
      {"echo junk > vantrel.crt",
       "The web interface is off: HTTPS with vantrel.crt and vantrel.key: the certificate cannot be read: "},
      {"rm vantrel.crt", "The web interface is off: the certificate vantrel.crt cannot be read\n"},
  };
  for (const auto& [change, line] : files) {
    ASSERT_EQ(runCommand("cd " + dir_.path + " && " + change + " 2>/dev/null"), 0) << change;
    ChildProcess refused;
    EXPECT_TRUE(startMonitor(refused, dir_, ns_, "", line)) << change << "\n" << refused.output();
    EXPECT_EQ(ns_.exec("curl -sk --max-time 5 https://127.0.0.1:7909/"), 7) << change << ": connection refused";
  }
}

TEST_F(WebTest, AuthenticatedRequestsOtherThanGetGetNoAnswer) {
  start();
  for (const char* method : {"-X POST -d a=1", "-I", "-X PUT -d a=1", "-X DELETE", "-X get"}) {
    const Reply r = get(std::string(kAuth) + method, "/index.html");
    EXPECT_EQ(r.curlExit, 52) << method << ": empty reply expected";
  }
  EXPECT_TRUE(child_.running());
}

TEST_F(WebTest, StaticFilesWithTheirContentTypesAndWhatIsNotFound) {
  start();
  struct Row {
    const char* path;
    int status;
    const char* type;
    std::string body;
  };
  const Row rows[] = {
      {"/", 200, "text/html", "<p>index</p>"},
      {"/style.css", 200, "text/css", "body{}"},
      {"/a.js", 200, "application/javascript", "var a;"},
      {"/empty.html", 200, "text/html", ""},
      {"/sub/page.html", 200, "text/html", "<p>page</p>"},
      {"/big.html", 200, "text/html", readFile(web_ + "/big.html")},
      {"/index.html?requestedData=flows", 200, "text/html", "<p>index</p>"},
      // Folders, missing files and near misses of the status document.
      {"/sub", 404, "", kNotFound},   {"/sub/", 404, "", kNotFound},   {"/missing.html", 404, "", kNotFound},
      {"/data", 404, "", kNotFound},  {"/DATA/", 404, "", kNotFound},  {"/data/x", 404, "", kNotFound},
  };
  for (const Row& row : rows) {
    const Reply r = get(kAuth, row.path);
    EXPECT_EQ(r.status, row.status) << row.path;
    EXPECT_EQ(r.header("content-type"), row.type) << row.path;
    EXPECT_EQ(r.body, row.body) << row.path;
  }
  const Reply data = get(kAuth, "/data/");
  EXPECT_EQ(data.status, 200);
  EXPECT_EQ(data.header("content-type"), "application/json");
  ASSERT_GE(data.body.size(), 2u);
  EXPECT_EQ(data.body.substr(data.body.size() - 2), "}\n") << "one line end after the document";
}

TEST_F(WebTest, EveryTraversalFormIsRefused) {
  start();
  const char* paths[] = {
      "/../secret.txt",         "/sub/../../secret.txt", "/%2e%2e/secret.txt",   "/%2E%2E/secret.txt",
      "/sub/%2e%2e/%2e%2e/secret.txt", "/..%2fsecret.txt", "/%5c..%5csecret.txt", "/sub%5c..%5cindex.html",
      "/link",                  "/sub/../index.html",    "/index.html%00.js",    "/%00",
      "/./../secret.txt",
  };
  for (const char* path : paths) {
    const Reply r = get(kAuth, path);
    EXPECT_EQ(r.status, 404) << path;
    EXPECT_EQ(r.body, kNotFound) << path;
  }
  // The same connection goes on serving after a refused path.
  std::string out;
  ns_.exec(std::string("curl -s --path-as-is ") + kAuth +
               "'http://127.0.0.1:7909/index.html%00.js' 'http://127.0.0.1:7909/index.html'",
           &out);
  EXPECT_EQ(out, std::string(kNotFound) + "<p>index</p>");
}

TEST_F(WebTest, MixedCaseSettingsArgumentsAreSavedOnceAndShownNextTime) {
  start();
  const std::string before = settingsFile();
  EXPECT_EQ(get(kAuth, "/index.html?httpPort=abc&receiverPort=99999999999").status, 200);
  EXPECT_EQ(settingsFile(), before) << "unreadable ports change nothing";
  EXPECT_EQ(count("Saving new settings:"), 0u);

  const Reply r = get(kAuth, "/data/?HTTPPORT=7910&ReceiverPort=9995&receiverip=0.0.0.0&LISTENERIP=0.0.0.0");
  ASSERT_EQ(r.status, 200);
  const Json::Value doc = parseJson(r.body);
  EXPECT_EQ(doc["settings"]["httpPort"], Json::Value(7909)) << "the answer shows the settings before the change";
  EXPECT_EQ(doc["settings"]["receiverPort"], Json::Value(2055));

  EXPECT_EQ(settingsFile(),
            "{\n   \"httpPort\" : 7910,\n   \"listenerIP\" : \"0.0.0.0\",\n   \"pass\" : \"qolpe\",\n"
            "   \"receiverIP\" : \"0.0.0.0\",\n   \"receiverPort\" : 9995,\n   \"user\" : \"admin\"\n}");
  EXPECT_EQ(count("Saving new settings:"), 1u) << output();
  EXPECT_NE(output().find("httpPort 7910 specified\nreceiverPort 9995 specified\nreceiverIP 0.0.0.0 specified\n"
                          "listenerIP 0.0.0.0 specified\nSaving new settings:{\n"),
            std::string::npos)
      << output();

  const Reply next = get(kAuth, "/data/");
  EXPECT_NE(next.body.find("\"receiverPort\" : 9995"), std::string::npos) << next.body;
  EXPECT_NE(next.body.find("\"httpPort\" : 7910"), std::string::npos) << next.body;

  // A static-file request acts on its arguments before the file is served.
  const Reply page = get(kAuth, "/index.html?receiverPORT=9996");
  EXPECT_EQ(page.body, "<p>index</p>");
  EXPECT_NE(settingsFile().find("\"receiverPort\" : 9996"), std::string::npos);
  EXPECT_EQ(count("Saving new settings:"), 2u);
}

TEST_F(WebTest, PasswordChangeRefusesTheOldPasswordAndAFailedSaveSaysSo) {
  start();
  EXPECT_EQ(get(kAuth, "/data/?userPass=n3w%20pw").header("x-settings-saved"), "true");
  EXPECT_EQ(get(kAuth, "/").status, 401);
  EXPECT_EQ(get("--digest -u 'admin:n3w pw'", "/").status, 200);
  EXPECT_NE(settingsFile().find("\"pass\" : \"n3w pw\""), std::string::npos) << settingsFile();
  EXPECT_NE(output().find("userPass specified6\n"), std::string::npos) << output();
  EXPECT_EQ(output().find("n3w"), std::string::npos) << "password printed";

  // A folder in the settings file's place: the save fails, and says so.
  ASSERT_EQ(runCommand("rm " + dir_.file("vantrelsettings.json") + " && mkdir -p " + dir_.file("vantrelsettings.json/x")),
            0);
  const Reply r = get("--digest -u 'admin:n3w pw'", "/data/?userPass=third");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("x-settings-saved"), "false");
  EXPECT_NE(output().find("Settings not saved: vantrelsettings.json cannot be written (Is a directory); the new "
                          "values last until the program ends\n"),
            std::string::npos)
      << output();
}

TEST_F(WebTest, CrossSiteSettingsRequestsAreIgnored) {
  start();
  const std::string before = settingsFile();
  size_t ignored = 0;
  for (const char* header :
       {"Sec-Fetch-Site: cross-site", "Origin: http://evil.example", "Referer: http://127.0.0.1:8080/"}) {
    for (const char* path : {"/index.html?receiverPort=9999&savesettings=1", "/data/?listenerIP=10.9.9.9"}) {
      EXPECT_EQ(get(std::string(kAuth) + "-H '" + header + "'", path).status, 200) << header << " " << path;
      ++ignored;
    }
  }
  // Requests from elsewhere without settings arguments are answered silently.
  EXPECT_EQ(get(std::string(kAuth) + "-H 'Origin: http://evil.example'", "/data/").status, 200);
  EXPECT_EQ(settingsFile(), before);
  EXPECT_EQ(count(kIgnoredLine), ignored) << output();
  EXPECT_EQ(count("specified"), 0u) << output();
  EXPECT_EQ(count("Re-Starting Sniffer"), 0u) << output();

  // The program's own pages and plain clients keep working.
  const std::string ownPage = "-H 'Sec-Fetch-Site: same-origin' -H 'Referer: http://127.0.0.1:7909/index.html' ";
  for (const auto& [options, port] : {std::pair{ownPage, "9998"}, std::pair{std::string(), "9997"}}) {
    EXPECT_EQ(get(kAuth + options, std::string("/data/?receiverPort=") + port).status, 200);
    EXPECT_NE(settingsFile().find(std::string("\"receiverPort\" : ") + port), std::string::npos) << settingsFile();
  }
}

// Capture on 127.0.0.2 (added to loopback) and export to 127.0.0.1, so both
// worker threads run; unauthenticated requests keep packets flowing while
// the capture thread is asked to stop.
TEST_F(WebTest, SaveSettingsRestartsBothThreadsBeforeAnswering) {
  ASSERT_EQ(ns_.exec("ip addr add 127.0.0.2/8 dev lo"), 0);
  start("127.0.0.2", "127.0.0.1");
  std::jthread traffic([this](std::stop_token stop) {
    while (!stop.stop_requested()) ns_.exec("curl -s -o /dev/null --max-time 2 http://127.0.0.2:7909/; sleep 0.05");
  });
  const auto bothRunning = [&] {
    const std::string body = get(kAuth, "/data/").body;
    return body.find("\"snifferRunning\" : true") != std::string::npos &&
           body.find("\"exporterRunning\" : true") != std::string::npos;
  };
  ASSERT_TRUE(waitFor(bothRunning, milliseconds(10000))) << output();
  const std::string before = settingsFile();
  const size_t listening = count("Listening as ip is correct \"127.0.0.2\"\n");
  const size_t exporting = count("Exporting as ip is correct \"127.0.0.1\"\n");

  const auto started = std::chrono::steady_clock::now();
  const Reply r = get(kAuth, "/index.html?savesettings=1");
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "<p>index</p>");
  EXPECT_GE(took, milliseconds(1000));

  EXPECT_TRUE(inOrder(output(), {"Saving settings restart:{\n", "\t\"pass\" : \"********\",\n",
                                  "Re-Starting Sniffer\n", "Stopping sniffer\n", "Stopped sniffer,restarting\n",
                                  "Re-Starting Exporter\n", "Stopping Exporter\n",
                                  "Stopped Exporter,restarting\n"}));
  EXPECT_EQ(settingsFile(), before) << "a restart alone writes no file";
  EXPECT_EQ(count("Saving new settings:"), 0u);

  // Both supervisors start a new run with the settings read anew.
  EXPECT_TRUE(waitFor(
      [&] {
        return count("Listening as ip is correct \"127.0.0.2\"\n") > listening &&
               count("Exporting as ip is correct \"127.0.0.1\"\n") > exporting;
      },
      milliseconds(5000)))
      << output();
  EXPECT_TRUE(waitFor(bothRunning, milliseconds(10000))) << output();
}

TEST_F(WebTest, EightClientsPollingForTwentySecondsAreAllLetIn) {
  ASSERT_EQ(ns_.exec("ip addr add 127.0.0.2/8 dev lo"), 0);
  start("127.0.0.2", "127.0.0.1");
  // Every poll is a fresh client: challenge, then the authorised request.
  // Clients challenged for the same path in the same second get the same
  // nonce from the library; those it then refuses with the right password
  // get a fresh, stale challenge a second later and curl answers it itself.
  constexpr int kClients = 8;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::atomic<int> answered{0};
  std::vector<std::string> failures(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      while (std::chrono::steady_clock::now() < end) {
        const Reply r = get(kAuth, "/data/?requestedData=flows", "127.0.0.2");
        Json::Value doc;
        std::string errors;
        std::istringstream in(r.body);
        if (r.curlExit != 0 || r.status != 200 || !Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &errors) ||
            !doc.isMember("totalFlows")) {
          failures[c] += "status " + std::to_string(r.status) + " curl " + std::to_string(r.curlExit) + ": " +
                         r.body.substr(0, 200) + "\n";
        } else {
          ++answered;
        }
      }
    });
  }
  for (std::thread& t : clients) t.join();
  for (const std::string& f : failures) EXPECT_EQ(f, "");
  EXPECT_GT(answered.load(), 8 * 20);
  EXPECT_TRUE(child_.running()) << output();
}

TEST_F(WebTest, RequestHeadSentAByteASecondIsCutAfterTenSeconds) {
  start();
  // Sends a request head one byte a second, and reports how long the server
  // kept the connection open.
  std::string seconds;
  ASSERT_EQ(ns_.exec("python3 -c 'import socket,time\n"
                     "s=socket.create_connection((\"127.0.0.1\",7909))\n"
                     "t=time.time()\n"
                     "s.settimeout(1)\n"
                     "for b in b\"GET / HTTP/1.1\\r\\nX-\"+b\"a\"*60:\n"
                     "  try:\n"
                     "    s.send(bytes([b]))\n"
                     "    if s.recv(1)==b\"\": break\n"
                     "  except socket.timeout: pass\n"
                     "  except OSError: break\n"
                     "print(int(time.time()-t))'",
                     &seconds),
            0);
  const int held = atoi(seconds.c_str());
  EXPECT_GE(held, 9) << seconds;
  EXPECT_LE(held, 13) << seconds;
}

// 1,100 connections from a peer's address, each sending a byte a second (and
// opened again when the server closes it), must not keep the owner, on
// another address, from an answer every second.
TEST_F(WebTest, SlowClientsOfOneAddressDoNotLockTheOwnerOut) {
  Netns peer("vt-web-peer");
  linkNamespaces(ns_, "10.91.0.1/24", peer, "10.91.0.2/24");
  start();
  constexpr int kSeconds = 40;
  ChildProcess attacker;
  ASSERT_TRUE(attacker.start({"python3", "-c", R"(
import resource, socket, time
resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
def opened():
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex(("10.91.0.1", 7909))
    return s
conns = [opened() for _ in range(1100)]
print("open", flush=True)
end = time.time() + )" + std::to_string(kSeconds) + R"(
while time.time() < end:
    for i, s in enumerate(conns):
        try:
            s.send(b"G")
        except OSError:
            s.close()
            conns[i] = opened()
    time.sleep(1)
)"},
                             dir_.path, dir_.file("attacker.log"), peer.name));
  ASSERT_TRUE(waitFor([&] { return attacker.output() == "open\n"; }, milliseconds(10000))) << attacker.output();
  std::string failures;
  int polls = 0;
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kSeconds - 2);
       std::chrono::steady_clock::now() < end; ++polls) {
    const auto started = std::chrono::steady_clock::now();
    const Reply r = get(std::string(kAuth) + "--max-time 3 ", "/data/");
    if (r.status != 200) failures += "poll " + std::to_string(polls) + ": status " + std::to_string(r.status) + "\n";
    std::this_thread::sleep_until(started + std::chrono::seconds(1));
  }
  EXPECT_EQ(failures, "") << output().substr(0, 2000);
  EXPECT_GE(polls, kSeconds - 4);
  EXPECT_TRUE(attacker.running()) << attacker.output();
}

}  // namespace
