// Registration load generator: keeps a fixed number of signed requests in
// flight against one server for a fixed time and counts acknowledgements.
// Used only by registration_bench.py; prints "acks=N lost=N".
//
//   register_load PORT NAMES PASSWORD SECONDS [IN_FLIGHT]
//
// Request i names "n<i % NAMES>" with address 10.x.y.z derived from i % NAMES,
// so a steady stream renews NAMES entries over and over.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "registry.h"

namespace {

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s PORT NAMES PASSWORD SECONDS [IN_FLIGHT]\n", argv[0]);
    return 2;
  }
  int port = std::atoi(argv[1]);
  int names = std::atoi(argv[2]);
  std::string password = argv[3];
  double seconds = std::atof(argv[4]);
  int in_flight = argc > 5 ? std::atoi(argv[5]) : 32;

  std::vector<std::string> requests;
  for (int i = 0; i < names; ++i) {
    char address[32];
    std::snprintf(address, sizeof address, "10.%d.%d.%d", (i >> 16) & 255, (i >> 8) & 255, i & 255);
    requests.push_back(format_registration_request("n" + std::to_string(i), address, password));
  }

  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<unsigned short>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    std::perror("connect");
    return 1;
  }
  int rcvbuf = 1 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);

  long next = 0;
  long acks = 0;
  long lost = 0;
  auto send_next = [&]() {
    const std::string& r = requests[static_cast<std::size_t>(next++ % names)];
    send(s, r.data(), r.size(), 0);
  };
  for (int i = 0; i < in_flight; ++i) send_next();
  double end = now_seconds() + seconds;
  char buffer[256];
  while (now_seconds() < end) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) {
      // Nothing came back for 200 ms: count the window as lost and refill.
      lost += in_flight;
      for (int i = 0; i < in_flight; ++i) send_next();
      continue;
    }
    while (recv(s, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
      ++acks;
      send_next();
    }
  }
  std::printf("acks=%ld lost=%ld\n", acks, lost);
  return 0;
}
