// POSIX implementation of platform.h: clocks, service control, crash report.
#include "platform.h"

#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "unit_text.h"

// ---------------------------------------------------------------------------
// Clocks

std::uint32_t tick_count_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                     static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

LocalTime local_time_now() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  time_t seconds = tv.tv_sec;
  tm parts;
  localtime_r(&seconds, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                   parts.tm_min,         parts.tm_sec,     static_cast<int>(tv.tv_usec / 1000)};
}

// ---------------------------------------------------------------------------
// Service control and process
//
// Linux has no service control manager. systemd plays its part: the status
// reports become sd_notify messages, SIGTERM is the stop control, and
// `install` writes a unit file. The state names below are the ones the
// Windows build reports, so both builds follow the same sequence.

namespace {

enum ServiceState { kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4 };

// Cleared by the console stop signals; read by the stop test.
volatile sig_atomic_t g_running = 1;
// Set once run_as_service has begun; never cleared.
volatile sig_atomic_t g_service_mode = 0;
// The stop event of service mode: set by the stop signal, never reset.
volatile sig_atomic_t g_stop_requested = 0;
// Set just before SERVICE_STOPPED is reported. The stop signal interrupts the
// only thread there is, so a report it makes either comes before this flag is
// set or is skipped: "stopped" is always the last message systemd receives.
volatile sig_atomic_t g_stopped = 0;

// The notification socket's address, resolved before any signal can arrive
// so that the stop signal's handler only has to call socket/sendto/close.
sockaddr_un g_notify_address;
socklen_t g_notify_length = 0;

void on_console_stop_signal(int) { g_running = 0; }

void set_stop_handler(int signal_number, void (*handler)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  sigaction(signal_number, &action, nullptr);
}

// Reads NOTIFY_SOCKET: a path, or an abstract name when it starts with '@'.
// False, with errno set, when it is set to something that names no socket.
bool resolve_notify_socket() {
  const char* name = std::getenv("NOTIFY_SOCKET");
  g_notify_length = 0;
  if (name == nullptr) return true;
  std::size_t length = std::strlen(name);
  if ((name[0] != '/' && name[0] != '@') || length < 2) {
    errno = EINVAL;
    return false;
  }
  if (length > sizeof g_notify_address.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memset(&g_notify_address, 0, sizeof g_notify_address);
  g_notify_address.sun_family = AF_UNIX;
  std::memcpy(g_notify_address.sun_path, name, length);
  if (name[0] == '@') {
    g_notify_address.sun_path[0] = '\0';
    // An abstract name is exactly as long as given: no terminating zero.
    g_notify_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  } else {
    g_notify_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + 1);
  }
  return true;
}

// One sd_notify datagram. Async-signal-safe. Returns 0, or the errno of the
// failure; without a notification socket there is nothing to fail.
int notify_service_manager(const char* message) {
  if (g_notify_length == 0) return 0;
  int saved_errno = errno;
  int error = 0;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errno;
  } else {
    if (sendto(fd, message, std::strlen(message), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&g_notify_address), g_notify_length) < 0) {
      error = errno;
    }
    close(fd);
  }
  errno = saved_errno;
  return error;
}

int report_service_status(ServiceState state) {
  if (g_stopped) return 0;
  switch (state) {
    case kStartPending:
      return notify_service_manager("STATUS=Starting\n");
    case kRunning:
      return notify_service_manager("READY=1\nSTATUS=Running\n");
    case kStopPending:
      return notify_service_manager("STOPPING=1\nSTATUS=Stopping\n");
    case kStopped:
      g_stopped = 1;
      return notify_service_manager("STATUS=Stopped\n");
  }
  return 0;
}

// The event log's counterpart: one error record in syslog. Not for use in a
// signal handler.
void report_event(const char* subject, int error) {
  openlog("Tarvik", LOG_PID, LOG_DAEMON);
  syslog(LOG_ERR, "%s failed with %d", subject, error);
  closelog();
}

// The control handler's counterpart: SIGTERM (and SIGINT) in service mode.
void on_service_stop_signal(int) {
  if (g_stop_requested) return;
  report_service_status(kStopPending);
  g_stop_requested = 1;
}

}  // namespace

void install_console_stop_handler() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) set_stop_handler(signal_number, on_console_stop_signal);
}

// The stop signals only set a flag; the process ends when the loop is done.
void report_shutdown_complete() {}

bool service_keep_running() {
  if (g_service_mode && g_stop_requested) {
    g_running = 0;
    return false;
  }
  return g_running != 0;
}

bool service_mode() { return g_service_mode != 0; }

void report_service_running() {
  // A stop that came during start-up has been reported already.
  if (g_service_mode && !g_stop_requested) report_service_status(kRunning);
}

void end_process(int code) { _exit(code); }

bool stderr_is_journal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0, inode = 0;
  char end = '\0';
  if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) != 2) return false;
  struct stat st;
  return fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

void report_error_event(const char*) {}

// ---------------------------------------------------------------------------
// Service manager, installer and crash handler

int run_as_service(bool (*service_body)()) {
  // Without NOTIFY_SOCKET (started by hand, or by a Type=simple unit) the
  // service runs all the same; its reports then go nowhere.
  // A service manager that cannot be told anything is worth an event, but
  // the service itself can still do its work.
  if (!resolve_notify_socket()) report_event("NOTIFY_SOCKET", errno);
  g_service_mode = 1;

  set_stop_handler(SIGTERM, on_service_stop_signal);
  set_stop_handler(SIGINT, on_service_stop_signal);

  int error = report_service_status(kStartPending);
  if (error != 0) report_event("sd_notify", error);
  if (!service_body()) report_event("service_start()", 1);
  report_service_status(kStopped);
  return 0;
}

namespace {

const char kUnitFolder[] = "/etc/systemd/system";
const char kUnitPath[] = "/etc/systemd/system/tarvik.service";
const char kWantsFolder[] = "/etc/systemd/system/multi-user.target.wants";
const char kWantsLink[] = "/etc/systemd/system/multi-user.target.wants/tarvik.service";

// ExecStart= takes a command line: quote a path with spaces, and double '%',
// which systemd would otherwise read as a specifier.
std::string unit_command_line(const std::string& path) {
  std::string escaped;
  for (char c : path) {
    if (c == '%') escaped += '%';
    if (c == '"' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return path.find(' ') == std::string::npos ? escaped : "\"" + escaped + "\"";
}

// The packaged unit with this program in ExecStart=. The package's line
// names /usr/sbin/tarvik; `install` names wherever it was run from.
std::string unit_text(const std::string& program) {
  static const char kPackagedLine[] = "\nExecStart=/usr/sbin/tarvik\n";
  std::string text = kUnitTemplate;
  std::size_t at = text.find(kPackagedLine);
  if (at != std::string::npos) {
    text.replace(at, sizeof kPackagedLine - 1, "\nExecStart=" + unit_command_line(program) + "\n");
  }
  return text;
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// What `systemctl enable` does: a link from the target's wants folder. A link
// that is there already and points at the unit counts as done.
bool enable_unit() {
  if (mkdir(kWantsFolder, 0755) != 0 && errno != EEXIST) return false;
  if (symlink(kUnitPath, kWantsLink) == 0) return true;
  if (errno != EEXIST) return false;
  char target[sizeof kUnitPath + 1];
  ssize_t n = readlink(kWantsLink, target, sizeof target);
  bool same = n == static_cast<ssize_t>(sizeof kUnitPath - 1) &&
              std::memcmp(target, kUnitPath, sizeof kUnitPath - 1) == 0;
  errno = EEXIST;
  return same;
}

// The data folder as the service expects it: root's, writable by root
// alone, so that nobody else can plant main.conf there before the admin
// writes it; a main.conf is made, empty and 0600, as it will hold the
// password, and root's one that is there already loses every right of
// group and others. A folder that is there already keeps its other bits, loses
// write for group and others and is given to root; a link is refused.
bool prepare_data_folder(const std::string& folder) {
  bool created = mkdir(folder.c_str(), 0755) == 0;
  if (!created && errno != EEXIST) return false;
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ready = fstat(fd, &st) == 0 && ((st.st_uid == 0 && st.st_gid == 0) || fchown(fd, 0, 0) == 0) &&
               fchmod(fd, created ? 0755 : (st.st_mode & 07777 & ~(S_IWGRP | S_IWOTH))) == 0;
  if (ready) {
    int conf = openat(fd, "main.conf", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (conf < 0 && errno == EEXIST) {
      conf = openat(fd, "main.conf", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      struct stat conf_st;
      // Another user's file is left as it is, for the start to refuse.
      if (conf >= 0 && (fstat(conf, &conf_st) != 0 || !S_ISREG(conf_st.st_mode) ||
                        (conf_st.st_uid == 0 && fchmod(conf, conf_st.st_mode & 0700) != 0))) {
        ready = false;
      }
    }
    if (conf >= 0) {
      int error = errno;
      close(conf);
      errno = error;
    } else {
      ready = false;
    }
  }
  int error = errno;
  close(fd);
  errno = error;
  return ready;
}

}  // namespace

void install_service() {
  char program[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", program, sizeof program - 1);
  if (n <= 0) {
    std::printf("Cannot install service (%d)\n", errno);
    return;
  }
  program[n] = '\0';

  // The unit folder plays the part of the service manager's database.
  if (access(kUnitFolder, W_OK) != 0) {
    std::printf("OpenSCManager failed (%d)\n", errno);
    return;
  }
  std::string folder = data_folder();
  if (!prepare_data_folder(folder)) {
    std::printf("Cannot prepare %s (%d)\n", folder.c_str(), errno);
    return;
  }
  // O_EXCL: an existing unit is an existing service, as CreateService sees it.
  int fd = open(kUnitPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    std::printf("CreateService failed (%d)\n", errno);
    return;
  }
  bool written = write_all(fd, unit_text(program));
  int error = errno;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written && !enable_unit()) {
    written = false;
    error = errno;
  }
  if (!written) {
    // Leave nothing half-installed, so that the next install can succeed.
    unlink(kUnitPath);
    std::printf("CreateService failed (%d)\n", error);
    return;
  }
  std::printf("Service installed successfully\n");
}

namespace {

const char kCrashReportPath[] = "/var/tmp/kro.dmp";
// The crash handler runs here, so that a stack overflow can still be reported.
alignas(16) char g_crash_stack[64 * 1024];
volatile sig_atomic_t g_crash_signal = 0;

const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};

const char* signal_name(int signal_number) {
  switch (signal_number) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
  }
}

// snprintf is not async-signal-safe; these few formatters are.
void write_text(int fd, const char* text) {
  ssize_t ignored = write(fd, text, std::strlen(text));
  (void)ignored;
}

void write_number(int fd, unsigned long value, unsigned base) {
  char digits[32];
  int i = sizeof digits;
  digits[--i] = '\0';
  do {
    digits[--i] = "0123456789abcdef"[value % base];
    value /= base;
  } while (value != 0 && i > 0);
  write_text(fd, digits + i);
}

void write_crash_report(int signal_number, const siginfo_t* info) {
  // Never write through a name someone else may have planted in /var/tmp:
  // remove whatever is there and create the file afresh, or write nothing.
  unlink(kCrashReportPath);
  int fd = open(kCrashReportPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  write_text(fd, "Tarvik crash report\nsignal ");
  write_number(fd, static_cast<unsigned long>(signal_number), 10);
  write_text(fd, " (");
  write_text(fd, signal_name(signal_number));
  write_text(fd, ")\ncode ");
  write_number(fd, static_cast<unsigned long>(static_cast<unsigned>(info->si_code)), 10);
  write_text(fd, "\naddress 0x");
  write_number(fd, reinterpret_cast<unsigned long>(info->si_addr), 16);
  write_text(fd, "\npid ");
  write_number(fd, static_cast<unsigned long>(getpid()), 10);
  write_text(fd, "\nbacktrace:\n");
  void* frames[64];
  int count = backtrace(frames, 64);
  backtrace_symbols_fd(frames, count, fd);
  close(fd);
}

[[noreturn]] void die_of(int signal_number) {
  signal(signal_number, SIG_DFL);
  raise(signal_number);
  _exit(128 + signal_number);  // only if the signal was somehow ignored
}

// The log call below is not async-signal-safe: a crash inside the C library
// could make it hang. The alarm bounds that wait, so a supervised service is
// still restarted.
void on_log_watchdog(int) { die_of(g_crash_signal); }

void on_crash(int signal_number, siginfo_t* info, void*) {
  g_crash_signal = signal_number;
  write_crash_report(signal_number, info);

  struct sigaction watchdog;
  std::memset(&watchdog, 0, sizeof watchdog);
  watchdog.sa_handler = on_log_watchdog;
  watchdog.sa_flags = SA_ONSTACK;
  sigemptyset(&watchdog.sa_mask);
  sigaction(SIGALRM, &watchdog, nullptr);
  alarm(2);
  log(1, "Exception with code %04x captured to /var/tmp/kro.dmp", static_cast<unsigned>(signal_number));
  die_of(signal_number);
}

}  // namespace

void install_crash_handler() {
  // backtrace() loads libgcc on its first call; do that now, not in a crash.
  void* frames[1];
  backtrace(frames, 1);

  stack_t stack;
  std::memset(&stack, 0, sizeof stack);
  stack.ss_sp = g_crash_stack;
  stack.ss_size = sizeof g_crash_stack;
  sigaltstack(&stack, nullptr);

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = on_crash;
  // RESETHAND and NODEFER: a second fault inside the handler ends the
  // process with the default action instead of recursing.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  for (int signal_number : kCrashSignals) sigaction(signal_number, &action, nullptr);
}
