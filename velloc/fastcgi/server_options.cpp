#include "velloc/fastcgi/server_options.h"

#include <algorithm>
#include <charconv>
#include <limits>

#ifndef VELLOC_VERSION
#define VELLOC_VERSION "unknown"
#endif

namespace {

std::optional<int> parse_count(const std::string& text, int most) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [stop, failure] = std::from_chars(text.data(), end, value);
  if (text.empty() || failure != std::errc() || stop != end || value < 1 || value > most)
    return std::nullopt;
  return value;
}

int default_workers(int processors) { return std::clamp(2 * processors, 2, kMaxWorkers); }

// The options that take a count: their member and largest value.
struct CountOption {
  const char* name;
  int ServerOptions::*member;
  int most;
};

constexpr CountOption kCountOptions[] = {
    {"--workers", &ServerOptions::workers, kMaxWorkers},
    {"--max-requests", &ServerOptions::max_requests, std::numeric_limits<int>::max()},
    {"--request-timeout", &ServerOptions::request_timeout, kMaxTimeoutSeconds},
    {"--idle-timeout", &ServerOptions::idle_timeout, kMaxTimeoutSeconds},
};

const CountOption* count_option(const std::string& name) {
  for (const CountOption& option : kCountOptions)
    if (name == option.name) return &option;
  return nullptr;
}

// Applies the option `name` with `value`; false with `error` set when the value is bad.
bool apply_option(const std::string& name, const std::string& value, ServerOptions& options,
                  std::string* error) {
  if (name == "--fastcgi") {
    options.address = parse_listen_address(value);
    if (!options.address) *error = "not an address to listen on: " + value;
    return options.address.has_value();
  }
  const CountOption* option = count_option(name);
  std::optional<int> count = parse_count(value, option->most);
  if (!count) {
    *error = "not a count for " + name + ": " + value;
    return false;
  }
  options.*option->member = *count;
  return true;
}

}  // namespace

std::optional<ServerOptions> parse_server_options(const std::vector<std::string>& arguments,
                                                  int processors, std::string* error) {
  ServerOptions options;
  options.workers = default_workers(processors);
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& name = arguments[i];
    if (name == "--help" || name == "-h") options.action = ServerOptions::Action::kHelp;
    if (name == "--version") options.action = ServerOptions::Action::kVersion;
    if (options.action != ServerOptions::Action::kServe) return options;
    if (name != "--fastcgi" && count_option(name) == nullptr) {
      *error = "unknown option: " + name;
      return std::nullopt;
    }
    if (i + 1 == arguments.size()) {
      *error = name + " needs a value";
      return std::nullopt;
    }
    if (!apply_option(name, arguments[++i], options, error)) return std::nullopt;
  }
  return options;
}

std::string server_usage(int processors) {
  return "Usage: velloc\n"
         "       velloc [--fastcgi ADDRESS] [--workers N] [--max-requests N]\n"
         "              [--request-timeout SECONDS] [--idle-timeout SECONDS]\n"
         "\n"
         "Without arguments velloc answers one form submission as a CGI program. It serves\n"
         "FastCGI instead when standard input is a listening socket (a web server or\n"
         "spawn-fcgi starting it), when systemd passes it a socket (LISTEN_FDS), or when\n"
         "--fastcgi names the address to listen on.\n"
         "\n"
         "  --fastcgi ADDRESS   unix:/path/to/socket, 127.0.0.1:9000 or [::1]:9000\n"
         "  --workers N         worker processes, each serving one request at a time\n"
         "                      (default: twice the processors, " +
         std::to_string(default_workers(processors)) +
         " here)\n"
         "  --max-requests N    requests a worker serves before a fresh one replaces it\n"
         "                      (default: 10000)\n"
         "  --request-timeout SECONDS\n"
         "                      time a request may take to arrive whole from the web\n"
         "                      server, counted from its connection (default: 30)\n"
         "  --idle-timeout SECONDS\n"
         "                      a connection that starts no request within this time is\n"
         "                      closed (default: 5)\n"
         "  --help              this text\n"
         "  --version           the version, and the modes it serves\n";
}

std::string server_version() {
  return "velloc " VELLOC_VERSION "\nModes: CGI, FastCGI (persistent, pre-forked workers)\n";
}

std::string_view program_version() { return VELLOC_VERSION; }
