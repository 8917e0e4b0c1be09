// Windows implementation of platform.h: Winsock sockets and the wait.
#define FD_SETSIZE 4096  // the read set's capacity; must precede winsock2.h
#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "platform.h"

const int kMessageTooLong = WSAEMSGSIZE;

// ---------------------------------------------------------------------------
// Sockets

namespace {

SOCKET handle_of(Socket s) { return static_cast<SOCKET>(s); }

sockaddr_in ipv4_address(std::uint32_t address, int port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = address;
  return a;
}

}  // namespace

bool net_start() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void net_cleanup() { WSACleanup(); }

Socket udp_open() {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  return s == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(s);
}

bool udp_bind(Socket s, std::uint32_t address, int port) {
  sockaddr_in a = ipv4_address(address, port);
  return bind(handle_of(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool udp_connect(Socket s, std::uint32_t address, int port) {
  sockaddr_in a = ipv4_address(address, port);
  return connect(handle_of(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

void socket_close(Socket s) { closesocket(handle_of(s)); }

int last_socket_error() { return WSAGetLastError(); }
void set_last_socket_error(int error) { WSASetLastError(error); }

int udp_receive(Socket s, char* buffer, int capacity, SocketAddress* from) {
  sockaddr_in a;
  int length = sizeof a;
  // An oversized datagram fails with WSAEMSGSIZE and is discarded.
  int n = recvfrom(handle_of(s), buffer, capacity, 0, reinterpret_cast<sockaddr*>(&a), &length);
  if (n == SOCKET_ERROR) return -1;
  if (from != nullptr) {
    std::memset(from->bytes, 0, sizeof from->bytes);
    std::memcpy(from->bytes, &a, length < static_cast<int>(sizeof a) ? length : sizeof a);
    from->length = length;
  }
  return n;
}

int udp_send(Socket s, const char* data, int length, const SocketAddress& to) {
  int n = sendto(handle_of(s), data, length, 0, reinterpret_cast<const sockaddr*>(to.bytes),
                 to.length);
  return n == SOCKET_ERROR ? -1 : n;
}

int udp_send_connected(Socket s, const char* data, int length) {
  int n = send(handle_of(s), data, length, 0);
  return n == SOCKET_ERROR ? -1 : n;
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
  const char* text = inet_ntoa(a);
  return text != nullptr ? text : "";
}

int wait_readable(ReadSet* set, long timeout_us) {
  static fd_set fds;  // 32 KiB with FD_SETSIZE 4096: not on the stack
  fds.fd_count = 0;
  for (int i = 0; i < set->count; ++i) fds.fd_array[fds.fd_count++] = handle_of(set->handles[i]);
  timeval timeout;
  timeout.tv_sec = timeout_us / 1000000;
  timeout.tv_usec = timeout_us % 1000000;
  int n = select(0, &fds, nullptr, nullptr, &timeout);
  if (n <= 0) return n < 0 ? -1 : 0;
  int kept = 0;
  for (int i = 0; i < set->count; ++i) {
    if (FD_ISSET(handle_of(set->handles[i]), &fds)) set->handles[kept++] = set->handles[i];
  }
  set->count = kept;
  return kept;
}
