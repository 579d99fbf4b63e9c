// Times whole CGI processes: each case of a case file is started again and again as
// a web server starts a CGI program (a CGI environment, the request body on
// standard input, the response to /dev/null) and its wall time from spawn to exit
// is taken. The cases are interleaved round by round, so a change of machine load
// touches all of them alike. Prints one table: the median, the 10th to 90th
// percentile, the ratio of the median to that of the first case (the floor) and the
// case's target ratio when it has one.
//
//   cgi_timer [--runs N] [--warmup N] CASE_FILE
//
// A case file holds one case a line, five or six fields separated by tabs: label,
// program, working directory, body file, a text the response must contain and,
// optionally, the ratio to the floor the case should stay within. Before timing,
// each case runs once with its response checked; a case whose response lacks the
// text ends the program with status 1.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct BenchCase {
  std::string label;
  std::string program;
  std::string directory;
  std::string body_file;
  std::string expected;
  double target = 0;  // 0: none
  std::vector<std::string> environment;
};

struct Summary {
  double median = 0;
  double p10 = 0;
  double p90 = 0;
};

std::vector<std::string> split_tabs(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  return fields;
}

long file_size(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

// What a web server hands a CGI program for a form posted from a page of its own.
std::vector<std::string> cgi_environment(long body_bytes) {
  return {"GATEWAY_INTERFACE=CGI/1.1",
          "SERVER_SOFTWARE=velloc-bench",
          "SERVER_NAME=127.0.0.1",
          "SERVER_PORT=80",
          "SERVER_PROTOCOL=HTTP/1.1",
          "REQUEST_METHOD=POST",
          "REQUEST_URI=/cgi-bin/velloc",
          "SCRIPT_NAME=/cgi-bin/velloc",
          "QUERY_STRING=",
          "CONTENT_TYPE=application/x-www-form-urlencoded",
          "CONTENT_LENGTH=" + std::to_string(body_bytes),
          "REMOTE_ADDR=127.0.0.1",
          "HTTP_HOST=127.0.0.1",
          "HTTP_REFERER=http://127.0.0.1/form.html",
          "HTTP_USER_AGENT=velloc-bench",
          "PATH=/usr/bin:/bin"};
}

bool read_cases(const char* path, std::vector<BenchCase>& cases) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> fields = split_tabs(line);
    bool well_formed = fields.size() == 5 || fields.size() == 6;
    long body_bytes = well_formed ? file_size(fields[3]) : -1;
    if (body_bytes < 0) {
      std::fprintf(stderr, "cgi_timer: bad case line (or body file missing): %s\n", line.c_str());
      return false;
    }
    double target = fields.size() == 6 ? std::atof(fields[5].c_str()) : 0;
    cases.push_back({fields[0], fields[1], fields[2], fields[3], fields[4], target,
                     cgi_environment(body_bytes)});
  }
  return !cases.empty();
}

// Starts the case's program once with its response on `response_fd` and waits for it.
bool run_once(const BenchCase& bench_case, int response_fd, double& milliseconds) {
  std::vector<char*> environment;
  for (const std::string& entry : bench_case.environment)
    environment.push_back(const_cast<char*>(entry.c_str()));
  environment.push_back(nullptr);
  char* argv[] = {const_cast<char*>(bench_case.program.c_str()), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, bench_case.directory.c_str());
  posix_spawn_file_actions_addopen(&actions, 0, bench_case.body_file.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, response_fd, 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environment.data());
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return false;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  auto end = std::chrono::steady_clock::now();
  milliseconds = std::chrono::duration<double, std::milli>(end - start).count();
  return WIFEXITED(status);
}

// Runs the case once and checks that its response holds the expected text.
bool check_response(const BenchCase& bench_case) {
  char path[] = "/tmp/cgi-timer-response-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return false;
  double ignored;
  bool ran = run_once(bench_case, fd, ignored);
  close(fd);
  std::ifstream in(path, std::ios::binary);
  std::string response((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unlink(path);
  if (ran && response.find(bench_case.expected) != std::string::npos) return true;
  std::fprintf(stderr, "cgi_timer: the response of \"%s\" lacks \"%s\":\n%.2000s\n",
               bench_case.label.c_str(), bench_case.expected.c_str(), response.c_str());
  return false;
}

// The value at fraction `q` of the sorted samples (nearest rank; the median of an
// even count is the mean of the two middle values).
double quantile(const std::vector<double>& sorted, double q) {
  if (q == 0.5 && sorted.size() % 2 == 0) {
    std::size_t upper = sorted.size() / 2;
    return (sorted[upper - 1] + sorted[upper]) / 2;
  }
  std::size_t index = static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[index];
}

Summary summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {quantile(samples, 0.5), quantile(samples, 0.1), quantile(samples, 0.9)};
}

// Round r starts with case r modulo the number of cases. Returns false when a
// start fails.
bool time_rounds(const std::vector<BenchCase>& cases, int rounds, int null_fd,
                 std::vector<std::vector<double>>& samples) {
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t k = 0; k < cases.size(); ++k) {
      std::size_t index = (static_cast<std::size_t>(round) + k) % cases.size();
      double milliseconds = 0;
      if (!run_once(cases[index], null_fd, milliseconds)) {
        std::fprintf(stderr, "cgi_timer: cannot run %s\n", cases[index].program.c_str());
        return false;
      }
      samples[index].push_back(milliseconds);
    }
  }
  return true;
}

void print_table(const std::vector<BenchCase>& cases, const std::vector<Summary>& summaries,
                 int runs) {
  std::size_t width = 4;
  for (const BenchCase& bench_case : cases) width = std::max(width, bench_case.label.size());
  std::printf("Whole process, wall time from spawn to exit, median of %d runs:\n\n", runs);
  std::printf("%-*s  %9s  %17s  %7s  %s\n", static_cast<int>(width), "case", "median", "p10 .. p90",
              "x floor", "target");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Summary& s = summaries[i];
    double ratio = s.median / summaries[0].median;
    char spread[32], target[32] = "";
    std::snprintf(spread, sizeof spread, "%.2f .. %.2f", s.p10, s.p90);
    if (cases[i].target > 0)
      std::snprintf(target, sizeof target, "at most %.1fx: %s", cases[i].target,
                    ratio <= cases[i].target ? "met" : "MISSED");
    std::printf("%-*s  %6.2f ms  %14s ms  %6.2fx  %s\n", static_cast<int>(width),
                cases[i].label.c_str(), s.median, spread, ratio, target);
  }
}

int usage() {
  std::fprintf(stderr, "usage: cgi_timer [--runs N] [--warmup N] CASE_FILE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 200;
  int warmup = 5;
  const char* case_file = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if ((argument == "--runs" || argument == "--warmup") && i + 1 < argc)
      (argument == "--runs" ? runs : warmup) = std::atoi(argv[++i]);
    else if (case_file == nullptr && argument[0] != '-')
      case_file = argv[i];
    else
      return usage();
  }
  std::vector<BenchCase> cases;
  if (case_file == nullptr || runs < 1 || warmup < 0) return usage();
  if (!read_cases(case_file, cases)) return usage();
  for (const BenchCase& bench_case : cases)
    if (!check_response(bench_case)) return 1;

  int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  std::vector<std::vector<double>> samples(cases.size());
  if (!time_rounds(cases, warmup, null_fd, samples)) return 1;
  for (auto& case_samples : samples) case_samples.clear();
  if (!time_rounds(cases, runs, null_fd, samples)) return 1;

  std::vector<Summary> summaries;
  for (std::size_t i = 0; i < cases.size(); ++i) summaries.push_back(summarize(samples[i]));
  print_table(cases, summaries, runs);
  return 0;
}
