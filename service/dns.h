// The DNS message codec and the DNS service: local answers for names under
// ".tarvik", relaying of everything else to the upstream server.
#pragma once

#include <cstdint>

#include "platform.h"

// --- Codec (RFC 1035 wire format, in place) ---------------------------------

constexpr int kAnswerBlockSize = 70;

// Decodes the first question's name into `name` (always zero-terminated on
// return, at most capacity - 1 bytes with its zero). Returns the name's
// length when the message is a query of opcode 0 or 1 with a question of
// type A, class IN that lies wholly within `length`; 0 otherwise.
// *qtype and *qclass, when not null, receive the question's type and class
// whenever the whole question could be read (else 0).
int decode_query_name(char* name, unsigned capacity, const unsigned char* message, int length,
                      int* qtype = nullptr, int* qclass = nullptr);
// REQUIRES: message has room for length + kAnswerBlockSize bytes.
int build_local_answer(unsigned char* message, int length, std::uint32_t entry_address,
                       std::uint32_t server_address);
int build_error_answer(unsigned char* message, int length, int rcode);

// --- Service ---------------------------------------------------------------

extern Socket g_dns_socket;

// Expires pending forwards older than 5000 ms at `now`; adds the sockets of
// the others to the read set.
void sweep_pending_forwards(std::uint32_t now, ReadSet* set);
// Relays the answer of every pending forward whose socket is in `ready`.
void relay_upstream_answers(const ReadSet& ready);
// Receives one datagram on the DNS socket and answers, forwards or drops it.
void handle_dns_query();
// Closes every pending forward's socket and empties the list.
void drop_all_pending_forwards();
std::size_t pending_forward_count();
