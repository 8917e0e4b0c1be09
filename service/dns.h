// The DNS service: local answers for names under ".tarvik", relaying of
// everything else to the upstream server. This is the face the loop sees:
// it opens the DNS port and drives its two transports (dns_udp.h,
// dns_tcp.h), which share what they know of relaying (dns_relay.h) and the
// answer rules (dns_answer.h); neither calls back up here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dns_answer.h"
#include "dns_relay.h"
#include "dns_tcp.h"
#include "dns_udp.h"
#include "platform.h"

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
