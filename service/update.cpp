// RFC 2136 UPDATE messages with RFC 4703-style ownership.
#include "update.h"

#include <cctype>

#include "tsig.h"

namespace {

constexpr int kTypeA = 1;
constexpr int kTypeSoa = 6;
constexpr int kTypeTxt = 16;
constexpr int kTypeAny = 255;
constexpr int kClassIn = 1;
constexpr int kClassNone = 254;
constexpr int kClassAny = 255;
constexpr std::size_t kMaxTxtString = 255;

void put_u16(std::string* out, int value) {
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
  out->push_back(static_cast<char>(value & 0xFF));
}

void put_u32(std::string* out, std::uint32_t value) {
  put_u16(out, static_cast<int>(value >> 16));
  put_u16(out, static_cast<int>(value & 0xFFFF));
}

// One resource record: owner, type, class, TTL, then RDATA with its length.
void put_record(std::string* m, const std::string& owner, int type, int rr_class, std::uint32_t ttl,
                const std::string& rdata) {
  *m += owner;
  put_u16(m, type);
  put_u16(m, rr_class);
  put_u32(m, ttl);
  put_u16(m, static_cast<int>(rdata.size()));
  *m += rdata;
}

}  // namespace

std::string ownership_text(bool key_set, const std::string& key_name) {
  std::string owner = "unsigned";
  if (key_set) {
    owner.clear();
    for (char c : key_name) owner.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    if (!owner.empty() && owner.back() == '.') owner.pop_back();
  }
  std::string text = "tarvik owner=" + owner;
  if (text.size() > kMaxTxtString) text.resize(kMaxTxtString);
  return text;
}

bool is_publishable_name(const std::string& name) {
  if (name.empty() || name.size() > 63 || name.front() == '-' || name.back() == '-') return false;
  for (unsigned char c : name) {
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '-') return false;
  }
  return true;
}

std::string build_update_message(int id, const std::string& zone_wire, const std::string& name,
                                 UpdateKind kind, std::uint32_t address, std::uint32_t ttl,
                                 const std::string& owner_text) {
  std::string owner;
  if (name.empty() || zone_wire.empty() || !encode_wire_name(name, &owner)) return std::string();
  if (owner_text.size() > kMaxTxtString) return std::string();
  owner.pop_back();  // the root, which the zone's name brings
  owner += zone_wire;
  if (owner.size() > 255) return std::string();

  std::string txt_rdata(1, static_cast<char>(owner_text.size()));
  txt_rdata += owner_text;
  std::string a_rdata;
  // The address is in network byte order already: its bytes as they lie.
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&address);
  for (int i = 0; i < 4; ++i) a_rdata.push_back(static_cast<char>(bytes[i]));

  std::string m;
  put_u16(&m, id);
  put_u16(&m, kOpcodeUpdate << 11);
  put_u16(&m, 1);  // the zone
  put_u16(&m, 1);  // one prerequisite
  put_u16(&m, 2);  // two updates
  put_u16(&m, 0);
  m += zone_wire;
  put_u16(&m, kTypeSoa);
  put_u16(&m, kClassIn);
  switch (kind) {
    case UpdateKind::kAdd:
      // Prerequisite "name is not in use": class NONE, type ANY.
      put_record(&m, owner, kTypeAny, kClassNone, 0, std::string());
      put_record(&m, owner, kTypeA, kClassIn, ttl, a_rdata);
      put_record(&m, owner, kTypeTxt, kClassIn, ttl, txt_rdata);
      break;
    case UpdateKind::kReplace:
      // Prerequisite "RRset exists (value dependent)": the name's TXT RRset
      // is exactly our record. Then delete the A RRset (class ANY) and add.
      put_record(&m, owner, kTypeTxt, kClassIn, 0, txt_rdata);
      put_record(&m, owner, kTypeA, kClassAny, 0, std::string());
      put_record(&m, owner, kTypeA, kClassIn, ttl, a_rdata);
      break;
    case UpdateKind::kDelete:
      put_record(&m, owner, kTypeTxt, kClassIn, 0, txt_rdata);
      put_record(&m, owner, kTypeA, kClassAny, 0, std::string());
      // Delete this one RR (class NONE): the TXT goes with the A records.
      put_record(&m, owner, kTypeTxt, kClassNone, 0, txt_rdata);
      break;
  }
  return m;
}

UpdateResult interpret_update_rcode(UpdateKind sent, bool second_try, int rcode) {
  if (rcode == 0) return UpdateResult::kDone;
  if (rcode == kRcodeServFail) return UpdateResult::kServerFailure;
  if (sent == UpdateKind::kDelete && rcode == kRcodeNxRrset) return UpdateResult::kNotThere;
  if (sent == UpdateKind::kAdd && rcode == kRcodeYxDomain)
    return second_try ? UpdateResult::kOtherOwner : UpdateResult::kTryReplace;
  if (sent == UpdateKind::kReplace && rcode == kRcodeNxRrset)
    return second_try ? UpdateResult::kOtherOwner : UpdateResult::kTryAdd;
  return UpdateResult::kRefused;
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
