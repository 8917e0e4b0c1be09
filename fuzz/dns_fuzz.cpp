// Fuzz target: the DNS decoder and the two answer builders, checked against
// a plainly written reader of RFC 1035 messages: the decoded name is
// terminated within its buffer and is the name a reader finds; a local
// answer is exactly as long as the builder says, and reads back as the same
// question followed by the answer, authority and additional records; an
// error answer keeps the question and carries the response code.
//
// Input: two bytes for the name buffer's capacity, then the message.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dns_codec.h"
#include "fuzz_support.h"

namespace {

const std::uint32_t kEntryAddress = 0x1401A8C0u;   // 192.168.1.20 in network order
const std::uint32_t kServerAddress = 0x0102000Au;  // 10.0.2.1

int u16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

struct Question {
  bool ok = false;
  std::string name;  // labels joined with dots
  int qtype = 0;
  int qclass = 0;
  int end = 0;  // offset after the class
};

// The first question as RFC 1035 lays it out: a query (opcode 0 or 1) with
// a question count, a name of length-prefixed labels up to a zero byte
// (compression pointers are read as labels and never followed), type and
// class, all within the message.
Question reference_question(const unsigned char* m, int length) {
  Question q;
  if (length <= 12 || (m[2] & 0x70) != 0 || u16(m + 4) == 0) return q;
  int pos = 12;
  std::vector<std::string> labels;
  for (;;) {
    if (pos >= length) return q;
    int n = m[pos];
    if (n == 0) break;
    if (pos + 1 + n > length) return q;
    labels.emplace_back(reinterpret_cast<const char*>(m) + pos + 1, n);
    pos += 1 + n;
  }
  pos += 1;
  if (length - pos < 4) return q;
  for (std::size_t i = 0; i < labels.size(); ++i) q.name += (i ? "." : "") + labels[i];
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2 || size > 2 + 10000) return 0;
  unsigned capacity = ((data[0] << 8) | data[1]) % 600;
  const unsigned char* message = data + 2;
  int length = static_cast<int>(size - 2);

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

  // Local answer, as the service builds it: the question alone, then the
  // records, in a buffer with exactly the room the builder asks for.
  {
    std::unique_ptr<unsigned char[]> answer(new unsigned char[question_end + kAnswerBlockSize]);
    std::memcpy(answer.get(), message, question_end);
    int question_length = keep_first_question_only(answer.get(), question_end);
    FUZZ_CHECK(question_length == question_end);
    int answer_length = build_local_answer(answer.get(), question_length, kEntryAddress, kServerAddress);
    FUZZ_CHECK(answer_length == question_end + kAnswerBlockSize);
    const unsigned char* a = answer.get();
    FUZZ_CHECK(u16(a) == u16(message));                           // same ID
    FUZZ_CHECK((a[2] & 0x84) == 0x84);                             // QR, AA
    FUZZ_CHECK((a[2] & 0x7B) == (message[2] & 0x7B));              // opcode, TC, RD kept
    FUZZ_CHECK(a[3] == message[3]);
    FUZZ_CHECK(u16(a + 4) == 1 && u16(a + 6) == 1 && u16(a + 8) == 1 && u16(a + 10) == 1);
    Question back = reference_question(a, answer_length);
    FUZZ_CHECK(back.ok && back.name == expected.name && back.qtype == qtype && back.qclass == qclass);
    FUZZ_CHECK(back.end == question_end);
    int pos = back.end;
    Record answer_record, authority, additional;
    FUZZ_CHECK(read_record(a, answer_length, &pos, &answer_record));
    FUZZ_CHECK(read_record(a, answer_length, &pos, &authority));
    FUZZ_CHECK(read_record(a, answer_length, &pos, &additional));
    FUZZ_CHECK(pos == answer_length);  // nothing more, nothing missing
    FUZZ_CHECK(answer_record.owner == std::string("\xC0\x0C", 2));  // the question's name
    FUZZ_CHECK(answer_record.type == 1 && answer_record.klass == 1 && answer_record.ttl == 32);
    FUZZ_CHECK(answer_record.data == address_bytes(kEntryAddress));
    FUZZ_CHECK(authority.owner == kTarvik && authority.type == 2 && authority.klass == 1);
    FUZZ_CHECK(authority.data == kNsTarvik);
    FUZZ_CHECK(additional.owner == kNsTarvik && additional.type == 1 && additional.klass == 1);
    FUZZ_CHECK(additional.data == address_bytes(kServerAddress));
  }

  // Error answers: the message as received, with QR, AA and the code set.
  for (int rcode : {0, 3}) {
    std::unique_ptr<unsigned char[]> reply(new unsigned char[length]);
    std::memcpy(reply.get(), message, length);
    int reply_length = build_error_answer(reply.get(), length, rcode);
    FUZZ_CHECK(reply_length == length);
    FUZZ_CHECK((reply[2] & 0x84) == 0x84);
    FUZZ_CHECK((reply[2] & 0x7B) == (message[2] & 0x7B));
    FUZZ_CHECK((reply[3] & 0x0F) == ((message[3] & 0x0F) | rcode));
    FUZZ_CHECK(std::memcmp(reply.get() + 4, message + 4, length - 4) == 0);
    Question back = reference_question(reply.get(), reply_length);
    FUZZ_CHECK(back.ok && back.name == expected.name && back.end == question_end);
  }
  return 0;
}
