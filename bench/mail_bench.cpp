// Whole-process cost of a submission that sends a form mail to an SMTP server on
// loopback: velloc is started as a web server would start it, with its settings
// file in the working directory. Reports wall time per run and the peak resident
// memory of the velloc process (which must stay flat with a 10 MB attachment,
// since attachments are streamed).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/discarding_smtp_server.h"
#include "platform/path_map.h"

namespace {

using bench::DiscardingSmtpServer;

struct Scratch {
  Scratch() {
    char pattern[] = "/tmp/velloc-bench-XXXXXX";
    path = mkdtemp(pattern);
    std::filesystem::create_directories(path + "/work");
    std::filesystem::create_directories(path + "/templates");
  }
  ~Scratch() { std::filesystem::remove_all(path); }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path + "/" + name, std::ios::binary) << text;
  }
  std::string path;
};

// Runs velloc once; returns its peak resident set in kilobytes.
long run_velloc(const Scratch& scratch, const std::string& body) {
  std::string velloc = platform::executable_directory() + "../velloc";
  std::string length = "CONTENT_LENGTH=" + std::to_string(body.size());
  std::vector<const char*> environment = {"REQUEST_METHOD=POST", "GATEWAY_INTERFACE=CGI/1.1",
                                          length.c_str(), "PATH=/usr/bin:/bin", nullptr};
  scratch.write("body.txt", body);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, scratch.path.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, "body.txt", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  char* argv[] = {velloc.data(), nullptr};
  pid_t pid = -1;
  posix_spawn(&pid, velloc.c_str(), &actions, nullptr, argv,
              const_cast<char* const*>(environment.data()));
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage = {};
  wait4(pid, &status, 0, &usage);
  return usage.ru_maxrss;
}

void write_settings(const Scratch& scratch, int port) {
  scratch.write("VELLOC.ini", "[Velloc]\nSMTP=127.0.0.1:" + std::to_string(port) +
                                  "\nTEMP=" + scratch.path +
                                  "/work/\nLOGFILE=NUL\nAllowedRecipients=owner@x.test\n"
                                  "TEMPLATE_DIR=" +
                                  scratch.path + "/templates/\n");
}

// Written in small blocks: a child's peak resident set counts the memory it shared
// with this process before exec, so the bench must stay small itself.
void write_attachment(const std::string& path, std::size_t size) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block(64 * 1024);
  for (std::size_t written = 0; written < size; written += block.size()) {
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = char((written + i) * 7919 >> 3);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
}

constexpr char kForm[] =
    "EMAIL=jo%40x.test&RECIPIENT=owner%40x.test&SUBJECT=Bench&NAME=Jo+Doe&MESSAGE=Hello";

void BM_FormMail(benchmark::State& state) {
  DiscardingSmtpServer server;
  Scratch scratch;
  write_settings(scratch, server.port());
  long peak = 0;
  for (auto _ : state) peak = std::max(peak, run_velloc(scratch, kForm));
  state.counters["peak_rss_kB"] = static_cast<double>(peak);
}
BENCHMARK(BM_FormMail)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same submission with DISABLE_MAIL: the cost of the process without the mail.
void BM_SubmissionWithoutMail(benchmark::State& state) {
  Scratch scratch;
  write_settings(scratch, 1);
  for (auto _ : state) run_velloc(scratch, std::string(kForm) + "&DISABLE_MAIL=1");
}
BENCHMARK(BM_SubmissionWithoutMail)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FormMailWith10MBAttachment(benchmark::State& state) {
  DiscardingSmtpServer server;
  Scratch scratch;
  write_settings(scratch, server.port());
  write_attachment(scratch.path + "/big.bin", 10 * 1024 * 1024);
  scratch.write("templates/mail.txt", "See attached.\n*" + scratch.path + "/big.bin*\n");
  long peak = 0;
  for (auto _ : state)
    peak = std::max(peak, run_velloc(scratch, std::string(kForm) + "&TEMPLATE_MAIL=mail.txt"));
  state.counters["peak_rss_kB"] = static_cast<double>(peak);
}
BENCHMARK(BM_FormMailWith10MBAttachment)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
