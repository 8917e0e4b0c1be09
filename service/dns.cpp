#include "dns.h"

#include <cstring>
#include <list>

#include "config.h"
#include "host.h"
#include "registry.h"

Socket g_dns_socket = kNoSocket;

// --- Codec -----------------------------------------------------------------

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

constexpr int kTypeA = 1;
constexpr int kClassIn = 1;

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

// Decodes the first question. Returns the name's length, or -1 when the
// message is not a query of opcode 0 or 1 whose first question lies wholly
// within `length` and whose name fits `capacity`. The name buffer holds a
// zero-terminated string on every return (when capacity > 0): the whole name
// on success, the labels read so far otherwise.
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

}  // namespace

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

// --- Service ---------------------------------------------------------------

namespace {

constexpr int kReceiveSize = 10000;
constexpr unsigned kNameBufferSize = 500;
constexpr std::uint32_t kForwardLifetimeMs = 5000;
constexpr int kUpstreamPort = 53;
constexpr std::uint32_t kNotSet = 0xFFFFFFFFu;
constexpr char kLocalSuffix[] = ".tarvik";
constexpr int kLocalSuffixLength = 7;
constexpr int kRcodeNoError = 0;
constexpr int kRcodeNameError = 3;

struct PendingForward {
  SocketAddress asker;  // exactly as the receive filled it in, with its length
  Socket socket;        // opened for this query alone, connected to upstream
  std::uint32_t sent_at_ms;
};

// Oldest first. Each entry owns its socket: whoever removes it closes it.
std::list<PendingForward> g_pending_forwards;

// Scratch space of one iteration, static so the loop allocates nothing. The
// query buffer has room for the answer block behind the largest datagram.
unsigned char g_query_buffer[kReceiveSize + kAnswerBlockSize];
char g_name_buffer[kNameBufferSize];
char g_relay_buffer[kReceiveSize];

bool has_local_suffix(const char* name, int n) {
  return n > kLocalSuffixLength &&
         std::memcmp(name + n - kLocalSuffixLength, kLocalSuffix, kLocalSuffixLength) == 0;
}

void forward_query(const unsigned char* message, int length, const SocketAddress& asker) {
  Socket s = udp_open();
  if (s == kNoSocket) return;
  // Connected, so the system drops datagrams from anyone but the upstream
  // server: nobody else can answer in its name.
  if (!udp_connect(s, g_settings.dns_server_ip, kUpstreamPort)) {
    socket_close(s);
    return;
  }
  // A failed send is not fatal: the forward simply expires.
  udp_send_connected(s, reinterpret_cast<const char*>(message), length);
  g_pending_forwards.push_back(PendingForward{asker, s, tick_count_ms()});
}

}  // namespace

bool forward_expired(std::uint32_t now, std::uint32_t sent_at_ms) {
  // Exactly 5000 ms old still counts as alive.
  return static_cast<std::uint32_t>(now - sent_at_ms) > kForwardLifetimeMs;
}

void sweep_pending_forwards(std::uint32_t now, ReadSet* set) {
  for (auto it = g_pending_forwards.begin(); it != g_pending_forwards.end();) {
    if (forward_expired(now, it->sent_at_ms)) {
      socket_close(it->socket);
      it = g_pending_forwards.erase(it);
      continue;
    }
    // Forward sockets are distinct open handles, none of them the
    // registration or DNS socket, so the duplicate search of read_set_add
    // (linear in the set) is not needed; a full set just leaves the rest
    // unwatched for this iteration.
    if (set->count < kReadSetCapacity) set->handles[set->count++] = it->socket;
    ++it;
  }
}

void relay_upstream_answers(const ReadSet& ready) {
  // The wait keeps the ready sockets in the order they were added: the
  // registration and DNS sockets first, then the forwards in list order as
  // the sweep added them, and the list has not changed since. So one pass
  // over both finds every ready forward.
  int next = 0;
  while (next < ready.count &&
         (ready.handles[next] == g_registration_socket || ready.handles[next] == g_dns_socket)) {
    ++next;
  }
  for (auto it = g_pending_forwards.begin(); it != g_pending_forwards.end() && next < ready.count;) {
    if (ready.handles[next] != it->socket) {
      ++it;
      continue;
    }
    ++next;
    int received = udp_receive(it->socket, g_relay_buffer, kReceiveSize, nullptr);
    if (received <= 0) {
      log(1, "dns i->s recvfrom error: %d", last_socket_error());
    } else if (udp_send(g_dns_socket, g_relay_buffer, received, it->asker) != received) {
      log(1, "g_dns_s sendto error: %d", last_socket_error());
    }
    socket_close(it->socket);
    it = g_pending_forwards.erase(it);
  }
}

void handle_dns_query() {
  SocketAddress asker;
  int received = udp_receive(g_dns_socket, reinterpret_cast<char*>(g_query_buffer), kReceiveSize,
                             &asker);
  if (received < 0) {
    log(1, "g_dns_s recvfrom error: %d", last_socket_error());
    return;
  }
  if (received == 0) return;

  int qtype = 0;
  int qclass = 0;
  int question_end = 0;
  int n = decode_question(g_name_buffer, kNameBufferSize, g_query_buffer, received, &qtype,
                          &qclass, &question_end);
  if (g_settings.verbose) log(4, "dns query: '%s'", log_safe(g_name_buffer).c_str());

  // Names under .tarvik are ours, whatever the record type: A is answered
  // from the table, any other type of class IN gets an empty answer (or a
  // name error), and neither ever leaves for the upstream server.
  bool local = n > 0 && qclass == kClassIn && has_local_suffix(g_name_buffer, n);
  if (!local) {
    if (g_settings.dns_server_ip != kNotSet) forward_query(g_query_buffer, received, asker);
    return;
  }

  int cut = n - kLocalSuffixLength;
  g_name_buffer[cut] = '\0';
  const NameEntry* entry = find_by_name(g_name_buffer, static_cast<std::size_t>(cut));
  int reply_length;
  if (entry == nullptr) {
    reply_length = build_error_answer(g_query_buffer, received, kRcodeNameError);
  } else if (qtype == kTypeA) {
    // The records go right behind the question: left behind it, an EDNS OPT
    // record (sent by most resolvers) would be read as the answer section.
    int question_length = keep_first_question_only(g_query_buffer, question_end);
    reply_length = build_local_answer(g_query_buffer, question_length, entry->address,
                                      g_settings.tarvik_server_ip);
  } else {
    reply_length = build_error_answer(g_query_buffer, received, kRcodeNoError);
  }
  // A failed send loses only this reply; the asker will retry.
  udp_send(g_dns_socket, reinterpret_cast<const char*>(g_query_buffer), reply_length, asker);
}

void drop_all_pending_forwards() {
  for (const PendingForward& forward : g_pending_forwards) socket_close(forward.socket);
  g_pending_forwards.clear();
}

std::size_t pending_forward_count() { return g_pending_forwards.size(); }
