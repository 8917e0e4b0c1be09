// tarvik-register: announces one device name to the service and waits for
// its acknowledgement.
//
//   tarvik-register NAME ADDRESS [--server IP] [--port N] [--password TEXT]
//                   [--password-file FILE] [--timeout-ms N] [--tries N]
//
// Exit code 0 when acknowledged, 1 when no acknowledgement came, 2 on a usage
// error or for a name or address that the service would not store (nothing
// is sent then).

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"
#include "platform.h"
#include "registry.h"

namespace {

constexpr int kExitAcknowledged = 0;
constexpr int kExitNoAcknowledgement = 1;
constexpr int kExitUsage = 2;

// The service receives at most this many bytes; a longer request is lost.
constexpr std::size_t kMaxRequestLength = kRegistrationReceiveSize;
// "tarvik1 rq ", two separating spaces and the eight tag digits.
constexpr std::size_t kRequestFixedLength = 21;

struct Options {
  std::string name;
  std::string address;
  std::uint32_t server = 0x0100007Fu;  // 127.0.0.1, network byte order
  int port = 5000;
  std::string password;
  long timeout_ms = 1000;
  long tries = 3;
};

void print_usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: tarvik-register NAME ADDRESS [--server IP] [--port N]\n"
               "                       [--password TEXT | --password-file FILE]\n"
               "                       [--timeout-ms N] [--tries N]\n"
               "Defaults: --server 127.0.0.1 --port 5000 --timeout-ms 1000 --tries 3,\n"
               "empty password.\n");
}

bool parse_number(const char* text, long min, long max, long* value) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < min || v > max) return false;
  *value = v;
  return true;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The first line of the file, trimmed like the service trims its `pwd`
// setting, so that the file may end with a line feed.
bool read_password_file(const char* path, std::string* password) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  char line[1024];
  std::string text;
  if (std::fgets(line, sizeof line, f) != nullptr) text = line;
  std::fclose(f);
  std::size_t begin = 0;
  while (begin < text.size() && is_space(text[begin])) ++begin;
  std::size_t end = text.size();
  while (end > begin && is_space(text[end - 1])) --end;
  *password = text.substr(begin, end - begin);
  return true;
}

// Fills `options` from the command line; false (after a message) when the
// command line is not usable.
bool parse_command_line(int argc, char** argv, Options* options) {
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strncmp(arg, "--", 2) != 0) {
      if (positional == 0) options->name = arg;
      else if (positional == 1) options->address = arg;
      else {
        std::fprintf(stderr, "tarvik-register: unexpected argument '%s'\n", arg);
        return false;
      }
      ++positional;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "tarvik-register: %s needs a value\n", arg);
      return false;
    }
    const char* value = argv[++i];
    long number = 0;
    if (std::strcmp(arg, "--server") == 0) {
      options->server = parse_ipv4(value);
      if (options->server == kAddressNone) {
        std::fprintf(stderr, "tarvik-register: not an IPv4 address: %s\n", value);
        return false;
      }
    } else if (std::strcmp(arg, "--port") == 0) {
      if (!parse_number(value, 1, 65535, &number)) {
        std::fprintf(stderr, "tarvik-register: not a port: %s\n", value);
        return false;
      }
      options->port = static_cast<int>(number);
    } else if (std::strcmp(arg, "--password") == 0) {
      options->password = value;
    } else if (std::strcmp(arg, "--password-file") == 0) {
      if (!read_password_file(value, &options->password)) {
        std::fprintf(stderr, "tarvik-register: %s: %s\n", value, std::strerror(errno));
        return false;
      }
    } else if (std::strcmp(arg, "--timeout-ms") == 0) {
      if (!parse_number(value, 1, 600000, &options->timeout_ms)) {
        std::fprintf(stderr, "tarvik-register: not a time-out in ms: %s\n", value);
        return false;
      }
    } else if (std::strcmp(arg, "--tries") == 0) {
      if (!parse_number(value, 1, 1000, &options->tries)) {
        std::fprintf(stderr, "tarvik-register: not a number of tries: %s\n", value);
        return false;
      }
    } else {
      std::fprintf(stderr, "tarvik-register: unknown option %s\n", arg);
      return false;
    }
  }
  if (positional != 2) {
    std::fprintf(stderr, "tarvik-register: NAME and ADDRESS are required\n");
    return false;
  }
  // The request separates its fields with single spaces, so neither field can
  // hold one.
  if (options->name.find(' ') != std::string::npos ||
      options->address.find(' ') != std::string::npos) {
    std::fprintf(stderr, "tarvik-register: NAME and ADDRESS cannot contain spaces\n");
    return false;
  }
  return true;
}

// Waits up to timeout_ms for the acknowledgement `expected` on `s`; other
// datagrams (a late answer to another request, stray traffic) are skipped.
bool wait_for_acknowledgement(Socket s, const std::string& expected, long timeout_ms) {
  std::uint32_t start = tick_count_ms();
  for (;;) {
    long elapsed = static_cast<long>(tick_count_ms() - start);
    if (elapsed >= timeout_ms) return false;
    static ReadSet set;
    read_set_clear(&set);
    read_set_add(&set, s);
    if (wait_readable(&set, (timeout_ms - elapsed) * 1000) <= 0) return false;
    char reply[64];
    int n = udp_receive(s, reply, sizeof reply, nullptr);
    if (n == static_cast<int>(expected.size()) && std::memcmp(reply, expected.data(), expected.size()) == 0)
      return true;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    print_usage(stdout);
    return kExitAcknowledged;
  }
  Options options;
  if (!parse_command_line(argc, argv, &options)) {
    print_usage(stderr);
    return kExitUsage;
  }
  std::string request = format_registration_request(options.name, options.address, options.password);
  if (request.size() > kMaxRequestLength) {
    std::fprintf(stderr, "tarvik-register: NAME and ADDRESS together are too long (%zu bytes, at most %zu)\n",
                 options.name.size() + options.address.size(), kMaxRequestLength - kRequestFixedLength);
    print_usage(stderr);
    return kExitUsage;
  }
  // The service acknowledges such a request but never stores it, so an
  // exit code 0 would tell the user a lie.
  if (const char* reason = name_refusal_reason(options.name)) {
    std::fprintf(stderr, "tarvik-register: the service would not store the name '%s': %s\n",
                 log_safe(options.name).c_str(), reason);
    return kExitUsage;
  }
  if (parse_ipv4(options.address.c_str()) == kAddressNone) {
    std::fprintf(stderr, "tarvik-register: the service would not store the address '%s': not an IPv4 address\n",
                 log_safe(options.address).c_str());
    return kExitUsage;
  }
  std::string expected = format_acknowledgement(registration_tag(options.address, options.name, options.password));

  if (!net_start()) {
    std::fprintf(stderr, "tarvik-register: the socket layer did not start\n");
    return kExitNoAcknowledgement;
  }
  Socket s = udp_open();
  if (s == kNoSocket) {
    std::fprintf(stderr, "tarvik-register: no UDP socket: %d\n", last_socket_error());
    net_cleanup();
    return kExitNoAcknowledgement;
  }
  bool acknowledged = false;
  for (long attempt = 0; attempt < options.tries && !acknowledged; ++attempt) {
    udp_send_to(s, request.data(), static_cast<int>(request.size()), options.server, options.port);
    acknowledged = wait_for_acknowledgement(s, expected, options.timeout_ms);
  }
  socket_close(s);
  net_cleanup();

  if (!acknowledged) {
    std::fprintf(stderr, "tarvik-register: no acknowledgement from %s port %d\n",
                 format_ipv4(options.server).c_str(), options.port);
    return kExitNoAcknowledgement;
  }
  std::printf("%s\n", expected.c_str());
  return kExitAcknowledged;
}
