// POSIX implementation of platform.h: the control channel, a Unix stream
// socket in the runtime folder.
#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kDefaultRuntimeFolder[] = "/run/tarvik";
const char kSocketName[] = "control";
constexpr int kBacklog = 16;
constexpr int kClientTimeoutMs = 10000;

int g_listener = -1;
int g_listener_slot = -1;
// After an accept that failed for want of descriptors (or memory) the
// listener stays readable: it is left out of the wait for a while, so the
// loop does not spin on it.
constexpr std::uint32_t kAcceptPauseMs = 100;
bool g_listener_paused = false;
std::uint32_t g_listener_paused_at = 0;
int g_clients[kMaxControlClients] = {-1, -1, -1, -1};
int g_client_slots[kMaxControlClients] = {-1, -1, -1, -1};
// The socket this run made, so that the close removes that one only.
dev_t g_socket_device = 0;
ino_t g_socket_inode = 0;

static_assert(kMaxControlClients == 4, "the client tables above are written out for four");

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

std::string runtime_folder() {
  const char* listed = std::getenv("RUNTIME_DIRECTORY");
  if (listed != nullptr && listed[0] != '\0') {
    // systemd lists one folder per RuntimeDirectory= entry, separated by ':'.
    std::string folder(listed, std::strcspn(listed, ":"));
    if (!folder.empty()) return folder;
  }
  return kDefaultRuntimeFolder;
}

// The socket's address; false when the path does not fit.
bool socket_address(const std::string& path, sockaddr_un* address, socklen_t* length) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

// The folder as the channel needs it: made 0700 when missing; one that is
// there must be a folder of the service's user that nobody else may write
// to, or someone else could put their own socket in the service's place.
bool prepare_folder(const std::string& folder, std::string* why) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = folder + ": " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0) {
    *why = folder + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *why = folder + " is not a folder";
    return false;
  }
  if (st.st_uid != geteuid()) {
    *why = folder + " is owned by another user";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *why = folder + " is writable by others";
    return false;
  }
  return true;
}

// True when a process answers on the socket at `address`.
bool someone_listens(const sockaddr_un& address, socklen_t length) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool answered = connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
  close(fd);
  return answered;
}

void close_client(int client) {
  int fd = g_clients[client];
  if (fd < 0) return;
  shutdown(fd, SHUT_WR);
  // Unread bytes of the client at close would reach it as a reset, which
  // may cost it the end of its answer: read away what little is there.
  char scratch[1024];
  for (int i = 0; i < 4 && recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0; ++i) {
  }
  close(fd);
  g_clients[client] = -1;
  g_client_slots[client] = -1;
}

std::string error_text(const std::string& path, int error) {
  std::string text = path + ": " + std::strerror(error);
  if (error == ENOENT || error == ECONNREFUSED) text += " (is the service running?)";
  if (error == EACCES || error == EPERM) text += " (administrators only)";
  return text;
}

}  // namespace

std::string control_location() { return runtime_folder() + "/" + kSocketName; }

ControlOpen control_open(std::string* why) {
  std::string folder = runtime_folder();
  std::string path = folder + "/" + kSocketName;
  sockaddr_un address;
  socklen_t length = 0;
  if (!socket_address(path, &address, &length)) {
    *why = "the path is too long for a socket";
    return ControlOpen::kFailed;
  }
  if (!prepare_folder(folder, why)) return ControlOpen::kFailed;

  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *why = "there is something else at that path";
      return ControlOpen::kFailed;
    }
    if (someone_listens(address, length)) return ControlOpen::kInUse;
    unlink(path.c_str());  // left by a run that ended without its close
  }

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = std::strerror(errno);
    return ControlOpen::kFailed;
  }
  // The socket is born 0600: the umask decides the mode bind gives it. Only
  // the start calls this, before any other thread runs.
  mode_t saved = umask(0177);
  int bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), length);
  int error = errno;
  umask(saved);
  if (bound != 0 || chmod(path.c_str(), 0600) != 0 || listen(fd, kBacklog) != 0 || lstat(path.c_str(), &st) != 0) {
    if (bound == 0) error = errno;
    if (bound == 0) unlink(path.c_str());
    close(fd);
    *why = std::strerror(error);
    return ControlOpen::kFailed;
  }
  g_socket_device = st.st_dev;
  g_socket_inode = st.st_ino;
  g_listener = fd;
  return ControlOpen::kOpened;
}

void control_close() {
  for (int i = 0; i < kMaxControlClients; ++i) close_client(i);
  if (g_listener < 0) return;
  close(g_listener);
  g_listener = -1;
  std::string path = control_location();
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && st.st_dev == g_socket_device && st.st_ino == g_socket_inode) {
    unlink(path.c_str());
  }
}

void control_watch_listener(WaitSet* set) {
  g_listener_slot = -1;
  if (g_listener_paused && tick_count_ms() - g_listener_paused_at < kAcceptPauseMs) return;
  g_listener_paused = false;
  if (g_listener >= 0) g_listener_slot = wait_set_add(set, static_cast<Socket>(g_listener), kWaitRead);
}

void control_watch_client(WaitSet* set, int client, unsigned char wanted) {
  if (g_clients[client] < 0) return;
  g_client_slots[client] = wait_set_add(set, static_cast<Socket>(g_clients[client]), wanted);
}

bool control_listener_ready(const WaitSet& set) { return wait_set_ready(set, g_listener_slot) != 0; }

bool control_client_ready(const WaitSet& set, int client) {
  return g_clients[client] >= 0 && wait_set_ready(set, g_client_slots[client]) != 0;
}

int control_accept(std::string* peer) {
  peer->clear();
  int client = 0;
  while (client < kMaxControlClients && g_clients[client] >= 0) ++client;
  if (g_listener < 0 || client == kMaxControlClients) return kNoControlClient;
  int fd = accept4(g_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) {
    if (!would_block(errno) && errno != EINTR && errno != ECONNABORTED) {
      g_listener_paused = true;
      g_listener_paused_at = tick_count_ms();
    }
    return kNoControlClient;
  }
  ucred credentials;
  socklen_t size = sizeof credentials;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
    close(fd);
    *peer = std::string("client refused, its credentials cannot be read: ") + std::strerror(errno);
    return kNoControlClient;
  }
  char who[64];
  std::snprintf(who, sizeof who, "uid %u pid %d", static_cast<unsigned>(credentials.uid),
                static_cast<int>(credentials.pid));
  // The socket's mode lets only them in; this holds should the mode or the
  // folder ever be changed by hand.
  if (credentials.uid != 0 && credentials.uid != geteuid()) {
    close(fd);
    *peer = std::string("client refused, not an administrator: ") + who;
    return kNoControlClient;
  }
  g_clients[client] = fd;
  g_client_slots[client] = -1;
  *peer = who;
  return client;
}

int control_receive(int client, char* buffer, int capacity) {
  ssize_t n = recv(g_clients[client], buffer, static_cast<size_t>(capacity), 0);
  if (n >= 0) return static_cast<int>(n);
  return would_block(errno) ? kWouldBlock : -1;
}

int control_send(int client, const char* data, int length) {
  ssize_t n = send(g_clients[client], data, static_cast<size_t>(length), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  return would_block(errno) ? kWouldBlock : -1;
}

void control_end(int client) { close_client(client); }

long control_wait_timeout_us(long timeout_us) { return timeout_us; }

bool control_request(const std::string& request, bool (*answer_complete)(const std::string& answer),
                     std::string* answer, std::string* why) {
  std::string path = control_location();
  sockaddr_un address;
  socklen_t length = 0;
  if (!socket_address(path, &address, &length)) {
    *why = path + ": the path is too long for a socket";
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    *why = error_text(path, errno);
    if (fd >= 0) close(fd);
    return false;
  }
  // Blocking I/O, each step bounded: a service that stalls costs the
  // command 10 s, not forever.
  timeval timeout = {kClientTimeoutMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string line = request + "\n";
  if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    *why = error_text(path, errno);
    close(fd);
    return false;
  }
  answer->clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      *why = would_block(errno) ? path + ": no answer for 10 s" : error_text(path, errno);
      close(fd);
      return false;
    }
    answer->append(buffer, static_cast<std::size_t>(n));
    if (answer_complete(*answer)) break;
  }
  close(fd);
  return true;
}
