// The pieces of the platform layer that the loop's correctness rests on.
#include <gtest/gtest.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "platform.h"

namespace {

constexpr std::uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in network byte order

TEST(ReadSetTest, IgnoresDuplicatesAndStopsAtCapacity) {
  auto set = std::make_unique<ReadSet>();
  read_set_clear(set.get());
  read_set_add(set.get(), 7);
  read_set_add(set.get(), 7);
  EXPECT_EQ(set->count, 1);
  for (int i = 0; i < kReadSetCapacity + 10; ++i) read_set_add(set.get(), 100 + i);
  EXPECT_EQ(set->count, kReadSetCapacity);
  EXPECT_TRUE(read_set_has(*set, 100 + kReadSetCapacity - 2));
  EXPECT_FALSE(read_set_has(*set, 100 + kReadSetCapacity - 1));
}

TEST(UdpTest, WaitKeepsReadySocketsInOrderAndOversizeIsAnError) {
  ASSERT_TRUE(net_start());
  std::vector<Socket> sockets;
  std::vector<int> ports;
  for (int i = 0; i < 3; ++i) {
    Socket s = udp_open();
    ASSERT_NE(s, kNoSocket);
    // The platform layer has no way to ask for the bound port: take the
    // first free one of a range.
    int port = 0;
    for (int p = 41000 + i * 97; p < 42000 + i * 97; ++p) {
      if (udp_bind(s, kLoopback, p)) {
        port = p;
        break;
      }
    }
    ASSERT_NE(port, 0);
    sockets.push_back(s);
    ports.push_back(port);
  }
  Socket sender = udp_open();
  char big[300];
  std::memset(big, 'a', sizeof big);
  ASSERT_EQ(udp_send_to(sender, big, 300, kLoopback, ports[2]), 300);
  ASSERT_EQ(udp_send_to(sender, "hi", 2, kLoopback, ports[0]), 2);

  auto set = std::make_unique<ReadSet>();
  read_set_clear(set.get());
  for (Socket s : sockets) read_set_add(set.get(), s);
  int ready = 0;
  for (int tries = 0; tries < 20 && ready < 2; ++tries) {
    read_set_clear(set.get());
    for (Socket s : sockets) read_set_add(set.get(), s);
    ready = wait_readable(set.get(), 100000);
  }
  ASSERT_EQ(ready, 2);
  EXPECT_EQ(set->handles[0], sockets[0]);
  EXPECT_EQ(set->handles[1], sockets[2]);

  char buffer[200];
  SocketAddress from;
  EXPECT_EQ(udp_receive(sockets[0], buffer, 199, &from), 2);
  EXPECT_EQ(socket_address_ip(from), kLoopback);
  // Longer than the receive size: a failed receive, and the datagram is gone.
  EXPECT_EQ(udp_receive(sockets[2], buffer, 199, nullptr), -1);
  EXPECT_EQ(last_socket_error(), kMessageTooLong);
  read_set_clear(set.get());
  read_set_add(set.get(), sockets[2]);
  EXPECT_EQ(wait_readable(set.get(), 50000), 0);

  for (Socket s : sockets) socket_close(s);
  socket_close(sender);
}

// A UDP socket bound on `address` to the first free port from `first` on.
Socket bind_free_udp(std::uint32_t address, int first, int* port) {
  Socket s = udp_open();
  for (int p = first; s != kNoSocket && p < first + 1000; ++p) {
    if (udp_bind(s, address, p)) {
      *port = p;
      return s;
    }
  }
  if (s != kNoSocket) socket_close(s);
  return kNoSocket;
}

// A TCP listener on the first free port from `first` on.
Socket listen_free_tcp(int first, int* port) {
  for (int p = first; p < first + 1000; ++p) {
    Socket s = tcp_listen(p);
    if (s != kNoSocket) {
      *port = p;
      return s;
    }
  }
  return kNoSocket;
}

// Waits for one socket; returns what it became ready for (0 on time-out).
unsigned char wait_one(Socket s, unsigned char wanted, long timeout_us) {
  auto set = std::make_unique<WaitSet>();
  wait_set_clear(set.get());
  int slot = wait_set_add(set.get(), s, wanted);
  if (wait_sockets(set.get(), timeout_us) <= 0) return 0;
  return wait_set_ready(*set, slot);
}

TEST(WaitSetTest, SlotsReportWhatEachSocketIsReadyFor) {
  ASSERT_TRUE(net_start());
  int port_a = 0;
  int port_b = 0;
  Socket a = bind_free_udp(kLoopback, 43100, &port_a);
  Socket b = bind_free_udp(kLoopback, port_a + 1, &port_b);
  ASSERT_NE(a, kNoSocket);
  ASSERT_NE(b, kNoSocket);
  auto set = std::make_unique<WaitSet>();
  wait_set_clear(set.get());
  int read_a = wait_set_add(set.get(), a, kWaitRead);
  int read_b = wait_set_add(set.get(), b, kWaitRead);
  int write_b = wait_set_add(set.get(), b, kWaitWrite);  // a UDP socket can always send
  EXPECT_EQ(wait_sockets(set.get(), 100000), 1);
  EXPECT_EQ(wait_set_ready(*set, read_a), 0);
  EXPECT_EQ(wait_set_ready(*set, read_b), 0);
  EXPECT_EQ(wait_set_ready(*set, write_b), kWaitWrite);
  EXPECT_EQ(wait_set_ready(*set, -1), 0) << "a socket the set had no room for";

  ASSERT_EQ(udp_send_to(b, "x", 1, kLoopback, port_a), 1);
  EXPECT_EQ(wait_one(a, kWaitRead | kWaitWrite, 1000000), kWaitRead | kWaitWrite);
  char buffer[8];
  EXPECT_EQ(udp_receive(a, buffer, sizeof buffer, nullptr), 1);
  // Non-blocking: nothing queued is a failed receive, never a wait.
  EXPECT_EQ(udp_receive(a, buffer, sizeof buffer, nullptr), -1);
  EXPECT_EQ(udp_receive_to(a, buffer, sizeof buffer, nullptr, nullptr), kWouldBlock);

  wait_set_clear(set.get());
  for (int i = 0; i < kWaitSetCapacity; ++i) wait_set_add(set.get(), a, kWaitRead);
  EXPECT_EQ(wait_set_add(set.get(), b, kWaitRead), -1) << "full";
  socket_close(a);
  socket_close(b);
}

// The wait may keep what it watched from one call to the next (a large set
// does); what it reports must still follow each call's set. Run with small
// sets and with sets padded by an idle socket to hundreds of slots.
TEST(WaitSetTest, EachWaitWatchesExactlyItsOwnSet) {
  ASSERT_TRUE(net_start());
  int port_idle = 0;
  Socket idle = bind_free_udp(kLoopback, 43140, &port_idle);
  ASSERT_NE(idle, kNoSocket);
  for (int padding : {0, 600}) {
    SCOPED_TRACE(padding);
    auto wait_for = [&](Socket s, long timeout_us) -> unsigned char {
      auto set = std::make_unique<WaitSet>();
      wait_set_clear(set.get());
      for (int i = 0; i < padding / 2; ++i) wait_set_add(set.get(), idle, kWaitRead);
      int slot = wait_set_add(set.get(), s, kWaitRead);
      for (int i = 0; i < padding / 2; ++i) wait_set_add(set.get(), idle, kWaitRead);
      int n = wait_sockets(set.get(), timeout_us);
      if (n <= 0) return 0;
      EXPECT_EQ(n, 1);
      return wait_set_ready(*set, slot);
    };
    int port_a = 0;
    int port_b = 0;
    Socket a = bind_free_udp(kLoopback, 43150, &port_a);
    Socket b = bind_free_udp(kLoopback, port_a + 1, &port_b);
    ASSERT_NE(a, kNoSocket);
    ASSERT_NE(b, kNoSocket);

    // a has a datagram waiting; a wait that no longer holds a neither
    // reports it nor ends early for it.
    ASSERT_EQ(udp_send_to(b, "x", 1, kLoopback, port_a), 1);
    EXPECT_EQ(wait_for(a, 1000000), kWaitRead);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_for(b, 50000), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(40))
        << "ended early for a socket it no longer watches";
    EXPECT_EQ(wait_for(a, 1000000), kWaitRead) << "watched again";

    // A socket closed while watched, and a new one that may get its number:
    // the new one is watched from its first wait.
    socket_close(a);
    int port_c = 0;
    Socket c = bind_free_udp(kLoopback, port_b + 1, &port_c);
    ASSERT_NE(c, kNoSocket);
    EXPECT_EQ(wait_for(c, 50000), 0);
    ASSERT_EQ(udp_send_to(b, "y", 1, kLoopback, port_c), 1);
    EXPECT_EQ(wait_for(c, 1000000), kWaitRead);
    socket_close(b);
    socket_close(c);
  }
  // Back to a small set after a large one: still exact.
  int port_d = 0;
  Socket d = bind_free_udp(kLoopback, 43160, &port_d);
  ASSERT_NE(d, kNoSocket);
  EXPECT_EQ(wait_one(d, kWaitRead, 50000), 0);
  ASSERT_EQ(udp_send_to(idle, "z", 1, kLoopback, port_d), 1);
  EXPECT_EQ(wait_one(d, kWaitRead, 1000000), kWaitRead);
  socket_close(d);
  socket_close(idle);
}

TEST(UdpTest, AnswerLeavesFromTheAddressTheDatagramWasSentTo) {
  ASSERT_TRUE(net_start());
  int port = 0;
  Socket server = bind_free_udp(0, 43300, &port);  // all addresses, as the DNS socket
  ASSERT_NE(server, kNoSocket);
  ASSERT_TRUE(udp_report_destination(server));
  int client_port = 0;
  Socket client = bind_free_udp(kLoopback, port + 1, &client_port);
  ASSERT_NE(client, kNoSocket);

  const std::uint32_t second = parse_ipv4("127.0.0.2");
  for (std::uint32_t asked : {kLoopback, second}) {
    SCOPED_TRACE(format_ipv4(asked));
    ASSERT_EQ(udp_send_to(client, "q", 1, asked, port), 1);
    ASSERT_NE(wait_one(server, kWaitRead, 1000000), 0);
    char buffer[8];
    SocketAddress from;
    std::uint32_t local = 0;
    ASSERT_EQ(udp_receive_to(server, buffer, sizeof buffer, &from, &local), 1);
    EXPECT_EQ(local, asked);
    ASSERT_EQ(udp_send_from(server, "a", 1, from, local), 1);
    ASSERT_NE(wait_one(client, kWaitRead, 1000000), 0);
    SocketAddress answered_from;
    ASSERT_EQ(udp_receive(client, buffer, sizeof buffer, &answered_from), 1);
    EXPECT_EQ(socket_address_ip(answered_from), asked);
  }
  // Without a known destination the answer goes out as from udp_send.
  ASSERT_EQ(udp_send_from(server, "a", 1, make_socket_address(kLoopback, client_port), 0), 1);
  EXPECT_NE(wait_one(client, kWaitRead, 1000000), 0);
  socket_close(server);
  socket_close(client);
}

TEST(TcpTest, ConnectSendAndReceiveWithoutEverWaiting) {
  ASSERT_TRUE(net_start());
  int port = 0;
  Socket listener = listen_free_tcp(43500, &port);
  ASSERT_NE(listener, kNoSocket);
  EXPECT_EQ(tcp_accept(listener, nullptr), kNoSocket) << "nobody waiting: no wait either";

  Socket client = tcp_connect_start(kLoopback, port);
  ASSERT_NE(client, kNoSocket);
  ASSERT_EQ(wait_one(client, kWaitWrite, 1000000), kWaitWrite);
  EXPECT_EQ(tcp_connect_error(client), 0);
  ASSERT_EQ(wait_one(listener, kWaitRead, 1000000), kWaitRead);
  Socket server = tcp_accept(listener, nullptr);
  ASSERT_NE(server, kNoSocket);

  char buffer[65536];
  EXPECT_EQ(tcp_receive(server, buffer, sizeof buffer), kWouldBlock);
  // Fill the connection until a send takes less than offered or nothing.
  std::memset(buffer, 'x', sizeof buffer);
  long total = 0;
  int n = 0;
  while ((n = tcp_send(client, buffer, sizeof buffer)) > 0) total += n;
  EXPECT_EQ(n, kWouldBlock);
  EXPECT_EQ(wait_one(client, kWaitWrite, 100000), 0) << "a full buffer is not writable";
  // Once the peer has read, the rest can go.
  long read = 0;
  while (read < total && wait_one(server, kWaitRead, 1000000) == kWaitRead) {
    int got = tcp_receive(server, buffer, sizeof buffer);
    ASSERT_GT(got, 0);
    read += got;
  }
  EXPECT_EQ(read, total);
  EXPECT_EQ(wait_one(client, kWaitWrite, 1000000), kWaitWrite);

  socket_close(client);
  ASSERT_EQ(wait_one(server, kWaitRead, 1000000), kWaitRead);
  EXPECT_EQ(tcp_receive(server, buffer, sizeof buffer), 0) << "closed by the peer";
  socket_close(server);
  socket_close(listener);
}

TEST(TcpTest, RefusedConnectIsReportedByTheWait) {
  ASSERT_TRUE(net_start());
  int port = 0;
  Socket listener = listen_free_tcp(43700, &port);
  ASSERT_NE(listener, kNoSocket);
  socket_close(listener);  // now nothing listens on `port`
  Socket s = tcp_connect_start(kLoopback, port);
  if (s == kNoSocket) {
    EXPECT_EQ(last_socket_error(), ECONNREFUSED);  // refused before any wait
    return;
  }
  // Reported as ready (the error), not left to a time-out.
  EXPECT_EQ(wait_one(s, kWaitWrite, 1000000), kWaitWrite);
  EXPECT_EQ(tcp_connect_error(s), ECONNREFUSED);
  socket_close(s);
}

TEST(CreateNewFileTest, TakesTheModelsPermissionsAndNeverReusesAName) {
  char pattern[] = "/tmp/tarvik-create-XXXXXX";
  std::string folder = mkdtemp(pattern);
  std::string model = folder + "/hosts", path = folder + "/new", victim = folder + "/victim";
  std::FILE* f = std::fopen(model.c_str(), "w");
  std::fputs("old\n", f);
  std::fclose(f);
  ASSERT_EQ(chmod(model.c_str(), 0604), 0);

  // Created under a umask of 077, the file still gets the model's mode, so
  // that it stays readable to the programs that resolve names through it.
  mode_t old_mask = umask(077);
  int error = 0;
  FileHandle file = create_new_file(path, model, &error);
  ASSERT_NE(file, kNoFile);
  EXPECT_TRUE(write_at(file, 0, "new\n", &error));
  EXPECT_TRUE(flush_file(file, &error));
  EXPECT_TRUE(close_file(file, &error));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  // Without a model: readable by all.
  FileHandle plain = create_new_file(folder + "/plain", folder + "/none", &error);
  ASSERT_NE(plain, kNoFile);
  EXPECT_TRUE(close_file(plain, &error));
  ASSERT_EQ(stat((folder + "/plain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  umask(old_mask);

  // Nothing that is already there is opened: neither a file nor a link.
  EXPECT_EQ(create_new_file(path, model, &error), kNoFile);
  EXPECT_EQ(error, EEXIST);
  f = std::fopen(victim.c_str(), "w");
  std::fclose(f);
  ASSERT_EQ(symlink(victim.c_str(), (folder + "/link").c_str()), 0);
  error = 0;
  EXPECT_EQ(create_new_file(folder + "/link", model, &error), kNoFile);
  EXPECT_EQ(error, EEXIST);
  EXPECT_EQ(file_size(victim), 0);

  EXPECT_EQ(replace_file(path, model, &error), ReplaceResult::kReplaced);
  EXPECT_EQ(file_size(model), 4);
  EXPECT_EQ(file_size(path), -1);
  for (const char* name : {"/hosts", "/plain", "/link", "/victim"}) std::remove((folder + name).c_str());
  rmdir(folder.c_str());
}

// A link is followed to where the file lies, also when that file does not
// exist yet (its path is then where it is to be created).
TEST(ResolveLinksTest, FollowsLinksByTheirTextToTheFileOrWhereItIsMissing) {
  char pattern[] = "/tmp/tarvik-links-XXXXXX";
  std::string folder = mkdtemp(pattern);
  ASSERT_EQ(mkdir((folder + "/real").c_str(), 0700), 0);
  std::FILE* f = std::fopen((folder + "/real/hosts").c_str(), "w");
  std::fclose(f);
  std::string base = folder.substr(folder.rfind('/') + 1);
  const std::pair<const char*, std::string> links[] = {
      {"to-file", "real/hosts"},
      {"chain", "to-file"},  // relative, two links deep
      {"absolute", folder + "/real/hosts"},
      {"dangling", "real/not-yet"},
      {"dangling-chain", "dangling"},
      {"up-and-over", "../" + base + "/real/not-yet"},
      {"no-folder", "missing/hosts"},
      {"loop-a", "loop-b"},
      {"loop-b", "loop-a"},
  };
  for (const auto& link : links)
    ASSERT_EQ(symlink(link.second.c_str(), (folder + "/" + link.first).c_str()), 0) << link.first;
  const struct {
    const char* path;  // below the folder
    bool resolved;
    std::string expected;  // below the folder
  } cases[] = {
      {"real/hosts", true, "/real/hosts"},
      {"to-file", true, "/real/hosts"},
      {"chain", true, "/real/hosts"},
      {"absolute", true, "/real/hosts"},
      {"dangling", true, "/real/not-yet"},
      {"dangling-chain", true, "/real/not-yet"},
      {"up-and-over", true, "/../" + base + "/real/not-yet"},
      {"no-folder", true, "/missing/hosts"},
      {"no-link-no-file", true, "/no-link-no-file"},
      {"loop-a", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    std::string resolved;
    int error = 0;
    EXPECT_EQ(resolve_links(folder + "/" + c.path, &resolved, &error), c.resolved);
    if (c.resolved) {
      EXPECT_EQ(resolved, folder + c.expected);
    } else {
      EXPECT_EQ(error, ELOOP);
    }
  }
  std::string command = "rm -rf '" + folder + "'";
  EXPECT_EQ(std::system(command.c_str()), 0);
}

// The exchange takes the file out that was really at the target, whatever
// happened before, and never leaves the target missing; the move to a free
// name never replaces a file that has appeared there.
TEST(ExchangeFilesTest, SwapsInOneStepAndMovesOnlyToFreeNames) {
  char pattern[] = "/tmp/tarvik-exchange-XXXXXX";
  std::string folder = mkdtemp(pattern);
  auto put = [&](const char* name, const char* text) {
    std::FILE* f = std::fopen((folder + "/" + name).c_str(), "w");
    std::fputs(text, f);
    std::fclose(f);
  };
  auto content = [&](const char* name) {
    std::string text;
    if (std::FILE* f = std::fopen((folder + "/" + name).c_str(), "r")) {
      char buffer[64];
      text.assign(buffer, std::fread(buffer, 1, sizeof buffer, f));
      std::fclose(f);
    } else {
      text = "(none)";
    }
    return text;
  };
  const std::string a = folder + "/a", b = folder + "/b";
  put("a", "new");
  put("b", "old");
  int error = 0;
  EXPECT_EQ(exchange_files(a, b, &error), ReplaceResult::kReplaced);
  EXPECT_EQ(content("b"), "new");
  EXPECT_EQ(content("a"), "old");
  EXPECT_EQ(exchange_files(a, b, &error), ReplaceResult::kReplaced);
  EXPECT_EQ(content("b"), "old");
  EXPECT_EQ(exchange_files(a, folder + "/none", &error), ReplaceResult::kTargetChanged);
  EXPECT_EQ(content("a"), "new");

  EXPECT_EQ(move_to_free_name(a, b, &error), ReplaceResult::kTargetChanged);
  EXPECT_EQ(error, EEXIST);
  EXPECT_EQ(content("b"), "old");
  EXPECT_EQ(move_to_free_name(a, folder + "/c", &error), ReplaceResult::kReplaced);
  EXPECT_EQ(content("c"), "new");
  EXPECT_EQ(content("a"), "(none)");
  std::string command = "rm -rf '" + folder + "'";
  EXPECT_EQ(std::system(command.c_str()), 0);
}

// The Windows configuration check over ACE lists a real system gives: the
// protected folder's files, the defaults of a file made under ProgramData or
// in a user's folder, and the grants an admin might add by mistake.
TEST(AccessListTest, OnlyAdministratorsAndTheServiceUserMayChangeTheFile) {
  const Trustee kAdmin = Trustee::kAdministrators, kSelf = Trustee::kServiceUser, kOther = Trustee::kOther;
  const std::uint32_t kFull = 0x1F01FF, kReadExecute = 0x1200A9, kModify = 0x1301BF;
  const std::uint32_t kGenericWrite = 0x40000000, kGenericRead = 0x80000000;
  const char* kWritable = "writable by users who are not administrators";
  struct Case {
    const char* what;
    Trustee owner;
    bool has_dacl;
    std::vector<AccessEntry> dacl;
    const char* refusal;  // null: accepted
  } cases[] = {
      {"SYSTEM, Administrators full, Users read", kAdmin, true,
       {{kAdmin, true, false, kFull}, {kAdmin, true, false, kFull}, {kOther, true, false, kReadExecute}}, nullptr},
      {"the service's own account", kSelf, true, {{kSelf, true, false, kFull}}, nullptr},
      {"generic read for all", kAdmin, true, {{kOther, true, false, kGenericRead}}, nullptr},
      {"owned by a user", kOther, true, {{kAdmin, true, false, kFull}}, "owned by another user"},
      {"no DACL", kAdmin, false, {}, "without an access list, so writable by everyone"},
      {"Users modify", kAdmin, true, {{kAdmin, true, false, kFull}, {kOther, true, false, kModify}}, kWritable},
      {"Everyone generic write", kAdmin, true, {{kOther, true, false, kGenericWrite}}, kWritable},
      {"append only", kAdmin, true, {{kOther, true, false, 0x4}}, kWritable},
      {"delete only", kAdmin, true, {{kOther, true, false, 0x10000}}, kWritable},
      {"change the DACL", kAdmin, true, {{kOther, true, false, 0x40000}}, kWritable},
      {"take ownership", kAdmin, true, {{kOther, true, false, 0x80000}}, kWritable},
      // Reaches only the children of a folder, not the file itself.
      {"inherit-only grant", kAdmin, true, {{kOther, true, true, kFull}}, nullptr},
      // A deny takes nothing away from a later grant.
      {"deny then grant", kAdmin, true, {{kOther, false, false, kFull}, {kOther, true, false, kModify}}, kWritable},
      {"deny only", kAdmin, true, {{kOther, false, false, kFull}}, nullptr},
  };
  for (const Case& c : cases) {
    const char* refusal = access_list_writers(c.owner, c.has_dacl, c.dacl);
    EXPECT_STREQ(refusal, c.refusal) << c.what;
  }
}

// The same lists, judged for who may read a main.conf with a secret in it:
// the data folder lets Users read, main.conf itself must not.
TEST(AccessListTest, OnlyAdministratorsAndTheServiceUserMayReadTheFile) {
  const Trustee kAdmin = Trustee::kAdministrators, kSelf = Trustee::kServiceUser, kOther = Trustee::kOther;
  const std::uint32_t kFull = 0x1F01FF, kReadExecute = 0x1200A9, kGenericRead = 0x80000000;
  const char* kReadable = "readable by users who are not administrators";
  struct Case {
    const char* what;
    Trustee owner;
    bool has_dacl;
    std::vector<AccessEntry> dacl;
    const char* refusal;  // null: accepted
  } cases[] = {
      {"SYSTEM and Administrators only (what install sets)", kAdmin, true,
       {{kAdmin, true, false, kFull}, {kAdmin, true, false, kFull}}, nullptr},
      {"the data folder's Users read, inherited", kAdmin, true,
       {{kAdmin, true, false, kFull}, {kAdmin, true, false, kFull}, {kOther, true, false, kReadExecute}}, kReadable},
      {"the service's own account", kSelf, true, {{kSelf, true, false, kFull}}, nullptr},
      {"Everyone generic read", kAdmin, true, {{kOther, true, false, kGenericRead}}, kReadable},
      {"read data only", kAdmin, true, {{kOther, true, false, 0x1}}, kReadable},
      {"may change the DACL, so read", kAdmin, true, {{kOther, true, false, 0x40000}}, kReadable},
      {"maximum allowed", kAdmin, true, {{kOther, true, false, 0x2000000}}, kReadable},
      // Attributes, the ACL itself and traversing are not the content.
      {"attributes, ACL and synchronize", kAdmin, true, {{kOther, true, false, 0x80 | 0x20000 | 0x100000}}, nullptr},
      {"inherit-only grant", kAdmin, true, {{kOther, true, true, kFull}}, nullptr},
      {"deny then grant", kAdmin, true, {{kOther, false, false, kFull}, {kOther, true, false, kReadExecute}}, kReadable},
      {"owned by a user", kOther, true, {{kAdmin, true, false, kFull}}, "owned by another user"},
      {"no DACL", kAdmin, false, {}, "without an access list, so readable by everyone"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(access_list_readers(c.owner, c.has_dacl, c.dacl), c.refusal) << c.what;
  }
}

TEST(AddressTest, ParseAndFormat) {
  EXPECT_EQ(parse_ipv4("127.0.0.1"), kLoopback);
  EXPECT_EQ(parse_ipv4("not an address"), kAddressNone);
  EXPECT_EQ(parse_ipv4("255.255.255.255"), kAddressNone);
  EXPECT_EQ(format_ipv4(kLoopback), "127.0.0.1");
  EXPECT_EQ(format_ipv4(kAddressNone), "255.255.255.255");
}

// The interface subnets as iproute2 shows them ("inet A/N" or
// "inet A peer P/N"), sorted; empty when `ip` cannot be run.
std::vector<std::pair<std::uint32_t, std::uint32_t>> subnets_shown_by_ip() {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> shown;
  FILE* pipe = popen("ip -o -4 addr show 2>/dev/null", "r");
  if (pipe == nullptr) return shown;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream words(line);
    std::string word, local, prefix;
    while (words >> word && word != "inet") {
    }
    if (!(words >> local)) continue;
    if (words >> word && word == "peer") {
      words >> prefix;
    } else {
      prefix = local;
    }
    std::size_t slash = prefix.find('/');
    if (slash == std::string::npos) continue;
    int length = std::stoi(prefix.substr(slash + 1));
    std::uint32_t mask_host = length == 0 ? 0 : 0xFFFFFFFFu << (32 - length);
    // Network byte order, as the platform layer gives it.
    std::uint32_t mask = parse_ipv4(format_ipv4(htonl(mask_host)).c_str());
    std::uint32_t address = parse_ipv4(local.substr(0, local.find('/')).c_str());
    shown.emplace_back(address & mask, mask);
  }
  pclose(pipe);
  std::sort(shown.begin(), shown.end());
  return shown;
}

TEST(InterfaceSubnetsTest, EveryAddressWithItsOwnMask) {
  // Compared with iproute2's view; the interfaces may change between the
  // two reads, so a mismatch is read again a few times.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> expected, got;
  for (int attempt = 0; attempt < 3; ++attempt) {
    expected = subnets_shown_by_ip();
    if (expected.empty()) GTEST_SKIP() << "ip (iproute2) lists no IPv4 address here";
    std::vector<Ipv4Prefix> subnets;
    int error = 0;
    ASSERT_TRUE(interface_subnets(&subnets, &error)) << error;
    got.clear();
    for (const Ipv4Prefix& p : subnets) got.emplace_back(p.network, p.mask);
    std::sort(got.begin(), got.end());
    if (got == expected) break;
  }
  EXPECT_EQ(got, expected);
  // Loopback is there with its /8.
  EXPECT_NE(std::find(got.begin(), got.end(),
                      std::make_pair(parse_ipv4("127.0.0.0"), parse_ipv4("255.0.0.0"))),
            got.end());
}

}  // namespace
