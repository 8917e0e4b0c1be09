// The update sender. One job per name with a change to publish; the jobs
// wait in a queue, at most kMaxUpdatesInFlight are under way, and a name
// never has two messages under way. When the server fails to answer, or
// answers with an error, the whole sender pauses (1 s, doubling up to 60 s)
// instead of sending the rest of the queue into the same failure.
#include "publish.h"

#include <cctype>
#include <deque>
#include <new>
#include <unordered_map>

#include "config.h"
#include "registry.h"
#include "tsig.h"
#include "update.h"

namespace {

constexpr std::uint32_t kAnswerWaitMs = 5000;
constexpr std::uint32_t kFirstBackoffMs = 1000;
constexpr std::uint32_t kMaxBackoffMs = 60000;
constexpr std::uint32_t kStopWaitMs = 1000;
constexpr int kReceiveSize = 4096;

enum class TcpState { kNone, kConnecting, kSending, kReceiving };

struct Job {
  std::string name;  // as registered
  // The state to publish next; `queued` when it has not been sent yet.
  std::uint32_t address = 0;
  bool removed = false;
  bool queued = false;
  // The message under way (socket != kNoSocket).
  Socket socket = kNoSocket;
  int slot = -1;
  std::uint32_t sent_at = 0;
  int id = 0;
  std::string request_mac;
  std::string message;  // as sent, for TCP after a truncated answer
  TcpState tcp_state = TcpState::kNone;
  std::string tcp_buffer;  // what is left to send, then what has come in
  std::uint32_t sent_address = 0;
  bool sent_removed = false;
};

bool g_publishing = false;
std::string g_zone_wire;
// Keyed by the name folded to lower case: names compare ignoring case.
std::unordered_map<std::string, Job> g_jobs;
std::deque<std::string> g_queue;  // keys of jobs with queued changes, oldest first
std::deque<std::string> g_in_flight;
std::uint32_t g_paused_until = 0;
bool g_paused = false;
std::uint32_t g_backoff_ms = kFirstBackoffMs;
// The error kinds logged since the last success: each is logged once.
bool g_logged_kind[32];
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

std::size_t queue_limit() {
  // The table, plus as many removals of names no longer in it.
  return 2 * static_cast<std::size_t>(g_settings.max_names) + kMaxUpdatesInFlight;
}

void queue_change(const std::string& name, std::uint32_t address, bool removed) {
  if (!g_publishing) return;
  try {
    std::string key = fold(name);
    auto found = g_jobs.find(key);
    if (found == g_jobs.end()) {
      if (g_jobs.size() >= queue_limit()) {
        log(1, "update %s: queue full, change dropped", name.c_str());
        return;
      }
      found = g_jobs.emplace(key, Job()).first;
    }
    Job& job = found->second;
    job.name = name;
    job.address = address;
    job.removed = removed;
    if (!job.queued) {
      job.queued = true;
      // A job under way joins the queue again once its answer is in.
      if (job.socket == kNoSocket) g_queue.push_back(key);
    }
  } catch (const std::bad_alloc&) {
    log(1, "update %s: out of memory, change dropped", name.c_str());
  }
}

std::string shown_address(bool removed, std::uint32_t address) {
  return removed ? std::string("deleted") : format_ipv4(address);
}

void close_message(Job* job) {
  if (job->socket != kNoSocket) socket_close(job->socket);
  job->socket = kNoSocket;
  job->slot = -1;
  job->tcp_state = TcpState::kNone;
  job->tcp_buffer.clear();
  job->message.clear();
}

// Sends the job's queued state. False when no socket could be had.
bool send_message(const std::string& key, Job* job, std::uint32_t now) {
  job->id = next_id();
  std::string message = build_update_message(job->id, g_zone_wire, job->name, job->address,
                                             job->removed, static_cast<std::uint32_t>(g_settings.update_ttl));
  if (message.empty()) {
    log(1, "update %s: not a valid name in the zone", job->name.c_str());
    job->queued = false;
    return true;
  }
  job->request_mac.clear();
  if (g_settings.update_key_set) {
    TsigKey key_value{g_settings.update_key_name, g_settings.update_key_algorithm,
                      g_settings.update_key_secret};
    message = tsig_sign_request(message, key_value, unix_time_seconds(), &job->request_mac);
    if (message.empty()) {
      log(1, "update %s: signing failed", job->name.c_str());
      return false;
    }
  }
  Socket s = udp_open();
  if (s == kNoSocket) return false;
  if (!udp_connect(s, g_settings.update_server_ip, g_settings.update_server_port) ||
      udp_send_connected(s, message.data(), static_cast<int>(message.size())) !=
          static_cast<int>(message.size())) {
    // Counts as lost: the answer wait runs out and the change is retried.
    int error = last_socket_error();
    log(1, "update %s: send error: %d: %s", job->name.c_str(), error, system_error_text(error).c_str());
  }
  job->socket = s;
  job->message = message;
  job->sent_at = now;
  job->sent_address = job->address;
  job->sent_removed = job->removed;
  job->queued = false;
  g_in_flight.push_back(key);
  return true;
}

void pause_sending(std::uint32_t now) {
  // Failures of messages sent together count once.
  if (g_paused && static_cast<std::int32_t>(g_paused_until - now) > 0) return;
  g_paused = true;
  g_paused_until = now + g_backoff_ms;
  g_backoff_ms = g_backoff_ms * 2 > kMaxBackoffMs ? kMaxBackoffMs : g_backoff_ms * 2;
}

// Ends the job's message with `outcome`: on success the job is done unless
// a newer change waits; on failure the sent state goes back to the queue
// (unless a newer one is there already) and sending pauses.
void finish(const std::string& key, Job* job, bool success, const char* outcome, int kind,
            std::uint32_t now) {
  std::string address = shown_address(job->sent_removed, job->sent_address);
  close_message(job);
  for (auto it = g_in_flight.begin(); it != g_in_flight.end(); ++it) {
    if (*it == key) {
      g_in_flight.erase(it);
      break;
    }
  }
  if (success) {
    log(4, "update %s %s: %s", job->name.c_str(), address.c_str(), outcome);
    g_backoff_ms = kFirstBackoffMs;
    g_paused = false;
    for (bool& logged : g_logged_kind) logged = false;
  } else {
    if (kind < 0 || !g_logged_kind[kind % 32]) {
      log(1, "update %s %s: %s", job->name.c_str(), address.c_str(), outcome);
      if (kind >= 0) g_logged_kind[kind % 32] = true;
    }
    if (!job->queued) {
      job->queued = true;
      job->address = job->sent_address;
      job->removed = job->sent_removed;
    }
    pause_sending(now);
  }
  if (job->queued) {
    // Retried first: it has waited longest.
    if (success) {
      g_queue.push_back(key);
    } else {
      g_queue.push_front(key);
    }
  } else {
    g_jobs.erase(key);
  }
}

enum class Answer { kIgnored, kFinished, kTruncated };

// Takes one answer. Answers that are not ours (another ID, not signed with
// our key) are ignored: the wait goes on.
Answer handle_answer(const std::string& key, Job* job, const std::string& answer,
                     std::uint32_t now) {
  if (answer.size() < 12) return Answer::kIgnored;
  int id = (static_cast<unsigned char>(answer[0]) << 8) | static_cast<unsigned char>(answer[1]);
  bool response = (answer[2] & 0x80) != 0;
  bool truncated = (answer[2] & 0x02) != 0;
  int opcode = (static_cast<unsigned char>(answer[2]) >> 3) & 0x0F;
  if (id != job->id || !response || opcode != kOpcodeUpdate) return Answer::kIgnored;
  int rcode = answer[3] & 0x0F;
  if (g_settings.update_key_set) {
    TsigKey key_value{g_settings.update_key_name, g_settings.update_key_algorithm,
                      g_settings.update_key_secret};
    int tsig_error = 0;
    TsigCheck check = tsig_verify_response(answer, key_value, job->request_mac, &tsig_error);
    // A key or signature the server refused comes back unsigned; a time
    // it refused, signed. Either way the TSIG error says what went wrong.
    if ((check == TsigCheck::kKeyError || check == TsigCheck::kValid) && tsig_error != 0 &&
        rcode == kRcodeNotAuth) {
      finish(key, job, false, rcode_text(tsig_error), tsig_error, now);
      return Answer::kFinished;
    }
    // Anyone could have sent it: wait for the real answer. A truncated
    // answer may have lost its signature with the rest: TCP decides.
    if (check != TsigCheck::kValid && !(truncated && job->tcp_state == TcpState::kNone))
      return Answer::kIgnored;
  }
  if (truncated && job->tcp_state == TcpState::kNone) return Answer::kTruncated;
  if (rcode == 0) {
    finish(key, job, true, rcode_text(rcode), rcode, now);
  } else {
    // SERVFAIL is retried without a word beyond the flood-limited line.
    bool once = rcode == kRcodeNotAuth || rcode == 5;
    finish(key, job, false, rcode_text(rcode), once ? rcode : -1, now);
  }
  return Answer::kFinished;
}

// The answer did not fit a datagram: the same message again over TCP, on
// a connection of its own, within what is left of the 5 s.
void switch_to_tcp(const std::string& key, Job* job, std::uint32_t now) {
  socket_close(job->socket);
  job->socket = tcp_connect_start(g_settings.update_server_ip, g_settings.update_server_port);
  if (job->socket == kNoSocket) {
    finish(key, job, false, "TCP connection refused", -1, now);
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
      finish(key, job, false, "no server", -1, now);
      return;
    }
    Answer outcome =
        handle_answer(key, job, std::string(buffer, static_cast<std::size_t>(received)), now);
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
      finish(key, job, false, "TCP connection refused", -1, now);
      return;
    }
    job->tcp_state = TcpState::kSending;
  }
  if (job->tcp_state == TcpState::kSending) {
    int sent = tcp_send(job->socket, job->tcp_buffer.data(), static_cast<int>(job->tcp_buffer.size()));
    if (sent == kWouldBlock) return;
    if (sent < 0) {
      finish(key, job, false, "TCP connection lost", -1, now);
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
      finish(key, job, false, "TCP connection lost", -1, now);
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
      finish(key, job, false, "TCP connection lost", -1, now);
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
  return job.tcp_state == TcpState::kConnecting || job.tcp_state == TcpState::kSending
             ? kWaitWrite
             : kWaitRead;
}

}  // namespace

void publish_start() {
  if (g_settings.update_server_ip == kAddressNone) return;
  if (!encode_wire_name(g_settings.update_zone, &g_zone_wire)) {
    log(1, "%s", "update-server without update-zone: nothing is published");
    return;
  }
  g_publishing = true;
  g_id_state = static_cast<std::uint32_t>(unix_time_seconds()) ^ tick_count_ms();
  for (const NameEntry& entry : name_table()) publish_name(entry.name, entry.address);
}

void publish_name(const std::string& name, std::uint32_t address) {
  queue_change(name, address, false);
}

void publish_removal(const std::string& name) { queue_change(name, 0, true); }

void add_publish_sockets(std::uint32_t now, WaitSet* set) {
  if (!g_publishing) return;
  for (std::size_t i = 0; i < g_in_flight.size();) {
    std::string key = g_in_flight[i];
    Job& job = g_jobs[key];
    if (static_cast<std::uint32_t>(now - job.sent_at) >= kAnswerWaitMs) {
      finish(key, &job, false, "no answer", -1, now);
      continue;  // finish took it out of the list
    }
    ++i;
  }
  if (g_paused && static_cast<std::int32_t>(g_paused_until - now) > 0) {
    // Waiting out the back-off.
  } else {
    while (!g_queue.empty() && g_in_flight.size() < static_cast<std::size_t>(kMaxUpdatesInFlight)) {
      std::string key = g_queue.front();
      auto found = g_jobs.find(key);
      if (found == g_jobs.end() || !found->second.queued || found->second.socket != kNoSocket) {
        g_queue.pop_front();
        continue;
      }
      if (!send_message(key, &found->second, now)) break;  // no socket now: next time
      g_queue.pop_front();
      if (!found->second.queued && found->second.socket == kNoSocket) g_jobs.erase(found);
    }
  }
  for (const std::string& key : g_in_flight) {
    Job& job = g_jobs[key];
    job.slot = wait_set_add(set, job.socket, wanted_events(job));
  }
}

void serve_publish_sockets(const WaitSet& set) {
  if (!g_publishing) return;
  std::uint32_t now = tick_count_ms();
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
  g_jobs.clear();
  g_queue.clear();
  g_in_flight.clear();
  g_publishing = false;
}

std::size_t publish_backlog() { return g_jobs.size(); }
