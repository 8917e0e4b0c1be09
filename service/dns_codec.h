// The DNS message codec: RFC 1035 wire format, in place, no sockets.
#pragma once

#include <cstdint>

// --- Codec (RFC 1035 wire format, in place) ---------------------------------

constexpr int kAnswerBlockSize = 70;
constexpr int kTypeA = 1;
constexpr int kClassIn = 1;

// Decodes the first question. Returns the name's length, or -1 when the
// message is not a query of opcode 0 or 1 whose first question lies wholly
// within `length` and whose name fits `capacity`. The name buffer holds a
// zero-terminated string on every return (when capacity > 0): the whole name
// on success, the labels read so far otherwise. *question_end receives the
// offset just past the question's class (0 on failure).
int decode_question(char* name, unsigned capacity, const unsigned char* message, int length,
                    int* qtype, int* qclass, int* question_end);

// Decodes the first question's name into `name` (when capacity > 0 it holds
// a zero-terminated string on every return, at most capacity - 1 bytes with
// its zero: the whole name, or the labels read before a failure). Returns the
// name's length when the message is a query of opcode 0 or 1 with a question
// of type A, class IN that lies wholly within `length`; 0 otherwise. Nothing
// past message[length - 1] is read, and compression pointers are not
// followed. *qtype and *qclass, when not null, receive the question's type
// and class whenever the whole question could be read (else 0).
int decode_query_name(char* name, unsigned capacity, const unsigned char* message, int length,
                      int* qtype = nullptr, int* qclass = nullptr);
// REQUIRES: message has room for length + kAnswerBlockSize bytes.
int build_local_answer(unsigned char* message, int length, std::uint32_t entry_address,
                       std::uint32_t server_address);
// Cuts the message behind its first question (ending at `question_end`) and
// sets the header's counts to that one question and no records. Returns the
// new length.
int keep_first_question_only(unsigned char* message, int question_end);
int build_error_answer(unsigned char* message, int length, int rcode);
