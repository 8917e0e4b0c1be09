// Pieces shared by the fuzz targets: a scratch folder of their own, the
// reference CRC-32 and name rule, a checked-property macro, and the stdio
// line reading the service does, done over a byte string.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "registry.h"

namespace fuzz {

// The standard error stream as it was at start. The targets run with
// -close_fd_mask=2, which silences the service's console records; a failed
// property must still be heard.
inline const int report_fd = dup(2);

[[noreturn]] inline void property_failed(const char* file, int line, const char* condition) {
  char message[512];
  int n = std::snprintf(message, sizeof message, "%s:%d: property failed: %s\n", file, line, condition);
  if (n > 0 && write(report_fd, message, std::min<std::size_t>(n, sizeof message - 1)) < 0) {
    // Nothing else to say it with.
  }
  std::abort();
}

}  // namespace fuzz

// A property that failed: the message, then abort(), which libFuzzer reports
// as a crash and saves the input for.
#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) fuzz::property_failed(__FILE__, __LINE__, #condition); \
  } while (0)

namespace fuzz {

inline std::string& scratch_folder_path() {
  static std::string path;
  return path;
}

inline void remove_scratch_folder() {
  if (scratch_folder_path().empty()) return;
  std::string command = "rm -rf '" + scratch_folder_path() + "'";
  if (std::system(command.c_str()) != 0) {
    // Nothing to do about it at exit.
  }
}

// A fresh folder for the target's files, on a memory file system when there
// is one (the hosts-file rewrite forces its copy to disk every time), made
// the log folder. Removed at exit.
inline const std::string& make_scratch_folder(const char* name) {
  const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(base) + "/tarvik-fuzz-" + name + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  scratch_folder_path() = buffer.data();
  std::atexit(remove_scratch_folder);
  g_settings.log_path = scratch_folder_path();
  return scratch_folder_path();
}

inline std::string read_whole_file(const std::string& path, bool* exists = nullptr) {
  std::string content;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (exists != nullptr) *exists = f != nullptr;
  if (f == nullptr) return content;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, n);
  std::fclose(f);
  return content;
}

inline void write_whole_file(const std::string& path, const std::string& content) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (!content.empty() && std::fwrite(content.data(), 1, content.size(), f) != content.size())
    std::abort();
  std::fclose(f);
}

// The records of a log file without time stamps and line ends.
inline std::vector<std::string> log_records(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0, end;
  while ((end = text.find("\r\n", start)) != std::string::npos) {
    FUZZ_CHECK(end - start >= 24);  // the time stamp
    out.push_back(text.substr(start + 24, end - start - 24));
    start = end + 2;
  }
  FUZZ_CHECK(start == text.size());
  return out;
}

// One read of fgets into a buffer of 1024 bytes: at most 1023 bytes, ending
// after the first line feed. `raw` is what was read; `text` is what a C
// string of the buffer holds (up to the first zero byte).
struct Piece {
  std::string raw;
  std::string text;
};

inline std::vector<Piece> split_pieces(const std::string& content) {
  std::vector<Piece> pieces;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t end = pos;
    while (end < content.size() && end - pos < 1023) {
      if (content[end++] == '\n') break;
    }
    Piece piece;
    piece.raw = content.substr(pos, end - pos);
    piece.text = piece.raw.substr(0, piece.raw.find('\0'));
    pieces.push_back(piece);
    pos = end;
  }
  return pieces;
}

// The CRC-32 of IEEE 802.3 bit by bit, without a table.
inline std::uint32_t reference_crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

inline std::string lower_ascii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// The name rule, written out plainly: why a name may not be stored, or null.
inline const char* reference_refusal(const std::string& name) {
  static const std::string kAllowed =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_";
  for (unsigned char c : name) {
    if (c < 32 || c == 127) return "control character";
  }
  if (name.empty() || name.size() > 63) return "not a host name";
  if (name.find_first_not_of(kAllowed) != std::string::npos) return "not a host name";
  std::string lower = lower_ascii(name);
  if (lower == "localhost" || lower == "wpad" || lower == "isatap") return "reserved name";
  return nullptr;
}

// The machine's own name as a name to refuse: the host name's first label,
// in lower case.
inline std::string reference_machine_name() {
  std::string host = machine_host_name();
  return lower_ascii(host.substr(0, host.find('.')));
}

// The name table as name and address pairs, oldest first.
using Table = std::vector<std::pair<std::string, std::uint32_t>>;

inline Table table_content() {
  Table out;
  for (const NameEntry& e : name_table()) out.emplace_back(e.name, e.address);
  return out;
}

// Update by the plain definition: every entry with the same name (in any
// ASCII case) or the same address goes, the new one is appended.
inline void reference_update(Table* table, const std::string& name, std::uint32_t address) {
  Table kept;
  for (const auto& e : *table) {
    if (lower_ascii(e.first) != lower_ascii(name) && e.second != address) kept.push_back(e);
  }
  kept.emplace_back(name, address);
  table->swap(kept);
}

}  // namespace fuzz
