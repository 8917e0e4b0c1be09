// What the DNS port's two transports share about relaying: the caps on
// what may be under way at once, who gets names relayed, the service's own
// forward sockets (so that a query relayed back to this very server is not
// relayed again), and the answers to a relay that fails. Both dns_udp.cpp
// and dns_tcp.cpp use it; it knows neither.
#pragma once

#include <cstdint>
#include <string>

#include "dns_answer.h"
#include "platform.h"

// Every relayed query goes to the upstream server's port 53.
constexpr int kUpstreamPort = 53;

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

// Starts the relay policy for a DNS port open on `dns_port`: says once in
// the log when relaying is for local subnets only, and reads the interface
// addresses it needs. Called when the DNS sockets open.
void start_relaying(int dns_port);

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
// Only a forward to one of this machine's own addresses, on the DNS port
// itself, can come back that way; any other forward is not recorded (and
// costs no query of its local address).
// Records the local address of a new forward socket of `transport` where
// it may come back; returns its key (0 when none was recorded).
std::uint64_t remember_own_forward(Socket s, Transport transport);
void forget_own_forward(std::uint64_t key);
// True (and logged) when `peer`, an asker over `transport`, is one of the
// own forward sockets of that transport.
bool from_own_forward(const SocketAddress& peer, Transport transport);

// True when a forward sent at tick `sent_at_ms` has outlived its 5000 ms at
// tick `now` (unsigned difference, so the tick counter's wrap does no harm).
bool forward_expired(std::uint32_t now, std::uint32_t sent_at_ms);
// The ID a relayed query goes upstream with, in place of the asker's: random,
// so that beside the fresh source port an off-path spoofer must also guess
// 16 bits it never saw (an asker's own ID may be anything, a counter
// included). The asker gets its own ID back with the answer.
std::uint16_t random_query_id();
// A message's ID (its first two bytes), and the same written; the message
// holds at least two bytes.
std::uint16_t message_id(const unsigned char* message);
void set_message_id(unsigned char* message, std::uint16_t id);
// The SERVFAIL (answer_relay_failure) for the query message[0, length),
// ready to send; "" when the message has no question to answer.
std::string relay_failure_reply(const unsigned char* message, int length, Transport transport);
