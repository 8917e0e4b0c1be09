// Dynamic updates (RFC 2136) of the names this service registers: the
// message bytes, and the rcode names for the log. No sockets here.
#pragma once

#include <cstdint>
#include <string>

constexpr int kOpcodeUpdate = 5;
constexpr int kRcodeNotAuth = 9;

// The UPDATE message (ID `id`) for the zone `zone_wire` (the wire form of
// the zone name) that deletes every A record of NAME.ZONE and, unless
// `deleted`, adds one with `address` (network byte order) and `ttl`. No
// prerequisites: the service owns these names' A records. "" when
// NAME.ZONE is not a valid domain name.
std::string build_update_message(int id, const std::string& zone_wire, const std::string& name,
                                 std::uint32_t address, bool deleted, std::uint32_t ttl);

// The rcode of a response, the extended TSIG errors included
// ("NOERROR", "SERVFAIL", "NOTAUTH", "BADSIG", ...; "RCODE" for others).
const char* rcode_text(int rcode);
