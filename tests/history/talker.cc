// A small program for the history test: sends `count` UDP datagrams of
// `size` bytes, one every `gap` ms, from 127.0.0.2 to 127.0.0.1:`peer`,
// while reading (and dropping) what arrives on 127.0.0.1:`sink`. Two copies
// under different names are two programs talking to each other.
//   talker SINK PEER SIZE COUNT GAP
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

int bound(const char* address, int port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address, &a.sin_addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    perror("bind");
    exit(1);
  }
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: talker SINK PEER SIZE COUNT GAP\n");
    return 2;
  }
  const int sink = bound("127.0.0.1", atoi(argv[1]));
  const int out = bound("127.0.0.2", 0);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  std::vector<char> payload(static_cast<size_t>(atoi(argv[3])), 'h');
  char drop[65536];
  for (int i = 0, count = atoi(argv[4]); i < count; ++i) {
    sendto(out, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    usleep(static_cast<useconds_t>(atoi(argv[5])) * 1000);
    while (recv(sink, drop, sizeof drop, MSG_DONTWAIT) > 0) {
    }
  }
  puts("done");
  return 0;
}
