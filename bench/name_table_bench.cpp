// Times update_name_table and find_by_name on tables of 10, 1,000 and
// 100,000 names, and the hosts-file block write at 10 to 100,000 names. The
// cost per operation should not grow with the table, and the write's cost
// per entry should stay flat (it must grow no faster than the table).
//
//   name_table_bench [FOLDER]   (FOLDER: where the hosts file is written;
//                                the temporary folder when omitted)
#include <chrono>
#include <ctime>
#include <iterator>
#include <list>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "config.h"
#include "hosts.h"
#include "platform.h"
#include "registry.h"

namespace {

constexpr int kOperations = 500000;

std::string address_of(int i) {
  return "10." + std::to_string((i >> 16) & 0xFF) + "." + std::to_string((i >> 8) & 0xFF) + "." +
         std::to_string(i & 0xFF);
}

double nanoseconds_per_op(std::chrono::steady_clock::time_point start, int operations) {
  auto elapsed = std::chrono::steady_clock::now() - start;
  return std::chrono::duration<double, std::nano>(elapsed).count() / operations;
}

// The same table without indexes, for comparison: one pass over the list to
// drop the entries that share the name or the address, then an append; a
// lookup scans from the oldest entry.
std::list<NameEntry> g_scanned;

void scanned_update(const std::string& name, const std::string& address_text) {
  std::uint32_t address = parse_ipv4(address_text.c_str());
  for (auto it = g_scanned.begin(); it != g_scanned.end();) {
    it = (it->name == name || it->address == address) ? g_scanned.erase(it) : std::next(it);
  }
  g_scanned.push_back(NameEntry{name, address});
}

const NameEntry* scanned_find(const std::string& name) {
  for (const NameEntry& entry : g_scanned) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

}  // namespace

// Writes the block of a table of `size` entries `writes` times; prints the
// wall and CPU time per write and per entry. The wall time includes the
// fsync of the copy and of its folder, so it depends on the disk.
bool time_hosts_writes(const std::string& folder, int size, int writes) {
  clear_name_table();
  for (int i = 0; i < size; ++i) update_name_table("device-" + std::to_string(i), address_of(i));
  std::string path = folder + "/name_table_bench.hosts";
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    std::fputs("127.0.0.1\tlocalhost\n", f);
    std::fclose(f);
  }
  auto start = std::chrono::steady_clock::now();
  std::clock_t cpu_start = std::clock();
  for (int i = 0; i < writes; ++i) {
    g_hosts_dirty = true;
    if (!rewrite_hosts_block(path)) return false;
  }
  double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC / writes;
  double wall_ms = nanoseconds_per_op(start, writes) / 1e6;
  long long bytes = file_size(path);
  std::remove(path.c_str());
  std::printf("%10d %12lld %12.3f %12.3f %14.1f\n", size, bytes, wall_ms, cpu_ms,
              cpu_ms * 1e6 / size);
  return true;
}

int main(int argc, char** argv) {
  g_settings.max_names = kMaxNamesLimit;  // the large table is the point
  // "random" picks any entry, so a large table also pays for cache misses;
  // "hot" cycles through ten entries of the same table, which shows what the
  // table's size itself costs.
  std::printf("%10s %14s %14s %14s %14s\n", "entries", "update random", "find random", "update hot",
              "find hot");
  for (int size : {10, 1000, 100000}) {
    std::vector<std::string> names;
    std::vector<std::string> addresses;
    for (int i = 0; i < size; ++i) {
      names.push_back("device-" + std::to_string(i));
      addresses.push_back(address_of(i));
    }
    clear_name_table();
    for (int i = 0; i < size; ++i) update_name_table(names[i], addresses[i]);

    std::mt19937 random(1);
    std::vector<int> picks(kOperations);
    for (int& p : picks) p = static_cast<int>(random() % size);

    // Renewals: every one removes an entry (by name and by address) and
    // appends it again, so the table keeps its size.
    auto start = std::chrono::steady_clock::now();
    for (int p : picks) update_name_table(names[p], addresses[p]);
    double update_ns = nanoseconds_per_op(start, kOperations);

    std::size_t found = 0;
    start = std::chrono::steady_clock::now();
    for (int p : picks) found += find_by_name(names[p].data(), names[p].size()) != nullptr;
    double find_ns = nanoseconds_per_op(start, kOperations);

    std::vector<int> hot(kOperations);
    for (int i = 0; i < kOperations; ++i) hot[i] = (i % 10) * (size / 10);
    start = std::chrono::steady_clock::now();
    for (int p : hot) update_name_table(names[p], addresses[p]);
    double update_hot_ns = nanoseconds_per_op(start, kOperations);
    start = std::chrono::steady_clock::now();
    for (int p : hot) found += find_by_name(names[p].data(), names[p].size()) != nullptr;
    double find_hot_ns = nanoseconds_per_op(start, kOperations);

    if (found != picks.size() + hot.size() || name_table().size() != static_cast<std::size_t>(size)) {
      std::fprintf(stderr, "table lost entries at %d\n", size);
      return 1;
    }
    std::printf("%10d %14.1f %14.1f %14.1f %14.1f\n", size, update_ns, find_ns, update_hot_ns,
                find_hot_ns);
  }

  std::printf("\nscanning list, same semantics, random picks (fewer operations)\n");
  std::printf("%10s %14s %14s\n", "entries", "update random", "find random");
  for (int size : {10, 1000, 100000}) {
    const int operations = size >= 100000 ? 2000 : 100000;
    g_scanned.clear();
    std::vector<std::string> names;
    std::vector<std::string> addresses;
    for (int i = 0; i < size; ++i) {
      names.push_back("device-" + std::to_string(i));
      addresses.push_back(address_of(i));
      g_scanned.push_back(NameEntry{names.back(), parse_ipv4(addresses.back().c_str())});
    }
    std::mt19937 random(1);
    std::vector<int> picks(operations);
    for (int& p : picks) p = static_cast<int>(random() % size);
    auto start = std::chrono::steady_clock::now();
    for (int p : picks) scanned_update(names[p], addresses[p]);
    double update_ns = nanoseconds_per_op(start, operations);
    std::size_t found = 0;
    start = std::chrono::steady_clock::now();
    for (int p : picks) found += scanned_find(names[p]) != nullptr;
    double find_ns = nanoseconds_per_op(start, operations);
    if (found != picks.size()) return 1;
    std::printf("%10d %14.1f %14.1f\n", size, update_ns, find_ns);
  }

  std::string folder = argc > 1 ? argv[1] : temp_folder();
  while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
  std::printf("\nhosts-file block write (the copy written, synced and renamed over the file)\n");
  std::printf("%10s %12s %12s %12s %14s\n", "entries", "file bytes", "wall ms", "CPU ms",
              "CPU ns/entry");
  for (int size : {10, 1000, 10000, 100000}) {
    if (!time_hosts_writes(folder, size, size >= 100000 ? 20 : 100)) {
      std::fprintf(stderr, "hosts-file write failed in %s\n", folder.c_str());
      return 1;
    }
  }
  return 0;
}
