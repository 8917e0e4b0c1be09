// The DNS service: local answers for names under
// ".tarvik", relaying of everything else to the upstream server.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dns_answer.h"
#include "dns_tcp.h"
#include "dns_udp.h"
#include "platform.h"

// --- Service ---------------------------------------------------------------

// The DNS port: a UDP socket, and a TCP listener beside it (kNoSocket when
// the port could not be bound for TCP; UDP then works alone).
extern Socket g_dns_socket;
extern Socket g_dns_tcp_socket;

// Limits that size the loop's wait set: every socket below is watched in
// every iteration. These are the most the DNS side ever holds; a lower
// descriptor limit lowers them (g_dns_caps).
constexpr int kMaxPendingForwards = 4094;  // UDP forwards; beyond: the oldest ends
constexpr int kMaxTcpClients = 64;         // beyond: the longest idle is displaced
// Each TCP client has at most one query relayed at a time, over a TCP
// connection to the upstream server of its own.
constexpr int kMaxTcpForwards = kMaxTcpClients;

// The caps in force: as many UDP forwards and TCP clients (each with its
// forward) as fit into the descriptor limit beside everything else the
// service must always be able to open.
struct DnsCaps {
  int forwards;
  int tcp_clients;
};
DnsCaps dns_caps_for(int descriptor_limit);
extern DnsCaps g_dns_caps;

// Sizes g_dns_caps to the descriptor limit (logged when that lowers them),
// then opens the DNS port's sockets (UDP and TCP) on all interfaces. Logs and
// returns false when the UDP socket cannot be bound (DNS is then off); a
// TCP port that cannot be bound is logged and leaves DNS on UDP alone.
bool open_dns_sockets(int port);
// Closes the DNS sockets, every TCP connection and every pending forward.
void close_dns_sockets();

// Adds the DNS sockets to the wait set: the UDP socket, the UDP forwards
// still within their 5000 ms (expired ones are closed, without a log line),
// the TCP listener, and the TCP connections with what each waits for
// (client connections idle for 10 s and TCP forwards past 5000 ms are closed
// here). Each remembers its slot for serve_dns_sockets.
void add_dns_sockets(std::uint32_t now, WaitSet* set);
// How long the loop's next wait may last at most, given what it would wait
// for otherwise (a listener paused after a failed accept is watched again
// on time).
long dns_wait_timeout_us(std::uint32_t now, long timeout_us);
// After the wait, in this order: relays the answer of every UDP forward
// whose socket is ready to its asker; takes the queries queued on the UDP
// socket (a bounded batch, so one wait serves a burst); then moves every
// ready TCP connection on as far as it can without waiting, and accepts up to
// 8 new clients.
void serve_dns_sockets(const WaitSet& set);

// Who gets other names relayed. With allow-from set, everyone it admits
// (the transports drop the rest unseen). Without it, only senders on the
// machine's own IPv4 subnets (its interface addresses with their masks)
// and loopback (127.0.0.0/8), so that a machine with a public interface is
// no open resolver for the world; the transports answer the others
// REFUSED (answer_relay_refused). The interface list is read at start and
// read again when a check finds it older than 5 s, so a new DHCP address
// counts, and an old one stops counting, within seconds; a failed read
// keeps the previous list.
bool relay_allowed(std::uint32_t sender);

// The local addresses of the service's own forward sockets, UDP and TCP,
// so that a query relayed back to this very server is not relayed again.
// Records the local address of a new forward socket of `transport`;
// returns its key (0 when the OS does not tell it).
std::uint64_t remember_own_forward(Socket s, Transport transport);
void forget_own_forward(std::uint64_t key);
// True (and logged) when `peer`, an asker over `transport`, is one of the
// own forward sockets of that transport.
bool from_own_forward(const SocketAddress& peer, Transport transport);
