#include "tests/support/clickhouse_server.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/tcp_client.h"

namespace {

constexpr const char* kServer = "/usr/sbin/clickhouse-server";

// A local TCP port nobody listens on now.
uint16_t freePort() {
  const int fd = boundSocket(SOCK_STREAM, "127.0.0.1", 0);
  const uint16_t port = localPort(fd);
  close(fd);
  return port;
}

}  // namespace

ClickHouseServer::ClickHouseServer() {
  httpPort = freePort();
  tcpPort = freePort();
  writeFile(dir.file("config.xml"),
            "<?xml version=\"1.0\"?>\n<yandex>\n"
            "  <logger><level>warning</level><console>1</console></logger>\n"
            "  <http_port>" + std::to_string(httpPort) + "</http_port>\n"
            "  <tcp_port>" + std::to_string(tcpPort) + "</tcp_port>\n"
            "  <listen_host>127.0.0.1</listen_host>\n"
            "  <path>" + dir.path + "/data/</path>\n"
            "  <tmp_path>" + dir.path + "/tmp/</tmp_path>\n"
            "  <mark_cache_size>268435456</mark_cache_size>\n"
            "  <users_config>users.xml</users_config>\n"
            "  <default_profile>default</default_profile>\n"
            "  <default_database>default</default_database>\n</yandex>\n");
  writeFile(dir.file("users.xml"),
            "<?xml version=\"1.0\"?>\n<yandex>\n  <profiles><default></default></profiles>\n"
            "  <users><default><password></password><networks><ip>127.0.0.1</ip></networks>"
            "<profile>default</profile><quota>default</quota></default></users>\n"
            "  <quotas><default></default></quotas>\n</yandex>\n");
}

ClickHouseServer::~ClickHouseServer() { stop(); }

bool ClickHouseServer::installed() const { return access(kServer, X_OK) == 0; }

bool ClickHouseServer::start() {
  // The server drops root by itself only as a service; run as we are.
  if (!process.start({kServer, "--config-file=" + dir.file("config.xml")}, dir.path, dir.file("server.log"))) {
    return false;
  }
  return waitFor([&] { return query("SELECT 1") == "1\n"; }, std::chrono::seconds(60));
}

void ClickHouseServer::stop() {
  if (process.pid <= 0 || !process.running()) return;
  process.signal(SIGTERM);
  if (process.wait(std::chrono::seconds(30)) == -1) process.signal(SIGKILL), process.wait(std::chrono::seconds(5));
}

std::string ClickHouseServer::query(const std::string& sql) const {
  TcpClient c;
  std::string error;
  if (!tcpConnect(c, "127.0.0.1", httpPort, 1000, error)) return "";
  const std::string request = "POST / HTTP/1.0\r\nContent-Length: " + std::to_string(sql.size()) + "\r\n\r\n" + sql;
  std::string answer;
  if (tcpSendAll(c, request.data(), request.size(), 5000, error)) {
    char buffer[4096];
    for (int64_t n; (n = tcpReceive(c, buffer, sizeof buffer, 30000, error)) > 0;) answer.append(buffer, n);
  }
  tcpClose(c);
  const size_t body = answer.find("\r\n\r\n");
  if (answer.compare(0, 12, "HTTP/1.0 200") != 0 && answer.compare(0, 12, "HTTP/1.1 200") != 0) return "";
  return body == std::string::npos ? "" : answer.substr(body + 4);
}
