// Fuzz target: the DNS decoder and the service's reply to one message,
// checked against a plainly written reader of RFC 1035 messages. The decoded
// name is terminated within its buffer and is the name a reader finds. The
// reply fits the buffer (and over UDP the size the asker can take), carries
// the query's ID, opcode, RD and CD, echoes the question byte for byte, and
// reads back as whole records with nothing behind them; a registered name
// gets its address, a missing one under tarvik. a name error with the SOA
// (names compared label by label: a label holding a dot is one label); a
// NOTAUTH ends in an unsigned BADKEY TSIG record; a response is never
// answered and a relayed query leaves unchanged.
//
// Input: two bytes for the name buffer's capacity, one byte of options (bit
// 0: an upstream server is configured; bit 1: the query came over TCP; the
// rest: spare room in the reply buffer), then the message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "dns.h"
#include "dns_codec.h"
#include "fuzz_support.h"
#include "platform.h"
#include "registry.h"

namespace {

const std::uint32_t kEntryAddress = 0x1401A8C0u;   // 192.168.1.20 in network order
const std::uint32_t kServerAddress = 0x0102000Au;  // 10.0.2.1

int u16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

struct Question {
  bool ok = false;
  std::vector<std::string> labels;  // as they are on the wire
  std::string name;  // the decoder's text: labels joined with dots, a dot or
                     // backslash inside one escaped with a backslash
  int qtype = 0;
  int qclass = 0;
  int end = 0;  // offset after the class
};

// The first question as RFC 1035 lays it out: a name of length-prefixed
// labels of at most 63 bytes up to a zero byte (a compression pointer's
// first byte reads as a longer label and is refused), type and class, all
// within the message. The header's opcode and counts play no part here.
Question reference_question(const unsigned char* m, int length) {
  Question q;
  if (length <= 12) return q;
  int pos = 12;
  std::vector<std::string> labels;
  for (;;) {
    if (pos >= length) return q;
    int n = m[pos];
    if (n == 0) break;
    if (n > 63 || pos + 1 + n > length) return q;
    labels.emplace_back(reinterpret_cast<const char*>(m) + pos + 1, n);
    pos += 1 + n;
  }
  pos += 1;
  if (length - pos < 4) return q;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (i) q.name += '.';
    for (char c : labels[i]) {
      if (c == '.' || c == '\\') q.name += '\\';
      q.name += c;
    }
  }
  q.labels = labels;
  q.qtype = u16(m + pos);
  q.qclass = u16(m + pos + 2);
  q.end = pos + 4;
  q.ok = true;
  return q;
}

// Reads one resource record at *pos: its owner name (labels, or a pointer
// that ends it), type, class, TTL and data. False when it runs past `length`.
struct Record {
  std::string owner;  // as raw wire bytes
  int type = 0, klass = 0;
  std::uint32_t ttl = 0;
  std::string data;
};

bool read_record(const unsigned char* m, int length, int* pos, Record* r) {
  int p = *pos;
  for (;;) {
    if (p >= length) return false;
    int n = m[p];
    if ((n & 0xC0) == 0xC0) {
      if (p + 2 > length) return false;
      r->owner.append(reinterpret_cast<const char*>(m) + p, 2);
      p += 2;
      break;
    }
    if (p + 1 + n > length) return false;
    r->owner.append(reinterpret_cast<const char*>(m) + p, 1 + n);
    p += 1 + n;
    if (n == 0) break;
  }
  if (length - p < 10) return false;
  r->type = u16(m + p);
  r->klass = u16(m + p + 2);
  r->ttl = (static_cast<std::uint32_t>(u16(m + p + 4)) << 16) | static_cast<std::uint32_t>(u16(m + p + 6));
  int rdlength = u16(m + p + 8);
  p += 10;
  if (length - p < rdlength) return false;
  r->data.assign(reinterpret_cast<const char*>(m) + p, rdlength);
  *pos = p + rdlength;
  return true;
}

std::string address_bytes(std::uint32_t network_order) {
  return std::string(reinterpret_cast<const char*>(&network_order), 4);
}

const std::string kTarvik("\x06tarvik\x00", 8);
const std::string kNsTarvik("\x02ns\x06tarvik\x00", 11);

// Names compare label by label: the zone is every name whose last label is
// "tarvik" in any case, and a label holding a dot byte is one label.
bool ends_in_zone(const Question& q) {
  return !q.labels.empty() && fuzz::lower_ascii(q.labels.back()) == "tarvik";
}

bool is_name(const Question& q, const char* first) {
  return q.labels.size() == 2 && ends_in_zone(q) && fuzz::lower_ascii(q.labels[0]) == first;
}

// The service's reply to the message, in a buffer of exactly `capacity`
// bytes, checked against the message it answers.
void check_reply(const unsigned char* message, int length, int capacity, bool upstream, bool tcp) {
  g_settings.dns_server_ip = upstream ? 0x0100007Fu : kAddressNone;
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[capacity]);
  std::memcpy(buffer.get(), message, length);
  int reply_length = -1;
  QueryOutcome outcome =
      answer_query(buffer.get(), length, capacity, tcp ? Transport::kTcp : Transport::kUdp, &reply_length);
  const unsigned char* r = buffer.get();

  if (length < 12 || (message[2] & 0x80) != 0) {
    FUZZ_CHECK(outcome == QueryOutcome::kDrop);  // never answer a response
    return;
  }
  Question asked = reference_question(message, length);
  bool query = ((message[2] >> 3) & 0x0F) == 0 && u16(message + 4) == 1;
  if (outcome == QueryOutcome::kForward) {
    FUZZ_CHECK(upstream && query && asked.ok && !ends_in_zone(asked));
    FUZZ_CHECK(std::memcmp(r, message, length) == 0);
    return;
  }
  if (outcome == QueryOutcome::kDrop) {
    // Only a reply that cannot fit even cut down is dropped.
    FUZZ_CHECK(capacity < kReplyCapacity);
    return;
  }
  FUZZ_CHECK(reply_length >= 12 && reply_length <= capacity);
  // Over UDP beyond 512 bytes only for an asker that offered more (EDNS).
  if (!tcp && reply_length > 512) FUZZ_CHECK(u16(message + 10) > 0);
  FUZZ_CHECK(u16(r) == u16(message));                        // ID
  FUZZ_CHECK((r[2] & 0x80) != 0);                            // QR
  FUZZ_CHECK((r[2] & 0x79) == (message[2] & 0x79));          // opcode, RD
  FUZZ_CHECK((r[3] & 0x10) == (message[3] & 0x10));          // CD
  FUZZ_CHECK((r[3] & 0x60) == 0);                            // Z, AD
  FUZZ_CHECK(((r[3] & 0x80) != 0) == upstream);              // RA
  int rcode = r[3] & 0x0F;

  int pos = 12;
  int qdcount = u16(r + 4);
  FUZZ_CHECK(qdcount <= 1);
  Question echoed;
  if (qdcount == 1) {
    FUZZ_CHECK(asked.ok);
    echoed = reference_question(r, reply_length);
    FUZZ_CHECK(echoed.ok && echoed.end == asked.end);
    FUZZ_CHECK(std::memcmp(r + 12, message + 12, asked.end - 12) == 0);  // as asked
    pos = echoed.end;
  }
  bool truncated = (r[2] & 0x02) != 0;
  std::vector<Record> records;
  int count = u16(r + 6) + u16(r + 8) + u16(r + 10);
  for (int i = 0; i < count; ++i) {
    Record record;
    FUZZ_CHECK(read_record(r, reply_length, &pos, &record));
    records.push_back(record);
  }
  FUZZ_CHECK(pos == reply_length);  // nothing more, nothing missing

  // A plain question: one A question of class IN and no records beside it.
  bool plain_a = query && asked.ok && asked.qtype == 1 && asked.qclass == 1 && !truncated &&
                 u16(message + 6) == 0 && u16(message + 8) == 0 && u16(message + 10) == 0;
  if (plain_a && is_name(asked, "dev") && rcode == 0) {
    FUZZ_CHECK(u16(r + 6) == 1 && records[0].owner == std::string("\xC0\x0C", 2));
    FUZZ_CHECK(records[0].type == 1 && records[0].data == address_bytes(kEntryAddress));
  }
  if (plain_a && is_name(asked, "nobody") && rcode != 1) {
    FUZZ_CHECK(rcode == 3 && u16(r + 6) == 0 && u16(r + 8) == 1 && records[0].type == 6);
  }
  if (plain_a && !ends_in_zone(asked) && rcode != 1) FUZZ_CHECK(!upstream && rcode == 5);
  // NOTAUTH only for a signed query, with the unsigned BADKEY TSIG last.
  if (rcode == 9 && !truncated) {
    FUZZ_CHECK(u16(message + 10) > 0 && !records.empty());
    const Record& tsig = records.back();
    FUZZ_CHECK(tsig.type == 250 && tsig.klass == 255 && tsig.data.size() >= 6);
    FUZZ_CHECK(tsig.data.compare(tsig.data.size() - 4, 4, std::string("\x00\x11\x00\x00", 4)) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::make_scratch_folder("dns");
  g_settings.tarvik_server_ip = kServerAddress;
  update_name_table("dev", "192.168.1.20");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3 || size > 3 + 10000) return 0;
  unsigned capacity = ((data[0] << 8) | data[1]) % 600;
  unsigned options = data[2];
  const unsigned char* message = data + 3;
  int length = static_cast<int>(size - 3);
  check_reply(message, length, std::max(length, static_cast<int>(options >> 2) * 16), options & 1,
              options & 2);
  // Exactly `capacity` bytes, so that a write past them is caught.
  std::unique_ptr<char[]> name(new char[capacity == 0 ? 1 : capacity]);
  int qtype = -1, qclass = -1, question_end = -1;
  int n = decode_question(name.get(), capacity, message, length, &qtype, &qclass, &question_end);
  Question expected = reference_question(message, length);

  if (capacity > 0) FUZZ_CHECK(std::memchr(name.get(), '\0', capacity) != nullptr);
  if (n < 0) {
    FUZZ_CHECK(n == -1);
    FUZZ_CHECK(question_end == 0);
    // A readable question is refused only when its name would (nearly)
    // fill the buffer: the decoder keeps one byte in hand.
    if (expected.ok) FUZZ_CHECK(expected.name.size() + 2 > capacity);
    return 0;
  }
  FUZZ_CHECK(expected.ok);
  FUZZ_CHECK(static_cast<unsigned>(n) + 1 <= capacity);
  FUZZ_CHECK(name[n] == '\0');  // a label may hold zero bytes of its own
  FUZZ_CHECK(std::string(name.get(), n) == expected.name);
  FUZZ_CHECK(qtype == expected.qtype && qclass == expected.qclass && question_end == expected.end);

  return 0;
}
