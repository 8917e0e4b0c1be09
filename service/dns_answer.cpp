#include "dns_answer.h"

#include "config.h"
#include "dns_codec.h"
#include "registry.h"

namespace {

constexpr unsigned kNameBufferSize = 500;
constexpr char kLocalSuffix[] = ".tarvik";
constexpr int kLocalSuffixLength = 7;

// The decoded question name of the message at hand.
char g_name_buffer[kNameBufferSize];

// Names are compared ignoring ASCII case only: other bytes stay as they are.
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool ascii_equal_ignoring_case(const char* a, const char* b, int n) {
  for (int i = 0; i < n; ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// True when the name (n bytes) is the zone name "tarvik" or ends in ".tarvik".
bool is_in_zone(const char* name, int n) {
  if (n == kLocalSuffixLength - 1) return ascii_equal_ignoring_case(name, kLocalSuffix + 1, n);
  return n > kLocalSuffixLength &&
         ascii_equal_ignoring_case(name + n - kLocalSuffixLength, kLocalSuffix, kLocalSuffixLength);
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

LocalRecords look_up_local(char* name, int n, int qtype) {
  LocalRecords records;
  bool any = qtype == kTypeAny;
  if (n == kLocalSuffixLength - 1) {  // the zone name itself
    records.zone_soa = qtype == kTypeSoa || any;
    records.zone_ns = qtype == kTypeNs || any;
    records.negative_soa = !records.zone_soa && !records.zone_ns;
    return records;
  }
  int prefix_length = n - kLocalSuffixLength;
  // ns.tarvik is the server's own name, whatever a device registers.
  if (prefix_length == 2 && ascii_equal_ignoring_case(name, "ns", 2)) {
    records.ns_address = qtype == kTypeA || any;
    records.negative_soa = !records.ns_address;
    return records;
  }
  name[prefix_length] = '\0';
  const NameEntry* entry = find_by_name(name, static_cast<std::size_t>(prefix_length));
  if (entry != nullptr && (qtype == kTypeA || any)) {
    records.address = true;
    records.entry = entry->address;
    return records;
  }
  // Stored names are single labels, so a name that is not in the table has
  // no names below it either: a name error covers it and everything below.
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
  const bool local = readable && is_in_zone(g_name_buffer, n);
  // Every other name of a plain query is the upstream server's business,
  // relayed byte for byte.
  if (readable && opcode == kOpcodeQuery && !local && upstream) return QueryOutcome::kForward;

  Edns edns;
  const bool edns_readable = readable && read_edns(message, length, question_end, &edns);
  if (!edns_readable) edns = Edns{};

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
  } else if (!readable || !edns_readable) {
    rcode = kRcodeFormErr;
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
    LocalRecords records = look_up_local(g_name_buffer, n, qtype);
    reply = write_local_answer(message, question_end, limit, records, upstream, edns);
    if (reply < 0) {
      // Too big for this transport: the question alone, truncated, so that
      // the asker comes back over TCP.
      reply = write_bare_reply(message, question_end, limit, true, upstream, records.rcode, edns);
      if (reply >= 0) set_truncated(message);
    }
  } else {
    reply = write_bare_reply(message, question_end, limit, false, upstream, rcode, edns);
  }
  if (reply < 0) return QueryOutcome::kDrop;
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
  if (!read_edns(message, length, question_end, &edns)) edns = Edns{};
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
