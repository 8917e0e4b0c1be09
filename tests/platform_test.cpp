// The pieces of the platform layer that the loop's correctness rests on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include <cstring>
#include <memory>
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

TEST(AddressTest, ParseAndFormat) {
  EXPECT_EQ(parse_ipv4("127.0.0.1"), kLoopback);
  EXPECT_EQ(parse_ipv4("not an address"), kAddressNone);
  EXPECT_EQ(parse_ipv4("255.255.255.255"), kAddressNone);
  EXPECT_EQ(format_ipv4(kLoopback), "127.0.0.1");
  EXPECT_EQ(format_ipv4(kAddressNone), "255.255.255.255");
}

}  // namespace
