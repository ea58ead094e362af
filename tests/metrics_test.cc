// The metrics endpoint of the running monitor, in a namespace of the test's
// own: scraped by Debian's prometheus and checked by its promtool, the bearer
// token, what each of the two servers serves, the settings refused, and the
// slow-client limits on the metrics port.
#include <json/json.h>

#include <cstdlib>
#include <sstream>

#include "tests/support/system_test.h"

namespace {

using std::chrono::milliseconds;

constexpr char kMonitor[] = "10.93.0.1";
constexpr char kPeer[] = "10.93.0.2";
constexpr char kToken[] = "t0ken-of.the~test+/==";

struct Reply {
  int status = 0;
  std::string headers;
  std::string body;
};

class MetricsTest : public testing::Test {
 protected:
  void SetUp() override { REQUIRE_ROOT(); }

  // The monitor capturing on its end of a veth pair to a peer namespace,
  // with metrics on `listen` (and `token`); returns once it answers.
  void start(const std::string& listen, const std::string& token = kToken) {
    linkNamespaces(ns_, std::string(kMonitor) + "/24", peer_, std::string(kPeer) + "/24");
    std::string settings = "{\"listenerIP\": \"" + std::string(kMonitor) +
                           "\", \"receiverIP\": \"0.0.0.0\", \"httpPort\": 7909, \"user\": \"admin\", "
                           "\"pass\": \"qolpe\", \"metricsListen\": \"" + listen + "\"";
    if (!token.empty()) settings += ", \"metricsToken\": \"" + token + "\"";
    ASSERT_TRUE(startMonitor(monitor_, dir_, ns_, settings + "}")) << monitor_.output();
  }

  // One curl run inside the monitor's namespace (or `from`).
  Reply get(const std::string& options, const std::string& url, const Netns* from = nullptr) {
    const std::string head = dir_.file("head"), body = dir_.file("body");
    std::string code;
    (from ? *from : ns_).exec("curl -s --max-time 10 -D " + head + " -o " + body + " -w '%{http_code}' " + options +
                                  " '" + url + "'",
                              &code);
    return Reply{atoi(code.c_str()), readFile(head), readFile(body)};
  }

  Reply scrape(const std::string& host = "127.0.0.1:9909") {
    return get(std::string("-H 'Authorization: Bearer ") + kToken + "'", "http://" + host + "/metrics");
  }

  TempDir dir_;
  Netns ns_{"vt-met"};
  Netns peer_{"vt-met-peer"};
  ChildProcess monitor_;
};

TEST_F(MetricsTest, PromtoolFindsTheTextClean) {
  REQUIRE_TOOL("promtool", "prometheus");
  start("127.0.0.1:9909");
  ASSERT_EQ(peer_.exec(std::string("ping -c 3 -i 0.2 -W 1 ") + kMonitor + " >/dev/null"), 0);
  const Reply r = scrape();
  ASSERT_EQ(r.status, 200) << r.body << monitor_.output();
  EXPECT_NE(r.headers.find("Content-Type: text/plain; version=0.0.4; charset=utf-8"), std::string::npos) << r.headers;
  for (const char* line : {"# TYPE vantrel_packets_captured_total counter\n", "vantrel_capture_state{state=\"capturing\"} 1\n",
                           "vantrel_flows_open{family=\"4\",protocol=\"icmp\"} ",
                           "vantrel_http_requests_total{server=\"metrics\",code=\"200\"} ",
                           "# TYPE vantrel_process_last_minute_bytes gauge\n"}) {
    EXPECT_NE(r.body.find(line), std::string::npos) << line << "\n" << r.body;
  }
  writeFile(dir_.file("metrics.txt"), r.body);
  std::string lint;
  EXPECT_EQ(runCommand("promtool check metrics < " + dir_.file("metrics.txt") + " 2>&1", &lint), 0) << lint;
  EXPECT_EQ(lint, "") << r.body;
}

// Prometheus in the monitor's namespace scrapes it every second with the
// token; its own query API shows the packet counter rising as the peer pings.
TEST_F(MetricsTest, PrometheusSeesThePacketCountRise) {
  REQUIRE_TOOL("prometheus", "prometheus");
  start("127.0.0.1:9909");
  writeFile(dir_.file("prometheus.yml"), std::string("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                                                     "scrape_configs:\n  - job_name: vantrel\n"
                                                     "    authorization:\n      credentials: '") +
                                             kToken + "'\n    static_configs:\n      - targets: ['127.0.0.1:9909']\n");
  ChildProcess prometheus;
  ASSERT_TRUE(prometheus.start({"prometheus", "--config.file=" + dir_.file("prometheus.yml"),
                                "--storage.tsdb.path=" + dir_.file("data"), "--web.listen-address=127.0.0.1:9090"},
                               dir_.path, dir_.file("prometheus.log"), ns_.name));
  ChildProcess ping;
  ASSERT_TRUE(ping.start({"ping", "-q", "-i", "0.2", "-c", "200", kMonitor}, dir_.path, dir_.file("ping.log"), peer_.name));

  // The latest value Prometheus holds, or -1.
  const auto queried = [&](const std::string& query) {
    const Reply r = get("-G --data-urlencode 'query=" + query + "'", "http://127.0.0.1:9090/api/v1/query");
    Json::Value doc;
    std::string errors;
    std::istringstream in(r.body);
    if (r.status != 200 || !Json::parseFromStream(Json::CharReaderBuilder(), in, &doc, &errors)) return -1.0;
    const Json::Value& result = doc["data"]["result"];
    return result.size() == 1 ? atof(result[0]["value"][1].asCString()) : -1.0;
  };
  double first = -1;
  ASSERT_TRUE(waitFor([&] { return (first = queried("vantrel_packets_captured_total")) > 0; }, milliseconds(30000)))
      << prometheus.output().substr(0, 3000) << monitor_.output();
  EXPECT_TRUE(waitFor([&] { return queried("vantrel_packets_captured_total") > first; }, milliseconds(15000)))
      << "stayed at " << first;
  EXPECT_EQ(queried("up{job=\"vantrel\"}"), 1.0);
  EXPECT_GT(queried("vantrel_flows_open{protocol=\"icmp\"}"), 0.0);
}

TEST_F(MetricsTest, TheTokenAndWhatEachServerServes) {
  start("127.0.0.1:9909");
  struct Row {
    std::string options, url;
    int status;
    std::string inHeaders;
  };
  const std::string web = "http://127.0.0.1:7909", metrics = "http://127.0.0.1:9909";
  const std::string bearer = std::string("-H 'Authorization: Bearer ") + kToken + "' ";
  const Row rows[] = {
      {"", metrics + "/metrics", 401, "WWW-Authenticate: Bearer realm=\"vantrel metrics\""},
      {"-H 'Authorization: Bearer wrong' ", metrics + "/metrics", 401, "WWW-Authenticate: Bearer"},
      {std::string("-H 'Authorization: Bearer ") + kToken + "x' ", metrics + "/metrics", 401, ""},
      {"--digest -u admin:qolpe ", metrics + "/metrics", 401, ""},
      {bearer, metrics + "/metrics", 200, "Content-Type: text/plain; version=0.0.4"},
      {bearer, metrics + "/metrics?x=1", 200, ""},
      {bearer, metrics + "/", 404, ""},
      {bearer, metrics + "/metrics/", 404, ""},
      {bearer, metrics + "/data/", 404, ""},
      {bearer, metrics + "/index.html", 404, ""},
      {bearer + "-X POST -d a=1 ", metrics + "/metrics", 405, "Allow: GET"},
      {bearer + "-I ", metrics + "/metrics", 405, ""},
      // The Digest port keeps its rules: /metrics is a file it does not have.
      {bearer, web + "/metrics", 401, "WWW-Authenticate: Digest"},
      {"--digest -u admin:qolpe ", web + "/metrics", 404, ""},
  };
  for (const Row& row : rows) {
    const Reply r = get(row.options, row.url);
    EXPECT_EQ(r.status, row.status) << row.options << row.url << "\n" << r.body;
    EXPECT_NE(r.headers.find(row.inHeaders), std::string::npos) << row.options << row.url << "\n" << r.headers;
  }
  EXPECT_NE(monitor_.output().find("Metrics on http://127.0.0.1:9909/metrics (bearer token required)\n"),
            std::string::npos)
      << monitor_.output();
  EXPECT_EQ(monitor_.output().find(kToken), std::string::npos) << "the token printed";
  const Reply doc = get("--digest -u admin:qolpe ", web + "/data/");
  EXPECT_NE(doc.body.find("\"metricsToken\" : \"********\""), std::string::npos) << doc.body;
  EXPECT_EQ(doc.body.find(kToken), std::string::npos);
  // The metrics port answers on its address only.
  EXPECT_EQ(get(bearer, std::string("http://") + kMonitor + ":9909/metrics").status, 0);

  // Each answer counted once, by server and status.
  const Reply counts = scrape();
  for (const char* line : {"vantrel_http_requests_total{server=\"metrics\",code=\"401\"} 4\n",
                           "vantrel_http_requests_total{server=\"metrics\",code=\"404\"} 4\n",
                           "vantrel_http_requests_total{server=\"metrics\",code=\"405\"} 2\n",
                           "vantrel_http_requests_total{server=\"metrics\",code=\"200\"} 2\n",
                           "vantrel_http_requests_total{server=\"web\",code=\"404\"} 1\n"}) {
    EXPECT_NE(counts.body.find(line), std::string::npos) << line << counts.body;
  }
}

TEST_F(MetricsTest, UnusableSettingsTurnMetricsOffWithOneLine) {
  struct Row {
    std::string listen, token, line;
  };
  const Row rows[] = {
      {"localhost:9909", "", "metricsListen \"localhost:9909\" is not ADDRESS:PORT (such as \"127.0.0.1:9909\"); metrics off\n"},
      {"127.0.0.1:0", "", "metricsListen \"127.0.0.1:0\" is not ADDRESS:PORT (such as \"127.0.0.1:9909\"); metrics off\n"},
      {"127.0.0.1:9909", "two words", "metricsToken is not a bearer token (letters, digits and -._~+/, then any =); metrics off\n"},
      {"127.0.0.1:7909", "", "Metrics not served on 127.0.0.1:7909: "},
      {"10.9.9.9:9909", "", "Metrics not served on 10.9.9.9:9909: "},
      {"[::1]:9909", "", "Metrics on http://[::1]:9909/metrics\n"},
  };
  for (const Row& row : rows) {
    TempDir dir;
    Netns ns("vt-met-set");
    ChildProcess monitor;
    const std::string settings = "{\"listenerIP\": \"0.0.0.0\", \"receiverIP\": \"0.0.0.0\", \"httpPort\": 7909, "
                                 "\"metricsListen\": \"" + row.listen + "\", \"metricsToken\": \"" + row.token + "\"}";
    ASSERT_TRUE(startMonitor(monitor, dir, ns, settings)) << monitor.output();
    EXPECT_EQ(countOf(monitor.output(), row.line), 1u) << row.listen << "\n" << monitor.output();
    EXPECT_EQ(countOf(monitor.output(), "Metrics on "), row.line.rfind("Metrics on ", 0) == 0 ? 1u : 0u) << row.listen;
    std::string code;
    ns.exec("curl -s -o /dev/null -w '%{http_code}' --digest -u admin:qolpe http://127.0.0.1:7909/data/", &code);
    EXPECT_EQ(code, "200") << "the web interface goes on: " << row.listen;
  }
}

// A request head sent a byte a second is cut after 10 s, and one address's
// 33rd connection is refused, while another address is still answered.
TEST_F(MetricsTest, SlowClientLimitsHoldOnTheMetricsPort) {
  start(std::string(kMonitor) + ":9909");
  std::string seconds;
  ASSERT_EQ(peer_.exec(std::string("python3 -c 'import socket,time\n"
                                   "s=socket.create_connection((\"") +
                           kMonitor +
                           "\",9909))\n"
                           "t=time.time()\n"
                           "s.settimeout(1)\n"
                           "for b in b\"GET /metrics HTTP/1.1\\r\\nX-\"+b\"a\"*60:\n"
                           "  try:\n"
                           "    s.send(bytes([b]))\n"
                           "    if s.recv(1)==b\"\": break\n"
                           "  except socket.timeout: pass\n"
                           "  except OSError: break\n"
                           "print(int(time.time()-t))'",
                       &seconds),
            0);
  EXPECT_GE(atoi(seconds.c_str()), 9) << seconds;
  EXPECT_LE(atoi(seconds.c_str()), 13) << seconds;

  // 40 idle connections from the peer's address: the server keeps 32 and
  // closes the rest, and answers the peer's second address meanwhile.
  ASSERT_EQ(peer_.exec("ip addr add 10.93.0.3/32 dev lo"), 0);
  ChildProcess idle;
  ASSERT_TRUE(idle.start({"python3", "-c", std::string(R"(
import socket, time
conns = [socket.create_connection(("10.93.0.1", 9909), timeout=5) for _ in range(40)]
time.sleep(1)
kept = 0
for s in conns:
    s.setblocking(False)
    try:
        kept += s.recv(1) != b""
    except BlockingIOError:
        kept += 1
    except OSError:
        pass
print("kept", kept, flush=True)
time.sleep(5)
)")},
                         dir_.path, dir_.file("idle.log"), peer_.name));
  ASSERT_TRUE(waitFor([&] { return idle.output().find("kept") != std::string::npos; }, milliseconds(10000)))
      << idle.output();
  EXPECT_EQ(idle.output(), "kept 32\n");
  const Reply other = get(std::string("--interface 10.93.0.3 -H 'Authorization: Bearer ") + kToken + "'",
                          std::string("http://") + kMonitor + ":9909/metrics", &peer_);
  EXPECT_EQ(other.status, 200) << other.body;
}

}  // namespace
