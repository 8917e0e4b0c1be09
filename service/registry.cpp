#include "registry.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "config.h"

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
// The list keeps the order of last update; the two indexes point into it so
// that neither an update nor a lookup walks the list. List nodes never move,
// so the name index can key on views of the names the list owns.

// Names are one name whatever their ASCII case, as every resolver treats
// them: the name index hashes and compares case-folded bytes.
unsigned char fold_case(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

struct CaseFoldedHash {
  std::size_t operator()(std::string_view s) const {
    std::size_t h = 2166136261u;  // FNV-1a over the folded bytes
    for (unsigned char c : s) h = (h ^ fold_case(c)) * 16777619u;
    return h;
  }
};

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

std::list<NameEntry> g_table;
std::unordered_map<std::string_view, std::list<NameEntry>::iterator, CaseFoldedHash,
                   CaseFoldedEqual>
    g_by_name;
std::unordered_map<std::uint32_t, std::list<NameEntry>::iterator> g_by_address;
std::uint32_t g_table_version = 1;  // the serial of the zone; see name_table_version
void erase_entry(std::list<NameEntry>::iterator it) {
  g_by_name.erase(std::string_view(it->name));
  g_by_address.erase(it->address);
  g_table.erase(it);
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

bool parse_registration_request(const char* text, const std::string& password,
                                RegistrationRequest* out) {
  // The text ends at its first zero byte; every read below stays before it.
  std::size_t length = std::strlen(text);
  if (length < kRequestPrefixLength || std::memcmp(text, kRequestPrefix, kRequestPrefixLength) != 0)
    return false;

  const char* name_start = text + kRequestPrefixLength;
  const char* name_end = std::strchr(name_start, ' ');
  if (name_end == nullptr) return false;
  const char* address_start = name_end + 1;
  const char* address_end = std::strchr(address_start, ' ');
  if (address_end == nullptr) return false;
  const char* tag_text = address_end + 1;
  if (std::strlen(tag_text) != kTagLength) return false;  // a line end makes it longer

  std::uint32_t tag = 0;
  if (!parse_tag(tag_text, &tag)) return false;

  std::string name(name_start, name_end);
  std::string address(address_start, address_end);
  if (registration_tag(address, name, password) != tag) return false;
  out->name = std::move(name);
  out->address = std::move(address);
  out->tag = tag;
  return true;
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

std::string serve_registration_datagram(const char* text, std::uint32_t sender) {
  RegistrationRequest request;
  if (!parse_registration_request(text, g_settings.pwd, &request)) return std::string();

  std::string sender_text = format_ipv4(sender);
  if (sender_text.empty()) sender_text = kUnknownSender;
  // Registrations and what became of them are the history the log is kept
  // for: no flood of other records may hold them back.
  std::string shown_name = log_safe(request.name);
  log_always(4, "%s: %s %s", sender_text.c_str(), shown_name.c_str(),
             log_safe(request.address).c_str());

  // A refused name is acknowledged all the same, like an address that does
  // not parse: the device has been heard, the table just does not take it.
  if (const char* reason = name_refusal_reason(request.name)) {
    log_always(1, "%s: name refused: %s", shown_name.c_str(), reason);
  } else if (parse_ipv4(request.address.c_str()) != kAddressNone) {
    update_name_table(request.name, request.address);
  }
  return format_acknowledgement(request.tag);
}

bool handle_registration_datagram(Socket s) {
  // One byte more than the largest datagram, for the terminating zero.
  char buffer[kRegistrationReceiveSize + 1];
  SocketAddress from;
  int received = udp_receive(s, buffer, kRegistrationReceiveSize, &from);
  if (received < 0) {
    log(1, "Recvfrom error: %d", last_socket_error());
    return false;
  }
  std::uint32_t sender = socket_address_ip(from);
  if (!sender_allowed(sender)) return true;
  buffer[received] = '\0';

  std::string ack = serve_registration_datagram(buffer, sender);
  if (!ack.empty()) udp_send(s, ack.data(), static_cast<int>(ack.size()), from);
  return true;
}

void update_name_table(const std::string& name, const std::string& address_text) {
  std::uint32_t address = parse_ipv4(address_text.c_str());

  auto by_name = g_by_name.find(std::string_view(name));
  if (by_name == g_by_name.end()) {
    auto by_address = g_by_address.find(address);
    if (by_address != g_by_address.end()) erase_entry(by_address->second);
    auto it = g_table.insert(g_table.end(), NameEntry{name, address});
    g_by_name.emplace(std::string_view(it->name), it);
    g_by_address.emplace(address, it);
  } else {
    // A renewal: the entry of this name moves to the end with its new
    // address, and the entry that held that address (if another) goes. Moving
    // the node keeps the name index valid and spares an allocation.
    auto it = by_name->second;
    g_by_address.erase(it->address);
    auto by_address = g_by_address.find(address);
    if (by_address != g_by_address.end()) erase_entry(by_address->second);
    g_table.splice(g_table.end(), g_table, it);
    it->address = address;
    g_by_address.emplace(address, it);
    if (it->name != name) {
      // The same name in another case: the table shows it as last
      // registered. The index keys on a view of the stored name, so it is
      // re-keyed around the change.
      g_by_name.erase(by_name);
      it->name = name;
      g_by_name.emplace(std::string_view(it->name), it);
    }
  }
  g_hosts_dirty = true;
  ++g_table_version;
}

std::uint32_t name_table_version() { return g_table_version; }

const NameEntry* find_by_name(const char* name, std::size_t length) {
  auto it = g_by_name.find(std::string_view(name, length));
  return it == g_by_name.end() ? nullptr : &*it->second;
}

const std::list<NameEntry>& name_table() { return g_table; }

void clear_name_table() {
  g_by_name.clear();
  g_by_address.clear();
  g_table.clear();
  ++g_table_version;
}
