#include "velloc/fastcgi/listen_address.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
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
