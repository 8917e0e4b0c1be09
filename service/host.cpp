#include "host.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "config.h"
#include "dns.h"
#include "hosts.h"
#include "publish.h"
#include "registry.h"
#include "stats.h"
#include "tarvik_version.h"

Socket g_registration_socket = kNoSocket;
Counters g_counters;

namespace {

constexpr long kIdleWaitUs = 500000;
// While the table has unsaved changes the loop waits only this long, so the
// hosts file is written once the traffic has paused for 100 ms (or, under
// steady traffic, once the changes are a second old).
constexpr long kDirtyWaitUs = 100000;

// Fixed storage, so composing the set allocates nothing. It holds every
// socket the loop may own at once, so none is ever left unwatched.
WaitSet g_wait_set;
static_assert(2 + kMaxPendingForwards + 1 + kMaxTcpClients + kMaxTcpForwards +
                      kMaxUpdatesInFlight <=
                  kWaitSetCapacity,
              "registration and DNS sockets, forwards, TCP listener, clients and their forwards, "
              "updates");

// When the next hosts-file write is due; touched only by the loop's thread.
RewriteSchedule g_rewrite_schedule;

// Serves the ready sockets: the registration socket first, then the DNS
// side, always both, so that junk on one port cannot hold up the other.
void serve_ready_sockets(int registration_slot) {
  // Memory running out costs the datagram or query at hand, not the
  // service; each side is tried on its own.
  try {
    if (wait_set_ready(g_wait_set, registration_slot) != 0) {
      handle_registration_datagrams(g_registration_socket);
    }
  } catch (const std::bad_alloc&) {
    log(1, "%s", "Registration dropped: out of memory");
  }
  try {
    if (g_dns_socket != kNoSocket) serve_dns_sockets(g_wait_set);
  } catch (const std::bad_alloc&) {
    log(1, "%s", "dns: query dropped: out of memory");
  }
  try {
    serve_publish_sockets(tick_count_ms(), g_wait_set);
  } catch (const std::bad_alloc&) {
    log(1, "%s", "update: answer dropped: out of memory");
  }
}

// The last write of the block, at stop; a write that runs out of memory is
// a failed write.
bool write_hosts_block() {
  try {
    return save_hosts_block_at_stop(g_settings.hosts_file);
  } catch (const std::bad_alloc&) {
    log(1, "%s: Can not write: out of memory", g_settings.hosts_file.c_str());
    return false;
  }
}

// Takes the result of the write in flight, and hands the block to the
// writer when a write is due; a failed write is tried again later.
void write_hosts_block_when_due(bool quiet) {
  WriteOutcome outcome;
  if (finish_hosts_write(&outcome)) note_rewrite_result(&g_rewrite_schedule, outcome, tick_count_ms());
  if (hosts_write_pending()) return;
  std::uint32_t now = tick_count_ms();
  if (!rewrite_due(&g_rewrite_schedule, g_hosts_dirty, quiet, now)) return;
  try {
    start_hosts_write(g_settings.hosts_file);
  } catch (const std::bad_alloc&) {
    // No memory to compose the block: a failed write, tried again later.
    log(1, "%s: Can not write: out of memory", g_settings.hosts_file.c_str());
    ++g_counters.hosts_write_failures;
    g_hosts_dirty = true;
    note_rewrite_result(&g_rewrite_schedule, WriteOutcome::kFailed, tick_count_ms());
  }
}

// Hands the table's recent changes to those that keep a copy of the table:
// the publisher (the site's DNS server) and the hosts-file writer.
void hand_out_name_changes() {
  static std::vector<NameChange> changes;
  take_name_changes(&changes);
  try {
    for (const NameChange& change : changes) {
      switch (change.kind) {
        case NameChange::Kind::kSet:
          publish_name(change.name, change.address);
          break;
        case NameChange::Kind::kRemoved:
          publish_removal(change.name);
          break;
        case NameChange::Kind::kMoved:
          break;
      }
    }
  } catch (const std::bad_alloc&) {
    // The hosts writer's changes must not be lost with the publisher's.
    note_hosts_changes(&changes);
    throw;
  }
  note_hosts_changes(&changes);
}

// Runs one step of the start-up; memory running out fails that step with
// a log line instead of ending the process.
template <typename Step>
bool start_step(const char* what, Step step) {
  try {
    step();
    return true;
  } catch (const std::bad_alloc&) {
    log(1, "%s: out of memory", what);
    return false;
  }
}

int usage() {
  std::fprintf(stderr, "Usage: %s [run/install]\n", "Tarvik");
  return 1;
}

// `--help`/`-h` and `--version`, what an admin tries first: on stdout, and
// not a usage error. False for any other argument.
bool print_help_or_version(const char* arg) {
  if (std::strcmp(arg, "--version") == 0) {
    std::printf("Tarvik %s\n", TARVIK_VERSION_TEXT);
    return true;
  }
  if (std::strcmp(arg, "--help") != 0 && std::strcmp(arg, "-h") != 0) return false;
  std::printf(
      "Usage: tarvik [COMMAND]\n"
      "Name service for devices on the local network.\n"
      "\n"
      "  (no command)     run as the service, under the service manager\n"
      "  run              run in the foreground; Ctrl+C stops it\n"
      "  install          register the service and prepare the data folder\n"
      "  check [FILE]     check main.conf (or FILE): each problem with its line\n"
      "  status [--json]  the running service's devices and counters\n"
      "  forget NAME      remove a device from the running service\n"
      "  reload           make the running service re-read main.conf\n"
      "  -h, --help       this text\n"
      "  --version        the version\n"
      "\n"
      "Configuration: %s%cmain.conf (see main.conf(5) or docs/configuration.md).\n"
      "Exit code 0 when done, 1 on failure or a usage error.\n",
      data_folder().c_str(), kPathSeparator);
  return true;
}

}  // namespace

int tarvik_main(int argc, char** argv) {
  install_crash_handler();
  if (argc == 2 && print_help_or_version(argv[1])) return 0;
  if (argc >= 2 && argc <= 3 && std::strcmp(argv[1], "check") == 0) {
    return check_configuration(argc == 3 ? argv[2] : nullptr);
  }
  if (argc >= 3) return usage();
  if (argc == 2) {
    if (std::strcmp(argv[1], "install") == 0) {
      install_service();
      return 0;
    }
    if (std::strcmp(argv[1], "run") == 0) {
      // Exit code 0 either way, as before: the reason is in the log.
      service_body();
      end_process(0);
    }
    return usage();
  }
  return run_as_service(service_body);
}

bool service_body() {
  set_binary_file_mode();
  std::string folder = data_folder();
  g_settings.config_path = folder + kPathSeparator + "main.conf";
  g_settings.log_path = folder;

  if (!net_start()) {
    log(1, "WSAStartup failed");
    return false;
  }
  if (!service_start()) {
    net_cleanup();
    log(1, "service_start() failed");
    return false;
  }
  if (service_mode()) {
    report_service_running();
  } else {
    install_console_stop_handler();
  }
  log(4, "Started 1.0b");

  while (service_keep_running()) loop_iteration();

  shutdown_service();
  log_release_held_back(true);
  log(4, "Stopped");
  report_shutdown_complete();
  net_cleanup();
  return true;
}

bool service_start() {
  bool configured = false;
  if (!start_step("read configuration", [&] { configured = read_configuration(); }) || !configured)
    return false;
  start_step("remove stale copies", [] { remove_stale_hosts_copies(g_settings.hosts_file); });
  start_step("load hosts-file block", [] { load_hosts_block(g_settings.hosts_file); });
  record_name_changes(true);

  g_registration_socket = bind_udp_port(g_settings.port);
  if (g_registration_socket == kNoSocket) {
    // Taken first: the shutdown's own calls would overwrite it.
    int error = last_socket_error();
    shutdown_service();  // writes the block if the load left the table dirty
    log(1, "UDP bind on port %d error: %d: %s", g_settings.port, error, system_error_text(error).c_str());
    return false;
  }
  // A device that has gone before its acknowledgement arrives must not cost
  // a later receive (Windows).
  udp_ignore_unreachable(g_registration_socket);
  udp_enlarge_receive_buffer(g_registration_socket);
  if (g_settings.dns_port != 0)
    start_step("open DNS sockets", [] { open_dns_sockets(g_settings.dns_port); });
  start_step("publish the table", [] { publish_start(); });
  return true;
}

void loop_iteration() {
  // A write in flight is looked after as often as unsaved changes.
  long timeout_us = g_hosts_dirty || hosts_write_pending() ? kDirtyWaitUs : kIdleWaitUs;

  wait_set_clear(&g_wait_set);
  int registration_slot = wait_set_add(&g_wait_set, g_registration_socket, kWaitRead);
  if (g_dns_socket != kNoSocket) add_dns_sockets(tick_count_ms(), &g_wait_set);
  start_step("send updates", [] { add_publish_sockets(tick_count_ms(), &g_wait_set); });

  if (g_dns_socket != kNoSocket) timeout_us = dns_wait_timeout_us(tick_count_ms(), timeout_us);
  int ready = wait_sockets(&g_wait_set, timeout_us);
  // A failed wait counts as a quiet one.
  if (ready > 0) serve_ready_sockets(registration_slot);
  // The changes go before a write is handed over, so that it carries them.
  start_step("hand out changes", [] { hand_out_name_changes(); });
  write_hosts_block_when_due(ready <= 0);
  log_release_held_back();
}

void shutdown_service() {
  if (g_registration_socket != kNoSocket) {
    socket_close(g_registration_socket);
    g_registration_socket = kNoSocket;
  }
  close_dns_sockets();
  start_step("hand out changes", [] { hand_out_name_changes(); });
  publish_stop();
  // One more attempt, whatever the back-off after earlier failures says,
  // once the write in flight (if any) has ended.
  wait_for_hosts_write();
  if (g_hosts_dirty) write_hosts_block();
}
