// POSIX implementation of platform.h: sockets and the wait.
#include "platform.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <utility>
#include <vector>

const int kMessageTooLong = EMSGSIZE;

// ---------------------------------------------------------------------------
// Sockets

namespace {

int fd_of(Socket s) { return static_cast<int>(s); }

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

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

int descriptor_limit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;  // the usual default
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 1u << 30) return 1 << 30;
  return static_cast<int>(limit.rlim_cur);
}

Socket udp_open() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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

bool udp_ignore_unreachable(Socket) { return true; }

bool udp_enlarge_receive_buffer(Socket s) {
  int size = kBurstReceiveBuffer;
  return setsockopt(fd_of(s), SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0;
}

bool udp_report_destination(Socket s) {
  int on = 1;
  return setsockopt(fd_of(s), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0;
}

namespace {
void forget_watched_socket(int fd);
}  // namespace

void socket_close(Socket s) {
  forget_watched_socket(fd_of(s));
  close(fd_of(s));
}

int last_socket_error() { return errno; }
void set_last_socket_error(int error) { errno = error; }

namespace {

using PacketInfoControl = char[CMSG_SPACE(sizeof(in_pktinfo))];

void copy_sender(const sockaddr_in& a, socklen_t length, SocketAddress* from) {
  std::memset(from->bytes, 0, sizeof from->bytes);
  std::memcpy(from->bytes, &a, length < sizeof a ? length : sizeof a);
  from->length = static_cast<int>(length);
}

// The local address a received datagram belongs to (its IP_PKTINFO): the
// header's destination for unicast, an address of the receiving interface
// for a broadcast (which cannot be a source). 0 when the OS did not say.
std::uint32_t destination_of(msghdr* message) {
  std::uint32_t local = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      local = info.ipi_spec_dst.s_addr;
    }
  }
  return local;
}

// Points a message that is to be received at `buffer`, `sender` and
// `control`.
void prepare_receive(msghdr* message, iovec* part, char* buffer, int capacity, sockaddr_in* sender,
                     PacketInfoControl* control) {
  part->iov_base = buffer;
  part->iov_len = static_cast<size_t>(capacity);
  std::memset(message, 0, sizeof *message);
  message->msg_name = sender;
  message->msg_namelen = sizeof *sender;
  message->msg_iov = part;
  message->msg_iovlen = 1;
  message->msg_control = *control;
  message->msg_controllen = sizeof *control;
}

// Points a message that is to be sent at `data` and `to`, with `local` as
// its source address when that is not 0.
void prepare_send(msghdr* message, iovec* part, const char* data, int length,
                  const SocketAddress& to, std::uint32_t local, PacketInfoControl* control) {
  part->iov_base = const_cast<char*>(data);
  part->iov_len = static_cast<size_t>(length);
  std::memset(message, 0, sizeof *message);
  message->msg_name = const_cast<unsigned char*>(to.bytes);
  message->msg_namelen = static_cast<socklen_t>(to.length);
  message->msg_iov = part;
  message->msg_iovlen = 1;
  if (local == 0) return;
  std::memset(*control, 0, sizeof *control);
  message->msg_control = *control;
  message->msg_controllen = sizeof *control;
  cmsghdr* c = CMSG_FIRSTHDR(message);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info;
  std::memset(&info, 0, sizeof info);
  info.ipi_spec_dst.s_addr = local;  // the source; ifindex 0: routed as usual
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
}

// Whether a send with a chosen source address failed for that address: the
// machine does not have it (any more) or cannot send from it (EINVAL;
// ENETUNREACH, which Linux gives for an address that is not the machine's;
// EADDRNOTAVAIL).
bool source_refused(int error) {
  return error == EINVAL || error == ENETUNREACH || error == EADDRNOTAVAIL;
}

}  // namespace

int udp_receive_to(Socket s, char* buffer, int capacity, SocketAddress* from,
                   std::uint32_t* local) {
  sockaddr_in a;
  iovec data;
  alignas(cmsghdr) PacketInfoControl control;
  msghdr message;
  prepare_receive(&message, &data, buffer, capacity, &a, &control);
  // MSG_TRUNC makes recvmsg return the datagram's real length, so that an
  // oversized datagram is reported as a failure as Winsock does.
  ssize_t n = recvmsg(fd_of(s), &message, MSG_TRUNC);
  if (n < 0) {
    if (from != nullptr) from->length = 0;
    return would_block(errno) ? kWouldBlock : -1;
  }
  if (from != nullptr) copy_sender(a, message.msg_namelen, from);
  if (n > capacity) {
    errno = EMSGSIZE;
    return -1;
  }
  if (local != nullptr) *local = destination_of(&message);
  return static_cast<int>(n);
}

int udp_receive(Socket s, char* buffer, int capacity, SocketAddress* from) {
  int n = udp_receive_to(s, buffer, capacity, from, nullptr);
  return n == kWouldBlock ? -1 : n;
}

int udp_receive_batch(Socket s, ReceivedDatagram* batch, int count, bool* drained) {
  *drained = false;
  if (count > kMaxDatagramBatch) count = kMaxDatagramBatch;
  if (count <= 0) return 0;
  mmsghdr messages[kMaxDatagramBatch];
  iovec parts[kMaxDatagramBatch];
  sockaddr_in senders[kMaxDatagramBatch];
  alignas(cmsghdr) PacketInfoControl controls[kMaxDatagramBatch];
  for (int i = 0; i < count; ++i) {
    prepare_receive(&messages[i].msg_hdr, &parts[i], batch[i].data, batch[i].capacity,
                    &senders[i], &controls[i]);
    messages[i].msg_len = 0;
  }
  // As in udp_receive_to, MSG_TRUNC gives each datagram's real length. The
  // socket never blocks: recvmmsg returns once the queue is empty. An error
  // behind the first datagram is kept by the kernel for the next call.
  int n = recvmmsg(fd_of(s), messages, static_cast<unsigned>(count), MSG_TRUNC, nullptr);
  if (n < 0) {
    int error = errno;
    *drained = would_block(error);
    if (*drained) return 0;
    batch[0].length = -1;
    batch[0].error = error;
    batch[0].from.length = 0;
    batch[0].local = 0;
    return 1;
  }
  for (int i = 0; i < n; ++i) {
    ReceivedDatagram& d = batch[i];
    msghdr& message = messages[i].msg_hdr;
    copy_sender(senders[i], message.msg_namelen, &d.from);
    d.local = destination_of(&message);
    if (messages[i].msg_len > static_cast<unsigned>(d.capacity) || (message.msg_flags & MSG_TRUNC)) {
      d.length = -1;
      d.error = EMSGSIZE;
    } else {
      d.length = static_cast<int>(messages[i].msg_len);
      d.error = 0;
    }
  }
  // recvmmsg stops short only where a receive would have waited (an error
  // behind the first datagram waits in the socket for the next call).
  *drained = n < count;
  return n;
}

int udp_send_from(Socket s, const char* data, int length, const SocketAddress& to,
                  std::uint32_t local) {
  if (local == 0) return udp_send(s, data, length, to);
  iovec part;
  alignas(cmsghdr) PacketInfoControl control;
  msghdr message;
  prepare_send(&message, &part, data, length, to, local, &control);
  ssize_t n = sendmsg(fd_of(s), &message, 0);
  // An address the OS will not send from (gone since, say): a reply from
  // the default source is still better than none.
  if (n < 0 && source_refused(errno)) return udp_send(s, data, length, to);
  return n < 0 ? -1 : static_cast<int>(n);
}

int udp_send_batch(Socket s, OutgoingDatagram* batch, int count) {
  mmsghdr messages[kMaxDatagramBatch];
  iovec parts[kMaxDatagramBatch];
  alignas(cmsghdr) PacketInfoControl controls[kMaxDatagramBatch];
  int sent = 0;
  for (int first = 0; first < count; first += kMaxDatagramBatch) {
    OutgoingDatagram* chunk = batch + first;
    int n = count - first < kMaxDatagramBatch ? count - first : kMaxDatagramBatch;
    for (int i = 0; i < n; ++i) {
      prepare_send(&messages[i].msg_hdr, &parts[i], chunk[i].data, chunk[i].length, chunk[i].to,
                   chunk[i].local, &controls[i]);
      messages[i].msg_len = 0;
    }
    // sendmmsg stops at the first datagram the kernel refuses and reports
    // only those sent before it; that one is then tried alone, as
    // udp_send_from would, and the rest go on behind it.
    for (int done = 0; done < n;) {
      int taken = sendmmsg(fd_of(s), messages + done, static_cast<unsigned>(n - done), 0);
      if (taken > 0) {
        for (int i = done; i < done + taken; ++i) chunk[i].error = 0;
        sent += taken;
        done += taken;
        continue;
      }
      OutgoingDatagram& d = chunk[done];
      int error = taken < 0 ? errno : EAGAIN;
      if (d.local != 0 && source_refused(error)) {
        error = udp_send(s, d.data, d.length, d.to) == d.length ? 0 : errno;
      }
      d.error = error;
      if (error == 0) ++sent;
      ++done;
    }
  }
  return sent;
}

int udp_send(Socket s, const char* data, int length, const SocketAddress& to) {
  ssize_t n = sendto(fd_of(s), data, static_cast<size_t>(length), 0,
                     reinterpret_cast<const sockaddr*>(to.bytes), static_cast<socklen_t>(to.length));
  return n < 0 ? -1 : static_cast<int>(n);
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

bool socket_local_address(Socket s, SocketAddress* out) {
  sockaddr_in a;
  socklen_t length = sizeof a;
  if (getsockname(fd_of(s), reinterpret_cast<sockaddr*>(&a), &length) != 0) return false;
  std::memset(out->bytes, 0, sizeof out->bytes);
  std::memcpy(out->bytes, &a, sizeof a);
  out->length = static_cast<int>(sizeof a);
  return true;
}

int socket_address_port(const SocketAddress& a) {
  sockaddr_in in;
  std::memcpy(&in, a.bytes, sizeof in);
  return ntohs(in.sin_port);
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

// Asked through SIOCGIFCONF rather than getifaddrs: getifaddrs needs a
// netlink socket, which the service's systemd sandbox does not allow
// (RestrictAddressFamilies=AF_INET AF_UNIX); these ioctls need only an
// AF_INET socket.
bool interface_addresses(std::vector<InterfaceAddress>* out, int* error) {
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    *error = errno;
    return false;
  }
  std::vector<ifreq> requests(32);
  ifconf list;
  for (;;) {
    std::memset(requests.data(), 0, requests.size() * sizeof(ifreq));
    list.ifc_len = static_cast<int>(requests.size() * sizeof(ifreq));
    list.ifc_req = requests.data();
    if (ioctl(s, SIOCGIFCONF, &list) != 0) {
      *error = errno;
      close(s);
      return false;
    }
    // A full buffer may have cut the list short: ask again with more room.
    if (static_cast<std::size_t>(list.ifc_len) < requests.size() * sizeof(ifreq) ||
        requests.size() >= 65536) {
      break;
    }
    requests.resize(requests.size() * 2);
  }
  std::vector<InterfaceAddress> addresses;
  std::size_t count = static_cast<std::size_t>(list.ifc_len) / sizeof(ifreq);
  for (std::size_t i = 0; i < count; ++i) {
    // The entry names the interface and the address, so SIOCGIFNETMASK
    // gives the mask of this very address, not of the interface's first.
    ifreq request = requests[i];
    if (request.ifr_addr.sa_family != AF_INET) continue;
    sockaddr_in address;
    std::memcpy(&address, &request.ifr_addr, sizeof address);
    if (ioctl(s, SIOCGIFNETMASK, &request) != 0) continue;  // gone meanwhile
    sockaddr_in mask;
    std::memcpy(&mask, &request.ifr_netmask, sizeof mask);
    addresses.push_back(InterfaceAddress{address.sin_addr.s_addr, mask.sin_addr.s_addr});
  }
  close(s);
  *out = std::move(addresses);
  return true;
}

std::string machine_host_name() {
  // 256 bytes hold any host name either system allows.
  char name[256];
  if (gethostname(name, sizeof name) != 0) return std::string();
  name[sizeof name - 1] = '\0';
  return name;
}

Socket tcp_listen(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return kNoSocket;
  // A restart must not wait for the connections of the last run to leave
  // TIME_WAIT; a port held by a live listener still refuses the bind.
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a = ipv4_address(0, port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 64) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return kNoSocket;
  }
  return static_cast<Socket>(fd);
}

Socket tcp_accept(Socket listener, SocketAddress* from) {
  sockaddr_in a;
  socklen_t length = sizeof a;
  int fd = accept4(fd_of(listener), reinterpret_cast<sockaddr*>(&a), &length,
                   SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return kNoSocket;
  if (from != nullptr) {
    std::memset(from->bytes, 0, sizeof from->bytes);
    std::memcpy(from->bytes, &a, length < sizeof a ? length : sizeof a);
    from->length = static_cast<int>(length);
  }
  return static_cast<Socket>(fd);
}

bool socket_error_would_block(int error) { return would_block(error); }

Socket tcp_connect_start(std::uint32_t address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return kNoSocket;
  sockaddr_in a = ipv4_address(address, port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    int error = errno;
    close(fd);
    errno = error;
    return kNoSocket;
  }
  return static_cast<Socket>(fd);
}

int tcp_connect_error(Socket s) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd_of(s), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
  return error;
}

int tcp_send(Socket s, const char* data, int length) {
  ssize_t n = send(fd_of(s), data, static_cast<size_t>(length), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  return would_block(errno) ? kWouldBlock : -1;
}

int tcp_receive(Socket s, char* buffer, int capacity) {
  ssize_t n = recv(fd_of(s), buffer, static_cast<size_t>(capacity), 0);
  if (n >= 0) return static_cast<int>(n);
  return would_block(errno) ? kWouldBlock : -1;
}

// The wait. poll costs in proportion to every socket it is handed, each
// time; an epoll set kept from one wait to the next costs in proportion to
// the sockets that are ready, but makes every socket's own traffic dearer
// (registering, waking, closing: about 2 us more per forward on loopback).
// So a small set is polled, and a large one (a slow upstream holding
// hundreds of forwards) goes to epoll, so that those forwards do not make
// every local answer slower. The two thresholds lie apart, so a set near
// one of them does not switch back and forth.
namespace {

constexpr int kEpollFrom = 256;  // sockets in the set
constexpr int kPollBelow = 64;

constexpr std::uint32_t kNotRegistered = 0;

// What the epoll set holds for a descriptor, and this wait's slots for it.
struct Watched {
  std::uint32_t registered;  // epoll events registered; kNotRegistered if none
  std::uint32_t wanted;      // epoll events this wait asks for
  unsigned stamp;            // the wait that last asked for it
  int first_slot;            // this wait's slots of the descriptor, chained
  int position;              // its place in g_registered while registered
};

int g_epoll = -1;
bool g_epoll_failed = false;
unsigned g_stamp = 0;
std::vector<Watched> g_watched;    // by descriptor
std::vector<int> g_registered;     // descriptors in the epoll set
int g_next_slot[kWaitSetCapacity];  // the next slot of the same descriptor
epoll_event g_events[kWaitSetCapacity];

void note_registered(int fd, Watched* w) {
  w->position = static_cast<int>(g_registered.size());
  g_registered.push_back(fd);
}

void note_unregistered(Watched* w) {
  int moved = g_registered.back();
  g_registered[static_cast<std::size_t>(w->position)] = moved;
  g_watched[static_cast<std::size_t>(moved)].position = w->position;
  g_registered.pop_back();
  w->registered = kNotRegistered;
}

void forget_watched_socket(int fd) {
  // The close takes the descriptor out of the epoll set; only the record of
  // it must go, or a new socket given the same number would be taken for
  // one already registered.
  if (fd >= 0 && static_cast<std::size_t>(fd) < g_watched.size()) {
    Watched& w = g_watched[static_cast<std::size_t>(fd)];
    if (w.registered != kNotRegistered) note_unregistered(&w);
  }
}

std::uint32_t epoll_events_for(unsigned char wanted) {
  return ((wanted & kWaitRead) ? EPOLLIN : 0u) | ((wanted & kWaitWrite) ? EPOLLOUT : 0u);
}

unsigned char found_for(std::uint32_t events, unsigned char wanted) {
  unsigned char found = 0;
  if (events & EPOLLIN) found |= kWaitRead;
  if (events & EPOLLOUT) found |= kWaitWrite;
  // An error or hang-up is reported to whatever the socket waits for; the
  // next receive, send or connect check then says what it was.
  if (events & (EPOLLERR | EPOLLHUP)) found |= wanted;
  return found & wanted;
}

bool epoll_register(int fd, Watched* w) {
  epoll_event e;
  std::memset(&e, 0, sizeof e);
  e.events = w->wanted;
  e.data.fd = fd;
  int op = w->registered == kNotRegistered ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  if (epoll_ctl(g_epoll, op, fd, &e) != 0) {
    // The record and the kernel disagree (a descriptor closed behind the
    // platform's back, or another of the same number): try the other way.
    op = op == EPOLL_CTL_ADD ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(g_epoll, op, fd, &e) != 0) return false;
  }
  if (w->registered == kNotRegistered) note_registered(fd, w);
  w->registered = w->wanted;
  return true;
}

int poll_sockets(WaitSet* set, int timeout_ms) {
  // poll, not select: an fd_set cannot hold descriptors of 1024 and up.
  static pollfd fds[kWaitSetCapacity];
  for (int i = 0; i < set->count; ++i) {
    fds[i].fd = fd_of(set->handles[i]);
    fds[i].events = static_cast<short>(((set->wanted[i] & kWaitRead) ? POLLIN : 0) |
                                       ((set->wanted[i] & kWaitWrite) ? POLLOUT : 0));
    fds[i].revents = 0;
  }
  int n = poll(fds, static_cast<nfds_t>(set->count), timeout_ms);
  if (n <= 0) return n < 0 ? -1 : 0;
  int ready = 0;
  for (int i = 0; i < set->count; ++i) {
    short r = fds[i].revents;
    if (r == 0) continue;
    std::uint32_t events = ((r & POLLIN) ? EPOLLIN : 0u) | ((r & POLLOUT) ? EPOLLOUT : 0u) |
                           ((r & (POLLERR | POLLNVAL)) ? EPOLLERR : 0u) |
                           ((r & POLLHUP) ? EPOLLHUP : 0u);
    set->ready[i] = found_for(events, set->wanted[i]);
    if (set->ready[i] != 0) ++ready;
  }
  return ready;
}

// Brings the epoll set in line with `set`; false when the kernel refused.
bool register_wait_set(const WaitSet& set) {
  ++g_stamp;
  std::size_t watched = 0;  // distinct descriptors in this set
  for (int i = 0; i < set.count; ++i) {
    int fd = fd_of(set.handles[i]);
    if (fd < 0) return false;
    if (static_cast<std::size_t>(fd) >= g_watched.size()) {
      g_watched.resize(static_cast<std::size_t>(fd) + 64, Watched{kNotRegistered, 0, 0, -1, -1});
    }
    Watched& w = g_watched[static_cast<std::size_t>(fd)];
    std::uint32_t events = epoll_events_for(set.wanted[i]);
    if (w.stamp != g_stamp) {
      w.stamp = g_stamp;
      w.wanted = events;
      w.first_slot = -1;
      ++watched;
    } else {
      w.wanted |= events;  // a second slot of the same socket
    }
    g_next_slot[i] = w.first_slot;
    w.first_slot = i;
    if (w.registered != w.wanted && !epoll_register(fd, &w)) return false;
  }
  // What this wait no longer watches leaves the epoll set, or its readiness
  // would end every wait at once. Every descriptor of this set is
  // registered by now, so when the counts agree there is nothing to remove.
  for (std::size_t k = 0; g_registered.size() > watched && k < g_registered.size();) {
    int fd = g_registered[k];
    Watched& w = g_watched[static_cast<std::size_t>(fd)];
    if (w.stamp == g_stamp) {
      ++k;
      continue;
    }
    epoll_ctl(g_epoll, EPOLL_CTL_DEL, fd, nullptr);
    note_unregistered(&w);  // moves the last one to k
  }
  return true;
}

// Closing the epoll set takes every socket out of it at once.
void drop_epoll_set() {
  close(g_epoll);
  g_epoll = -1;
  for (int fd : g_registered) g_watched[static_cast<std::size_t>(fd)].registered = kNotRegistered;
  g_registered.clear();
}

}  // namespace

int wait_sockets(WaitSet* set, long timeout_us) {
  std::memset(set->ready, 0, static_cast<std::size_t>(set->count));
  int timeout_ms = static_cast<int>((timeout_us + 999) / 1000);
  if (g_epoll >= 0 && set->count < kPollBelow) drop_epoll_set();
  if (g_epoll < 0 && !g_epoll_failed && set->count >= kEpollFrom) {
    g_epoll = epoll_create1(EPOLL_CLOEXEC);
    g_epoll_failed = g_epoll < 0;
  }
  if (g_epoll < 0 || !register_wait_set(*set)) return poll_sockets(set, timeout_ms);

  int n = epoll_wait(g_epoll, g_events, kWaitSetCapacity, timeout_ms);
  if (n <= 0) return n < 0 ? -1 : 0;
  int ready = 0;
  for (int e = 0; e < n; ++e) {
    const Watched& w = g_watched[static_cast<std::size_t>(g_events[e].data.fd)];
    if (w.stamp != g_stamp) continue;  // cannot happen: not watched by this wait
    for (int slot = w.first_slot; slot >= 0; slot = g_next_slot[slot]) {
      set->ready[slot] = found_for(g_events[e].events, set->wanted[slot]);
      if (set->ready[slot] != 0) ++ready;
    }
  }
  return ready;
}

bool random_bytes(void* out, std::size_t length) {
  unsigned char* p = static_cast<unsigned char*>(out);
  while (length > 0) {
    ssize_t n = getrandom(p, length, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}
