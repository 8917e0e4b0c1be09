// The DNS message codec: RFC 1035 wire format, in place, no sockets.
#pragma once

#include <cstdint>

// --- Codec (RFC 1035 wire format, in place) ---------------------------------

constexpr int kHeaderSize = 12;
constexpr int kAnswerBlockSize = 70;
constexpr int kMaxWireNameLength = 255;  // RFC 1035 2.3.4, with its length bytes

constexpr int kTypeA = 1;
constexpr int kTypeNs = 2;
constexpr int kTypeSoa = 6;
constexpr int kTypeOpt = 41;
constexpr int kTypeIxfr = 251;
constexpr int kTypeAxfr = 252;
constexpr int kTypeAny = 255;
constexpr int kClassIn = 1;
constexpr int kClassAny = 255;

constexpr int kOpcodeQuery = 0;

constexpr int kRcodeNoError = 0;
constexpr int kRcodeFormErr = 1;
constexpr int kRcodeServFail = 2;
constexpr int kRcodeNameError = 3;
constexpr int kRcodeNotImp = 4;
constexpr int kRcodeRefused = 5;
constexpr int kRcodeNotAuth = 9;
constexpr int kRcodeBadVers = 16;  // extended: its high bits go in the OPT record

constexpr int kOptRecordSize = 11;
constexpr int kEdnsPayloadSize = 1232;  // what our own OPT record offers
constexpr int kClassicUdpLimit = 512;

// --- Header fields of a received message (REQUIRES: length >= kHeaderSize) --

bool is_response(const unsigned char* message);
int header_opcode(const unsigned char* message);
int header_qdcount(const unsigned char* message);

// --- Reading ---------------------------------------------------------------

// Decodes the first question. Returns the length of its name in text, or
// -1 when the message is shorter than a header, the question does not lie
// wholly within `length`, a label is longer than 63 bytes (compression
// pointers included: they are never followed) or the name does not fit
// `capacity`. The text joins the labels with dots and writes a dot or a
// backslash inside a label with a backslash before it ("dev\.tarvik" is one
// label), other bytes as they are; the root is "" (length 0). It is for
// showing: names are compared label by label on the wire. The header's
// opcode and counts are not examined. The name buffer holds a
// zero-terminated string on every return (when capacity > 0): the whole
// name on success, the labels read so far otherwise. Nothing past
// message[length - 1] is read. *question_end receives the offset just past
// the question's class (0 on failure); *qtype and *qclass the question's
// type and class (else 0).
int decode_question(char* name, unsigned capacity, const unsigned char* message, int length,
                    int* qtype, int* qclass, int* question_end);

// The EDNS state of a query, read from its OPT record.
struct Edns {
  bool present = false;
  int version = 0;
  bool dnssec_ok = false;
  int payload_size = 0;  // as the client offered it
};

// Reads the records behind the question (the header's answer, authority and
// additional counts of them, starting at `question_end`) and fills *edns from
// the OPT record; *has_tsig tells whether any of them is a TSIG record
// (tsig_find then reads it). False (a format error) when a record runs past
// `length`, an owner name is not one a reader could follow (a compression
// pointer into the header, forwards or into a loop, a name over 255 bytes),
// an OPT record sits outside the additional section, has a name other than
// the root, or comes twice.
bool read_edns(const unsigned char* message, int length, int question_end, Edns* edns,
               bool* has_tsig);

// --- Writing (in place; every append is bounded by `limit`) -----------------

// Turns the query's header into a reply header: ID, opcode, RD and CD kept;
// QR set; AA, RA, the low four bits of `rcode` and the four counts as given;
// TC, Z and AD clear.
void write_reply_header(unsigned char* message, bool authoritative, bool recursion_available,
                        int rcode, int qdcount, int ancount, int nscount, int arcount);
void set_truncated(unsigned char* message);

// Each append writes one record at `pos` and returns the offset behind it, or
// -1 (writing nothing) when it would end past `limit`.
// The zone's SOA: tarvik. (primary ns.tarvik., mailbox hostmaster.ns.tarvik.,
// the given serial, refresh 14400, retry 3600, expire 1209600; TTL and
// minimum 32).
int append_soa(unsigned char* message, int pos, int limit, std::uint32_t serial);
// tarvik. NS ns.tarvik., TTL 32.
int append_zone_ns(unsigned char* message, int pos, int limit);
// An A record, TTL 32, for the question's name (a pointer to offset 12) or
// for ns.tarvik. (the glue). The address is in network order.
int append_a_for_question(unsigned char* message, int pos, int limit, std::uint32_t address);
int append_a_for_ns(unsigned char* message, int pos, int limit, std::uint32_t address);
// The server's own OPT record: payload size kEdnsPayloadSize, the extended
// RCODE's high eight bits from `rcode`, version 0, the DO bit as given, no
// options.
int append_opt(unsigned char* message, int pos, int limit, int rcode, bool dnssec_ok);

// The positive answer behind the question ending at `length`: the A record
// of the question's name, the NS record of tarvik. and the glue of ns.tarvik.,
// TTL 32 each. The header is the caller's (write_reply_header).
// REQUIRES: message has room for length + kAnswerBlockSize bytes.
int build_local_answer(unsigned char* message, int length, std::uint32_t entry_address,
                       std::uint32_t server_address);
