// File helpers shared by the unit tests that read what the service wrote.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// The records of <folder>/log without their "YYYY-MM-DD hh:mm:ss.mmm "
// time stamps and their CR LF ends.
inline std::vector<std::string> log_messages(const std::string& folder) {
  std::vector<std::string> out;
  std::string text = read_file(folder + "/log");
  std::string::size_type start = 0, end;
  while ((end = text.find("\r\n", start)) != std::string::npos) {
    std::string record = text.substr(start, end - start);
    out.push_back(record.size() > 24 ? record.substr(24) : record);
    start = end + 2;
  }
  return out;
}
