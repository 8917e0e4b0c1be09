// Local-answer latency under address churn: queries at a fixed rate (open
// loop) for names of the table, and at the same time registrations that move
// names between two addresses, so that the table changes all the time and
// the hosts file is rewritten under the load. Used by hosts_churn_bench.py;
// prints one line of figures.
//
//   churn_load DNS_PORT REG_PORT NAMES QUERIES_PER_S CHANGES_PER_S SECONDS [PASSWORD]
//
// Names are "h%07d" for 0 <= i < NAMES at 10.x.y.z (i's three low bytes),
// as hosts_churn_bench.py writes them into the block; a change gives name i
// the address 10.(128 + x).y.z, or back. Latencies count from each query's
// send to its answer; the first second is left out (warm-up), and a query
// without an answer one second after the last send is lost.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "registry.h"

namespace {

std::uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void sleep_until_ns(std::uint64_t when) {
  timespec ts{static_cast<time_t>(when / 1000000000u), static_cast<long>(when % 1000000000u)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
  }
}

int connected_socket(int port) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<unsigned short>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  int buffer = 4 << 20;
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  return s;
}

// "h%07d.tarvik" A IN, with `id`.
std::string dns_query(std::uint16_t id, int index) {
  char label[16];
  std::snprintf(label, sizeof label, "h%07d", index);
  std::string q;
  q += static_cast<char>(id >> 8);
  q += static_cast<char>(id & 0xFF);
  q += std::string("\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
  q += static_cast<char>(8);
  q += label;
  q += static_cast<char>(6);
  q += "tarvik";
  q += std::string("\x00\x00\x01\x00\x01", 5);
  return q;
}

std::string address_text(int index, bool moved) {
  char text[32];
  std::snprintf(text, sizeof text, "10.%d.%d.%d", ((index >> 16) & 255) + (moved ? 128 : 0),
                (index >> 8) & 255, index & 255);
  return text;
}

double percentile(const std::vector<std::uint32_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  std::size_t k = static_cast<std::size_t>(p / 100.0 * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(k, sorted.size() - 1)] / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    std::fprintf(stderr, "usage: %s DNS_PORT REG_PORT NAMES QUERIES_PER_S CHANGES_PER_S SECONDS [PASSWORD]\n",
                 argv[0]);
    return 2;
  }
  int dns_port = std::atoi(argv[1]);
  int reg_port = std::atoi(argv[2]);
  int names = std::atoi(argv[3]);
  int rate = std::atoi(argv[4]);
  int changes = std::atoi(argv[5]);
  double seconds = std::atof(argv[6]);
  std::string password = argc > 7 ? argv[7] : "";

  int dns = connected_socket(dns_port);
  int reg = connected_socket(reg_port);

  // Send time (ns, 0: none outstanding) per query id; the ids cycle through
  // 65,536, which covers 6.5 s at 10,000 a second.
  static std::atomic<std::uint64_t> sent_at[65536];
  std::atomic<bool> sending{true};
  std::atomic<long> answered{0};
  std::atomic<long> acks{0};
  std::vector<std::uint32_t> latencies_us;  // the receiver's alone until joined
  latencies_us.reserve(static_cast<std::size_t>(rate * seconds) + 1024);
  const std::uint64_t start = now_ns();
  const std::uint64_t warm = start + 1000000000u;
  const std::uint64_t end = start + static_cast<std::uint64_t>(seconds * 1e9);

  std::thread receiver([&] {
    char buffer[1024];
    for (;;) {
      pollfd fds[2] = {{dns, POLLIN, 0}, {reg, POLLIN, 0}};
      int n = poll(fds, 2, 100);
      if (n == 0 && !sending && now_ns() > end + 1000000000u) break;
      if (fds[1].revents != 0) {
        while (recv(reg, buffer, sizeof buffer, MSG_DONTWAIT) > 0) ++acks;
      }
      if (fds[0].revents == 0) continue;
      for (;;) {
        ssize_t got = recv(dns, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 12) break;
        std::uint64_t t = now_ns();
        unsigned id = (static_cast<unsigned char>(buffer[0]) << 8) | static_cast<unsigned char>(buffer[1]);
        std::uint64_t when = sent_at[id].exchange(0);
        if (when == 0) continue;
        ++answered;
        if (when >= warm) latencies_us.push_back(static_cast<std::uint32_t>((t - when) / 1000));
      }
    }
  });

  std::mt19937 random(12345);
  std::vector<bool> moved(static_cast<std::size_t>(names), false);
  long queries = 0;
  long lost_reused = 0;  // ids reused while still unanswered
  long registrations = 0;
  const std::uint64_t tick = 1000000;  // 1 ms
  double query_debt = 0;
  double change_debt = 0;
  for (std::uint64_t next = start; next < end; next += tick) {
    sleep_until_ns(next);
    query_debt += rate / 1000.0;
    change_debt += changes / 1000.0;
    for (; query_debt >= 1; query_debt -= 1) {
      std::uint16_t id = static_cast<std::uint16_t>(queries & 0xFFFF);
      std::string q = dns_query(id, static_cast<int>(random() % static_cast<unsigned>(names)));
      if (sent_at[id].exchange(now_ns()) != 0) ++lost_reused;
      send(dns, q.data(), q.size(), 0);
      ++queries;
    }
    for (; change_debt >= 1; change_debt -= 1) {
      int i = static_cast<int>(random() % static_cast<unsigned>(names));
      moved[static_cast<std::size_t>(i)] = !moved[static_cast<std::size_t>(i)];
      char name[16];
      std::snprintf(name, sizeof name, "h%07d", i);
      std::string r = format_registration_request(name, address_text(i, moved[static_cast<std::size_t>(i)]),
                                                  password);
      send(reg, r.data(), r.size(), 0);
      ++registrations;
    }
  }
  sending = false;
  receiver.join();
  long unanswered = 0;
  for (auto& s : sent_at) unanswered += s.load() != 0;
  std::sort(latencies_us.begin(), latencies_us.end());
  std::printf("queries=%ld answered=%ld lost=%ld registrations=%ld acks=%ld measured=%zu "
              "p50=%.3f p99=%.3f p999=%.3f max=%.3f\n",
              queries, answered.load(), unanswered + lost_reused, registrations, acks.load(),
              latencies_us.size(), percentile(latencies_us, 50), percentile(latencies_us, 99),
              percentile(latencies_us, 99.9), latencies_us.empty() ? 0.0 : latencies_us.back() / 1000.0);
  return 0;
}
