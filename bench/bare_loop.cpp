// The floor for a local answer: one socket, select, recvfrom, a fixed
// 70-byte block appended, sendto. No lookup, no parsing, no logging. Used
// only by dns_bench.py to measure what the kernel round trip itself costs on
// this machine, in the same run as the servers it is compared with.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
    return 2;
  }
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("bind");
    return 1;
  }
  static unsigned char buffer[10000 + 70];
  static const unsigned char block[70] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 0x20, 0, 4};
  for (;;) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout{0, 500000};
    if (select(s + 1, &set, nullptr, nullptr, &timeout) <= 0) continue;
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    ssize_t n = recvfrom(s, buffer, 10000, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n < 12) continue;
    buffer[2] |= 0x84;
    buffer[7] = 1;
    std::memcpy(buffer + n, block, sizeof block);
    sendto(s, buffer, n + sizeof block, 0, reinterpret_cast<sockaddr*>(&from), from_length);
  }
}
