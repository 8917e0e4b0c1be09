#include "host.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "config.h"
#include "control.h"
#include "control_client.h"
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
                      kMaxUpdatesInFlight + 1 + kMaxControlClients <=
                  kWaitSetCapacity,
              "registration and DNS sockets, forwards, TCP listener, clients and their forwards, "
              "updates, the control channel and its clients");

// When the next hosts-file write is due; touched only by the loop's thread.
RewriteSchedule g_rewrite_schedule;

// Names removed by ageing in one turn at most, so that a table that ages
// all at once (a restart long ago) does not hold up the loop.
constexpr std::size_t kExpiriesPerTurn = 1024;

// The service's own clock for the name table: milliseconds since the
// start, from the monotonic tick count (which wraps after 49.7 days).
std::uint64_t g_uptime_ms = 0;
std::uint32_t g_last_tick = 0;

// What the status view and the service manager are shown.
ServiceView g_view;
std::string g_reported_summary;
std::uint32_t g_summary_checked_at = 0;
// The service manager's line is sent at most this often, and only when it
// has changed.
constexpr std::uint32_t kSummaryIntervalMs = 1000;

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
  if (finish_hosts_write(&outcome)) {
    note_rewrite_result(&g_rewrite_schedule, outcome, tick_count_ms());
    // A write that another program's changes kept from happening counts as
    // failing too: the block on disk is not the table.
    if (outcome == WriteOutcome::kWritten) {
      g_view.hosts_written = unix_time_seconds();
      g_view.hosts_failing_since = 0;
    } else if (g_view.hosts_failing_since == 0) {
      g_view.hosts_failing_since = unix_time_seconds();
    }
  }
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

// Moves the table's clock on by the ticks since the last turn.
void advance_table_clock() {
  std::uint32_t tick = tick_count_ms();
  g_uptime_ms += static_cast<std::uint32_t>(tick - g_last_tick);
  g_last_tick = tick;
  set_table_clock(static_cast<std::uint32_t>(g_uptime_ms / 1000));
}

// Keeps the service manager's line up to date.
void report_summary(bool now) {
  std::uint32_t tick = tick_count_ms();
  if (!now && tick - g_summary_checked_at < kSummaryIntervalMs) return;
  g_summary_checked_at = tick;
  std::string summary = service_summary(g_view);
  if (summary == g_reported_summary) return;
  g_reported_summary = summary;
  report_service_text(summary);
}

std::string port_text(int port) { return port == 0 ? "off" : std::to_string(port); }

// A setting that needs a restart to change: the running value stays, and
// the admin is told so.
template <typename Value>
void keep_until_restart(const char* key, Value* fresh, const Value& running, const std::string& fresh_text,
                        const std::string& running_text, std::string* outcome) {
  if (*fresh == running) return;
  char line[1024];
  std::snprintf(line, sizeof line, "%s changed to %s, which needs a restart; %s stays in force until then", key,
                fresh_text.c_str(), running_text.c_str());
  log(2, "reload: %s", line);
  *outcome += line;
  *outcome += '\n';
  *fresh = running;
}

bool same_ranges(const std::vector<Ipv4Prefix>& a, const std::vector<Ipv4Prefix>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].network != b[i].network || a[i].mask != b[i].mask) return false;
  }
  return true;
}

// Reads main.conf again and applies what can change while the sockets stay
// bound. `asker` says who asked, for the log. Returns whether the file was
// taken; *outcome holds the lines `tarvik reload` prints.
bool reload_configuration_file(const std::string& asker, std::string* outcome) {
  const std::string path = g_settings.config_path;
  log(4, "reload of %s (%s)", path.c_str(), asker.c_str());
  Settings fresh = default_settings(path);
  std::vector<ConfigProblem> problems;
  bool refused = false;
  bool usable = load_configuration(path, &fresh, &problems, &refused);
  // The start takes a file whose values are partly refused (each keeps its
  // default); a reload can do better and keep what runs: it takes the file
  // only when it holds no error. Unknown keys are warnings.
  std::string reason;
  for (const ConfigProblem& problem : problems) {
    if (problem.level == 1 && (reason.empty() || problem.fatal)) reason = problem.text;
    if (problem.fatal) break;
  }
  if (usable && reason.empty() && fresh.pwd.empty() && service_mode()) {
    reason = path + ": no pwd set, registrations would need no password";
  }
  if (!usable || !reason.empty()) {
    log_configuration_problems(problems);
    char line[2048];
    std::snprintf(line, sizeof line, "reload of %s not taken: %s; the running configuration stays", path.c_str(),
                  reason.c_str());
    log(1, "%s", line);
    *outcome = line;
    return false;
  }

  std::string restarts;
  keep_until_restart("port", &fresh.port, g_settings.port, port_text(fresh.port), port_text(g_settings.port),
                     &restarts);
  keep_until_restart("dns-port", &fresh.dns_port, g_settings.dns_port, port_text(fresh.dns_port),
                     port_text(g_settings.dns_port), &restarts);
  keep_until_restart("hosts-file", &fresh.hosts_file, g_settings.hosts_file, fresh.hosts_file,
                     g_settings.hosts_file, &restarts);

  const Settings& running = g_settings;
  std::vector<const char*> changed;
  if (fresh.pwd != running.pwd) changed.push_back("pwd");
  if (fresh.log_path != running.log_path) changed.push_back("log-path");
  if (fresh.verbose != running.verbose) changed.push_back("verbose");
  if (fresh.allow_from_set != running.allow_from_set || !same_ranges(fresh.allow_from, running.allow_from))
    changed.push_back("allow-from");
  if (fresh.dns_server_ip != running.dns_server_ip) changed.push_back("dns-server-ip");
  if (fresh.tarvik_server_ip != running.tarvik_server_ip) changed.push_back("tarvik-server-ip");
  if (fresh.max_names != running.max_names) changed.push_back("max-names");
  if (fresh.max_age_hours != running.max_age_hours) changed.push_back("max-age");
  std::size_t before_updates = changed.size();
  if (fresh.update_server_ip != running.update_server_ip || fresh.update_server_port != running.update_server_port)
    changed.push_back("update-server");
  if (fresh.update_zone != running.update_zone) changed.push_back("update-zone");
  if (fresh.update_key_set != running.update_key_set || fresh.update_key_name != running.update_key_name ||
      fresh.update_key_algorithm != running.update_key_algorithm ||
      fresh.update_key_secret != running.update_key_secret)
    changed.push_back("update-key");
  if (fresh.update_ttl != running.update_ttl) changed.push_back("update-ttl");
  bool publishing_changed = changed.size() > before_updates;

  // What the publisher holds under way is sent with the old settings (or
  // dropped, with its count logged): it starts again on the new ones and
  // publishes the whole table.
  if (publishing_changed) publish_stop();
  g_settings = std::move(fresh);
  if (publishing_changed) start_step("publish the table", [] { publish_start(); });
  log_configuration_problems(problems);

  std::string list;
  for (const char* key : changed) list += (list.empty() ? "" : ", ") + std::string(key);
  char line[1024];
  std::snprintf(line, sizeof line, "reload of %s done: %s", path.c_str(),
                list.empty() ? "nothing changed" : (list + " changed").c_str());
  log(4, "%s", line);
  if (g_settings.pwd.empty()) log(2, "%s: no pwd set: registrations need no password", path.c_str());
  *outcome = line;
  *outcome += '\n';
  *outcome += restarts;
  return true;
}

// A reload asked for by the service manager, a signal or the control
// channel. Memory running out costs the reload, not the service.
void reload_configuration(bool from_control) {
  report_service_reloading(true);
  std::string outcome;
  bool taken = false;
  std::string asker = from_control ? "asked by " + reload_asker() : kReloadRequestName;
  if (!start_step("reload", [&] { taken = reload_configuration_file(asker, &outcome); })) {
    outcome = "reload: out of memory; the running configuration stays";
  }
  if (from_control) answer_reload(taken, outcome, tick_count_ms());
  report_service_reloading(false);
}

void expire_stale_names() {
  if (g_settings.max_age_hours <= 0) return;
  expire_names(table_clock(), static_cast<std::uint32_t>(g_settings.max_age_hours) * 3600u, kExpiriesPerTurn);
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
  if (argc >= 2 && is_control_command(argv[1])) {
    int code = run_control_command(argc - 1, argv + 1);
    return code < 0 ? usage() : code;
  }
  if (argc >= 3) return usage();
  if (argc == 2) {
    if (std::strcmp(argv[1], "install") == 0) {
      install_service();
      return 0;
    }
    if (std::strcmp(argv[1], "run") == 0) {
      // Exit code 0 either way, as before: the reason is in the log.
      std::string failure;
      service_body(&failure);
      end_process(0);
    }
    return usage();
  }
  return run_as_service(service_body);
}

bool service_body(std::string* failure) {
  set_binary_file_mode();
  std::string folder = data_folder();
  g_settings.config_path = folder + kPathSeparator + "main.conf";
  g_settings.log_path = folder;

  if (!net_start()) {
    *failure = "WSAStartup failed";
    log(1, "WSAStartup failed");
    return false;
  }
  if (!service_start(failure)) {
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
  report_summary(true);

  while (service_keep_running()) loop_iteration();

  shutdown_service();
  log_release_held_back(true);
  log(4, "Stopped");
  report_shutdown_complete();
  net_cleanup();
  return true;
}

bool service_start(std::string* failure) {
  bool configured = false;
  if (!start_step("read configuration", [&] { configured = read_configuration(failure); }) || !configured) {
    if (failure->empty()) *failure = "read configuration: out of memory";
    return false;
  }
  if (g_settings.pwd.empty()) {
    // Installed and started by the service manager, the service must never
    // acknowledge registrations sent without a password: a silent install
    // that left main.conf without one would otherwise, at some later boot,
    // run a name service anyone can write to. In a console the admin is
    // there to see the warning.
    if (service_mode()) {
      *failure = g_settings.config_path + ": no pwd set, registrations would need no password: not started";
      log(1, "%s", failure->c_str());
      return false;
    }
    log(2, "%s: no pwd set: registrations need no password", g_settings.config_path.c_str());
  }
  g_last_tick = tick_count_ms();
  g_uptime_ms = 0;
  set_table_clock(0);
  g_view = ServiceView();
  g_view.started = unix_time_seconds();
  start_step("remove stale copies", [] { remove_stale_hosts_copies(g_settings.hosts_file); });
  start_step("load hosts-file block", [] { load_hosts_block(g_settings.hosts_file); });
  record_name_changes(true);

  g_registration_socket = bind_udp_port(g_settings.port);
  if (g_registration_socket == kNoSocket) {
    // Taken first: the shutdown's own calls would overwrite it.
    int error = last_socket_error();
    shutdown_service();  // writes the block if the load left the table dirty
    char reason[256];
    std::snprintf(reason, sizeof reason, "UDP bind on port %d error: %d: %s", g_settings.port, error,
                  system_error_text(error).c_str());
    *failure = reason;
    log(1, "%s", reason);
    return false;
  }
  // A device that has gone before its acknowledgement arrives must not cost
  // a later receive (Windows).
  udp_ignore_unreachable(g_registration_socket);
  udp_enlarge_receive_buffer(g_registration_socket);
  if (g_settings.dns_port != 0) {
    start_step("open DNS sockets", [] { open_dns_sockets(g_settings.dns_port); });
    if (g_dns_socket != kNoSocket) {
      g_view.dns_port = g_settings.dns_port;
    } else {
      g_view.dns_port_off = g_settings.dns_port;
    }
  }
  start_step("publish the table", [] { publish_start(); });
  start_step("open the control channel", [] { start_control(); });
  return true;
}

void loop_iteration() {
  // A write in flight is looked after as often as unsaved changes.
  long timeout_us = g_hosts_dirty || hosts_write_pending() ? kDirtyWaitUs : kIdleWaitUs;

  wait_set_clear(&g_wait_set);
  int registration_slot = wait_set_add(&g_wait_set, g_registration_socket, kWaitRead);
  if (g_dns_socket != kNoSocket) add_dns_sockets(tick_count_ms(), &g_wait_set);
  start_step("send updates", [] { add_publish_sockets(tick_count_ms(), &g_wait_set); });
  add_control_waits(tick_count_ms(), &g_wait_set);

  if (g_dns_socket != kNoSocket) timeout_us = dns_wait_timeout_us(tick_count_ms(), timeout_us);
  timeout_us = control_timeout_us(tick_count_ms(), timeout_us);
  int ready = wait_sockets(&g_wait_set, timeout_us);
  advance_table_clock();
  // A failed wait counts as a quiet one.
  if (ready > 0) serve_ready_sockets(registration_slot);
  bool reload_asked = serve_control(g_wait_set, g_view, tick_count_ms());
  if (take_reload_request()) reload_configuration(false);
  if (reload_asked) reload_configuration(true);
  expire_stale_names();
  // The changes go before a write is handed over, so that it carries them.
  start_step("hand out changes", [] { hand_out_name_changes(); });
  write_hosts_block_when_due(ready <= 0);
  report_summary(false);
  log_release_held_back();
}

void shutdown_service() {
  stop_control();
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
