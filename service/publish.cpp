// The update sender. One job per name with a change to publish; only the
// latest wanted state of a name waits, so the queue never holds more than
// the table plus the published names that have left it. At most
// kMaxUpdatesInFlight messages are under way, and a name never has two.
//
// What a failure concerns decides what waits. No answer, no server, a lost
// connection, SERVFAIL and a key or clock the server refuses concern every
// name: the whole sender pauses (1 s, doubling up to 60 s, back to 1 s after
// a success) instead of sending the rest of the queue into the same
// failure. A refusal of one name backs off that name alone (1 s, 2 s) and
// then gives it up until its entry changes. A name held by someone else
// (update.h: the ownership prerequisites) is left alone until it changes.
//
// The names whose records in the zone may be ours are kept in the state
// file beside main.conf. The file is written before an add goes out for a
// name it does not hold yet, so it always holds every name the zone may
// have from us, and again at stop; a removal left unsent at stop is sent
// after the next start.
#include "publish.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <deque>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "config.h"
#include "registry.h"
#include "stats.h"
#include "tsig.h"
#include "update.h"

namespace {

constexpr std::uint32_t kAnswerWaitMs = 5000;
constexpr std::uint32_t kFirstBackoffMs = 1000;
constexpr std::uint32_t kMaxBackoffMs = 60000;
constexpr std::uint32_t kFirstRefusalBackoffMs = 1000;
constexpr std::uint32_t kStopWaitMs = 1000;
constexpr int kReceiveSize = 4096;

enum class TcpState { kNone, kConnecting, kSending, kReceiving };

// Why a job with nothing to send is kept: so that its log line is not
// repeated, and so that it waits for its entry to change.
enum class Idle { kNone, kLocalOnly, kOtherOwner, kGivenUp };

// Failures that concern every name, each logged once per outage (until the
// next success).
enum Outage { kNoAnswer, kNoServer, kSendError, kTcpRefused, kTcpLost, kServFail, kServerKeyError,
              kAnswerTime, kOutageKinds };

struct Job {
  std::string name;  // as last registered
  // The state to publish next, waiting while `queued`: in g_queue, or in
  // g_delayed while `delayed` (this name's own back-off after a refusal).
  std::uint32_t address = 0;
  bool removed = false;
  bool queued = false;
  bool delayed = false;
  std::uint32_t retry_at = 0;
  int refusals = 0;
  // After a failed prerequisite the same state is tried the other way
  // round, once (update.h).
  bool second_try = false;
  UpdateKind second_kind = UpdateKind::kAdd;
  Idle idle = Idle::kNone;
  bool told_other_owner = false;
  // The message under way (socket != kNoSocket).
  Socket socket = kNoSocket;
  int slot = -1;
  std::uint32_t sent_at = 0;
  int id = 0;
  std::string request_mac;
  std::string message;  // as sent, for TCP after a truncated answer
  TcpState tcp_state = TcpState::kNone;
  std::string tcp_buffer;  // what is left to send, then what has come in
  UpdateKind sent_kind = UpdateKind::kAdd;
  std::uint32_t sent_address = 0;
  bool sent_removed = false;
  bool sent_second_try = false;
};

bool g_publishing = false;
std::string g_zone_wire;
std::string g_owner_text;
// Keyed by the name folded to lower case: names compare ignoring case.
std::unordered_map<std::string, Job> g_jobs;
std::deque<std::string> g_queue;     // keys of jobs due to be sent, oldest first
std::vector<std::string> g_delayed;  // keys of jobs waiting out their own back-off
std::deque<std::string> g_in_flight;
// Names (folded) whose records in the zone may be ours: published, or an
// add sent whose outcome is not known. A removal is sent only for these.
std::unordered_set<std::string> g_ours;
// What the state file holds (at least g_ours once an add has gone out), and
// whether g_ours has changed since it was written.
std::unordered_set<std::string> g_in_file;
bool g_state_dirty = false;
bool g_state_write_failed = false;
std::uint32_t g_paused_until = 0;
bool g_paused = false;
std::uint32_t g_backoff_ms = kFirstBackoffMs;
bool g_outage_logged[kOutageKinds];
// Answers ignored for want of a valid signature: each kind (unsigned or
// wrongly signed, by the code shown) is logged once.
bool g_ignored_logged[2][32];
std::uint32_t g_id_state = 0;

std::string fold(const std::string& name) {
  std::string key = name;
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}

int next_id() {
  // Only needs to differ between messages; the socket of each message
  // already takes only the server's datagrams.
  g_id_state = g_id_state * 1664525u + 1013904223u + tick_count_ms();
  return static_cast<int>((g_id_state >> 16) & 0xFFFF);
}

TsigKey configured_key() {
  return TsigKey{g_settings.update_key_name, g_settings.update_key_algorithm, g_settings.update_key_secret};
}

std::string shown_address(bool removed, std::uint32_t address) {
  return removed ? std::string("deleted") : format_ipv4(address);
}

bool is_ours(const std::string& key) { return g_ours.count(key) != 0; }

void forget_ours(const std::string& key) {
  if (g_ours.erase(key) != 0) g_state_dirty = true;
}

// --- The state file ----------------------------------------------------------

std::string state_file_path() {
  std::string folder, name;
  split_path(g_settings.config_path, &folder, &name);
  return folder + kPathSeparator + kPublishedStateFile;
}

// What the next attempt of a job sends; false when there is nothing to send
// (the removal of a name that holds nothing of ours).
bool choose_kind(const std::string& key, const Job& job, UpdateKind* kind) {
  if (job.removed) {
    *kind = UpdateKind::kDelete;
    return is_ours(key);
  }
  if (job.second_try) {
    *kind = job.second_kind;
  } else {
    *kind = is_ours(key) ? UpdateKind::kReplace : UpdateKind::kAdd;
  }
  return true;
}

// Writes the state file: g_ours and, with `queued_adds`, every name whose
// add waits in the queue, so that one write covers a burst. The new content
// goes to a temporary file beside it, forced to disk, then renamed over it.
bool write_state_file(bool queued_adds) {
  std::unordered_set<std::string> names = g_ours;
  if (queued_adds) {
    for (const std::string& key : g_queue) {
      auto found = g_jobs.find(key);
      UpdateKind kind;
      if (found != g_jobs.end() && found->second.queued && choose_kind(key, found->second, &kind) &&
          kind == UpdateKind::kAdd)
        names.insert(key);
    }
  }
  std::vector<std::string> sorted(names.begin(), names.end());
  std::sort(sorted.begin(), sorted.end());
  std::string text = "# The names Tarvik has published into the zone below, for their removal\n"
                     "# after a restart. Kept by the service.\nzone " + g_settings.update_zone + "\n";
  for (const std::string& name : sorted) text += name + "\n";
  std::string bytes = text_to_file_bytes(std::move(text));

  std::string path = state_file_path();
  std::string temporary = path + ".tmp";
  // A leftover of a write cut short: ours, and of no use.
  delete_file(temporary);
  int error = 0;
  bool written = false;
  FileHandle f = create_new_file(temporary, path, &error);
  if (f != kNoFile) {
    written = write_at(f, 0, bytes, &error) && flush_file(f, &error);
    int close_error = 0;
    if (!close_file(f, &close_error) && written) {
      written = false;
      error = close_error;
    }
    if (written && replace_file(temporary, path, &error) != ReplaceResult::kReplaced) written = false;
    if (!written) delete_file(temporary);
  }
  // Not tried again for every message: once more when another new name
  // goes out, and at stop.
  g_in_file.swap(names);
  if (!written) {
    if (!g_state_write_failed) log(1, "%s: Can not write: %s", path.c_str(), file_error_text(error).c_str());
    g_state_write_failed = true;
    return false;
  }
  g_state_write_failed = false;
  g_state_dirty = false;
  return true;
}

// Reads the state file into g_ours. A file of another zone is set aside:
// its names are not ours to remove from this one.
void read_state_file() {
  std::string path = state_file_path();
  std::string bytes;
  int error = 0;
  ReadResult read = read_whole_file(path, &bytes, &error);
  if (read == ReadResult::kMissing) return;
  if (read == ReadResult::kFailed) {
    log(1, "%s: Can not read: %s", path.c_str(), file_error_text(error).c_str());
    return;
  }
  std::string text = text_from_file_bytes(std::move(bytes));
  std::string zone;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.compare(0, 5, "zone ") == 0) {
      zone = line.substr(5);
    } else if (is_publishable_name(line)) {
      g_ours.insert(fold(line));
    }
  }
  std::string zone_wire;
  if (!zone.empty() && !g_ours.empty() && (!encode_wire_name(zone, &zone_wire) || zone_wire != g_zone_wire)) {
    log(2, "%s: %d names published into %s are left there: update-zone is now %s", path.c_str(),
        static_cast<int>(g_ours.size()), log_safe(zone).c_str(), g_settings.update_zone.c_str());
    g_ours.clear();
    g_state_dirty = true;
  }
  g_in_file = g_ours;
}

// --- Queue -------------------------------------------------------------------

// Drops a job that has nothing to send, nothing under way and no reason to
// be kept; its stale queue entries are skipped when reached.
void forget_if_done(const std::string& key) {
  auto found = g_jobs.find(key);
  if (found == g_jobs.end()) return;
  const Job& job = found->second;
  if (!job.queued && job.socket == kNoSocket && job.idle == Idle::kNone) g_jobs.erase(found);
}

void queue_change(const std::string& name, std::uint32_t address, bool removed) {
  if (!g_publishing) return;
  try {
    std::string key = fold(name);
    auto found = g_jobs.find(key);
    if (removed) {
      // Nothing of ours there and no message under way that could put it
      // there: nothing to remove.
      if (!is_ours(key) && (found == g_jobs.end() || found->second.socket == kNoSocket)) {
        if (found != g_jobs.end()) g_jobs.erase(found);
        return;
      }
    } else if (!is_publishable_name(name)) {
      if (found == g_jobs.end()) {
        log(2, "update %s: not a host name, kept local", log_safe(name).c_str());
        Job& job = g_jobs[key];
        job.name = name;
        job.idle = Idle::kLocalOnly;
      }
      return;
    }
    if (found == g_jobs.end()) found = g_jobs.emplace(key, Job()).first;
    Job& job = found->second;
    job.name = name;
    job.address = address;
    job.removed = removed;
    // A new state: tried afresh, whatever became of the last one.
    job.refusals = 0;
    job.second_try = false;
    job.idle = Idle::kNone;
    bool was_waiting = job.queued && !job.delayed;
    job.queued = true;
    job.delayed = false;
    // A job under way joins the queue again once its answer is in.
    if (!was_waiting && job.socket == kNoSocket) g_queue.push_back(key);
  } catch (const std::bad_alloc&) {
    log(1, "update %s: out of memory, change dropped", log_safe(name).c_str());
  }
}

// Puts the job's queued state back into the queue, first when it is a
// retry (it has waited longest).
void requeue(const std::string& key, Job* job, bool first) {
  if (!job->queued || job->delayed) return;
  if (first) {
    g_queue.push_front(key);
  } else {
    g_queue.push_back(key);
  }
}

// The sent state waits again, unless a newer one already does.
void restore_sent_state(Job* job) {
  if (job->queued) return;
  job->queued = true;
  job->address = job->sent_address;
  job->removed = job->sent_removed;
  job->second_try = job->sent_second_try;
  job->second_kind = job->sent_kind;
}

void close_message(Job* job) {
  if (job->socket != kNoSocket) socket_close(job->socket);
  job->socket = kNoSocket;
  job->slot = -1;
  job->tcp_state = TcpState::kNone;
  job->tcp_buffer.clear();
  job->message.clear();
}

void end_message(const std::string& key, Job* job) {
  close_message(job);
  for (auto it = g_in_flight.begin(); it != g_in_flight.end(); ++it) {
    if (*it == key) {
      g_in_flight.erase(it);
      break;
    }
  }
}

enum class Sent { kSent, kNothing, kNoSocket };

// Sends the job's queued state as an update of `kind`.
Sent send_message(const std::string& key, Job* job, UpdateKind kind, std::uint32_t now) {
  job->id = next_id();
  std::string message = build_update_message(job->id, g_zone_wire, job->name, kind, job->address,
                                             static_cast<std::uint32_t>(g_settings.update_ttl), g_owner_text);
  if (message.empty()) {
    log(1, "update %s: not a valid name in the zone", job->name.c_str());
    job->queued = false;
    return Sent::kNothing;
  }
  job->request_mac.clear();
  if (g_settings.update_key_set) {
    message = tsig_sign_request(message, configured_key(), unix_time_seconds(), &job->request_mac);
    if (message.empty()) {
      log(1, "update %s: signing failed", job->name.c_str());
      return Sent::kNoSocket;
    }
  }
  Socket s = udp_open();
  if (s == kNoSocket) return Sent::kNoSocket;
  // From now on the zone may hold what the add puts there, answer or not.
  if (kind == UpdateKind::kAdd && g_ours.insert(key).second) g_state_dirty = true;
  if (!udp_connect(s, g_settings.update_server_ip, g_settings.update_server_port) ||
      udp_send_connected(s, message.data(), static_cast<int>(message.size())) !=
          static_cast<int>(message.size())) {
    // Counts as lost: the answer wait runs out and the change is retried.
    int error = last_socket_error();
    if (!g_outage_logged[kSendError]) {
      log(1, "update %s: send error: %d: %s", job->name.c_str(), error, system_error_text(error).c_str());
      g_outage_logged[kSendError] = true;
    }
  }
  job->socket = s;
  job->message = message;
  job->sent_at = now;
  job->sent_kind = kind;
  job->sent_address = job->address;
  job->sent_removed = job->removed;
  job->sent_second_try = job->second_try;
  job->queued = false;
  job->second_try = false;
  g_in_flight.push_back(key);
  return Sent::kSent;
}

// --- Outcomes ----------------------------------------------------------------

void pause_sending(std::uint32_t now) {
  // Failures of messages sent together count once.
  if (g_paused && static_cast<std::int32_t>(g_paused_until - now) > 0) return;
  g_paused = true;
  g_paused_until = now + g_backoff_ms;
  g_backoff_ms = g_backoff_ms * 2 > kMaxBackoffMs ? kMaxBackoffMs : g_backoff_ms * 2;
}

// The server answered as a working server does: an outage is over.
void note_server_works() {
  g_backoff_ms = kFirstBackoffMs;
  g_paused = false;
  for (bool& logged : g_outage_logged) logged = false;
}

// A failure that concerns every name: the sent state is retried first once
// the pause is over. `refused`: the server answered with an error, so the
// update did nothing (an update is applied whole or not at all); else it may
// have been applied with its answer lost.
void fail_for_all(const std::string& key, Job* job, Outage kind, const std::string& outcome,
                  bool refused, std::uint32_t now) {
  std::string address = shown_address(job->sent_removed, job->sent_address);
  end_message(key, job);
  ++g_counters.updates_failed;
  if (refused && job->sent_kind == UpdateKind::kAdd) forget_ours(key);
  if (!g_outage_logged[kind]) {
    log(1, "update %s %s: %s", job->name.c_str(), address.c_str(), outcome.c_str());
    g_outage_logged[kind] = true;
  }
  restore_sent_state(job);
  requeue(key, job, true);
  pause_sending(now);
}

// A refusal of this name: its own back-off, then given up.
void refuse(const std::string& key, Job* job, int rcode, std::uint32_t now) {
  ++g_counters.updates_failed;
  // An add the server refused has put nothing there (had the name been
  // ours, a replace would have been sent).
  if (job->sent_kind == UpdateKind::kAdd) forget_ours(key);
  if (job->queued) return;  // a newer state goes out instead
  restore_sent_state(job);
  ++job->refusals;
  if (job->refusals >= kRefusalsBeforeGivingUp) {
    log(1, "update %s %s: %s, given up until the name changes", job->name.c_str(),
        shown_address(job->sent_removed, job->sent_address).c_str(), rcode_text(rcode));
    job->queued = false;
    job->idle = Idle::kGivenUp;
    return;
  }
  job->delayed = true;
  job->retry_at = now + (kFirstRefusalBackoffMs << (job->refusals - 1));
  g_delayed.push_back(key);
}

// Ends the job's message with the server's verdict `rcode` on it.
void take_verdict(const std::string& key, Job* job, int rcode, std::uint32_t now) {
  UpdateResult result = interpret_update_rcode(job->sent_kind, job->sent_second_try, rcode);
  if (result == UpdateResult::kServerFailure) {
    fail_for_all(key, job, kServFail, rcode_text(rcode), true, now);
    return;
  }
  std::string address = shown_address(job->sent_removed, job->sent_address);
  end_message(key, job);
  bool retry_first = false;
  switch (result) {
    case UpdateResult::kDone:
      ++g_counters.updates_published;
      log(4, "update %s %s: %s", job->name.c_str(), address.c_str(), rcode_text(rcode));
      if (job->sent_kind == UpdateKind::kDelete) forget_ours(key);
      note_server_works();
      break;
    case UpdateResult::kNotThere:
      log(4, "update %s deleted: nothing of ours there", job->name.c_str());
      forget_ours(key);
      note_server_works();
      break;
    case UpdateResult::kTryReplace:
    case UpdateResult::kTryAdd:
      if (result == UpdateResult::kTryAdd) forget_ours(key);
      note_server_works();
      if (!job->queued) {
        restore_sent_state(job);
        job->second_try = true;
        job->second_kind = result == UpdateResult::kTryAdd ? UpdateKind::kAdd : UpdateKind::kReplace;
        retry_first = true;
      }
      break;
    case UpdateResult::kOtherOwner:
      ++g_counters.updates_failed;
      forget_ours(key);
      note_server_works();
      if (!job->told_other_owner) {
        log(2, "update %s: in use by another owner, not published", job->name.c_str());
        job->told_other_owner = true;
      }
      if (!job->queued) job->idle = Idle::kOtherOwner;
      break;
    case UpdateResult::kRefused:
    case UpdateResult::kServerFailure:
      refuse(key, job, rcode, now);
      break;
  }
  requeue(key, job, retry_first);
  forget_if_done(key);
}

// Logs an answer that is not taken for want of a valid signature, once per
// kind: anyone on the path can send one, so it decides nothing.
void note_ignored_answer(const Job& job, TsigCheck check, int rcode, int tsig_error) {
  int code = tsig_error != 0 ? tsig_error : rcode;
  bool is_unsigned = check == TsigCheck::kUnsigned || check == TsigCheck::kKeyError;
  bool& logged = g_ignored_logged[is_unsigned ? 0 : 1][code & 31];
  if (logged) return;
  logged = true;
  std::string address = shown_address(job.sent_removed, job.sent_address);
  if (is_unsigned) {
    log(1, "update %s %s: unsigned %s answer ignored", job.name.c_str(), address.c_str(), rcode_text(code));
  } else {
    log(1, "update %s %s: %s answer with a wrong signature ignored", job.name.c_str(), address.c_str(),
        rcode_text(code));
  }
}

std::string skew_text(const char* what, long long skew, const char* whose) {
  char text[160];
  std::snprintf(text, sizeof text, "BADTIME, %s is %lld s %s %s", what, skew < 0 ? -skew : skew,
                skew < 0 ? "behind" : "ahead of", whose);
  return text;
}

enum class Answer { kIgnored, kFinished, kTruncated };

// Takes one datagram or TCP message from the server's side.
Answer handle_answer(const std::string& key, Job* job, const std::string& answer, std::uint32_t now) {
  if (answer.size() < 12) return Answer::kIgnored;
  int id = (static_cast<unsigned char>(answer[0]) << 8) | static_cast<unsigned char>(answer[1]);
  bool response = (answer[2] & 0x80) != 0;
  bool truncated = (answer[2] & 0x02) != 0;
  int opcode = (static_cast<unsigned char>(answer[2]) >> 3) & 0x0F;
  // Another message's answer, or our request echoed back (QR clear).
  if (id != job->id || !response || opcode != kOpcodeUpdate) return Answer::kIgnored;
  int rcode = answer[3] & 0x0F;
  bool first_truncated = truncated && job->tcp_state == TcpState::kNone;
  if (g_settings.update_key_set) {
    TsigRecord record;
    TsigCheck check = tsig_verify_response(answer, configured_key(), job->request_mac, &record);
    if (check != TsigCheck::kValid) {
      // A truncated answer may have lost its signature with the rest: TCP
      // decides. Anything else unsigned or unverifiable could come from
      // anyone: the wait for the signed answer goes on.
      if (first_truncated) return Answer::kTruncated;
      note_ignored_answer(*job, check, rcode, record.error);
      return Answer::kIgnored;
    }
    // The server signed a refusal of our time (or key): every message
    // would meet it.
    if (record.error != 0) {
      std::uint64_t server_time = 0;
      std::string outcome = rcode_text(record.error);
      if (record.error == kTsigBadTime && tsig_other_time(record, &server_time))
        outcome = skew_text("the server's clock",
                            static_cast<long long>(server_time) - static_cast<long long>(record.time_signed),
                            "ours");
      fail_for_all(key, job, kServerKeyError, outcome, true, now);
      return Answer::kFinished;
    }
    // Signed too long ago or ahead: a replay, or clocks apart. The same for
    // every message.
    std::uint64_t clock = unix_time_seconds();
    if (!tsig_time_acceptable(record, clock)) {
      fail_for_all(key, job, kAnswerTime,
                   skew_text("the answer's time", tsig_time_skew(record, clock), "our clock"), false,
                   now);
      return Answer::kFinished;
    }
  }
  if (first_truncated) return Answer::kTruncated;
  take_verdict(key, job, rcode, now);
  return Answer::kFinished;
}

// The answer did not fit a datagram: the same message again over TCP, on
// a connection of its own, within what is left of the 5 s.
void switch_to_tcp(const std::string& key, Job* job, std::uint32_t now) {
  socket_close(job->socket);
  job->socket = tcp_connect_start(g_settings.update_server_ip, g_settings.update_server_port);
  if (job->socket == kNoSocket) {
    fail_for_all(key, job, kTcpRefused, "TCP connection refused", false, now);
    return;
  }
  job->tcp_state = TcpState::kConnecting;
  job->tcp_buffer.clear();
  job->tcp_buffer.push_back(static_cast<char>((job->message.size() >> 8) & 0xFF));
  job->tcp_buffer.push_back(static_cast<char>(job->message.size() & 0xFF));
  job->tcp_buffer += job->message;
}

// Reads the answers queued on the job's UDP socket.
void take_udp_answer(const std::string& key, Job* job, std::uint32_t now) {
  static char buffer[kReceiveSize];
  for (;;) {
    int received = udp_receive_to(job->socket, buffer, kReceiveSize, nullptr, nullptr);
    if (received < 0) {
      if (received == kWouldBlock || last_socket_error() == kMessageTooLong) return;
      // The server's port is closed: as good as no answer, but known now.
      fail_for_all(key, job, kNoServer, "no server", false, now);
      return;
    }
    Answer outcome = handle_answer(key, job, std::string(buffer, static_cast<std::size_t>(received)), now);
    if (outcome == Answer::kFinished) return;
    if (outcome == Answer::kTruncated) {
      switch_to_tcp(key, job, now);
      return;
    }
  }
}

// Moves the job's TCP exchange on as far as it goes without waiting.
void serve_tcp(const std::string& key, Job* job, std::uint32_t now) {
  if (job->tcp_state == TcpState::kConnecting) {
    if (tcp_connect_error(job->socket) != 0) {
      fail_for_all(key, job, kTcpRefused, "TCP connection refused", false, now);
      return;
    }
    job->tcp_state = TcpState::kSending;
  }
  if (job->tcp_state == TcpState::kSending) {
    int sent = tcp_send(job->socket, job->tcp_buffer.data(), static_cast<int>(job->tcp_buffer.size()));
    if (sent == kWouldBlock) return;
    if (sent < 0) {
      fail_for_all(key, job, kTcpLost, "TCP connection lost", false, now);
      return;
    }
    job->tcp_buffer.erase(0, static_cast<std::size_t>(sent));
    if (!job->tcp_buffer.empty()) return;
    job->tcp_state = TcpState::kReceiving;
  }
  static char buffer[kReceiveSize];
  for (;;) {
    int received = tcp_receive(job->socket, buffer, kReceiveSize);
    if (received == kWouldBlock) return;
    if (received <= 0) {
      fail_for_all(key, job, kTcpLost, "TCP connection lost", false, now);
      return;
    }
    job->tcp_buffer.append(buffer, static_cast<std::size_t>(received));
    while (job->tcp_buffer.size() >= 2) {
      std::size_t length = (static_cast<std::size_t>(static_cast<unsigned char>(job->tcp_buffer[0])) << 8) |
                           static_cast<unsigned char>(job->tcp_buffer[1]);
      if (job->tcp_buffer.size() < 2 + length) break;
      std::string answer = job->tcp_buffer.substr(2, length);
      job->tcp_buffer.erase(0, 2 + length);
      if (handle_answer(key, job, answer, now) != Answer::kIgnored) return;
    }
    if (job->tcp_buffer.size() > 2 + 65535) {
      fail_for_all(key, job, kTcpLost, "TCP connection lost", false, now);
      return;
    }
  }
}

void take_answer(const std::string& key, Job* job, std::uint32_t now) {
  if (job->tcp_state == TcpState::kNone) {
    take_udp_answer(key, job, now);
  } else {
    serve_tcp(key, job, now);
  }
}

unsigned char wanted_events(const Job& job) {
  return job.tcp_state == TcpState::kConnecting || job.tcp_state == TcpState::kSending ? kWaitWrite
                                                                                         : kWaitRead;
}

// Jobs whose own back-off is over go to the front of the queue.
void release_delayed(std::uint32_t now) {
  for (std::size_t i = 0; i < g_delayed.size();) {
    const std::string key = g_delayed[i];
    auto found = g_jobs.find(key);
    bool waiting = found != g_jobs.end() && found->second.delayed;
    if (waiting && static_cast<std::int32_t>(found->second.retry_at - now) > 0) {
      ++i;
      continue;
    }
    if (waiting) {
      found->second.delayed = false;
      if (found->second.queued) g_queue.push_front(key);
    }
    g_delayed[i] = g_delayed.back();
    g_delayed.pop_back();
  }
}

void send_due_messages(std::uint32_t now) {
  while (!g_queue.empty() && g_in_flight.size() < static_cast<std::size_t>(kMaxUpdatesInFlight)) {
    std::string key = g_queue.front();
    auto found = g_jobs.find(key);
    if (found == g_jobs.end() || !found->second.queued || found->second.delayed ||
        found->second.socket != kNoSocket) {
      g_queue.pop_front();
      continue;
    }
    Job& job = found->second;
    UpdateKind kind;
    if (!choose_kind(key, job, &kind)) {
      g_queue.pop_front();
      job.queued = false;
      forget_if_done(key);
      continue;
    }
    // The file learns the name before the zone can: a stop or a crash right
    // after the send still knows what to remove.
    if (kind == UpdateKind::kAdd && g_in_file.count(key) == 0) write_state_file(true);
    Sent sent = send_message(key, &job, kind, now);
    if (sent == Sent::kNoSocket) break;  // next time
    g_queue.pop_front();
    if (sent == Sent::kNothing) forget_if_done(key);
  }
}

}  // namespace

void publish_start() {
  if (g_settings.update_server_ip == kAddressNone) return;
  if (!encode_wire_name(g_settings.update_zone, &g_zone_wire)) {
    log(1, "%s", "update-server without update-zone: nothing is published");
    return;
  }
  g_publishing = true;
  g_owner_text = ownership_text(g_settings.update_key_set, g_settings.update_key_name);
  g_id_state = static_cast<std::uint32_t>(unix_time_seconds()) ^ tick_count_ms();
  g_backoff_ms = kFirstBackoffMs;
  g_paused = false;
  for (bool& logged : g_outage_logged) logged = false;
  for (auto& row : g_ignored_logged)
    for (bool& logged : row) logged = false;
  read_state_file();
  for (const NameEntry& entry : name_table()) publish_name(entry.name, entry.address);
  // Names published before that have left the table while the service was
  // not there to send their removal.
  std::vector<std::string> gone;
  for (const std::string& key : g_ours) {
    if (g_jobs.count(key) == 0) gone.push_back(key);
  }
  std::sort(gone.begin(), gone.end());
  for (const std::string& key : gone) publish_removal(key);
}

void publish_name(const std::string& name, std::uint32_t address) { queue_change(name, address, false); }

void publish_removal(const std::string& name) { queue_change(name, 0, true); }

void add_publish_sockets(std::uint32_t now, WaitSet* set) {
  if (!g_publishing) return;
  for (std::size_t i = 0; i < g_in_flight.size();) {
    std::string key = g_in_flight[i];
    Job& job = g_jobs[key];
    if (static_cast<std::uint32_t>(now - job.sent_at) >= kAnswerWaitMs) {
      fail_for_all(key, &job, kNoAnswer, "no answer", false, now);
      continue;  // it left the list
    }
    ++i;
  }
  release_delayed(now);
  if (!g_paused || static_cast<std::int32_t>(g_paused_until - now) <= 0) send_due_messages(now);
  for (const std::string& key : g_in_flight) {
    Job& job = g_jobs[key];
    job.slot = wait_set_add(set, job.socket, wanted_events(job));
  }
}

void serve_publish_sockets(std::uint32_t now, const WaitSet& set) {
  if (!g_publishing) return;
  // A copy: finishing a job changes the list.
  std::deque<std::string> in_flight = g_in_flight;
  for (const std::string& key : in_flight) {
    auto found = g_jobs.find(key);
    if (found == g_jobs.end() || found->second.socket == kNoSocket) continue;
    if (wait_set_ready(set, found->second.slot) == 0) continue;
    take_answer(key, &found->second, now);
  }
}

void publish_stop() {
  if (!g_publishing) return;
  std::uint32_t start = tick_count_ms();
  static WaitSet set;
  while (!g_in_flight.empty()) {
    std::uint32_t now = tick_count_ms();
    std::uint32_t waited = now - start;
    if (waited >= kStopWaitMs) break;
    wait_set_clear(&set);
    for (const std::string& key : g_in_flight) {
      Job& job = g_jobs[key];
      job.slot = wait_set_add(&set, job.socket, wanted_events(job));
    }
    if (wait_sockets(&set, static_cast<long>(kStopWaitMs - waited) * 1000) <= 0) continue;
    // Answers only: nothing new is sent at stop.
    std::deque<std::string> in_flight = g_in_flight;
    for (const std::string& key : in_flight) {
      auto found = g_jobs.find(key);
      if (found == g_jobs.end() || wait_set_ready(set, found->second.slot) == 0) continue;
      take_answer(key, &found->second, tick_count_ms());
    }
  }
  std::size_t dropped = 0;
  for (auto& entry : g_jobs) {
    if (entry.second.socket != kNoSocket || entry.second.queued) ++dropped;
    close_message(&entry.second);
  }
  if (dropped > 0) log(1, "update: %d changes not published at stop", static_cast<int>(dropped));
  // What may be ours, unanswered adds included: the next start removes
  // what has left the table by then.
  if (g_state_dirty || g_in_file != g_ours) write_state_file(false);
  g_jobs.clear();
  g_queue.clear();
  g_delayed.clear();
  g_in_flight.clear();
  g_ours.clear();
  g_in_file.clear();
  g_state_dirty = false;
  g_state_write_failed = false;
  g_publishing = false;
}

std::size_t publish_backlog() {
  std::size_t waiting = 0;
  for (const auto& entry : g_jobs) {
    if (entry.second.queued || entry.second.socket != kNoSocket) ++waiting;
  }
  return waiting;
}
