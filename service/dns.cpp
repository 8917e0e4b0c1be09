#include "dns.h"

#include <unordered_set>

#include "config.h"

Socket g_dns_socket = kNoSocket;

namespace {

// The local addresses (address_key) of this service's own forward sockets,
// UDP and TCP. A query that comes from one of them is one of its own
// forwards come back, because the upstream server is this very server:
// taking it would relay it to itself again, without end.
std::unordered_set<std::uint64_t> g_own_forward_addresses;

std::uint64_t address_key(const SocketAddress& a) {
  return (static_cast<std::uint64_t>(socket_address_ip(a)) << 16) |
         static_cast<std::uint64_t>(socket_address_port(a));
}

}  // namespace

std::uint64_t remember_own_forward(Socket s) {
  SocketAddress local;
  if (!socket_local_address(s, &local)) return 0;
  std::uint64_t key = address_key(local);
  g_own_forward_addresses.insert(key);
  return key;
}

void forget_own_forward(std::uint64_t key) { g_own_forward_addresses.erase(key); }

bool from_own_forward(const SocketAddress& peer) {
  if (g_own_forward_addresses.count(address_key(peer)) == 0) return false;
  log(1, "dns i->s loop: upstream %s is this server", format_ipv4(g_settings.dns_server_ip).c_str());
  return true;
}

// --- The DNS port in the loop ----------------------------------------------

bool open_dns_sockets(int port) {
  g_dns_socket = bind_udp_port(port);
  if (g_dns_socket == kNoSocket) {
    int error = last_socket_error();
    log(1, "UDP bind on port %d error: %d: %s", port, error, system_error_text(error).c_str());
    log(1, "DNS server will be disabled");
    return false;
  }
  // Neither is vital: without them answers may leave from another of the
  // machine's addresses, and on Windows a client that has gone away may
  // cost a logged receive error.
  udp_ignore_unreachable(g_dns_socket);
  udp_report_destination(g_dns_socket);
  udp_enlarge_receive_buffer(g_dns_socket);
  g_dns_tcp_socket = tcp_listen(port);
  if (g_dns_tcp_socket == kNoSocket) {
    int error = last_socket_error();
    log(1, "TCP bind on port %d error: %d: %s", port, error, system_error_text(error).c_str());
  }
  return true;
}

void close_dns_sockets() {
  if (g_dns_socket != kNoSocket) {
    socket_close(g_dns_socket);
    g_dns_socket = kNoSocket;
  }
  if (g_dns_tcp_socket != kNoSocket) {
    socket_close(g_dns_tcp_socket);
    g_dns_tcp_socket = kNoSocket;
  }
  close_tcp_clients();
  drop_all_pending_forwards();
}

void add_dns_sockets(std::uint32_t now, WaitSet* set) {
  add_udp_sockets(now, set);
  add_tcp_sockets(now, set);
}

void serve_dns_sockets(const WaitSet& set) {
  serve_udp_sockets(set);
  serve_tcp_sockets(set, tick_count_ms());
}
