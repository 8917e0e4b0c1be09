#include "control.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "config.h"
#include "registry.h"
#include "stats.h"

namespace {

// One client from its connection to its last byte. Every read or write that
// would wait returns to the loop and goes on from where it stopped when the
// client is ready again.
enum class Phase {
  kFree,
  kReading,          // the request line is coming in
  kAwaitingReload,   // the loop reloads at the end of this turn
  kAnswering,        // `out` goes out; a status dump is made as it goes
};

struct Session {
  Phase phase = Phase::kFree;
  std::string peer;
  char request[kControlRequestLimit];
  int request_length = 0;
  std::string out;
  std::size_t sent = 0;
  bool dumping = false;  // device records still to be made
  std::uint32_t cursor = 0;
  // The moment the dump's times are reckoned from: the wall clock and the
  // table clock at the same instant.
  std::int64_t wall_at_start = 0;
  std::uint32_t clock_at_start = 0;
  std::uint32_t last_progress_ms = 0;
};

Session g_sessions[kMaxControlClients];
bool g_open = false;
std::string g_reload_asker;

// A dump is made in pieces: at most this much waits unsent, and a piece
// holds at most this many records, so a turn of the loop spends little on
// it however large the table is.
constexpr std::size_t kDumpBufferBytes = 64 * 1024;
constexpr int kDumpRecordsPerTurn = 512;
// Clients taken in one turn.
constexpr int kAcceptsPerTurn = 8;
// When all numbers are taken, a new client takes the place of the one
// that has waited longest for its request, once that one has had this
// long: so clients that send nothing cannot lock the admin out, and
// cannot push out a client that has just come either (the admin's, whose
// request is on its way). Until then new clients wait in the backlog.
constexpr std::uint32_t kRequestGraceMs = 250;

void end_session(int client) {
  Session& s = g_sessions[client];
  control_end(client);
  s.phase = Phase::kFree;
  s.peer.clear();
  std::string().swap(s.out);
  s.sent = 0;
  s.dumping = false;
  s.request_length = 0;
}

void finish_answer(Session* s, const char* first_line, const std::string& text) {
  s->out = first_line;
  s->out += '\n';
  s->out += text;
  if (!text.empty() && text.back() != '\n') s->out += '\n';
  s->out += "end\n";
  s->sent = 0;
  s->phase = Phase::kAnswering;
}

void append_field(std::string* out, const char* key, std::uint64_t value_or_zero) {
  char line[96];
  if (value_or_zero == 0) {
    std::snprintf(line, sizeof line, "%s\t-\n", key);
  } else {
    std::snprintf(line, sizeof line, "%s\t%" PRIu64 "\n", key, value_or_zero);
  }
  *out += line;
}

void append_counter(std::string* out, const char* name, std::uint64_t value) {
  char line[96];
  std::snprintf(line, sizeof line, "counter\t%s\t%" PRIu64 "\n", name, value);
  *out += line;
}

void append_counters(std::string* out) {
  const Counters& c = g_counters;
  append_counter(out, "registrations_acknowledged", c.registrations_acknowledged);
  append_counter(out, "registrations_stored", c.registrations_stored);
  append_counter(out, "registrations_wrong_password", c.registrations_wrong_password);
  append_counter(out, "registrations_malformed", c.registrations_malformed);
  append_counter(out, "refused_bad_address", c.refused_bad_address);
  append_counter(out, "refused_name", c.refused_name);
  append_counter(out, "refused_taken", c.refused_taken);
  append_counter(out, "refused_table_full", c.refused_table_full);
  append_counter(out, "refused_out_of_memory", c.refused_out_of_memory);
  append_counter(out, "queries_answered", c.queries_answered);
  append_counter(out, "queries_relayed", c.queries_relayed);
  append_counter(out, "queries_refused", c.queries_refused);
  append_counter(out, "queries_servfail", c.queries_servfail);
  append_counter(out, "queries_other", c.queries_other);
  append_counter(out, "updates_published", c.updates_published);
  append_counter(out, "updates_failed", c.updates_failed);
  append_counter(out, "hosts_writes", c.hosts_writes);
  append_counter(out, "hosts_write_failures", c.hosts_write_failures);
}

// A table-clock time as seconds since 1970, reckoned from the dump's start.
void append_time(std::string* out, const Session& s, std::uint32_t when) {
  if (when == kUnknownTime) {
    *out += "\t-";
    return;
  }
  std::int64_t wall = s.wall_at_start + static_cast<std::int64_t>(when) - static_cast<std::int64_t>(s.clock_at_start);
  char field[32];
  std::snprintf(field, sizeof field, "\t%" PRId64, wall);
  *out += field;
}

void append_device(std::string* out, const Session& s, const NameEntry& entry) {
  *out += "device\t";
  *out += entry.name;  // a storable name: letters, digits, '-' and '_'
  *out += '\t';
  *out += format_ipv4(entry.address);
  *out += '\t';
  RegistrationHistory history = registration_history(entry);
  *out += history.last_registered == kUnknownTime ? "-" : format_ipv4(history.sender);
  append_time(out, s, history.first_registered);
  append_time(out, s, history.last_registered);
  char renewals[16];
  std::snprintf(renewals, sizeof renewals, "\t%u\n", static_cast<unsigned>(history.renewals));
  *out += renewals;
}

void start_status(Session* s, const ServiceView& view) {
  s->out = "ok\nsummary\t";
  s->out += service_summary(view);
  s->out += '\n';
  append_field(&s->out, "started", view.started);
  append_field(&s->out, "names", name_table().size());
  if (view.dns_port != 0) append_field(&s->out, "dns-port", static_cast<std::uint64_t>(view.dns_port));
  if (view.dns_port_off != 0) append_field(&s->out, "dns-off", static_cast<std::uint64_t>(view.dns_port_off));
  append_field(&s->out, "hosts-written", view.hosts_written);
  append_field(&s->out, "hosts-failing-since", view.hosts_failing_since);
  append_counters(&s->out);
  s->sent = 0;
  s->dumping = true;
  s->cursor = 0;
  s->wall_at_start = static_cast<std::int64_t>(unix_time_seconds());
  s->clock_at_start = table_clock();
  s->phase = Phase::kAnswering;
}

// Makes the next piece of a dump, after what is still unsent.
void continue_dump(Session* s) {
  if (!s->dumping || s->out.size() - s->sent >= kDumpBufferBytes / 2) return;
  s->out.erase(0, s->sent);
  s->sent = 0;
  for (int i = 0; i < kDumpRecordsPerTurn && s->out.size() < kDumpBufferBytes; ++i) {
    const NameEntry* entry = next_entry_in_storage(&s->cursor);
    if (entry == nullptr) {
      s->dumping = false;
      s->out += "end\n";
      return;
    }
    append_device(&s->out, *s, *entry);
  }
}

void serve_forget(Session* s, const std::string& name) {
  std::string shown = log_safe(name);
  const NameEntry* entry = find_by_name(name.data(), name.size());
  if (entry == nullptr) {
    finish_answer(s, "error", shown + ": no such name");
    return;
  }
  std::string stored = entry->name;
  forget_name(name);
  // Part of the table's history, like the registrations: never held back.
  log_always(4, "%s: forgotten, asked by %s", stored.c_str(), s->peer.c_str());
  finish_answer(s, "ok", stored + ": forgotten");
}

// Serves a whole request line. Returns true when it asks for a reload.
bool serve_request(Session* s, const ServiceView& view) {
  std::string line(s->request, static_cast<std::size_t>(s->request_length));
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line == "status") {
    start_status(s, view);
  } else if (line.compare(0, 7, "forget ") == 0 && line.size() > 7) {
    serve_forget(s, line.substr(7));
  } else if (line == "reload") {
    s->phase = Phase::kAwaitingReload;
    g_reload_asker = s->peer;
    return true;
  } else {
    finish_answer(s, "error", "unknown command '" + log_safe(line.substr(0, 64)) + "'");
  }
  return false;
}

// Reads what the client has sent. Returns true when its request asks for a
// reload.
bool read_request(int client, const ServiceView& view, std::uint32_t now_ms) {
  Session& s = g_sessions[client];
  int room = kControlRequestLimit - s.request_length;
  int n = control_receive(client, s.request + s.request_length, room);
  if (n == kWouldBlock) return false;
  if (n <= 0) {
    // Gone before its request was whole: nobody to answer.
    end_session(client);
    return false;
  }
  // The request's time runs from the connection, not from its last byte:
  // a client that trickles its line in is let go as one that sends nothing.
  const char* line_end = static_cast<const char*>(std::memchr(s.request + s.request_length, '\n', static_cast<std::size_t>(n)));
  s.request_length += n;
  if (line_end != nullptr) {
    s.request_length = static_cast<int>(line_end - s.request) + 1;
    s.last_progress_ms = now_ms;
    return serve_request(&s, view);
  }
  if (s.request_length >= kControlRequestLimit) {
    char reason[64];
    std::snprintf(reason, sizeof reason, "request longer than %d bytes", kControlRequestLimit);
    finish_answer(&s, "error", reason);
  }
  return false;
}

void write_answer(int client, std::uint32_t now_ms) {
  Session& s = g_sessions[client];
  for (;;) {
    continue_dump(&s);
    if (s.sent == s.out.size()) {
      if (!s.dumping) end_session(client);
      return;
    }
    std::size_t left = s.out.size() - s.sent;
    int length = left > 65536 ? 65536 : static_cast<int>(left);
    int n = control_send(client, s.out.data() + s.sent, length);
    if (n == kWouldBlock) return;
    if (n < 0) {
      end_session(client);
      return;
    }
    s.sent += static_cast<std::size_t>(n);
    s.last_progress_ms = now_ms;
    // A piece of a dump per turn: the next waits for the next turn.
    if (s.dumping && s.sent == s.out.size()) return;
  }
}

// A free number, or the client whose place a new one may take (see
// kRequestGraceMs); kNoControlClient when there is neither.
int room_for_client(std::uint32_t now_ms) {
  int found = kNoControlClient;
  std::uint32_t longest = 0;
  for (int i = 0; i < kMaxControlClients; ++i) {
    const Session& s = g_sessions[i];
    if (s.phase == Phase::kFree) return i;
    std::uint32_t waited = now_ms - s.last_progress_ms;
    if (s.phase == Phase::kReading && waited >= kRequestGraceMs && waited >= longest) {
      longest = waited;
      found = i;
    }
  }
  return found;
}

void accept_clients(const ServiceView& view, bool* reload, std::uint32_t now_ms) {
  for (int i = 0; i < kAcceptsPerTurn; ++i) {
    int room = room_for_client(now_ms);
    // Only the first client of a turn is known to be waiting: making room
    // for more could let a client go for nobody.
    if (room == kNoControlClient || (i > 0 && g_sessions[room].phase != Phase::kFree)) return;
    if (g_sessions[room].phase != Phase::kFree) end_session(room);
    std::string peer;
    int client = control_accept(&peer);
    if (client == kNoControlClient) {
      if (peer.empty()) return;  // nobody waits
      log(1, "control: %s", peer.c_str());
      continue;
    }
    Session& s = g_sessions[client];
    s.phase = Phase::kReading;
    s.peer = peer;
    s.request_length = 0;
    s.last_progress_ms = now_ms;
    // A client that sent its request with its connection is served now.
    if (read_request(client, view, now_ms)) *reload = true;
    if (s.phase == Phase::kAnswering) write_answer(client, now_ms);
  }
}

std::uint32_t deadline_of(const Session& s) {
  return s.last_progress_ms + (s.phase == Phase::kReading ? kControlRequestWaitMs : kControlStallMs);
}

std::string clock_text(std::uint64_t unix_seconds) {
  LocalTime t = local_time_at(unix_seconds);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
  return text;
}

}  // namespace

std::string service_summary(const ServiceView& view) {
  char part[96];
  std::size_t names = name_table().size();
  std::snprintf(part, sizeof part, "%zu %s", names, names == 1 ? "name" : "names");
  std::string text = part;
  if (view.dns_port != 0) {
    std::snprintf(part, sizeof part, "; DNS on port %d", view.dns_port);
    text += part;
  } else if (view.dns_port_off != 0) {
    std::snprintf(part, sizeof part, "; DNS off: port %d could not be opened", view.dns_port_off);
    text += part;
  }
  if (view.hosts_failing_since != 0) {
    text += "; hosts writes failing since " + clock_text(view.hosts_failing_since);
  } else if (view.hosts_written != 0) {
    text += "; hosts written " + clock_text(view.hosts_written);
  } else {
    text += "; hosts not written since start";
  }
  return text;
}

void start_control() {
  std::string why;
  switch (control_open(&why)) {
    case ControlOpen::kOpened:
      g_open = true;
      break;
    case ControlOpen::kInUse:
      log(2, "control: %s: another running instance answers there; this run has no control channel",
          control_location().c_str());
      break;
    case ControlOpen::kFailed:
      log(1, "control: %s: %s; this run has no control channel", control_location().c_str(), why.c_str());
      break;
  }
}

void stop_control() {
  if (!g_open) return;
  for (int i = 0; i < kMaxControlClients; ++i) {
    if (g_sessions[i].phase != Phase::kFree) end_session(i);
  }
  control_close();
  g_open = false;
}

void add_control_waits(std::uint32_t now_ms, WaitSet* set) {
  if (!g_open) return;
  // While no client can be taken, new ones wait in the backlog: watching
  // the listener then would only wake the loop for nothing.
  if (room_for_client(now_ms) != kNoControlClient) control_watch_listener(set);
  for (int i = 0; i < kMaxControlClients; ++i) {
    switch (g_sessions[i].phase) {
      case Phase::kReading:
        control_watch_client(set, i, kWaitRead);
        break;
      case Phase::kAnswering:
        control_watch_client(set, i, kWaitWrite);
        break;
      case Phase::kFree:
      case Phase::kAwaitingReload:
        break;
    }
  }
}

long control_timeout_us(std::uint32_t now_ms, long timeout_us) {
  if (!g_open) return timeout_us;
  bool full = room_for_client(now_ms) == kNoControlClient;
  for (const Session& s : g_sessions) {
    if (s.phase != Phase::kReading && s.phase != Phase::kAnswering) continue;
    std::uint32_t deadline = deadline_of(s);
    // When full, the first client whose place may be taken is due then.
    if (full && s.phase == Phase::kReading) deadline = s.last_progress_ms + kRequestGraceMs;
    std::int32_t left_ms = static_cast<std::int32_t>(deadline - now_ms);
    long left_us = left_ms <= 0 ? 0 : static_cast<long>(left_ms) * 1000;
    if (left_us < timeout_us) timeout_us = left_us;
  }
  return control_wait_timeout_us(timeout_us);
}

bool serve_control(const WaitSet& set, const ServiceView& view, std::uint32_t now_ms) {
  if (!g_open) return false;
  bool reload = false;
  for (int i = 0; i < kMaxControlClients; ++i) {
    Session& s = g_sessions[i];
    if ((s.phase == Phase::kReading || s.phase == Phase::kAnswering) &&
        static_cast<std::int32_t>(now_ms - deadline_of(s)) >= 0) {
      end_session(i);
      continue;
    }
    if (!control_client_ready(set, i)) continue;
    // Memory running out costs this client its answer, nothing more.
    try {
      if (s.phase == Phase::kReading && read_request(i, view, now_ms)) reload = true;
      if (s.phase == Phase::kAnswering) write_answer(i, now_ms);
    } catch (const std::bad_alloc&) {
      log(1, "%s", "control: answer dropped: out of memory");
      end_session(i);
    }
  }
  if (control_listener_ready(set)) {
    try {
      accept_clients(view, &reload, now_ms);
    } catch (const std::bad_alloc&) {
      log(1, "%s", "control: client dropped: out of memory");
    }
  }
  return reload;
}

void answer_reload(bool ok, const std::string& outcome, std::uint32_t now_ms) {
  for (int i = 0; i < kMaxControlClients; ++i) {
    Session& s = g_sessions[i];
    if (s.phase != Phase::kAwaitingReload) continue;
    finish_answer(&s, ok ? "ok" : "error", outcome);
    s.last_progress_ms = now_ms;
    write_answer(i, now_ms);
  }
  g_reload_asker.clear();
}

const std::string& reload_asker() { return g_reload_asker; }
