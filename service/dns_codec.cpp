// The DNS wire format (RFC 1035), in place in the message buffer. Knows
// bytes only, nothing of sockets.
#include "dns_codec.h"

#include <cstring>

namespace {

// RFC 1035 header, 12 bytes, every multi-byte field big-endian:
//   0-1 ID | 2 QR Opcode AA TC RD | 3 RA Z RCODE | 4-5 QDCOUNT
//   6-7 ANCOUNT | 8-9 NSCOUNT | 10-11 ARCOUNT | 12.. first question
constexpr int kHeaderSize = 12;
constexpr int kFlagsByte = 2;     // QR 0x80, Opcode 0x78, AA 0x04, TC 0x02, RD 0x01
constexpr int kRcodeByte = 3;     // RA 0x80, Z 0x70, RCODE 0x0F
constexpr int kQdcountOffset = 4;
constexpr int kAncountLow = 7;
constexpr int kNscountLow = 9;
constexpr int kArcountLow = 11;
constexpr int kQuestionOffset = 12;

// Opcodes 0 (QUERY) and 1 (IQUERY) leave these three bits clear.
constexpr unsigned char kOpcodeHighBits = 0x70;
constexpr unsigned char kQrAndAa = 0x84;
constexpr unsigned char kRcodeMask = 0x0F;
constexpr int kTypeAndClassSize = 4;

int read_u16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

// The answer, authority and additional records appended behind a query. The
// two addresses (block offsets 12 and 66) are written over the zero gaps.
constexpr int kEntryAddressOffset = 12;
constexpr int kServerAddressOffset = 66;
const unsigned char kAnswerBlock[kAnswerBlockSize] = {
    // answer: pointer to the question's name, A, IN, TTL 32, 4 bytes
    0xC0, 0x0C, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x04,
    0x00, 0x00, 0x00, 0x00,
    // authority: tarvik., NS, IN, TTL 32, 11 bytes: ns.tarvik.
    0x06, 't', 'a', 'r', 'v', 'i', 'k', 0x00,
    0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x0B,
    0x02, 'n', 's', 0x06, 't', 'a', 'r', 'v', 'i', 'k', 0x00,
    // additional: ns.tarvik., A, IN, TTL 32, 4 bytes
    0x02, 'n', 's', 0x06, 't', 'a', 'r', 'v', 'i', 'k', 0x00,
    0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x20, 0x00, 0x04,
    0x00, 0x00, 0x00, 0x00,
};
static_assert(sizeof(kAnswerBlock) == kAnswerBlockSize, "answer block layout");

}  // namespace

int decode_question(char* name, unsigned capacity, const unsigned char* message, int length,
                    int* qtype, int* qclass, int* question_end) {
  *qtype = 0;
  *qclass = 0;
  *question_end = 0;
  if (capacity == 0) return -1;
  name[0] = '\0';
  if (length <= kHeaderSize) return -1;
  if (message[kFlagsByte] & kOpcodeHighBits) return -1;
  if (read_u16(message + kQdcountOffset) == 0) return -1;

  // A label of n bytes needs n + 1 < remaining, so the name and its zero
  // never take more than capacity - 1 bytes.
  unsigned remaining = capacity;
  unsigned out = 0;
  int pos = kQuestionOffset;
  // loop invariants: pos <= length, out + remaining == capacity, remaining >= 1
  for (;;) {
    if (pos >= length) {  // the name runs past the datagram
      name[out] = '\0';
      return -1;
    }
    int n = message[pos];
    if (n == 0) break;
    // Top bits are not examined: a compression pointer reads as a long label
    // and is never followed.
    if (static_cast<unsigned>(n) + 1 >= remaining || n > length - pos - 1) {
      name[out] = '\0';
      return -1;
    }
    std::memcpy(name + out, message + pos + 1, n);
    out += n;
    remaining -= n;
    pos += 1 + n;
    if (pos < length && message[pos] != 0) {
      name[out++] = '.';
      remaining -= 1;
    }
  }
  name[out] = '\0';
  pos += 1;  // the zero byte that ends the name
  if (length - pos < kTypeAndClassSize) return -1;
  *qtype = read_u16(message + pos);
  *qclass = read_u16(message + pos + 2);
  *question_end = pos + kTypeAndClassSize;
  return static_cast<int>(out);
}

int decode_query_name(char* name, unsigned capacity, const unsigned char* message, int length,
                      int* qtype, int* qclass) {
  int type = 0;
  int klass = 0;
  int question_end = 0;
  int n = decode_question(name, capacity, message, length, &type, &klass, &question_end);
  if (qtype) *qtype = type;
  if (qclass) *qclass = klass;
  if (n < 0 || type != kTypeA || klass != kClassIn) return 0;
  return n;
}

int build_local_answer(unsigned char* message, int length, std::uint32_t entry_address,
                       std::uint32_t server_address) {
  message[kFlagsByte] |= kQrAndAa;
  message[kAncountLow] = 1;
  message[kNscountLow] = 1;
  message[kArcountLow] = 1;
  // Behind the last received byte, so anything after the first question
  // (an OPT record, say) stays where it was.
  unsigned char* block = message + length;
  std::memcpy(block, kAnswerBlock, kAnswerBlockSize);
  // Addresses are in network order already: copied byte for byte.
  std::memcpy(block + kEntryAddressOffset, &entry_address, 4);
  std::memcpy(block + kServerAddressOffset, &server_address, 4);
  return length + kAnswerBlockSize;
}

int keep_first_question_only(unsigned char* message, int question_end) {
  message[kQdcountOffset] = 0;
  message[kQdcountOffset + 1] = 1;
  for (int i = kQdcountOffset + 2; i < kHeaderSize; ++i) message[i] = 0;
  return question_end;
}

int build_error_answer(unsigned char* message, int length, int rcode) {
  message[kFlagsByte] |= kQrAndAa;
  message[kRcodeByte] |= static_cast<unsigned char>(rcode & kRcodeMask);
  return length;
}
