// RFC 2136 UPDATE messages.
#include "update.h"

#include "tsig.h"

namespace {

constexpr int kTypeA = 1;
constexpr int kTypeSoa = 6;
constexpr int kClassIn = 1;
constexpr int kClassAny = 255;

void put_u16(std::string* out, int value) {
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
  out->push_back(static_cast<char>(value & 0xFF));
}

void put_u32(std::string* out, std::uint32_t value) {
  put_u16(out, static_cast<int>(value >> 16));
  put_u16(out, static_cast<int>(value & 0xFFFF));
}

}  // namespace

std::string build_update_message(int id, const std::string& zone_wire, const std::string& name,
                                 std::uint32_t address, bool deleted, std::uint32_t ttl) {
  std::string owner;
  if (name.empty() || zone_wire.empty() || !encode_wire_name(name, &owner)) return std::string();
  owner.pop_back();  // the root, which the zone's name brings
  owner += zone_wire;
  if (owner.size() > 255) return std::string();

  std::string m;
  put_u16(&m, id);
  put_u16(&m, kOpcodeUpdate << 11);
  put_u16(&m, 1);                // the zone
  put_u16(&m, 0);                // no prerequisites
  put_u16(&m, deleted ? 1 : 2);  // updates
  put_u16(&m, 0);
  m += zone_wire;
  put_u16(&m, kTypeSoa);
  put_u16(&m, kClassIn);
  // Delete the name's A RRset: class ANY, TTL 0, no data.
  m += owner;
  put_u16(&m, kTypeA);
  put_u16(&m, kClassAny);
  put_u32(&m, 0);
  put_u16(&m, 0);
  if (!deleted) {
    m += owner;
    put_u16(&m, kTypeA);
    put_u16(&m, kClassIn);
    put_u32(&m, ttl);
    put_u16(&m, 4);
    // The address is in network byte order already: its bytes as they lie.
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&address);
    for (int i = 0; i < 4; ++i) m.push_back(static_cast<char>(bytes[i]));
  }
  return m;
}

const char* rcode_text(int rcode) {
  static const char* const kNames[] = {"NOERROR", "FORMERR",  "SERVFAIL", "NXDOMAIN", "NOTIMP",
                                       "REFUSED", "YXDOMAIN", "YXRRSET",  "NXRRSET",  "NOTAUTH",
                                       "NOTZONE"};
  if (rcode >= 0 && rcode < static_cast<int>(sizeof kNames / sizeof kNames[0])) return kNames[rcode];
  if (rcode == kTsigBadSig) return "BADSIG";
  if (rcode == kTsigBadKey) return "BADKEY";
  if (rcode == kTsigBadTime) return "BADTIME";
  return "RCODE";
}
