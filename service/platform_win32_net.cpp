// Windows implementation of platform.h: Winsock sockets and the wait.
#define FD_SETSIZE 4352  // kWaitSetCapacity; must precede winsock2.h
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

#include "platform.h"

static_assert(FD_SETSIZE == kWaitSetCapacity, "an fd_set must hold the whole wait set");

const int kMessageTooLong = WSAEMSGSIZE;

// ---------------------------------------------------------------------------
// Sockets

namespace {

SOCKET handle_of(Socket s) { return static_cast<SOCKET>(s); }

sockaddr_in ipv4_address(std::uint32_t address, int port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = address;
  return a;
}

bool set_nonblocking(SOCKET s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}

// IN_PKTINFO of ws2ipdef.h, which this toolchain's headers lack.
struct PacketInfo {
  IN_ADDR ipi_addr;
  ULONG ipi_ifindex;
};

// WSASendMsg exists from Windows Vista on and is reached, like WSARecvMsg,
// through an extension pointer; the headers declare it only for Vista
// targets, and the shipped exe also starts on older systems.
typedef INT(WSAAPI* SendMessageFunction)(SOCKET, LPWSAMSG, DWORD, LPDWORD, LPWSAOVERLAPPED,
                                          LPWSAOVERLAPPED_COMPLETION_ROUTINE);
const GUID kSendMessageId = {0xa441e712, 0x754f, 0x43ca, {0x84, 0xa7, 0x0d, 0xee, 0x44, 0xcf, 0x60, 0x6d}};
const GUID kReceiveMessageId = WSAID_WSARECVMSG;

// Looks an extension function up through socket `s`; null when missing.
void* extension_function(SOCKET s, const GUID& id) {
  GUID guid = id;
  void* function = nullptr;
  DWORD returned = 0;
  if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &function,
               sizeof function, &returned, nullptr, nullptr) != 0) {
    return nullptr;
  }
  return function;
}

// Found once, by udp_report_destination; the same for every socket.
LPFN_WSARECVMSG g_receive_message = nullptr;
SendMessageFunction g_send_message = nullptr;

}  // namespace

bool net_start() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void net_cleanup() { WSACleanup(); }

int descriptor_limit() { return kWaitSetCapacity; }

bool socket_error_would_block(int error) { return error == WSAEWOULDBLOCK; }

Socket udp_open() {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) return kNoSocket;
  if (!set_nonblocking(s)) {
    closesocket(s);
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

bool udp_bind(Socket s, std::uint32_t address, int port) {
  sockaddr_in a = ipv4_address(address, port);
  return bind(handle_of(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool udp_connect(Socket s, std::uint32_t address, int port) {
  sockaddr_in a = ipv4_address(address, port);
  return connect(handle_of(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool udp_ignore_unreachable(Socket s) {
  BOOL report = FALSE;
  DWORD returned = 0;
  return WSAIoctl(handle_of(s), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned,
                  nullptr, nullptr) == 0;
}

bool udp_enlarge_receive_buffer(Socket s) {
  int size = kBurstReceiveBuffer;
  return setsockopt(handle_of(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                    sizeof size) == 0;
}

bool udp_report_destination(Socket s) {
  DWORD on = 1;
  if (setsockopt(handle_of(s), IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on),
                 sizeof on) != 0) {
    return false;
  }
  if (g_receive_message == nullptr) {
    g_receive_message =
        reinterpret_cast<LPFN_WSARECVMSG>(extension_function(handle_of(s), kReceiveMessageId));
  }
  if (g_send_message == nullptr) {
    g_send_message =
        reinterpret_cast<SendMessageFunction>(extension_function(handle_of(s), kSendMessageId));
  }
  return g_receive_message != nullptr;
}

void socket_close(Socket s) { closesocket(handle_of(s)); }

int last_socket_error() { return WSAGetLastError(); }
void set_last_socket_error(int error) { WSASetLastError(error); }

int udp_receive(Socket s, char* buffer, int capacity, SocketAddress* from) {
  sockaddr_in a;
  int length = sizeof a;
  // An oversized datagram fails with WSAEMSGSIZE and is discarded.
  std::memset(&a, 0, sizeof a);
  int n = recvfrom(handle_of(s), buffer, capacity, 0, reinterpret_cast<sockaddr*>(&a), &length);
  // The sender is filled in for an oversized datagram too.
  bool known = n != SOCKET_ERROR || WSAGetLastError() == WSAEMSGSIZE;
  if (from != nullptr) from->length = 0;
  if (from != nullptr && known) {
    std::memset(from->bytes, 0, sizeof from->bytes);
    std::memcpy(from->bytes, &a, length < static_cast<int>(sizeof a) ? length : sizeof a);
    from->length = length;
  }
  return n == SOCKET_ERROR ? -1 : n;
}

int udp_receive_to(Socket s, char* buffer, int capacity, SocketAddress* from,
                   std::uint32_t* local) {
  if (local != nullptr) *local = 0;
  if (g_receive_message == nullptr) {
    int n = udp_receive(s, buffer, capacity, from);
    return n < 0 && WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : n;
  }
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  WSABUF data;
  data.buf = buffer;
  data.len = static_cast<ULONG>(capacity);
  // Aligned for WSACMSGHDR; room for one IN_PKTINFO and then some.
  alignas(8) char control[64];
  WSAMSG message;
  std::memset(&message, 0, sizeof message);
  message.name = reinterpret_cast<sockaddr*>(&a);
  message.namelen = sizeof a;
  message.lpBuffers = &data;
  message.dwBufferCount = 1;
  message.Control.buf = control;
  message.Control.len = sizeof control;
  DWORD received = 0;
  int result = g_receive_message(handle_of(s), &message, &received, nullptr, nullptr);
  int error = result != 0 ? WSAGetLastError() : 0;
  if (from != nullptr) from->length = 0;
  // The sender is filled in for an oversized datagram too.
  bool truncated = error == WSAEMSGSIZE || (result == 0 && (message.dwFlags & MSG_TRUNC));
  if (from != nullptr && (result == 0 || truncated)) {
    int length = message.namelen;
    std::memset(from->bytes, 0, sizeof from->bytes);
    std::memcpy(from->bytes, &a, length < static_cast<int>(sizeof a) ? length : sizeof a);
    from->length = length;
  }
  if (truncated) {
    WSASetLastError(WSAEMSGSIZE);
    return -1;
  }
  if (result != 0) {
    WSASetLastError(error);
    return error == WSAEWOULDBLOCK ? kWouldBlock : -1;
  }
  // A broadcast or multicast destination cannot be the answer's source.
  bool group = (message.dwFlags & (MSG_BCAST | MSG_MCAST)) != 0;
  if (local != nullptr && !group) {
    for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr;
         c = WSA_CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        PacketInfo info;
        std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
        *local = info.ipi_addr.s_addr;
      }
    }
  }
  return static_cast<int>(received);
}

int udp_send(Socket s, const char* data, int length, const SocketAddress& to) {
  int n = sendto(handle_of(s), data, length, 0, reinterpret_cast<const sockaddr*>(to.bytes),
                 to.length);
  return n == SOCKET_ERROR ? -1 : n;
}

int udp_send_from(Socket s, const char* data, int length, const SocketAddress& to,
                  std::uint32_t local) {
  if (local == 0 || g_send_message == nullptr) return udp_send(s, data, length, to);
  WSABUF part;
  part.buf = const_cast<char*>(data);
  part.len = static_cast<ULONG>(length);
  alignas(8) char control[WSA_CMSG_SPACE(sizeof(PacketInfo))];
  std::memset(control, 0, sizeof control);
  WSAMSG message;
  std::memset(&message, 0, sizeof message);
  message.name = reinterpret_cast<sockaddr*>(const_cast<unsigned char*>(to.bytes));
  message.namelen = to.length;
  message.lpBuffers = &part;
  message.dwBufferCount = 1;
  message.Control.buf = control;
  message.Control.len = sizeof control;
  WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = WSA_CMSG_LEN(sizeof(PacketInfo));
  PacketInfo info;
  std::memset(&info, 0, sizeof info);
  info.ipi_addr.s_addr = local;  // the source; interface 0: routed as usual
  std::memcpy(WSA_CMSG_DATA(c), &info, sizeof info);
  DWORD sent = 0;
  if (g_send_message(handle_of(s), &message, 0, &sent, nullptr, nullptr) != 0) {
    // An address the OS will not send from: a reply from the default
    // source is still better than none.
    if (WSAGetLastError() == WSAEINVAL || WSAGetLastError() == WSAEADDRNOTAVAIL) {
      return udp_send(s, data, length, to);
    }
    return -1;
  }
  return static_cast<int>(sent);
}

// No batch calls here: one datagram per receive, so that each is answered
// before the next is taken, and one call per datagram sent.
int udp_receive_batch(Socket s, ReceivedDatagram* batch, int count, bool* drained) {
  *drained = false;
  if (count <= 0) return 0;
  ReceivedDatagram& d = batch[0];
  d.length = udp_receive_to(s, d.data, d.capacity, &d.from, &d.local);
  if (d.length == kWouldBlock) {
    *drained = true;
    return 0;
  }
  d.error = d.length < 0 ? WSAGetLastError() : 0;
  if (d.length < 0) d.length = -1;
  return 1;
}

int udp_send_batch(Socket s, OutgoingDatagram* batch, int count) {
  int sent = 0;
  for (int i = 0; i < count; ++i) {
    OutgoingDatagram& d = batch[i];
    bool done = udp_send_from(s, d.data, d.length, d.to, d.local) == d.length;
    d.error = done ? 0 : WSAGetLastError();
    if (done) ++sent;
  }
  return sent;
}

int udp_send_connected(Socket s, const char* data, int length) {
  int n = send(handle_of(s), data, length, 0);
  return n == SOCKET_ERROR ? -1 : n;
}

Socket tcp_listen(int port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return kNoSocket;
  // No SO_REUSEADDR: on Windows it would let another program take over the
  // port while this one listens.
  sockaddr_in a = ipv4_address(0, port);
  if (!set_nonblocking(s) || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      listen(s, 64) != 0) {
    int error = WSAGetLastError();
    closesocket(s);
    WSASetLastError(error);
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

Socket tcp_accept(Socket listener, SocketAddress* from) {
  sockaddr_in a;
  int length = sizeof a;
  SOCKET s = accept(handle_of(listener), reinterpret_cast<sockaddr*>(&a), &length);
  if (s == INVALID_SOCKET) return kNoSocket;
  // An accepted socket takes the listener's non-blocking mode; set it all
  // the same, as the whole loop depends on it.
  if (!set_nonblocking(s)) {
    closesocket(s);
    return kNoSocket;
  }
  if (from != nullptr) {
    std::memset(from->bytes, 0, sizeof from->bytes);
    std::memcpy(from->bytes, &a, length < static_cast<int>(sizeof a) ? length : sizeof a);
    from->length = length;
  }
  return static_cast<Socket>(s);
}

Socket tcp_connect_start(std::uint32_t address, int port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return kNoSocket;
  sockaddr_in a = ipv4_address(address, port);
  if (!set_nonblocking(s) ||
      (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 &&
       WSAGetLastError() != WSAEWOULDBLOCK)) {
    int error = WSAGetLastError();
    closesocket(s);
    WSASetLastError(error);
    return kNoSocket;
  }
  return static_cast<Socket>(s);
}

int tcp_connect_error(Socket s) {
  int error = 0;
  int length = sizeof error;
  if (getsockopt(handle_of(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) !=
      0) {
    return WSAGetLastError();
  }
  return error;
}

int tcp_send(Socket s, const char* data, int length) {
  int n = send(handle_of(s), data, length, 0);
  if (n != SOCKET_ERROR) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : -1;
}

int tcp_receive(Socket s, char* buffer, int capacity) {
  int n = recv(handle_of(s), buffer, capacity, 0);
  if (n != SOCKET_ERROR) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : -1;
}

std::uint32_t socket_address_ip(const SocketAddress& a) {
  sockaddr_in in;
  std::memcpy(&in, a.bytes, sizeof in);
  return in.sin_addr.s_addr;
}

bool socket_local_address(Socket s, SocketAddress* out) {
  sockaddr_in a;
  int length = sizeof a;
  if (getsockname(handle_of(s), reinterpret_cast<sockaddr*>(&a), &length) != 0) return false;
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
  const char* text = inet_ntoa(a);
  return text != nullptr ? text : "";
}

// GetIpAddrTable lists every IPv4 address with its mask, on every Windows
// version the exe starts on.
bool interface_addresses(std::vector<InterfaceAddress>* out, int* error) {
  std::vector<unsigned char> buffer(sizeof(MIB_IPADDRTABLE) + 16 * sizeof(MIB_IPADDRROW));
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  // The table may grow between the size query and the read: a few tries.
  for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    ULONG size = static_cast<ULONG>(buffer.size());
    result = GetIpAddrTable(reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data()), &size, FALSE);
    if (result == ERROR_INSUFFICIENT_BUFFER) buffer.resize(size);
  }
  if (result != NO_ERROR) {
    *error = static_cast<int>(result);
    return false;
  }
  const MIB_IPADDRTABLE* table = reinterpret_cast<const MIB_IPADDRTABLE*>(buffer.data());
  std::size_t room = (buffer.size() - offsetof(MIB_IPADDRTABLE, table)) / sizeof(MIB_IPADDRROW);
  std::size_t count = table->dwNumEntries < room ? table->dwNumEntries : room;
  std::vector<InterfaceAddress> addresses;
  for (std::size_t i = 0; i < count; ++i) {
    const MIB_IPADDRROW& row = table->table[i];
    if (row.dwAddr == 0) continue;  // an adapter without an address yet
    addresses.push_back(InterfaceAddress{static_cast<std::uint32_t>(row.dwAddr),
                                         static_cast<std::uint32_t>(row.dwMask)});
  }
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

int wait_sockets(WaitSet* set, long timeout_us) {
  // 35 KiB each with FD_SETSIZE 4352: not on the stack.
  static fd_set reads;
  static fd_set writes;
  static fd_set errors;
  reads.fd_count = 0;
  writes.fd_count = 0;
  errors.fd_count = 0;
  for (int i = 0; i < set->count; ++i) {
    SOCKET s = handle_of(set->handles[i]);
    set->ready[i] = 0;
    if (set->wanted[i] & kWaitRead) reads.fd_array[reads.fd_count++] = s;
    if (set->wanted[i] & kWaitWrite) {
      writes.fd_array[writes.fd_count++] = s;
      // A connect that failed shows only in the exception set.
      errors.fd_array[errors.fd_count++] = s;
    }
  }
  timeval timeout;
  timeout.tv_sec = timeout_us / 1000000;
  timeout.tv_usec = timeout_us % 1000000;
  int n = select(0, reads.fd_count ? &reads : nullptr, writes.fd_count ? &writes : nullptr,
                 errors.fd_count ? &errors : nullptr, &timeout);
  if (n <= 0) return n < 0 ? -1 : 0;
  // select leaves each set holding its ready sockets, as far as seen in
  // their original order: one pass with a cursor per set finds them all. If
  // a set was reordered, a search finds the rest.
  unsigned next_read = 0;
  unsigned next_write = 0;
  unsigned next_error = 0;
  for (int i = 0; i < set->count; ++i) {
    SOCKET s = handle_of(set->handles[i]);
    if (next_read < reads.fd_count && reads.fd_array[next_read] == s) {
      set->ready[i] |= kWaitRead;
      ++next_read;
    }
    if (next_write < writes.fd_count && writes.fd_array[next_write] == s) {
      set->ready[i] |= kWaitWrite;
      ++next_write;
    }
    if (next_error < errors.fd_count && errors.fd_array[next_error] == s) {
      set->ready[i] |= kWaitWrite;
      ++next_error;
    }
  }
  if (next_read < reads.fd_count || next_write < writes.fd_count ||
      next_error < errors.fd_count) {
    for (int i = 0; i < set->count; ++i) {
      SOCKET s = handle_of(set->handles[i]);
      if ((set->wanted[i] & kWaitRead) && FD_ISSET(s, &reads)) set->ready[i] |= kWaitRead;
      if ((set->wanted[i] & kWaitWrite) && (FD_ISSET(s, &writes) || FD_ISSET(s, &errors))) {
        set->ready[i] |= kWaitWrite;
      }
    }
  }
  int ready = 0;
  for (int i = 0; i < set->count; ++i) {
    if (set->ready[i] != 0) ++ready;
  }
  return ready;
}

// RtlGenRandom: advapi32's export SystemFunction036, there since XP, which
// the SDK headers declare under that name only.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

bool random_bytes(void* out, std::size_t length) {
  unsigned char* p = static_cast<unsigned char*>(out);
  while (length > 0) {
    ULONG chunk = length > 0x10000 ? 0x10000 : static_cast<ULONG>(length);
    if (!SystemFunction036(p, chunk)) return false;
    p += chunk;
    length -= chunk;
  }
  return true;
}
