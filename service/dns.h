// The DNS service: local answers for names under
// ".tarvik", relaying of everything else to the upstream server.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

// --- Service ---------------------------------------------------------------

// The DNS port: a UDP socket, and a TCP listener beside it (kNoSocket when
// the port could not be bound for TCP; UDP then works alone).
extern Socket g_dns_socket;
extern Socket g_dns_tcp_socket;

// Limits that size the loop's wait set: every socket below is watched in
// every iteration.
constexpr int kMaxPendingForwards = 4094;  // UDP forwards; beyond: the oldest ends
constexpr int kMaxTcpClients = 64;         // beyond: the longest idle is closed
// Each TCP client has at most one query relayed at a time, over a TCP
// connection to the upstream server of its own.
constexpr int kMaxTcpForwards = kMaxTcpClients;

// Opens the DNS port's sockets (UDP and TCP) on all interfaces. Logs and
// returns false when the UDP socket cannot be bound (DNS is then off); a
// TCP port that cannot be bound is logged and leaves DNS on UDP alone.
bool open_dns_sockets(int port);
// Closes the DNS sockets, every TCP connection and every pending forward.
void close_dns_sockets();

// True when a forward sent at tick `sent_at_ms` has outlived its 5000 ms at
// tick `now` (unsigned difference, so the tick counter's wrap does no harm).
bool forward_expired(std::uint32_t now, std::uint32_t sent_at_ms);
// Adds the DNS sockets to the wait set: the UDP socket, the UDP forwards
// still within their 5000 ms (expired ones are closed, without a log line),
// the TCP listener, and the TCP connections with what each waits for
// (client connections idle for 10 s and TCP forwards past 5000 ms are closed
// here). Each remembers its slot for serve_dns_sockets.
void add_dns_sockets(std::uint32_t now, WaitSet* set);
// After the wait, in this order: relays the answer of every UDP forward
// whose socket is ready to its asker; takes the queries queued on the UDP
// socket (a bounded batch, so one wait serves a burst); then moves every
// ready TCP connection on as far as it can without waiting, and accepts one
// new client.
void serve_dns_sockets(const WaitSet& set);

enum class QueryOutcome { kReply, kForward, kDrop };
// How the reply travels: over UDP a reply is limited to 512 bytes, or to the
// UDP payload size the query's EDNS OPT record offers when that is larger;
// over TCP only the buffer limits it.
enum class Transport { kUdp, kTcp };
// Any reply answer_query builds fits this many bytes (a question name is at
// most 255 bytes, and the records the server adds are few and short).
constexpr int kReplyCapacity = 512;
// Decides what becomes of one received DNS message, transport-independent:
// UDP and TCP both call it. `message` holds the `length` received bytes
// (length >= 0; nothing past them is read) in a buffer of `capacity` bytes
// (capacity >= length; capacity >= kReplyCapacity guarantees every reply
// fits whole).
//   kReply: the reply has been built in place in message[0, *reply_length),
//     *reply_length <= capacity, and over UDP within the limit above. When a
//     local answer does not fit, the reply is its header and question (and
//     OPT) with TC set, so that the asker retries over TCP.
//   kForward: message[0, length) is unchanged and goes to the upstream server
//     as it is (only when an upstream server is configured).
//   kDrop: nothing is sent (responses, datagrams shorter than a header, a
//     reply that cannot fit even cut down).
// The rules: names compare ignoring ASCII case; the zone tarvik. (its SOA and
// NS, ns.tarvik, the registered names) is answered with AA, with the SOA in
// the authority section of every name error and empty answer; other names
// are relayed, or REFUSED when there is no upstream server. Opcodes other
// than QUERY get NOTIMP, anything but one readable question FORMERR, classes
// other than IN and ANY in the zone REFUSED. A query with an OPT record gets
// the server's own (version 0, 1232 bytes, DO copied), or BADVERS for a
// version above 0. The header is set, never copied: RD, CD and the opcode
// come back, RA only with an upstream server.
QueryOutcome answer_query(unsigned char* message, int length, int capacity, Transport transport,
                          int* reply_length);
// Receives one datagram on the DNS socket and answers, forwards or drops it
// as answer_query decides; the answer leaves from the address the datagram
// was sent to. A forward goes to the upstream server (dns_server_ip, port 53)
// through a UDP socket of its own. A datagram from one of the service's own
// forward sockets (the upstream server is this server) is dropped and
// logged, as TCP drops such a connection. Returns false when no datagram
// was queued.
bool handle_dns_query();
// Closes every pending forward's socket and empties the list.
void drop_all_pending_forwards();
std::size_t pending_forward_count();
