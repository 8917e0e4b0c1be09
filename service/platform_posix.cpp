// POSIX implementation of platform.h (Linux).
#include "platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

const int kMessageTooLong = EMSGSIZE;
const char kPathSeparator = '/';
// Linux has no text mode: the hosts file keeps its LF line ends.
const char* const kTextRead = "r";
const char* const kTextWrite = "w";

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

int udp_send_to(Socket s, const char* data, int length, std::uint32_t address, int port) {
  SocketAddress to = make_socket_address(address, port);
  return udp_send(s, data, length, to);
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

void read_set_add(ReadSet* set, Socket s) {
  if (set->count >= kReadSetCapacity || read_set_has(*set, s)) return;
  set->handles[set->count++] = s;
}

bool read_set_has(const ReadSet& set, Socket s) {
  for (int i = 0; i < set.count; ++i) {
    if (set.handles[i] == s) return true;
  }
  return false;
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
// Files and folders

void set_binary_file_mode() {}

std::string data_folder() { return "/var/lib/Quellard/Tarvik"; }

std::string default_hosts_path() { return "/etc/hosts"; }

std::string temp_folder() {
  const char* dir = std::getenv("TMPDIR");
  return (dir != nullptr && *dir != '\0') ? dir : "/tmp";
}

long long file_size(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

bool delete_file(const std::string& path) { return unlink(path.c_str()) == 0; }

ReplaceResult replace_file(const std::string& from, const std::string& to, int* error) {
  if (rename(from.c_str(), to.c_str()) == 0) return ReplaceResult::kReplaced;
  *error = errno;
  if (errno == EXDEV) return ReplaceResult::kOtherVolume;
  if (errno == EBUSY) return ReplaceResult::kBusy;
  return ReplaceResult::kFailed;
}

bool flush_to_disk(std::FILE* f) {
  if (std::fflush(f) != 0) return false;
  return fsync(fileno(f)) == 0;
}

std::string parent_folder(const std::string& path) {
  std::string::size_type cut = path.find_last_of("/\\");
  return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

// ---------------------------------------------------------------------------
// Service control and process

namespace {

// Cleared by the console stop signals; read by the stop test.
volatile sig_atomic_t g_running = 1;

void on_console_stop_signal(int) { g_running = 0; }

}  // namespace

void install_console_stop_handler() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = on_console_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

bool service_keep_running() { return g_running != 0; }

bool service_mode() { return false; }

void report_service_running() {}

void end_process(int code) { _exit(code); }

// ---------------------------------------------------------------------------
// Service manager, installer and crash handler

int run_as_service(void (*service_body)()) {
  service_body();
  return 0;
}

void install_service() {}

void install_crash_handler() {}
