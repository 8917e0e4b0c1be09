#include "dns.h"

#include "config.h"

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
  start_relaying(port);
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
