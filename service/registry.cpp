#include "registry.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config.h"
#include "stats.h"

bool g_hosts_dirty = false;

namespace {

// --- CRC-32 ------------------------------------------------------------------

constexpr std::uint32_t kCrcPolynomial = 0xEDB88320u;  // 0x04C11DB7, reflected

constexpr std::array<std::uint32_t, 256> make_crc_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = make_crc_table();

// --- Request layout ------------------------------------------------------------

constexpr char kRequestPrefix[] = "tarvik1 rq ";
constexpr std::size_t kRequestPrefixLength = sizeof kRequestPrefix - 1;  // 11
constexpr char kTagPrefix[] = "tarvik1";
constexpr std::size_t kTagLength = 8;
constexpr char kUnknownSender[] = "(unknow address)";

// --- Name table ------------------------------------------------------------------
//
// The entries live in slots that never move (a deque only ever grows at its
// end); a removed entry's slot is kept on a free list for the next new name.
// The slots are chained oldest to newest by index, which keeps the order of
// last update without walking anything. Two open-addressing indexes, by
// name and by address, hold 32-bit slot numbers and keys instead of a node
// per entry, so a table of 100,000 names takes a few megabytes.

// Names are one name whatever their ASCII case, as every resolver treats
// them: the name index hashes and compares case-folded bytes.
unsigned char fold_case(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

std::uint32_t case_folded_hash(std::string_view s) {
  std::uint32_t h = 2166136261u;  // FNV-1a over the folded bytes
  for (unsigned char c : s) h = (h ^ fold_case(c)) * 16777619u;
  return h;
}

struct CaseFoldedEqual {
  bool operator()(std::string_view a, std::string_view b) const {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (fold_case(static_cast<unsigned char>(a[i])) != fold_case(static_cast<unsigned char>(b[i])))
        return false;
    }
    return true;
  }
};

constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;
// `older` of a free slot, so that a walk in storage order can skip it.
constexpr std::uint32_t kFreeSlotMark = 0xFFFFFFFEu;

struct Slot {
  NameEntry entry;
  std::uint32_t older = kFreeSlotMark;  // for a free slot (or one not linked yet): kFreeSlotMark
  std::uint32_t newer = kNoSlot;  // for a free slot: the next free slot
};

// Linear probing with backward-shift removal, so there are no tombstones
// and a lookup stops at the first empty bucket. A bucket holds its slot and
// its key: the folded name's hash in the name index, the address itself in
// the address index, so most probes compare keys without touching a slot.
struct Bucket {
  std::uint32_t slot;  // kNoSlot when empty
  std::uint32_t key;
};

class SlotIndex {
 public:
  std::uint32_t count() const { return count_; }

  // The bucket position of the first entry with `key` for which
  // matches(slot) holds, or -1.
  template <typename Matches>
  long long find(std::uint32_t key, Matches matches) const {
    if (count_ == 0) return -1;
    for (std::size_t i = home(key);; i = (i + 1) & mask()) {
      const Bucket& b = buckets_[i];
      if (b.slot == kNoSlot) return -1;
      if (b.key == key && matches(b.slot)) return static_cast<long long>(i);
    }
  }

  // Makes room for one more entry, so that the next insert cannot fail for
  // memory; throws std::bad_alloc with the index unchanged.
  void reserve_one() {
    // At most four fifths full: 100,000 entries fit in 2^17 buckets.
    if ((static_cast<std::size_t>(count_) + 1) * 5 > buckets_.size() * 4) grow(bits_ == 0 ? 4 : bits_ + 1);
  }

  // Makes room for `entries` entries at once; throws std::bad_alloc with the
  // index unchanged.
  void reserve(std::size_t entries) {
    unsigned bits = bits_ == 0 ? 4 : bits_;
    while (bits < 31 && entries * 5 > (std::size_t{1} << bits) * 4) ++bits;
    if (bits > bits_) grow(bits);
  }

  // The key and slot are known not to be in the index yet.
  void insert(std::uint32_t key, std::uint32_t slot) {
    reserve_one();
    std::size_t i = home(key);
    while (buckets_[i].slot != kNoSlot) i = (i + 1) & mask();
    buckets_[i] = Bucket{slot, key};
    ++count_;
  }

  // Removes the bucket holding `slot` under `key`.
  void erase(std::uint32_t key, std::uint32_t slot) {
    long long found = find(key, [slot](std::uint32_t s) { return s == slot; });
    if (found >= 0) erase_at(static_cast<std::size_t>(found));
  }

  void erase_at(std::size_t hole) {
    // Moves back every later bucket of the run that may sit in the hole:
    // one whose home is not cyclically after the hole.
    for (std::size_t j = (hole + 1) & mask();; j = (j + 1) & mask()) {
      const Bucket& b = buckets_[j];
      if (b.slot == kNoSlot) break;
      if (((j - home(b.key)) & mask()) >= ((j - hole) & mask())) {
        buckets_[hole] = b;
        hole = j;
      }
    }
    buckets_[hole].slot = kNoSlot;
    --count_;
  }

  Bucket& at(long long position) { return buckets_[static_cast<std::size_t>(position)]; }

  void clear() {
    std::vector<Bucket>().swap(buckets_);
    count_ = 0;
    bits_ = 0;
  }

 private:
  std::size_t mask() const { return buckets_.size() - 1; }
  // Fibonacci hashing: the top bits of the product, so keys that differ only
  // in their high bytes (addresses in network byte order) still spread.
  std::size_t home(std::uint32_t key) const {
    return static_cast<std::size_t>(static_cast<std::uint32_t>(key * 2654435769u) >> (32 - bits_));
  }

  void grow(unsigned new_bits) {
    // The new buckets first: when they cannot be had, the index stays whole.
    std::vector<Bucket> old(std::size_t{1} << new_bits, Bucket{kNoSlot, 0});
    old.swap(buckets_);
    bits_ = new_bits;
    for (const Bucket& b : old) {
      if (b.slot == kNoSlot) continue;
      std::size_t i = home(b.key);
      while (buckets_[i].slot != kNoSlot) i = (i + 1) & mask();
      buckets_[i] = b;
    }
  }

  std::vector<Bucket> buckets_;
  std::uint32_t count_ = 0;
  unsigned bits_ = 0;  // buckets_.size() == 2^bits_ when not empty
};

std::deque<Slot> g_slots;
std::uint32_t g_free_slot = kNoSlot;
std::uint32_t g_oldest = kNoSlot;
std::uint32_t g_newest = kNoSlot;
SlotIndex g_by_name;     // key: case_folded_hash of the name
SlotIndex g_by_address;  // key: the address
std::uint32_t g_table_version = 1;  // the serial of the zone; see name_table_version

bool g_recording = false;
std::vector<NameChange> g_changes;

// The registration histories, by slot, in chunks made when a name of the
// chunk first registers (null until then).
constexpr std::uint32_t kHistoryChunk = 4096;
std::vector<std::unique_ptr<RegistrationHistory[]>> g_history;

const RegistrationHistory* history_of(std::uint32_t s) {
  std::size_t chunk = s / kHistoryChunk;
  if (chunk >= g_history.size() || !g_history[chunk]) return nullptr;
  return &g_history[chunk][s % kHistoryChunk];
}

// Null when there is no memory for it: the history is for the admin's
// eyes and the ageing, never worth refusing a registration over (the name
// then shows, and ages, as one loaded at start).
RegistrationHistory* history_to_write(std::uint32_t s) {
  std::size_t chunk = s / kHistoryChunk;
  if (chunk >= g_history.size() || !g_history[chunk]) {
    try {
      if (chunk >= g_history.size()) g_history.resize(chunk + 1);
      g_history[chunk].reset(new RegistrationHistory[kHistoryChunk]);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  return &g_history[chunk][s % kHistoryChunk];
}

std::uint32_t g_table_clock = 0;

// Never throws: a change that cannot be recorded for memory is one the
// consumers miss until their next full pass (a restart), which is better
// than a table and a hosts file that disagree with each other.
void record(NameChange::Kind kind, const std::string& name, std::uint32_t address) {
  if (!g_recording) return;
  try {
    g_changes.push_back(NameChange{kind, name, address});
  } catch (const std::bad_alloc&) {
  }
}

long long find_name(std::string_view name, std::uint32_t hash) {
  return g_by_name.find(hash, [name](std::uint32_t s) {
    return CaseFoldedEqual()(g_slots[s].entry.name, name);
  });
}

long long find_address(std::uint32_t address) {
  return g_by_address.find(address, [](std::uint32_t) { return true; });
}

void unlink_slot(std::uint32_t s) {
  Slot& slot = g_slots[s];
  if (slot.older == kNoSlot) g_oldest = slot.newer; else g_slots[slot.older].newer = slot.newer;
  if (slot.newer == kNoSlot) g_newest = slot.older; else g_slots[slot.newer].older = slot.older;
}

void link_newest(std::uint32_t s) {
  Slot& slot = g_slots[s];
  slot.older = g_newest;
  slot.newer = kNoSlot;
  if (g_newest == kNoSlot) g_oldest = s; else g_slots[g_newest].newer = s;
  g_newest = s;
}

// Removes the entry in slot `s` from both indexes and the order, and frees
// the slot. The name keeps its buffer for the slot's next name.
void erase_slot(std::uint32_t s) {
  Slot& slot = g_slots[s];
  g_by_name.erase(case_folded_hash(slot.entry.name), s);
  g_by_address.erase(slot.entry.address, s);
  unlink_slot(s);
  record(NameChange::Kind::kRemoved, slot.entry.name, slot.entry.address);
  slot.entry.name.clear();
  slot.older = kFreeSlotMark;
  slot.newer = g_free_slot;
  g_free_slot = s;
}

// A slot for a new entry, holding `name`; it is taken off the free list
// only once the name is in, so that a failed allocation (std::bad_alloc)
// leaves the table as it was.
std::uint32_t allocate_slot(const std::string& name) {
  if (g_free_slot == kNoSlot) {
    g_slots.emplace_back();
    std::uint32_t s = static_cast<std::uint32_t>(g_slots.size() - 1);
    g_slots[s].entry.name = name;  // a fresh slot past the list: nothing to undo
    return s;
  }
  std::uint32_t s = g_free_slot;
  g_slots[s].entry.name = name;
  g_free_slot = g_slots[s].newer;
  return s;
}

// The names the hosts file gives outside the block, folded to lower case:
// those of its last read.
std::unordered_set<std::string> g_names_outside;

std::string folded(std::string_view name) {
  std::string out(name);
  for (char& c : out) c = static_cast<char>(fold_case(static_cast<unsigned char>(c)));
  return out;
}


// A control byte written into the hosts file would split or end a line there
// (and Ctrl+Z ends a text-mode read on Windows), so such names stay out of it.
bool is_control_byte(unsigned char c) { return c < 0x20 || c == 0x7F; }

// Device names are single labels. Anything else written into the hosts file
// would be believed by every program on the machine: a name with a dot can
// take over a name of any domain (www.example-bank.com), and bytes outside
// the host-name alphabet are read differently by different resolvers.
constexpr std::size_t kMaxNameLength = 63;  // one DNS label
bool is_name_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

// Names that programs look up on their own, without a user asking for them:
// whoever holds localhost receives what programs mean for their own machine,
// wpad serves browsers their proxy settings (and so sees their traffic), and
// isatap tells Windows where its IPv6 tunnel router is.
constexpr const char* kReservedNames[] = {"localhost", "wpad", "isatap"};

int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The record of a registration (`heard`) in a new entry in slot `s`, or a
// loaded name's unknowns.
void note_first_registration(std::uint32_t s, const Registration* heard) {
  if (heard == nullptr) {
    // A slot used before may have a history left from its last name.
    if (history_of(s) != nullptr) *history_to_write(s) = RegistrationHistory();
    return;
  }
  RegistrationHistory* history = history_to_write(s);
  if (history == nullptr) return;
  *history = RegistrationHistory{heard->sender, heard->when, heard->when, 0};
}

void note_renewal(std::uint32_t s, const Registration* heard) {
  if (heard == nullptr) return;  // a second line of the block
  RegistrationHistory* history = history_to_write(s);
  if (history == nullptr) return;
  history->sender = heard->sender;
  history->last_registered = heard->when;
  if (history->renewals != 0xFFFFFFFFu) ++history->renewals;
}

// The tag field is exactly eight hexadecimal digits. strtoul would also take
// leading blanks, a sign, "0x" and trailing junk, so that many texts would
// stand for one tag.
bool parse_tag(const char* text, std::uint32_t* tag) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < kTagLength; ++i) {
    int digit = hex_digit_value(text[i]);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<std::uint32_t>(digit);
  }
  *tag = value;
  return true;
}

}  // namespace

std::uint32_t crc32_update(std::uint32_t crc, const void* bytes, std::size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  crc = ~crc;
  for (std::size_t i = 0; i < length; ++i) crc = kCrcTable[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
  return ~crc;
}

std::uint32_t registration_tag(const std::string& address, const std::string& name,
                               const std::string& password) {
  // The address comes before the name here, the reverse of the request.
  std::uint32_t crc = crc32_update(0, kTagPrefix, sizeof kTagPrefix - 1);
  crc = crc32_update(crc, address.data(), address.size());
  crc = crc32_update(crc, name.data(), name.size());
  return crc32_update(crc, password.data(), password.size());
}

RequestParse parse_registration_request(const char* text, const std::string& password,
                                        RegistrationRequest* out) {
  // The text ends at its first zero byte; every read below stays before it.
  std::size_t length = std::strlen(text);
  if (length < kRequestPrefixLength || std::memcmp(text, kRequestPrefix, kRequestPrefixLength) != 0)
    return RequestParse::kMalformed;

  const char* name_start = text + kRequestPrefixLength;
  const char* name_end = std::strchr(name_start, ' ');
  if (name_end == nullptr) return RequestParse::kMalformed;
  const char* address_start = name_end + 1;
  const char* address_end = std::strchr(address_start, ' ');
  if (address_end == nullptr) return RequestParse::kMalformed;
  const char* tag_text = address_end + 1;
  // A line end makes it longer.
  if (std::strlen(tag_text) != kTagLength) return RequestParse::kMalformed;

  std::uint32_t tag = 0;
  if (!parse_tag(tag_text, &tag)) return RequestParse::kMalformed;

  out->name.assign(name_start, name_end);
  out->address.assign(address_start, address_end);
  out->tag = tag;
  if (registration_tag(out->address, out->name, password) != tag) return RequestParse::kWrongPassword;
  return RequestParse::kAccepted;
}

std::string format_registration_request(const std::string& name, const std::string& address,
                                        const std::string& password) {
  char tag[kTagLength + 1];
  std::snprintf(tag, sizeof tag, "%08x",
                static_cast<unsigned>(registration_tag(address, name, password)));
  return kRequestPrefix + name + " " + address + " " + tag;
}

std::string format_acknowledgement(std::uint32_t tag) {
  char ack[32];
  int n = std::snprintf(ack, sizeof ack, "tarvik1 ack %08x", static_cast<unsigned>(tag));
  return std::string(ack, static_cast<std::size_t>(n));
}

const char* name_refusal_reason(const std::string& name) {
  bool host_name = !name.empty() && name.size() <= kMaxNameLength;
  for (unsigned char c : name) {
    if (is_control_byte(c)) return "control character";
    if (!is_name_byte(c)) host_name = false;
  }
  if (!host_name) return "not a host name";
  for (const char* reserved : kReservedNames) {
    if (CaseFoldedEqual()(name, reserved)) return "reserved name";
  }
  return nullptr;
}

bool is_storable_name(const std::string& name) { return name_refusal_reason(name) == nullptr; }

void set_names_outside_block(const std::vector<std::string>& names) {
  set_folded_names_outside_block(folded_names(names));
}

void set_folded_names_outside_block(std::unordered_set<std::string>&& folded) {
  g_names_outside.swap(folded);
}

std::unordered_set<std::string> folded_names(const std::vector<std::string>& names) {
  std::unordered_set<std::string> out;
  for (const std::string& name : names) out.insert(folded(name));
  return out;
}

std::string machine_name() {
  // Asked afresh each time, so a renamed machine counts at once.
  std::string host = machine_host_name();
  return host.substr(0, host.find('.'));
}

const char* name_taken_reason(const std::string& name, const std::string& machine) {
  if (!g_names_outside.empty() && g_names_outside.count(folded(name)) != 0)
    return "defined outside the block";
  if (!machine.empty() && CaseFoldedEqual()(machine, name)) return "the machine's own name";
  return nullptr;
}

const char* name_taken_reason(const std::string& name) { return name_taken_reason(name, machine_name()); }

void drop_taken_names() {
  std::string machine = machine_name();
  std::uint32_t s = g_oldest;
  while (s != kNoSlot) {
    std::uint32_t next = g_slots[s].newer;
    if (const char* reason = name_taken_reason(g_slots[s].entry.name, machine)) {
      log(1, "%s: name refused: %s", g_slots[s].entry.name.c_str(), reason);
      // A name the file defines outside was left out of the block just
      // written; only the machine's own name (renamed while running) still
      // needs a rewrite to leave the file.
      if (g_names_outside.count(folded(g_slots[s].entry.name)) == 0) g_hosts_dirty = true;
      erase_slot(s);
      ++g_table_version;
    }
    s = next;
  }
}

std::string serve_registration_datagram(const char* text, std::uint32_t sender) {
  RegistrationRequest request;
  switch (parse_registration_request(text, g_settings.pwd, &request)) {
    case RequestParse::kAccepted:
      break;
    case RequestParse::kMalformed:
      ++g_counters.registrations_malformed;
      return std::string();
    case RequestParse::kWrongPassword:
      ++g_counters.registrations_wrong_password;
      // A device set up with another password, or someone guessing: only
      // worth a record when the admin asks for them (and the burst limit
      // keeps a flood of them short). The fields, never the tag.
      if (g_settings.verbose) {
        std::string sender_text = format_ipv4(sender);
        log(2, "%s: %s %s: wrong password", sender_text.empty() ? kUnknownSender : sender_text.c_str(),
            log_safe(request.name).c_str(), log_safe(request.address).c_str());
      }
      return std::string();
  }
  ++g_counters.registrations_acknowledged;

  std::string sender_text = format_ipv4(sender);
  if (sender_text.empty()) sender_text = kUnknownSender;
  // Registrations and what became of them are the history the log is kept
  // for: no flood of other records may hold them back.
  std::string shown_name = log_safe(request.name);
  log_always(4, "%s: %s %s", sender_text.c_str(), shown_name.c_str(),
             log_safe(request.address).c_str());

  // A refused name is acknowledged all the same, like an address that does
  // not parse: the device has been heard, the table just does not take it.
  const char* reason = name_refusal_reason(request.name);
  std::uint64_t* refusals = &g_counters.refused_name;
  if (reason == nullptr) {
    reason = name_taken_reason(request.name);
    refusals = &g_counters.refused_taken;
  }
  if (reason == nullptr) {
    if (parse_ipv4(request.address.c_str()) == kAddressNone) {
      // Acknowledged and logged as heard, without a refusal line.
      ++g_counters.refused_bad_address;
      return format_acknowledgement(request.tag);
    }
    Registration heard{sender, g_table_clock};
    try {
      if (update_name_table(request.name, request.address, CapRule::kEnforce, &heard)) {
        ++g_counters.registrations_stored;
      } else {
        reason = "table full";
        refusals = &g_counters.refused_table_full;
      }
    } catch (const std::bad_alloc&) {
      reason = "out of memory";
      refusals = &g_counters.refused_out_of_memory;
    }
  }
  if (reason != nullptr) {
    ++*refusals;
    log_always(1, "%s: name refused: %s", shown_name.c_str(), reason);
  }
  return format_acknowledgement(request.tag);
}

namespace {

// Serves one datagram of a batch; returns its acknowledgement ("" for none).
std::string serve_received(const ReceivedDatagram& d) {
  // A failed receive (an oversized datagram, a reset report) loses that
  // datagram alone: the batch goes on, so junk cannot crowd out the rest.
  // An oversized datagram still names its sender, so one from a sender
  // that allow-from leaves out stays unseen like its other datagrams.
  if (d.length < 0) {
    if (d.from.length == 0 || sender_allowed(socket_address_ip(d.from))) {
      // Too long for a request: junk, counted with the other junk.
      if (d.error == kMessageTooLong) ++g_counters.registrations_malformed;
      log(1, "Recvfrom error: %d: %s", d.error, system_error_text(d.error).c_str());
    }
    return std::string();
  }
  std::uint32_t sender = socket_address_ip(d.from);
  if (!sender_allowed(sender)) return std::string();
  d.data[d.length] = '\0';  // each buffer has the byte for it
  return serve_registration_datagram(d.data, sender);
}

}  // namespace

void handle_registration_datagrams(Socket s) {
  // One byte more than the largest datagram, for the terminating zero.
  char buffers[kMaxDatagramBatch][kRegistrationReceiveSize + 1];
  ReceivedDatagram batch[kMaxDatagramBatch];
  std::string acks[kMaxDatagramBatch];
  OutgoingDatagram sends[kMaxDatagramBatch];
  for (int served = 0; served < kRegistrationsPerWait;) {
    int wanted = kRegistrationsPerWait - served;
    if (wanted > kMaxDatagramBatch) wanted = kMaxDatagramBatch;
    for (int i = 0; i < wanted; ++i) {
      batch[i] = ReceivedDatagram{buffers[i], kRegistrationReceiveSize, 0, 0, {}, 0};
    }
    bool drained = false;
    int taken = udp_receive_batch(s, batch, wanted, &drained);
    int replies = 0;
    for (int i = 0; i < taken; ++i) {
      // Memory running out costs this request, not the rest of its batch.
      try {
        acks[i] = serve_received(batch[i]);
      } catch (const std::bad_alloc&) {
        acks[i].clear();
        log(1, "%s", "Registration dropped: out of memory");
      }
      if (acks[i].empty()) continue;
      sends[replies++] = OutgoingDatagram{acks[i].data(), static_cast<int>(acks[i].size()),
                                          batch[i].from, 0, 0};
    }
    udp_send_batch(s, sends, replies);
    served += taken;
    if (taken == 0 || drained) break;
  }
}

bool update_name_table(const std::string& name, const std::string& address_text, CapRule cap,
                       const Registration* heard) {
  return update_name_table(name, parse_ipv4(address_text.c_str()), cap, heard);
}

bool update_name_table(const std::string& name, std::uint32_t address, CapRule cap,
                       const Registration* heard) {
  std::uint32_t hash = case_folded_hash(name);

  long long by_name = find_name(name, hash);
  if (by_name < 0) {
    // A new name that takes over an address in the table replaces that
    // entry, so only a name that would make the table longer is refused.
    if (cap == CapRule::kEnforce && find_address(address) < 0 &&
        g_by_name.count() >= static_cast<std::uint32_t>(g_settings.max_names))
      return false;
    // Everything that may fail for memory comes before the first change.
    g_by_name.reserve_one();
    g_by_address.reserve_one();
    std::uint32_t s = allocate_slot(name);
    // Looked up after the reservations, which may have moved the buckets.
    long long by_address = find_address(address);
    if (by_address >= 0) erase_slot(g_by_address.at(by_address).slot);
    g_slots[s].entry.address = address;
    note_first_registration(s, heard);
    link_newest(s);
    g_by_name.insert(hash, s);
    g_by_address.insert(address, s);
    record(NameChange::Kind::kSet, name, address);
  } else {
    // A renewal: the entry of this name moves to the end with its new
    // address, and the entry that held that address (if another) goes. The
    // name index keys on the folded name, so a new spelling keeps its key.
    std::uint32_t s = g_by_name.at(by_name).slot;
    Slot& slot = g_slots[s];
    if (slot.entry.address == address && slot.entry.name == name) {
      // Nothing the hosts file or a DNS answer shows has changed: no write,
      // no new serial. The entry still moves to the end, and the next real
      // change writes the block in that order.
      unlink_slot(s);
      link_newest(s);
      note_renewal(s, heard);
      record(NameChange::Kind::kMoved, name, address);
      return true;
    }
    // The same name in another case: the table shows it as last registered.
    // First, as the one step that may fail for memory.
    if (slot.entry.name != name) slot.entry.name = name;
    if (slot.entry.address != address) {
      g_by_address.erase(slot.entry.address, s);
      long long by_address = find_address(address);
      if (by_address >= 0) erase_slot(g_by_address.at(by_address).slot);
      slot.entry.address = address;
      g_by_address.insert(address, s);
    }
    record(NameChange::Kind::kSet, name, address);
    note_renewal(s, heard);
    // A device renewing its own address (the usual case) leaves the address
    // index as it is.
    unlink_slot(s);
    link_newest(s);
  }
  g_hosts_dirty = true;
  ++g_table_version;
  return true;
}

std::uint32_t name_table_version() { return g_table_version; }

void set_table_clock(std::uint32_t seconds) { g_table_clock = seconds; }
std::uint32_t table_clock() { return g_table_clock; }

bool forget_name(const std::string& name) {
  long long found = find_name(name, case_folded_hash(name));
  if (found < 0) return false;
  erase_slot(g_by_name.at(found).slot);
  g_hosts_dirty = true;
  ++g_table_version;
  return true;
}

std::size_t expire_names(std::uint32_t now, std::uint32_t max_age, std::size_t limit) {
  std::size_t expired = 0;
  // Renewals move their entry to the newest end, so the table runs from the
  // least recently registered name to the most recent: the first entry
  // that is young enough ends the walk.
  while (g_oldest != kNoSlot && expired < limit) {
    const NameEntry& oldest = g_slots[g_oldest].entry;
    const RegistrationHistory* history = history_of(g_oldest);
    std::uint32_t last = history == nullptr ? kUnknownTime : history->last_registered;
    std::uint32_t since = last == kUnknownTime ? 0 : last;
    if (now < since || now - since < max_age) break;
    unsigned hours = max_age / 3600u;
    log(4, "%s: expired, not renewed for %u %s", oldest.name.c_str(), hours, hours == 1 ? "hour" : "hours");
    erase_slot(g_oldest);
    g_hosts_dirty = true;
    ++g_table_version;
    ++expired;
  }
  return expired;
}

const NameEntry* next_entry_in_storage(std::uint32_t* cursor) {
  while (*cursor < g_slots.size()) {
    const Slot& slot = g_slots[(*cursor)++];
    if (slot.older != kFreeSlotMark) return &slot.entry;
  }
  return nullptr;
}

void record_name_changes(bool on) {
  g_recording = on;
  if (!on) std::vector<NameChange>().swap(g_changes);
}

void take_name_changes(std::vector<NameChange>* out) {
  out->clear();
  out->swap(g_changes);
}

const NameEntry* find_by_name(const char* name, std::size_t length) {
  std::string_view wanted(name, length);
  long long found = find_name(wanted, case_folded_hash(wanted));
  return found < 0 ? nullptr : &g_slots[g_by_name.at(found).slot].entry;
}

RegistrationHistory registration_history(const NameEntry& entry) {
  long long found = find_name(entry.name, case_folded_hash(entry.name));
  if (found < 0) return RegistrationHistory();
  const RegistrationHistory* history = history_of(g_by_name.at(found).slot);
  return history == nullptr ? RegistrationHistory() : *history;
}

const NameEntry& NameTableView::Iterator::operator*() const { return g_slots[slot_].entry; }

NameTableView::Iterator& NameTableView::Iterator::operator++() {
  slot_ = g_slots[slot_].newer;
  return *this;
}

NameTableView::Iterator NameTableView::begin() const { return Iterator(g_oldest); }
NameTableView::Iterator NameTableView::end() const { return Iterator(kNoSlot); }
std::size_t NameTableView::size() const { return g_by_address.count(); }

NameTableView name_table() { return NameTableView(); }

void reserve_name_table(std::size_t entries) {
  g_by_name.reserve(entries);
  g_by_address.reserve(entries);
}

void clear_name_table() {
  g_by_name.clear();
  g_by_address.clear();
  std::deque<Slot>().swap(g_slots);
  std::vector<std::unique_ptr<RegistrationHistory[]>>().swap(g_history);
  g_free_slot = kNoSlot;
  g_oldest = kNoSlot;
  g_newest = kNoSlot;
  g_names_outside.clear();
  g_changes.clear();
  ++g_table_version;
}
