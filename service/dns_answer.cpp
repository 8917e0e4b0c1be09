#include "dns_answer.h"

#include <string>

#include "config.h"
#include "dns_codec.h"
#include "platform.h"
#include "registry.h"
#include "stats.h"
#include "tsig.h"

namespace {

// The longest question name in text: 255 wire bytes, every byte but the
// length bytes a dot written as two.
constexpr unsigned kNameBufferSize = 512;
constexpr char kZoneLabel[] = "tarvik";
constexpr int kZoneLabelLength = 6;

// The decoded question name of the message at hand, for the log.
char g_name_buffer[kNameBufferSize];

// Names are compared ignoring ASCII case only: other bytes stay as they are.
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool ascii_equal_ignoring_case(const char* a, const char* b, int n) {
  for (int i = 0; i < n; ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// The question's name, label by label, read from the wire where
// decode_question has checked it: a label that holds a dot byte stays one
// label, so "dev\.tarvik." is a name of one label, outside the zone.
struct QuestionName {
  int labels = 0;
  const char* first = nullptr;  // the first label's bytes
  int first_length = 0;
  bool in_zone = false;  // its last label is the zone's
};

QuestionName read_question_name(const unsigned char* message) {
  QuestionName name;
  const unsigned char* p = message + kHeaderSize;
  const char* last = nullptr;
  int last_length = 0;
  while (*p != 0) {
    last = reinterpret_cast<const char*>(p + 1);
    last_length = *p;
    if (name.labels == 0) {
      name.first = last;
      name.first_length = last_length;
    }
    ++name.labels;
    p += 1 + *p;
  }
  name.in_zone = last_length == kZoneLabelLength &&
                 ascii_equal_ignoring_case(last, kZoneLabel, kZoneLabelLength);
  return name;
}

// The records of a local answer, by what the name is and what was asked.
struct LocalRecords {
  int rcode = kRcodeNoError;
  bool address = false;       // the A record block of a registered name
  std::uint32_t entry = 0;    // its address
  bool ns_address = false;    // answer: ns.tarvik. A
  bool zone_soa = false;      // answer: the SOA
  bool zone_ns = false;       // answer: the NS, with the glue
  bool negative_soa = false;  // authority: the SOA (NXDOMAIN and no data)
};

LocalRecords look_up_local(const QuestionName& name, int qtype) {
  LocalRecords records;
  bool any = qtype == kTypeAny;
  if (name.labels == 1) {  // the zone name itself
    records.zone_soa = qtype == kTypeSoa || any;
    records.zone_ns = qtype == kTypeNs || any;
    records.negative_soa = !records.zone_soa && !records.zone_ns;
    return records;
  }
  // ns.tarvik is the server's own name, whatever a device registers.
  if (name.labels == 2 && name.first_length == 2 &&
      ascii_equal_ignoring_case(name.first, "ns", 2)) {
    records.ns_address = qtype == kTypeA || any;
    records.negative_soa = !records.ns_address;
    return records;
  }
  // Stored names are single labels without a dot: only a name of two
  // labels can be one of them.
  const NameEntry* entry =
      name.labels == 2 ? find_by_name(name.first, static_cast<std::size_t>(name.first_length))
                       : nullptr;
  if (entry != nullptr && (qtype == kTypeA || any)) {
    records.address = true;
    records.entry = entry->address;
    return records;
  }
  // A name that is not in the table has no names below it either: a name
  // error covers it and everything below.
  if (entry == nullptr) records.rcode = kRcodeNameError;
  records.negative_soa = true;
  return records;
}

// Appends the chosen records behind the question and writes the header.
// Returns the reply's length, or -1 when it does not fit `limit`.
int write_local_answer(unsigned char* message, int question_end, int limit,
                       const LocalRecords& records, bool recursion_available, const Edns& edns) {
  int pos = question_end;
  int answers = 0;
  int authority = 0;
  int additional = 0;
  std::uint32_t server = g_settings.tarvik_server_ip;
  if (records.address) {
    // The positive answer of a registered name: A, NS and glue, as always.
    if (limit - pos < kAnswerBlockSize) return -1;
    pos = build_local_answer(message, pos, records.entry, server);
    answers = authority = additional = 1;
  }
  if (records.ns_address) {
    pos = append_a_for_question(message, pos, limit, server);
    answers = 1;
  }
  if (records.zone_soa) {
    pos = append_soa(message, pos, limit, name_table_version());
    ++answers;
  }
  if (records.zone_ns) {
    pos = append_zone_ns(message, pos, limit);
    pos = append_a_for_ns(message, pos, limit, server);
    ++answers;
    ++additional;
  }
  if (records.negative_soa) {
    pos = append_soa(message, pos, limit, name_table_version());
    ++authority;
  }
  if (edns.present) {
    pos = append_opt(message, pos, limit, kRcodeNoError, edns.dnssec_ok);
    ++additional;
  }
  if (pos < 0) return -1;
  write_reply_header(message, true, recursion_available, records.rcode, 1, answers, authority,
                     additional);
  return pos;
}

// A reply with no records but the OPT: the question (when it could be read,
// that is when question_end > 0) and the rcode. Returns its length, or -1
// when it does not fit `limit`.
int write_bare_reply(unsigned char* message, int question_end, int limit, bool authoritative,
                     bool recursion_available, int rcode, const Edns& edns) {
  int pos = question_end > 0 ? question_end : kHeaderSize;
  if (pos > limit) return -1;
  if (edns.present) pos = append_opt(message, pos, limit, rcode, edns.dnssec_ok);
  if (pos < 0) return -1;
  write_reply_header(message, authoritative, recursion_available, rcode, question_end > 0 ? 1 : 0,
                     0, 0, edns.present ? 1 : 0);
  return pos;
}

// The answer to a query signed with a key this server does not hold:
// NOTAUTH with the question, the OPT when the query had one, and the TSIG
// record naming the key with the error BADKEY, unsigned. Returns its
// length, or -1 when it does not fit `limit`.
int write_bad_key_reply(unsigned char* message, int question_end, int limit,
                        bool recursion_available, const Edns& edns, const TsigRecord& tsig) {
  int pos = write_bare_reply(message, question_end, limit, false, recursion_available,
                             kRcodeNotAuth, edns);
  if (pos < 0) return -1;
  std::string record = tsig_unsigned_error_record(tsig, unix_time_seconds(), kTsigBadKey);
  if (static_cast<std::size_t>(limit - pos) < record.size()) return -1;
  record.copy(reinterpret_cast<char*>(message) + pos, record.size());
  write_reply_header(message, false, recursion_available, kRcodeNotAuth, 1, 0, 0,
                     edns.present ? 2 : 1);
  return pos + static_cast<int>(record.size());
}

}  // namespace

QueryOutcome answer_query(unsigned char* message, int length, int capacity, Transport transport,
                          int* reply_length) {
  int qtype = 0;
  int qclass = 0;
  int question_end = 0;
  int n = decode_question(g_name_buffer, kNameBufferSize, message, length, &qtype, &qclass,
                          &question_end);
  if (g_settings.verbose) log(4, "dns query: '%s'", log_safe(g_name_buffer).c_str());

  // Not even a header: nobody to answer.
  if (length < kHeaderSize) return QueryOutcome::kDrop;
  // A response is never answered nor relayed: answering one would let a
  // single forged datagram start an endless exchange between two servers.
  if (is_response(message)) return QueryOutcome::kDrop;

  const bool upstream = g_settings.dns_server_ip != kAddressNone;
  const int opcode = header_opcode(message);
  // Only a single question of at most 255 bytes counts as readable.
  if (n < 0 || header_qdcount(message) != 1 ||
      question_end - kHeaderSize - 4 > kMaxWireNameLength) {
    question_end = 0;
  }
  const bool readable = question_end > 0;
  const bool local = readable && read_question_name(message).in_zone;
  // Every other name of a plain query is the upstream server's business,
  // relayed byte for byte.
  if (readable && opcode == kOpcodeQuery && !local && upstream) return QueryOutcome::kForward;

  Edns edns;
  bool has_tsig = false;
  const bool edns_readable =
      readable && read_edns(message, length, question_end, &edns, &has_tsig);
  if (!edns_readable) edns = Edns{};
  // A signed query: this server holds no key to check it with (the update
  // key is the one it signs its own updates with, not one it accepts).
  TsigRecord tsig;
  TsigFound signature = TsigFound::kNone;
  if (edns_readable && has_tsig) {
    signature = tsig_find(std::string(reinterpret_cast<const char*>(message),
                                      static_cast<std::size_t>(length)),
                          &tsig);
  }

  // Over UDP the reply must fit what the asker can take; TCP has only the
  // buffer to fill.
  int limit = capacity;
  if (transport == Transport::kUdp) {
    int udp_limit = edns.present && edns.payload_size > kClassicUdpLimit ? edns.payload_size
                                                                         : kClassicUdpLimit;
    if (udp_limit < limit) limit = udp_limit;
  }

  int rcode = kRcodeNoError;
  if (opcode != kOpcodeQuery) {
    rcode = kRcodeNotImp;
  } else if (!readable || !edns_readable || signature == TsigFound::kMalformed) {
    rcode = kRcodeFormErr;  // a TSIG record anywhere but last is one too
  } else if (signature == TsigFound::kFound) {
    rcode = kRcodeNotAuth;
  } else if (edns.present && edns.version > 0) {
    rcode = kRcodeBadVers;
  } else if (!local) {
    rcode = kRcodeRefused;  // no upstream server to ask
  } else if (qclass != kClassIn && qclass != kClassAny) {
    rcode = kRcodeRefused;  // the zone exists in class IN only
  } else if (qtype == kTypeIxfr || qtype == kTypeAxfr) {
    rcode = kRcodeRefused;  // the zone lives in memory: no transfers
  }

  int reply = -1;
  if (rcode == kRcodeNoError) {
    LocalRecords records = look_up_local(read_question_name(message), qtype);
    reply = write_local_answer(message, question_end, limit, records, upstream, edns);
    if (reply < 0) {
      // Too big for this transport: the question alone, truncated, so that
      // the asker comes back over TCP.
      reply = write_bare_reply(message, question_end, limit, true, upstream, records.rcode, edns);
      if (reply >= 0) set_truncated(message);
    }
  } else if (rcode == kRcodeNotAuth) {
    reply = write_bad_key_reply(message, question_end, limit, upstream, edns, tsig);
    if (reply < 0) {
      reply = write_bare_reply(message, question_end, limit, false, upstream, rcode, edns);
      if (reply >= 0) set_truncated(message);
    }
  } else {
    reply = write_bare_reply(message, question_end, limit, false, upstream, rcode, edns);
  }
  if (reply < 0) return QueryOutcome::kDrop;
  if (rcode == kRcodeNoError) {
    ++g_counters.queries_answered;  // from the zone: NOERROR or NXDOMAIN
  } else if (rcode == kRcodeRefused) {
    ++g_counters.queries_refused;
  } else {
    ++g_counters.queries_other;
  }
  *reply_length = reply;
  return QueryOutcome::kReply;
}

// --- Answers for the transports ------------------------------------------------

namespace {

// The bare answer to a query that is not relayed after all: `rcode` with
// the question (and an OPT when the query had one).
bool answer_instead_of_relay(unsigned char* message, int length, int capacity,
                             Transport transport, bool recursion_available, int rcode,
                             int* reply_length) {
  if (length < kHeaderSize || is_response(message)) return false;
  int qtype = 0;
  int qclass = 0;
  int question_end = 0;
  int n = decode_question(g_name_buffer, kNameBufferSize, message, length, &qtype, &qclass,
                          &question_end);
  if (n < 0 || header_qdcount(message) != 1) return false;
  Edns edns;
  bool has_tsig = false;
  if (!read_edns(message, length, question_end, &edns, &has_tsig)) edns = Edns{};
  int limit = capacity;
  if (transport == Transport::kUdp && kClassicUdpLimit < limit) limit = kClassicUdpLimit;
  int reply = write_bare_reply(message, question_end, limit, false, recursion_available, rcode,
                               edns);
  if (reply < 0) return false;
  *reply_length = reply;
  return true;
}

}  // namespace

bool answer_relay_failure(unsigned char* message, int length, int capacity, Transport transport,
                          int* reply_length) {
  return answer_instead_of_relay(message, length, capacity, transport, true, kRcodeServFail,
                                 reply_length);
}

bool answer_relay_refused(unsigned char* message, int length, int capacity, Transport transport,
                          int* reply_length) {
  // RA clear: this asker is offered no recursion.
  return answer_instead_of_relay(message, length, capacity, transport, false, kRcodeRefused,
                                 reply_length);
}
