#include "dns.h"

#include <unordered_set>
#include <vector>

#include "config.h"
#include "publish.h"

Socket g_dns_socket = kNoSocket;
DnsCaps g_dns_caps = {kMaxPendingForwards, kMaxTcpClients};

namespace {

// The local addresses (address_key) of this service's own forward sockets,
// UDP and TCP. A query that comes from one of them is one of its own
// forwards come back, because the upstream server is this very server:
// taking it would relay it to itself again, without end. Each key holds the
// transport too: a UDP port and a TCP port of the same number are different
// places, and a TCP client that happens to get the port number of a pending
// UDP forward is an asker like any other.
std::unordered_set<std::uint64_t> g_own_forward_addresses;

std::uint64_t address_key(const SocketAddress& a, Transport transport) {
  return (transport == Transport::kTcp ? std::uint64_t{1} << 48 : 0) |
         (static_cast<std::uint64_t>(socket_address_ip(a)) << 16) |
         static_cast<std::uint64_t>(socket_address_port(a));
}

// Descriptors that DNS traffic must leave to the rest of the service, so
// that a flood of queries or connections never costs a registration, a log
// record or a hosts-file write: stdin, stdout and stderr; the registration
// socket, the DNS socket and listener, and the wait's own set (epoll); the
// connection an accept takes before it is known whether it may stay; the
// updates in flight; and files: the log, the hosts file, its copy and its
// folder, the configuration, and a margin for the system's own.
constexpr int kHeldElsewhere = 3 + 4 + 1 + kMaxUpdatesInFlight;
constexpr int kFileReserve = 16;

// The subnets a relayed query may come from when allow-from is not set:
// loopback first, then those of the interfaces at the last read.
constexpr std::uint32_t kLocalSubnetsMaxAgeMs = 5000;
std::vector<Ipv4Prefix> g_local_subnets;
std::uint32_t g_local_subnets_read_at = 0;

void read_local_subnets(std::uint32_t now) {
  g_local_subnets_read_at = now;
  std::vector<Ipv4Prefix> interfaces;
  int error = 0;
  if (!interface_subnets(&interfaces, &error)) {
    log(1, "dns: interface addresses not read: %d: %s", error, system_error_text(error).c_str());
    if (!g_local_subnets.empty()) return;  // the last list stays
  }
  std::vector<Ipv4Prefix> subnets{Ipv4Prefix{parse_ipv4("127.0.0.0"), parse_ipv4("255.0.0.0")}};
  subnets.insert(subnets.end(), interfaces.begin(), interfaces.end());
  g_local_subnets.swap(subnets);
}

}  // namespace

DnsCaps dns_caps_for(int descriptor_limit) {
  int available = descriptor_limit - kHeldElsewhere - kFileReserve;
  if (available < 0) available = 0;
  // TCP clients are few and long-lived, so they get at most an eighth of
  // what is left (two descriptors each: the connection and its forward);
  // UDP forwards, short-lived and many, get the rest.
  int clients = available / 8;
  if (clients > kMaxTcpClients) clients = kMaxTcpClients;
  int forwards = available - 2 * clients;
  if (forwards > kMaxPendingForwards) forwards = kMaxPendingForwards;
  return DnsCaps{forwards, clients};
}

bool relay_allowed(std::uint32_t sender) {
  if (g_settings.allow_from_set) return true;
  std::uint32_t now = tick_count_ms();
  if (g_local_subnets.empty() ||
      static_cast<std::uint32_t>(now - g_local_subnets_read_at) > kLocalSubnetsMaxAgeMs) {
    read_local_subnets(now);
  }
  return address_in_prefixes(sender, g_local_subnets);
}

std::uint64_t remember_own_forward(Socket s, Transport transport) {
  SocketAddress local;
  if (!socket_local_address(s, &local)) return 0;
  std::uint64_t key = address_key(local, transport);
  g_own_forward_addresses.insert(key);
  return key;
}

void forget_own_forward(std::uint64_t key) { g_own_forward_addresses.erase(key); }

bool from_own_forward(const SocketAddress& peer, Transport transport) {
  if (g_own_forward_addresses.count(address_key(peer, transport)) == 0) return false;
  log(1, "dns i->s loop: upstream %s is this server", format_ipv4(g_settings.dns_server_ip).c_str());
  return true;
}

// --- The DNS port in the loop ----------------------------------------------

bool open_dns_sockets(int port) {
  int limit = descriptor_limit();
  g_dns_caps = dns_caps_for(limit);
  if (g_dns_caps.forwards < kMaxPendingForwards || g_dns_caps.tcp_clients < kMaxTcpClients) {
    log(4, "dns: at most %d pending forwards, %d TCP clients (descriptor limit %d)",
        g_dns_caps.forwards, g_dns_caps.tcp_clients, limit);
  }
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
  if (g_settings.dns_server_ip != kAddressNone && !g_settings.allow_from_set) {
    log(1, "dns: relaying for local subnets only");
    read_local_subnets(tick_count_ms());
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

long dns_wait_timeout_us(std::uint32_t now, long timeout_us) {
  return tcp_wait_timeout_us(now, timeout_us);
}

void serve_dns_sockets(const WaitSet& set) {
  serve_udp_sockets(set);
  serve_tcp_sockets(set, tick_count_ms());
}
