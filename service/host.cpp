#include "host.h"

#include <cstdio>
#include <cstring>

#include "config.h"
#include "dns.h"
#include "hosts.h"
#include "registry.h"

Socket g_registration_socket = kNoSocket;

namespace {

constexpr long kIdleWaitUs = 500000;
// While the table has unsaved changes the loop waits only this long, so the
// hosts file is written once the traffic has paused for 100 ms.
constexpr long kDirtyWaitUs = 100000;

// 32 KiB of handles: fixed storage, so composing the set allocates nothing.
ReadSet g_read_set;

int usage() {
  std::fprintf(stderr, "Usage: %s [run/install]\n", "Tarvik");
  return 1;
}

}  // namespace

int tarvik_main(int argc, char** argv) {
  install_crash_handler();
  if (argc >= 3) return usage();
  if (argc == 2) {
    if (std::strcmp(argv[1], "install") == 0) {
      install_service();
      return 0;
    }
    if (std::strcmp(argv[1], "run") == 0) {
      service_body();
      end_process(0);
    }
    return usage();
  }
  return run_as_service(service_body);
}

void service_body() {
  set_binary_file_mode();
  std::string folder = data_folder();
  g_settings.config_path = folder + kPathSeparator + "main.conf";
  g_settings.log_path = folder;

  if (!net_start()) {
    log(1, "WSAStartup failed");
    return;
  }
  if (!service_start()) {
    net_cleanup();
    log(1, "service_start() failed");
    return;
  }
  if (service_mode()) {
    report_service_running();
  } else {
    install_console_stop_handler();
  }
  log(4, "Started 1.0b");

  while (service_keep_running()) loop_iteration();

  shutdown_service();
  log(4, "Stopped");
  net_cleanup();
}

bool service_start() {
  if (!read_configuration()) return false;
  load_hosts_block(g_settings.hosts_file);

  g_registration_socket = bind_udp_port(g_settings.port);
  if (g_registration_socket == kNoSocket) {
    // Taken first: the shutdown's own calls would overwrite it.
    int error = last_socket_error();
    shutdown_service();  // writes the block if the load left the table dirty
    log(1, "UDP bind on port %d error: %d", g_settings.port, error);
    return false;
  }
  if (g_settings.dns_port == 0) return true;

  g_dns_socket = bind_udp_port(g_settings.dns_port);
  if (g_dns_socket == kNoSocket) {
    log(1, "UDP bind on port %d error: %d", g_settings.dns_port, last_socket_error());
    log(1, "DNS server will be disabled");
  }
  return true;
}

Socket bind_udp_port(int port) {
  Socket s = udp_open();
  if (s == kNoSocket) return kNoSocket;
  if (!udp_bind(s, 0, port)) {
    // Keep the bind's error for the caller's log line across the close.
    int error = last_socket_error();
    socket_close(s);
    set_last_socket_error(error);
    return kNoSocket;
  }
  return s;
}

void loop_iteration() {
  long timeout_us = g_hosts_dirty ? kDirtyWaitUs : kIdleWaitUs;

  read_set_clear(&g_read_set);
  read_set_add(&g_read_set, g_registration_socket);
  if (g_dns_socket != kNoSocket) {
    read_set_add(&g_read_set, g_dns_socket);
    sweep_pending_forwards(tick_count_ms(), &g_read_set);
  }

  int ready = wait_readable(&g_read_set, timeout_us);
  if (ready <= 0) {
    // A failed wait counts as a quiet one.
    if (g_hosts_dirty) rewrite_hosts_block(g_settings.hosts_file);
    return;
  }

  // At most one datagram from each ready socket, in this order.
  if (read_set_has(g_read_set, g_registration_socket) &&
      !handle_registration_datagram(g_registration_socket)) {
    return;  // the DNS side is served in the next iteration
  }
  if (g_dns_socket != kNoSocket) {
    relay_upstream_answers(g_read_set);
    if (read_set_has(g_read_set, g_dns_socket)) handle_dns_query();
  }
}

void shutdown_service() {
  if (g_registration_socket != kNoSocket) {
    socket_close(g_registration_socket);
    g_registration_socket = kNoSocket;
  }
  if (g_dns_socket != kNoSocket) {
    socket_close(g_dns_socket);
    g_dns_socket = kNoSocket;
    drop_all_pending_forwards();
  }
  if (g_hosts_dirty) rewrite_hosts_block(g_settings.hosts_file);
}
