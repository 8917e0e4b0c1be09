// POSIX implementation of platform.h: sockets and the wait.
#include "platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

const int kMessageTooLong = EMSGSIZE;

// ---------------------------------------------------------------------------
// Sockets

namespace {

int fd_of(Socket s) { return static_cast<int>(s); }

sockaddr_in ipv4_address(std::uint32_t address, int port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = address;
  return a;
}

}  // namespace

bool net_start() {
  // Every pending DNS forward holds a socket of its own.
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  // A send to a vanished peer must never kill the process.
  signal(SIGPIPE, SIG_IGN);
  return true;
}

void net_cleanup() {}

Socket udp_open() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? kNoSocket : static_cast<Socket>(fd);
}

bool udp_bind(Socket s, std::uint32_t address, int port) {
  sockaddr_in a = ipv4_address(address, port);
  return bind(fd_of(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool udp_connect(Socket s, std::uint32_t address, int port) {
  sockaddr_in a = ipv4_address(address, port);
  return connect(fd_of(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

void socket_close(Socket s) { close(fd_of(s)); }

int last_socket_error() { return errno; }
void set_last_socket_error(int error) { errno = error; }

int udp_receive(Socket s, char* buffer, int capacity, SocketAddress* from) {
  sockaddr_in a;
  socklen_t length = sizeof a;
  // MSG_TRUNC makes recvfrom return the datagram's real length, so that an
  // oversized datagram is reported as a failure as Winsock does.
  ssize_t n = recvfrom(fd_of(s), buffer, static_cast<size_t>(capacity), MSG_TRUNC,
                       reinterpret_cast<sockaddr*>(&a), &length);
  if (n < 0) return -1;
  if (n > capacity) {
    errno = EMSGSIZE;
    return -1;
  }
  if (from != nullptr) {
    std::memset(from->bytes, 0, sizeof from->bytes);
    std::memcpy(from->bytes, &a, length < sizeof a ? length : sizeof a);
    from->length = static_cast<int>(length);
  }
  return static_cast<int>(n);
}

int udp_send(Socket s, const char* data, int length, const SocketAddress& to) {
  ssize_t n = sendto(fd_of(s), data, static_cast<size_t>(length), 0,
                     reinterpret_cast<const sockaddr*>(to.bytes), static_cast<socklen_t>(to.length));
  return n < 0 ? -1 : static_cast<int>(n);
}

int udp_send_connected(Socket s, const char* data, int length) {
  ssize_t n = send(fd_of(s), data, static_cast<size_t>(length), 0);
  return n < 0 ? -1 : static_cast<int>(n);
}

std::uint32_t socket_address_ip(const SocketAddress& a) {
  sockaddr_in in;
  std::memcpy(&in, a.bytes, sizeof in);
  return in.sin_addr.s_addr;
}

SocketAddress make_socket_address(std::uint32_t address, int port) {
  SocketAddress result;
  sockaddr_in a = ipv4_address(address, port);
  std::memcpy(result.bytes, &a, sizeof a);
  result.length = sizeof a;
  return result;
}

std::uint32_t parse_ipv4(const char* text) { return inet_addr(text); }

std::string format_ipv4(std::uint32_t address) {
  in_addr a;
  a.s_addr = address;
  return inet_ntoa(a);
}

int wait_readable(ReadSet* set, long timeout_us) {
  // poll, not select: an fd_set cannot hold descriptors of 1024 and up.
  static pollfd fds[kReadSetCapacity];
  for (int i = 0; i < set->count; ++i) {
    fds[i].fd = fd_of(set->handles[i]);
    fds[i].events = POLLIN;
    fds[i].revents = 0;
  }
  int timeout_ms = static_cast<int>((timeout_us + 999) / 1000);
  int n = poll(fds, static_cast<nfds_t>(set->count), timeout_ms);
  if (n <= 0) return n < 0 ? -1 : 0;
  int kept = 0;
  for (int i = 0; i < set->count; ++i) {
    // An error condition counts as readable: the receive then reports it.
    if (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) set->handles[kept++] = set->handles[i];
  }
  set->count = kept;
  return kept;
}
