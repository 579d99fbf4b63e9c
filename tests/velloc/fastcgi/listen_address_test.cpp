#include "velloc/fastcgi/listen_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Family = ListenAddress::Family;

TEST(ListenAddress, TheThreeFormsAndWhatIsNotAnAddress) {
  struct Case {
    std::string text;
    bool valid;
    Family family;
    std::string path_or_host;
    int port;
  };
  // clang-format off
  const Case cases[] = {
      {"unix:/run/velloc.sock", true, Family::kUnix, "/run/velloc.sock", 0},
      {"127.0.0.1:9000", true, Family::kInet4, "127.0.0.1", 9000},
      {"0.0.0.0:1", true, Family::kInet4, "0.0.0.0", 1},
      {"[::1]:9000", true, Family::kInet6, "::1", 9000},
      {"[fe80::1]:65535", true, Family::kInet6, "fe80::1", 65535},
      {"unix:relative.sock", false, {}, "", 0}, {"unix:", false, {}, "", 0},
      {"unix:/" + std::string(200, 'x'), false, {}, "", 0},
      {std::string("unix:/a\0b", 9), false, {}, "", 0},
      {"127.0.0.1", false, {}, "", 0}, {"127.0.0.1:", false, {}, "", 0},
      {"127.0.0.1:0", false, {}, "", 0}, {"127.0.0.1:65536", false, {}, "", 0},
      {"127.0.0.1:+80", false, {}, "", 0}, {"127.0.0.1:80x", false, {}, "", 0},
      {"localhost:9000", false, {}, "", 0}, {"::1:9000", false, {}, "", 0},
      {"[127.0.0.1]:9000", false, {}, "", 0}, {"[::1]9000", false, {}, "", 0},
      {"", false, {}, "", 0}, {":9000", false, {}, "", 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    std::optional<ListenAddress> address = parse_listen_address(c.text);
    ASSERT_EQ(c.valid, address.has_value()) << c.text;
    if (!address) continue;
    EXPECT_EQ(c.family, address->family) << c.text;
    EXPECT_EQ(c.path_or_host, address->path_or_host) << c.text;
    EXPECT_EQ(c.port, address->port) << c.text;
    EXPECT_EQ(c.text, listen_address_text(*address));
  }
}

TEST(ListenAddress, AUnixSocketReplacesAStaleOneButNoOtherFile) {
  char folder_template[] = "/tmp/velloc-listen-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(folder_template));
  std::string folder = folder_template;
  ListenAddress address{Family::kUnix, folder + "/velloc.sock", 0};
  std::string error;
  int first = open_listening_socket(address, &error);
  ASSERT_GE(first, 0) << error;
  EXPECT_TRUE(is_listening_socket(first));
  close(first);  // the file stays behind, as after a crash
  int second = open_listening_socket(address, &error);
  ASSERT_GE(second, 0) << error;
  EXPECT_EQ("unix:" + address.path_or_host, listen_address_text(bound_address(second).value()));
  close(second);
  unlink(address.path_or_host.c_str());

  ListenAddress file{Family::kUnix, folder + "/notes.txt", 0};
  FILE* notes = std::fopen(file.path_or_host.c_str(), "w");
  ASSERT_NE(nullptr, notes);
  std::fclose(notes);
  EXPECT_EQ(-1, open_listening_socket(file, &error));
  EXPECT_EQ(0, access(file.path_or_host.c_str(), F_OK));
  unlink(file.path_or_host.c_str());
  rmdir(folder.c_str());
}

// The log names the socket a server serves by the address it is bound to.
TEST(ListenAddress, TheBoundAddressOfASocket) {
  sockaddr_un abstract{};
  abstract.sun_family = AF_UNIX;
  std::string name = "velloc-test-" + std::to_string(getpid());
  std::memcpy(abstract.sun_path + 1, name.data(), name.size());
  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  loopback.sin_port = htons(0);
  int unix_fd = socket(AF_UNIX, SOCK_STREAM, 0);
  int inet_fd = socket(AF_INET, SOCK_STREAM, 0);
  int unbound = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_EQ(0, bind(unix_fd, reinterpret_cast<sockaddr*>(&abstract),
                    static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())));
  ASSERT_EQ(0, bind(inet_fd, reinterpret_cast<sockaddr*>(&loopback), sizeof(loopback)));

  EXPECT_EQ("unix:@" + name, listen_address_text(bound_address(unix_fd).value()));
  EXPECT_TRUE(listen_address_text(bound_address(inet_fd).value()).starts_with("127.0.0.1:"));
  EXPECT_FALSE(bound_address(unbound).has_value());
  EXPECT_FALSE(bound_address(-1).has_value());
  for (int fd : {unix_fd, inet_fd, unbound}) close(fd);
}

TEST(ListenAddress, OnlyAListeningSocketCounts) {
  int pipe_ends[2];
  ASSERT_EQ(0, pipe(pipe_ends));
  int unbound = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_FALSE(is_listening_socket(pipe_ends[0]));
  EXPECT_FALSE(is_listening_socket(unbound));
  EXPECT_FALSE(is_listening_socket(-1));
  close(pipe_ends[0]);
  close(pipe_ends[1]);
  close(unbound);
}

}  // namespace
