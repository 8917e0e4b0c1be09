// The DNS wire format (RFC 1035), in place in the message buffer. Knows
// bytes only, nothing of sockets.
#include "dns_codec.h"

#include <cstring>

namespace {

// RFC 1035 header, 12 bytes, every multi-byte field big-endian:
//   0-1 ID | 2 QR Opcode AA TC RD | 3 RA Z AD CD RCODE | 4-5 QDCOUNT
//   6-7 ANCOUNT | 8-9 NSCOUNT | 10-11 ARCOUNT | 12.. first question
constexpr int kFlagsByte = 2;
constexpr unsigned char kQrBit = 0x80;
constexpr unsigned char kOpcodeBits = 0x78;
constexpr int kOpcodeShift = 3;
constexpr unsigned char kAaBit = 0x04;
constexpr unsigned char kTcBit = 0x02;
constexpr unsigned char kRdBit = 0x01;
constexpr int kRcodeByte = 3;
constexpr unsigned char kRaBit = 0x80;
constexpr unsigned char kCdBit = 0x10;  // Z 0x40 and AD 0x20 are never set
constexpr unsigned char kRcodeMask = 0x0F;
constexpr int kQdcountOffset = 4;
constexpr int kAncountOffset = 6;
constexpr int kNscountOffset = 8;
constexpr int kArcountOffset = 10;
constexpr int kQuestionOffset = 12;

constexpr int kTypeAndClassSize = 4;
constexpr int kMaxLabelLength = 63;
// Type, class, TTL and RDLENGTH of a resource record.
constexpr int kRecordFixedSize = 10;
constexpr unsigned char kPointerBits = 0xC0;
constexpr std::uint32_t kZoneTtl = 32;
constexpr int kTypeTransactionSignature = 250;  // TSIG: tsig.h reads it

int read_u16(const unsigned char* p) { return (p[0] << 8) | p[1]; }

void write_u16(unsigned char* p, int value) {
  p[0] = static_cast<unsigned char>(value >> 8);
  p[1] = static_cast<unsigned char>(value);
}

void write_u32(unsigned char* p, std::uint32_t value) {
  write_u16(p, static_cast<int>(value >> 16));
  write_u16(p + 2, static_cast<int>(value & 0xFFFF));
}

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

const unsigned char kZoneName[] = {6, 't', 'a', 'r', 'v', 'i', 'k', 0};
const unsigned char kNsName[] = {2, 'n', 's', 6, 't', 'a', 'r', 'v', 'i', 'k', 0};
// The SOA's mailbox, hostmaster@ns.tarvik: its first label is the local
// part, the rest a mail domain that exists in the zone (ns.tarvik. has an
// address) and has a dot, as mailbox checkers want.
const unsigned char kMailboxName[] = {10, 'h', 'o', 's', 't', 'm', 'a', 's', 't', 'e', 'r',
                                      2,  'n', 's', 6,   't', 'a', 'r', 'v', 'i', 'k', 0};
const unsigned char kQuestionNamePointer[] = {0xC0, 0x0C};

// SOA timers behind the serial: refresh, retry, expire, minimum (the
// negative-caching TTL). No secondary ever copies this zone (it lives in
// memory and refuses transfers), so the first three only have to be values
// zone checkers accept: refresh 4 hours, retry 1 hour (below the refresh),
// expire 14 days, inside the ranges RFC 1912 recommends.
constexpr std::uint32_t kSoaRefresh = 14400;
constexpr std::uint32_t kSoaRetry = 3600;
constexpr std::uint32_t kSoaExpire = 1209600;
constexpr std::uint32_t kSoaMinimum = kZoneTtl;

// Writes the owner name and the fixed part of a record of class IN, TTL 32,
// at `pos`; returns the offset of its RDATA, or -1 when the whole record
// (rdata_length bytes of RDATA) would end past `limit`.
int begin_record(unsigned char* message, int pos, int limit, const unsigned char* owner,
                 int owner_length, int type, int rdata_length) {
  if (pos < 0 || limit - pos < owner_length + kRecordFixedSize + rdata_length) return -1;
  std::memcpy(message + pos, owner, owner_length);
  unsigned char* fixed = message + pos + owner_length;
  write_u16(fixed, type);
  write_u16(fixed + 2, kClassIn);
  write_u32(fixed + 4, kZoneTtl);
  write_u16(fixed + 8, rdata_length);
  return pos + owner_length + kRecordFixedSize;
}

// Skips the owner name of a record at *pos and checks it as a reader that
// follows it would: labels ending in a zero byte or in a compression
// pointer, every pointer aiming at the message behind its header and before
// every byte of the name read so far (so no loop can form), the whole name
// at most 255 bytes. False when any of that fails or the name runs past
// `length`.
bool skip_name(const unsigned char* message, int length, int* pos, bool* is_root) {
  *is_root = *pos < length && message[*pos] == 0;
  int p = *pos;
  int lowest = p;  // the first byte of the name read so far
  int wire_length = 0;
  bool jumped = false;
  for (;;) {
    if (p >= length) return false;
    int n = message[p];
    if ((n & kPointerBits) == kPointerBits) {
      if (length - p < 2) return false;
      int target = ((n & ~kPointerBits) << 8) | message[p + 1];
      if (target < kQuestionOffset || target >= lowest) return false;
      if (!jumped) *pos = p + 2;
      jumped = true;
      p = lowest = target;
      continue;
    }
    if (n & kPointerBits) return false;  // 0x40 and 0x80: label types nobody uses
    if (n > length - p - 1) return false;
    wire_length += 1 + n;
    if (wire_length > kMaxWireNameLength) return false;
    p += 1 + n;
    if (n == 0) break;
  }
  if (!jumped) *pos = p;
  return true;
}

}  // namespace

bool is_response(const unsigned char* message) { return (message[kFlagsByte] & kQrBit) != 0; }

int header_opcode(const unsigned char* message) {
  return (message[kFlagsByte] & kOpcodeBits) >> kOpcodeShift;
}

int header_qdcount(const unsigned char* message) { return read_u16(message + kQdcountOffset); }

int decode_question(char* name, unsigned capacity, const unsigned char* message, int length,
                    int* qtype, int* qclass, int* question_end) {
  *qtype = 0;
  *qclass = 0;
  *question_end = 0;
  if (capacity == 0) return -1;
  name[0] = '\0';
  if (length <= kHeaderSize) return -1;
  // A label written as w bytes needs w + 1 < remaining, so the name and its
  // zero never take more than capacity - 1 bytes.
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
    // A compression pointer (or any label longer than 63 bytes) makes the
    // question unreadable: pointers are never followed.
    if (n > kMaxLabelLength || n > length - pos - 1) {
      name[out] = '\0';
      return -1;
    }
    const unsigned char* label = message + pos + 1;
    unsigned written = static_cast<unsigned>(n);
    for (int i = 0; i < n; ++i) written += (label[i] == '.' || label[i] == '\\') ? 1 : 0;
    if (written + 1 >= remaining) {
      name[out] = '\0';
      return -1;
    }
    // A dot or backslash inside a label is escaped, so that the text tells
    // "dev\.tarvik" (one label) from "dev.tarvik" (two).
    for (int i = 0; i < n; ++i) {
      if (label[i] == '.' || label[i] == '\\') name[out++] = '\\';
      name[out++] = static_cast<char>(label[i]);
    }
    remaining -= written;
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

bool read_edns(const unsigned char* message, int length, int question_end, Edns* edns,
               bool* has_tsig) {
  *edns = Edns{};
  *has_tsig = false;
  const int counts[3] = {read_u16(message + kAncountOffset), read_u16(message + kNscountOffset),
                         read_u16(message + kArcountOffset)};
  const int kAdditional = 2;
  int pos = question_end;
  for (int section = 0; section < 3; ++section) {
    for (int i = 0; i < counts[section]; ++i) {
      bool root = false;
      if (!skip_name(message, length, &pos, &root)) return false;
      if (length - pos < kRecordFixedSize) return false;
      const unsigned char* fixed = message + pos;
      int rdata_length = read_u16(fixed + 8);
      if (rdata_length > length - pos - kRecordFixedSize) return false;
      if (read_u16(fixed) == kTypeOpt) {
        if (section != kAdditional || !root || edns->present) return false;
        // OPT: CLASS is the payload size; TTL is extended RCODE, version,
        // then the flags with DO in the top bit.
        edns->present = true;
        edns->payload_size = read_u16(fixed + 2);
        edns->version = fixed[5];
        edns->dnssec_ok = (fixed[6] & 0x80) != 0;
      }
      if (read_u16(fixed) == kTypeTransactionSignature) *has_tsig = true;
      pos += kRecordFixedSize + rdata_length;
    }
  }
  return true;
}

void write_reply_header(unsigned char* message, bool authoritative, bool recursion_available,
                        int rcode, int qdcount, int ancount, int nscount, int arcount) {
  unsigned char flags = kQrBit | (message[kFlagsByte] & (kOpcodeBits | kRdBit));
  if (authoritative) flags |= kAaBit;
  unsigned char second = message[kRcodeByte] & kCdBit;
  if (recursion_available) second |= kRaBit;
  second |= static_cast<unsigned char>(rcode & kRcodeMask);
  message[kFlagsByte] = flags;
  message[kRcodeByte] = second;
  write_u16(message + kQdcountOffset, qdcount);
  write_u16(message + kAncountOffset, ancount);
  write_u16(message + kNscountOffset, nscount);
  write_u16(message + kArcountOffset, arcount);
}

void set_truncated(unsigned char* message) { message[kFlagsByte] |= kTcBit; }

int append_soa(unsigned char* message, int pos, int limit, std::uint32_t serial) {
  const int rdata_length = sizeof kNsName + sizeof kMailboxName + 5 * 4;
  int rdata = begin_record(message, pos, limit, kZoneName, sizeof kZoneName, kTypeSoa,
                           rdata_length);
  if (rdata < 0) return -1;
  unsigned char* p = message + rdata;
  std::memcpy(p, kNsName, sizeof kNsName);
  p += sizeof kNsName;
  std::memcpy(p, kMailboxName, sizeof kMailboxName);
  p += sizeof kMailboxName;
  const std::uint32_t numbers[5] = {serial, kSoaRefresh, kSoaRetry, kSoaExpire, kSoaMinimum};
  for (std::uint32_t number : numbers) {
    write_u32(p, number);
    p += 4;
  }
  return rdata + rdata_length;
}

int append_zone_ns(unsigned char* message, int pos, int limit) {
  int rdata = begin_record(message, pos, limit, kZoneName, sizeof kZoneName, kTypeNs,
                           sizeof kNsName);
  if (rdata < 0) return -1;
  std::memcpy(message + rdata, kNsName, sizeof kNsName);
  return rdata + static_cast<int>(sizeof kNsName);
}

int append_a_for_question(unsigned char* message, int pos, int limit, std::uint32_t address) {
  int rdata = begin_record(message, pos, limit, kQuestionNamePointer, sizeof kQuestionNamePointer,
                           kTypeA, 4);
  if (rdata < 0) return -1;
  std::memcpy(message + rdata, &address, 4);  // network order already
  return rdata + 4;
}

int append_a_for_ns(unsigned char* message, int pos, int limit, std::uint32_t address) {
  int rdata = begin_record(message, pos, limit, kNsName, sizeof kNsName, kTypeA, 4);
  if (rdata < 0) return -1;
  std::memcpy(message + rdata, &address, 4);
  return rdata + 4;
}

int append_opt(unsigned char* message, int pos, int limit, int rcode, bool dnssec_ok) {
  if (pos < 0 || limit - pos < kOptRecordSize) return -1;
  unsigned char* p = message + pos;
  p[0] = 0;  // the root name
  write_u16(p + 1, kTypeOpt);
  write_u16(p + 3, kEdnsPayloadSize);
  p[5] = static_cast<unsigned char>(rcode >> 4);  // extended RCODE, high bits
  p[6] = 0;                                       // version
  p[7] = dnssec_ok ? 0x80 : 0;
  p[8] = 0;
  write_u16(p + 9, 0);  // no options
  return pos + kOptRecordSize;
}

int build_local_answer(unsigned char* message, int length, std::uint32_t entry_address,
                       std::uint32_t server_address) {
  unsigned char* block = message + length;
  std::memcpy(block, kAnswerBlock, kAnswerBlockSize);
  // Addresses are in network order already: copied byte for byte.
  std::memcpy(block + kEntryAddressOffset, &entry_address, 4);
  std::memcpy(block + kServerAddressOffset, &server_address, 4);
  return length + kAnswerBlockSize;
}
