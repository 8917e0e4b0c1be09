#include "dns_relay.h"

#include <cstring>
#include <unordered_set>
#include <vector>

#include "config.h"
#include "publish.h"

DnsCaps g_dns_caps = {kMaxPendingForwards, kMaxTcpClients};

namespace {

constexpr std::uint32_t kForwardLifetimeMs = 5000;

// Descriptors that DNS traffic must leave to the rest of the service, so
// that a flood of queries or connections never costs a registration, a log
// record or a hosts-file write: stdin, stdout and stderr; the registration
// socket, the DNS socket and listener, and the wait's own set (epoll); the
// connection an accept takes before it is known whether it may stay; the
// updates in flight; the control channel's listener and clients; and files:
// the log, the hosts file, its copy and its folder, the configuration, the
// publisher's state, and a margin for the system's own.
constexpr int kHeldElsewhere = 3 + 4 + 1 + kMaxUpdatesInFlight + 1 + kMaxControlClients;
constexpr int kFileReserve = 16;

// The port the DNS sockets listen on (start_relaying).
int g_dns_port = 0;

// The machine's interface addresses, as the last read found them, with the
// subnets a relayed query may come from when allow-from is not set:
// loopback first, then those of the interfaces.
constexpr std::uint32_t kInterfacesMaxAgeMs = 5000;
std::vector<InterfaceAddress> g_interfaces;
std::vector<Ipv4Prefix> g_local_subnets;
std::uint32_t g_interfaces_read_at = 0;
bool g_interfaces_read = false;

const Ipv4Prefix kLoopback{parse_ipv4("127.0.0.0"), parse_ipv4("255.0.0.0")};

void read_interfaces(std::uint32_t now) {
  g_interfaces_read_at = now;
  g_interfaces_read = true;
  std::vector<InterfaceAddress> interfaces;
  int error = 0;
  if (!interface_addresses(&interfaces, &error)) {
    log(1, "dns: interface addresses not read: %d: %s", error, system_error_text(error).c_str());
    if (!g_local_subnets.empty()) return;  // the last list stays
  }
  std::vector<Ipv4Prefix> subnets{kLoopback};
  for (const InterfaceAddress& i : interfaces) {
    subnets.push_back(Ipv4Prefix{i.address & i.mask, i.mask});
  }
  g_interfaces.swap(interfaces);
  g_local_subnets.swap(subnets);
}

void read_interfaces_when_old() {
  std::uint32_t now = tick_count_ms();
  if (!g_interfaces_read ||
      static_cast<std::uint32_t>(now - g_interfaces_read_at) > kInterfacesMaxAgeMs) {
    read_interfaces(now);
  }
}

// Whether the upstream server's address is one of this machine's own:
// loopback, or an address of one of its interfaces.
bool upstream_is_this_machine() {
  std::uint32_t upstream = g_settings.dns_server_ip;
  if ((upstream & kLoopback.mask) == kLoopback.network) return true;
  read_interfaces_when_old();
  for (const InterfaceAddress& i : g_interfaces) {
    if (i.address == upstream) return true;
  }
  return false;
}

// Whether a forward can reach this service's own DNS sockets: only when it
// goes to this machine on the DNS port itself. (A port redirect in the
// machine's own firewall could still bring one back; that loop is the
// firewall's.)
bool forwards_may_come_back() {
  return g_dns_port == kUpstreamPort && upstream_is_this_machine();
}

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

// The longest query whose failure gets a SERVFAIL; longer ones (over TCP)
// have their connection closed instead.
constexpr int kLongestFailingQuery = 10000;
unsigned char g_failure_buffer[kLongestFailingQuery + kReplyCapacity];

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

void start_relaying(int dns_port) {
  g_dns_port = dns_port;
  g_interfaces_read = false;
  if (g_settings.dns_server_ip != kAddressNone && !g_settings.allow_from_set) {
    log(1, "dns: relaying for local subnets only");
    read_interfaces(tick_count_ms());
  }
}

bool relay_allowed(std::uint32_t sender) {
  if (g_settings.allow_from_set) return true;
  read_interfaces_when_old();
  return address_in_prefixes(sender, g_local_subnets);
}

std::uint64_t remember_own_forward(Socket s, Transport transport) {
  if (!forwards_may_come_back()) return 0;
  SocketAddress local;
  if (!socket_local_address(s, &local)) return 0;
  std::uint64_t key = address_key(local, transport);
  g_own_forward_addresses.insert(key);
  return key;
}

void forget_own_forward(std::uint64_t key) {
  if (key != 0) g_own_forward_addresses.erase(key);
}

bool from_own_forward(const SocketAddress& peer, Transport transport) {
  if (g_own_forward_addresses.empty() ||
      g_own_forward_addresses.count(address_key(peer, transport)) == 0) {
    return false;
  }
  log(1, "dns i->s loop: upstream %s is this server", format_ipv4(g_settings.dns_server_ip).c_str());
  return true;
}

namespace {

// Drawn in bulk, so that a forward costs no system call of its own.
constexpr int kIdPoolSize = 256;
std::uint16_t g_id_pool[kIdPoolSize];
int g_ids_left = 0;
std::uint32_t g_fallback_state = 0;

}  // namespace

std::uint16_t random_query_id() {
  if (g_ids_left == 0) {
    if (!random_bytes(g_id_pool, sizeof g_id_pool)) {
      // Never seen in practice; the source port still varies. Said once.
      if (g_fallback_state == 0) log(1, "%s", "dns: no random bytes from the system; query IDs are guessable");
      g_fallback_state = g_fallback_state * 1664525u + 1013904223u + tick_count_ms();
      return static_cast<std::uint16_t>(g_fallback_state >> 16);
    }
    g_ids_left = kIdPoolSize;
  }
  return g_id_pool[--g_ids_left];
}

std::uint16_t message_id(const unsigned char* message) {
  return static_cast<std::uint16_t>((message[0] << 8) | message[1]);
}

void set_message_id(unsigned char* message, std::uint16_t id) {
  message[0] = static_cast<unsigned char>(id >> 8);
  message[1] = static_cast<unsigned char>(id & 0xFF);
}

bool forward_expired(std::uint32_t now, std::uint32_t sent_at_ms) {
  // Exactly 5000 ms old still counts as alive.
  return static_cast<std::uint32_t>(now - sent_at_ms) > kForwardLifetimeMs;
}

std::string relay_failure_reply(const unsigned char* message, int length, Transport transport) {
  if (length <= 0 || length > kLongestFailingQuery) return std::string();
  std::memcpy(g_failure_buffer, message, static_cast<std::size_t>(length));
  int reply_length = 0;
  if (!answer_relay_failure(g_failure_buffer, length, static_cast<int>(sizeof g_failure_buffer),
                            transport, &reply_length)) {
    return std::string();
  }
  return std::string(reinterpret_cast<const char*>(g_failure_buffer),
                     static_cast<std::size_t>(reply_length));
}
