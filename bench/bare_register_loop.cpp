// The floor for a registration: one socket, select, recvfrom, the tag check,
// one log record appended the way the service appends it (open, write,
// close, CR LF), the acknowledgement sent. No name table, no hosts file.
// Used only by registration_bench.py.
//
//   bare_register_loop PORT PASSWORD LOG_FILE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "registry.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s PORT PASSWORD LOG_FILE\n", argv[0]);
    return 2;
  }
  std::string password = argv[2];
  const char* log_file = argv[3];
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[1])));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("bind");
    return 1;
  }
  char buffer[200];
  for (;;) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval timeout{0, 500000};
    if (select(s + 1, &set, nullptr, nullptr, &timeout) <= 0) continue;
    sockaddr_in from{};
    socklen_t from_length = sizeof from;
    ssize_t n = recvfrom(s, buffer, 199, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n < 0) continue;
    buffer[n] = '\0';
    RegistrationRequest request;
    if (parse_registration_request(buffer, password, &request) != RequestParse::kAccepted) continue;

    timeval tv;
    gettimeofday(&tv, nullptr);
    tm parts;
    localtime_r(&tv.tv_sec, &parts);
    // The service writes every record to standard error as well.
    std::fprintf(stderr, "%02d-%02d-%02d %02d:%02d:%02d.%03d %s: %s %s\n", parts.tm_year + 1900,
                 parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                 static_cast<int>(tv.tv_usec / 1000), inet_ntoa(from.sin_addr),
                 request.name.c_str(), request.address.c_str());
    std::fflush(stderr);
    std::FILE* f = std::fopen(log_file, "ab");
    if (f != nullptr) {
      std::fprintf(f, "%02d-%02d-%02d %02d:%02d:%02d.%03d %s: %s %s\r\n", parts.tm_year + 1900,
                   parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                   static_cast<int>(tv.tv_usec / 1000), inet_ntoa(from.sin_addr),
                   request.name.c_str(), request.address.c_str());
      std::fclose(f);
    }
    std::string ack = format_acknowledgement(request.tag);
    sendto(s, ack.data(), ack.size(), 0, reinterpret_cast<sockaddr*>(&from), from_length);
  }
}
