// The answer rules of the DNS service: what becomes of one received
// message, the same for UDP and TCP.
#pragma once

enum class QueryOutcome { kReply, kForward, kDrop };
// How the reply travels: over UDP a reply is limited to 512 bytes, or to the
// UDP payload size the query's EDNS OPT record offers when that is larger;
// over TCP only the buffer limits it.
enum class Transport { kUdp, kTcp };
// Any reply answer_query builds fits this many bytes (a question name is at
// most 255 bytes, and the records the server adds are few and short), but
// for the NOTAUTH answer to a signed query, which repeats the query's key
// and algorithm names: when that does not fit, it goes truncated.
constexpr int kReplyCapacity = 512;
// Decides what becomes of one received DNS message, transport-independent:
// UDP and TCP both call it. `message` holds the `length` received bytes
// (length >= 0; nothing past them is read) in a buffer of `capacity` bytes
// (capacity >= length; capacity >= kReplyCapacity guarantees every reply
// fits whole).
//   kReply: the reply has been built in place in message[0, *reply_length),
//     *reply_length <= capacity, and over UDP within the limit above. When a
//     local answer does not fit, the reply is its header and question (and
//     OPT) with TC set, so that the asker retries over TCP.
//   kForward: message[0, length) is unchanged and goes to the upstream server
//     as it is (only when an upstream server is configured).
//   kDrop: nothing is sent (responses, datagrams shorter than a header, a
//     reply that cannot fit even cut down).
// The rules: names compare label by label, ignoring ASCII case (a label
// holding a dot byte is one label: "dev\.tarvik." is not in the zone); the
// zone tarvik. (its SOA and NS, ns.tarvik, the registered names) is answered
// with AA, with the SOA in the authority section of every name error and
// empty answer; other names are relayed, or REFUSED when there is no
// upstream server. Opcodes other than QUERY get NOTIMP, anything but one
// readable question FORMERR, and so does a record behind it that cannot be
// read (a compression pointer forwards, into the header or into a loop, a
// TSIG record that is not the last one); classes other than IN and ANY in
// the zone REFUSED. The server holds no TSIG key: a signed query gets
// NOTAUTH with an unsigned TSIG record carrying BADKEY. A query with an OPT record gets
// the server's own (version 0, 1232 bytes, DO copied), or BADVERS for a
// version above 0. The header is set, never copied: RD, CD and the opcode
// come back, RA only with an upstream server.
QueryOutcome answer_query(unsigned char* message, int length, int capacity, Transport transport,
                          int* reply_length);
// The answer to an asker whose relayed query failed (no socket for it, the
// upstream server refused or did not answer in time): SERVFAIL with the
// question (and an OPT when the query had one), built in place as
// answer_query builds its replies, so that the asker learns at once instead
// of retrying into the same failure. False when the message holds no
// readable question to answer (nothing is then sent).
bool answer_relay_failure(unsigned char* message, int length, int capacity, Transport transport,
                          int* reply_length);
// The answer to an asker for whom nothing is relayed (see relay_allowed):
// REFUSED with the question (and an OPT when the query had one), RA clear,
// built in place like answer_relay_failure. False when the message holds
// no readable question.
bool answer_relay_refused(unsigned char* message, int length, int capacity, Transport transport,
                          int* reply_length);
