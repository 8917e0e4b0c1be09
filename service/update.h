// Dynamic updates (RFC 2136) of the names this service registers: the
// message bytes, the ownership rules they carry, and the rcode names for
// the log. No sockets here.
//
// The zone may hold the site's own records beside the service's, so the
// service marks what it publishes, as DHCP servers do (RFC 4703): beside
// each A RRset it writes an ownership record, a TXT record whose text names
// this publisher, in the same UPDATE; and every UPDATE carries a
// prerequisite, so that the server itself refuses to let the service touch
// a name it does not own:
//   kAdd      the name is not in use (no record of any type): add A and TXT;
//   kReplace  our TXT record is there: replace the A RRset;
//   kDelete   our TXT record is there: delete the A RRset and the TXT.
// A failed prerequisite is not an error but an answer: the name is in use
// (YXDOMAIN to kAdd), or not ours (NXRRSET to kReplace or kDelete).
#pragma once

#include <cstdint>
#include <string>

constexpr int kOpcodeUpdate = 5;
constexpr int kRcodeServFail = 2;
constexpr int kRcodeRefused = 5;
constexpr int kRcodeYxDomain = 6;
constexpr int kRcodeNxRrset = 8;
constexpr int kRcodeNotAuth = 9;

enum class UpdateKind { kAdd, kReplace, kDelete };

// The text of the ownership record of this publisher: "tarvik owner=" and
// the key name in lower case ("unsigned" without a key), so that it stays
// the same across restarts and two services with keys of their own can
// share a zone. At most 255 bytes (one TXT string).
std::string ownership_text(bool key_set, const std::string& key_name);

// True for a name servers take as a host name (RFC 952, 1123): letters,
// digits and '-', neither first nor last. Only such names are published;
// a server's name checks would refuse the others ('_' among them).
bool is_publishable_name(const std::string& name);

// The UPDATE message (ID `id`) of `kind` for NAME.ZONE, `zone_wire` being
// the wire form of the zone name: `address` (network byte order) and `ttl`
// for the A record (unused by kDelete), `owner_text` for the TXT record (as
// ownership_text gives it). Names uncompressed. "" when NAME.ZONE is not a
// valid domain name or `owner_text` is longer than 255 bytes.
std::string build_update_message(int id, const std::string& zone_wire, const std::string& name,
                                 UpdateKind kind, std::uint32_t address, std::uint32_t ttl,
                                 const std::string& owner_text);

// What an answer's rcode means for the name whose update `sent` it answers.
// `second_try`: this update was already the other way round after a failed
// prerequisite (kAdd after NXRRSET, kReplace after YXDOMAIN).
enum class UpdateResult {
  kDone,          // NOERROR: the zone holds what was sent
  kNotThere,      // a kDelete found nothing of ours: nothing to delete
  kTryReplace,    // kAdd: the name is in use; it may hold our records
  kTryAdd,        // kReplace: our TXT is not there; the name may be free
  kOtherOwner,    // both ways tried: the name is someone else's
  kServerFailure, // SERVFAIL: the server cannot serve any name now
  kRefused,       // anything else: refused for this name
};
UpdateResult interpret_update_rcode(UpdateKind sent, bool second_try, int rcode);

// The rcode of a response, the extended TSIG errors included
// ("NOERROR", "SERVFAIL", "NOTAUTH", "BADSIG", ...; "RCODE" for others).
const char* rcode_text(int rcode);
