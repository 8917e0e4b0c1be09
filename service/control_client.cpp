#include "control_client.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform.h"

namespace {

constexpr char kEndLine[] = "end\n";

bool answer_complete(const std::string& answer) {
  // "end" is a line of its own only as the answer's last: every record of
  // a status has a tab, and other answers are one line of text.
  return answer.size() >= 4 && answer.compare(answer.size() - 4, 4, kEndLine) == 0 &&
         (answer.size() == 4 || answer[answer.size() - 5] == '\n');
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// A number field; -1 for "-" (not known) or anything that is not one.
long long number_field(const std::string& text) {
  if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
    return -1;
  return std::strtoll(text.c_str(), nullptr, 10);
}

struct Device {
  std::string name;
  std::string address;
  std::string sender;  // "-" when not known
  long long first = -1;
  long long last = -1;
  long long renewals = 0;
};

struct Status {
  std::string summary;
  long long started = -1;
  long long names = -1;
  long long dns_port = -1;
  long long dns_off = -1;
  long long hosts_written = -1;
  long long hosts_failing_since = -1;
  std::vector<std::pair<std::string, long long>> counters;
  std::vector<Device> devices;
};

std::string folded(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

bool parse_status(const std::string& answer, Status* status) {
  if (answer.compare(0, 3, "ok\n") != 0 || !answer_complete(answer)) return false;
  std::vector<std::string> lines = split(answer.substr(3, answer.size() - 3 - 4), '\n');
  // A name removed and stored again during the dump may come twice: the
  // later record is the newer.
  std::unordered_map<std::string, std::size_t> seen;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    std::vector<std::string> f = split(line, '\t');
    const std::string& kind = f[0];
    if (kind == "summary" && f.size() >= 2) {
      status->summary = line.substr(8);
    } else if (kind == "started" && f.size() == 2) {
      status->started = number_field(f[1]);
    } else if (kind == "names" && f.size() == 2) {
      status->names = number_field(f[1]);
    } else if (kind == "dns-port" && f.size() == 2) {
      status->dns_port = number_field(f[1]);
    } else if (kind == "dns-off" && f.size() == 2) {
      status->dns_off = number_field(f[1]);
    } else if (kind == "hosts-written" && f.size() == 2) {
      status->hosts_written = number_field(f[1]);
    } else if (kind == "hosts-failing-since" && f.size() == 2) {
      status->hosts_failing_since = number_field(f[1]);
    } else if (kind == "counter" && f.size() == 3) {
      status->counters.emplace_back(f[1], number_field(f[2]));
    } else if (kind == "device" && f.size() == 7) {
      Device d{f[1], f[2], f[3], number_field(f[4]), number_field(f[5]), number_field(f[6])};
      auto found = seen.find(folded(d.name));
      if (found != seen.end()) {
        status->devices[found->second] = d;
      } else {
        seen.emplace(folded(d.name), status->devices.size());
        status->devices.push_back(d);
      }
    }
    // Records of a later version that this one does not know are passed over.
  }
  std::sort(status->devices.begin(), status->devices.end(), [](const Device& a, const Device& b) {
    return folded(a.name) < folded(b.name);
  });
  return true;
}

std::string local_time_text(long long unix_seconds) {
  if (unix_seconds < 0) return "before start";
  LocalTime t = local_time_at(static_cast<std::uint64_t>(unix_seconds));
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

std::string padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string people_text(const Status& s) {
  std::string out = "Tarvik: " + s.summary + "\n";
  if (s.started >= 0) out += "Running since " + local_time_text(s.started) + "\n";
  out += "\n";

  const char* const headings[] = {"NAME", "ADDRESS", "SENDER", "FIRST REGISTERED", "LAST REGISTERED", "RENEWALS"};
  std::vector<std::vector<std::string>> rows;
  for (const Device& d : s.devices) {
    rows.push_back({d.name, d.address, d.sender, local_time_text(d.first), local_time_text(d.last),
                    std::to_string(d.renewals)});
  }
  std::size_t widths[6];
  for (int c = 0; c < 6; ++c) {
    widths[c] = std::strlen(headings[c]);
    for (const auto& row : rows) widths[c] = std::max(widths[c], row[static_cast<std::size_t>(c)].size());
  }
  for (int c = 0; c < 6; ++c) out += c == 5 ? std::string(headings[c]) + "\n" : padded(headings[c], widths[c] + 2);
  for (const auto& row : rows) {
    for (int c = 0; c < 5; ++c) out += padded(row[static_cast<std::size_t>(c)], widths[c] + 2);
    // Counts are right-aligned under their heading.
    out += std::string(widths[5] - row[5].size(), ' ') + row[5] + "\n";
  }
  if (rows.empty()) out += "(no devices)\n";

  out += "\nCounters since start:\n";
  std::size_t width = 0;
  for (const auto& counter : s.counters) width = std::max(width, counter.first.size());
  for (const auto& counter : s.counters) {
    out += "  " + padded(counter.first, width + 2) + std::to_string(counter.second) + "\n";
  }
  return out;
}

// Names, addresses and counter names are of a plain alphabet already; the
// summary is the service's own text. Escaped all the same, as JSON wants.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string json_number(long long value) { return value < 0 ? "null" : std::to_string(value); }

std::string json_text(const Status& s) {
  std::string out = "{\n";
  out += "  \"summary\": " + json_string(s.summary) + ",\n";
  out += "  \"started\": " + json_number(s.started) + ",\n";
  out += "  \"names\": " + json_number(s.names) + ",\n";
  out += "  \"dns_port\": " + json_number(s.dns_port) + ",\n";
  out += "  \"dns_off_port\": " + json_number(s.dns_off) + ",\n";
  out += "  \"hosts_written\": " + json_number(s.hosts_written) + ",\n";
  out += "  \"hosts_failing_since\": " + json_number(s.hosts_failing_since) + ",\n";
  out += "  \"devices\": [";
  for (std::size_t i = 0; i < s.devices.size(); ++i) {
    const Device& d = s.devices[i];
    out += i == 0 ? "\n" : ",\n";
    out += "    {\"name\": " + json_string(d.name) + ", \"address\": " + json_string(d.address) +
           ", \"sender\": " + (d.sender == "-" ? std::string("null") : json_string(d.sender)) +
           ", \"first_registration\": " + json_number(d.first) +
           ", \"last_registration\": " + json_number(d.last) + ", \"renewals\": " + json_number(d.renewals) + "}";
  }
  out += s.devices.empty() ? "],\n" : "\n  ],\n";
  out += "  \"counters\": {";
  for (std::size_t i = 0; i < s.counters.size(); ++i) {
    out += i == 0 ? "\n" : ",\n";
    out += "    " + json_string(s.counters[i].first) + ": " + json_number(s.counters[i].second);
  }
  out += s.counters.empty() ? "}\n" : "\n  }\n";
  return out + "}\n";
}

}  // namespace

bool is_control_command(const char* command) {
  return std::strcmp(command, "status") == 0 || std::strcmp(command, "forget") == 0 ||
         std::strcmp(command, "reload") == 0;
}

bool format_status(const std::string& answer, bool json, std::string* out) {
  Status status;
  if (!parse_status(answer, &status)) return false;
  *out = json ? json_text(status) : people_text(status);
  return true;
}

int run_control_command(int argc, char** argv) {
  std::string command = argv[0];
  std::string request;
  bool json = false;
  if (command == "status" && argc == 1) {
    request = "status";
  } else if (command == "status" && argc == 2 && std::strcmp(argv[1], "--json") == 0) {
    request = "status";
    json = true;
  } else if (command == "forget" && argc == 2 && argv[1][0] != '\0' &&
             std::strpbrk(argv[1], "\r\n") == nullptr) {
    request = "forget " + std::string(argv[1]);
  } else if (command == "reload" && argc == 1) {
    request = "reload";
  } else {
    return -1;
  }

  std::string answer, why;
  if (!control_request(request, answer_complete, &answer, &why)) {
    std::fprintf(stderr, "cannot reach the service: %s\n", why.c_str());
    return 1;
  }
  if (!answer_complete(answer)) {
    std::fprintf(stderr, "%s: the service's answer was cut short\n", command.c_str());
    return 1;
  }
  bool ok = answer.compare(0, 3, "ok\n") == 0;
  std::string first_line_end = ok ? "ok\n" : "error\n";
  if (!ok && answer.compare(0, 6, "error\n") != 0) {
    std::fprintf(stderr, "%s: the service's answer is not understood\n", command.c_str());
    return 1;
  }
  std::string text = answer.substr(first_line_end.size(), answer.size() - first_line_end.size() - 4);
  if (!ok) {
    std::fprintf(stderr, "%s", text.c_str());
    return 1;
  }
  if (command == "status") {
    std::string out;
    if (!format_status(answer, json, &out)) {
      std::fprintf(stderr, "%s: the service's answer is not understood\n", command.c_str());
      return 1;
    }
    text = out;
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return 0;
}
