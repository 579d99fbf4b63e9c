// What a persistent server spends on the settings of one submission: a Site that
// keeps its last good settings, a settings file as a real site writes it (mail server
// with TLS and a login, allow-lists, the archive, a webhook and ten form profiles),
// and per iteration the start of a request, a new run with its decoded fields and
// the settings loaded for it, once for a form that names its profile and once for
// one that names none. The third case stops before the settings: what is left when
// it is taken away from the other two is what the settings cost.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

#include "velloc/request/cgi_request.h"
#include "velloc/run.h"
#include "velloc/site.h"
#if __has_include("velloc/settings/load_settings.h")
#include "velloc/settings/load_settings.h"
#else
#include "velloc/request/settings.h"
#endif

namespace {

constexpr std::string_view kProfiles[] = {"contact", "quote",   "support",  "newsletter",
                                          "booking", "careers", "feedback", "partner",
                                          "press",   "returns"};

std::string settings_text(const std::string& folder) {
  std::string text =
      "[Velloc]\n"
      "SMTP=mail.example.test:587\n"
      "SMTP_TLS=starttls\n"
      "SMTP_CA_FILE=" +
      folder +
      "/ca.pem\n"
      "SMTP_USER=forms@example.test\n"
      "SMTP_PASSWORD=correct-horse-battery\n"
      "DefaultRecipient=office@example.test\n"
      "DEFAULTSENDER=forms@example.test\n"
      "TEMPLATE_DIR=templates/\n"
      "TEMP=" +
      folder +
      "/tmp/\n"
      "LOGFILE=" +
      folder +
      "/velloc.log\n"
      "LOG_LEVEL=1\n"
      "CHARSET=UTF-8\n"
      "Referers=www.example.test, example.test\n"
      "AllowedOrigins=https://www.example.test, https://shop.example.test\n"
      "AllowedRecipients=@example.test, partner@example.org\n"
      "RedirectHosts=shop.example.test\n"
      "MaxRequestSize=8M\n"
      "MaxFields=200\n"
      "HoneypotField=website\n"
      "RateLimit=20/3600\n"
      "Archive=1\n"
      "KeepSubmissions=180\n"
      "Webhook=https://hooks.example.test/forms\n"
      "WebhookSecret=0123456789abcdef0123456789abcdef\n"
      "WebhookTimeout=5\n"
      "ReceiptNumber=1000\n";
  for (std::string_view profile : kProfiles) {
    std::string name(profile);
    text += "\n[Form " + name + "]\n";
    text += "RECIPIENT=" + name + "@example.test\n";
    text += "SUBJECT=Website: " + name + "\n";
    text += "REQUIRED=NAME, EMAIL, MESSAGE\n";
    text += "TEMPLATE_WEB=" + name + "/thanks.htm\n";
    text += "TEMPLATE_MAIL=" + name + "/mail.txt\n";
    text += "TEMPLATE_TEXTFILE=" + name + "/export.ini\n";
    text += "RateLimit=5/600\n";
  }
  return text;
}

// A settings file read within its last seconds is read again at every request start
// (file times advance in coarse steps): the figures are those of a file at rest.
bool wait_until_settled(const std::string& file) {
  for (int tries = 0; tries < 200; ++tries) {
    struct stat info;
    if (stat(file.c_str(), &info) != 0) return false;
    time_t now = std::time(nullptr);
    if (now - info.st_mtime > 3 && now - info.st_ctime > 3) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// The settings file of the benchmarks, written once into a folder of its own.
struct BenchSite {
  std::string folder;
  std::string file;
  bool ready = false;

  BenchSite() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velloc-settings-XXXXXX");
    if (!mkdtemp(pattern.data())) return;
    folder = pattern;
    file = folder + "/VELLOC.ini";
    std::filesystem::create_directories(folder + "/tmp");
    std::ofstream(file, std::ios::binary) << settings_text(folder);
    ready = wait_until_settled(file);
  }
  ~BenchSite() {
    std::error_code ignored;
    if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  }
};

BenchSite& bench_site() {
  static BenchSite site;
  return site;
}

ProcessFacts facts_of(const std::string& folder) {
  return ProcessFacts{"/usr/bin:/bin", "/tmp/", folder, "www.example.test", folder + "/"};
}

constexpr std::string_view kContactBody =
    "NAME=Jo+Doe&EMAIL=jo%40example.test&PHONE=%2B44+20+7946+0000"
    "&MESSAGE=Could+you+call+me+back+about+the+order+of+last+week%3F&website=";

// The start of one submission: the environment a web server passes and the fields.
void start_run(Run& run, std::string_view body) {
  CgiRequest& request = run.request;
  request.environment.set("REQUEST_METHOD", "POST");
  request.environment.set("CONTENT_TYPE", "application/x-www-form-urlencoded");
  request.environment.set("HTTP_ACCEPT", "text/html,application/xhtml+xml,*/*;q=0.8");
  request.environment.set("HTTP_REFERER", "https://www.example.test/contact.html");
  request.environment.set("REMOTE_ADDR", "192.0.2.10");
  request.environment.set("SERVER_NAME", "www.example.test");
  parse_form_data(body, ", ", request.fields);
}

enum class Load { kNone, kSettings };

void run_requests(benchmark::State& state, std::string_view body, Load load) {
  BenchSite& files = bench_site();
  if (!files.ready) {
    state.SkipWithError("could not write a settings file at rest");
    return;
  }
  Site site(facts_of(files.folder));
  site.keep_last_good_settings();
  // The first request reads the file; the ones measured find it unchanged.
  {
    site.begin_request();
    Run run(site);
    start_run(run, body);
    load_settings_from(run, files.file);
    bool named = run.settings.form_profile_section == "Form contact";
    if (run.message.smtp_server != "mail.example.test:587" ||
        named != (body.find("FORM_PROFILE=contact") != std::string_view::npos)) {
      state.SkipWithError("the settings were not read as written");
      return;
    }
  }
  for (auto _ : state) {
    site.begin_request();
    Run run(site);
    start_run(run, body);
    if (load == Load::kSettings) load_settings_from(run, files.file);
    benchmark::DoNotOptimize(run.message.smtp_server.data());
    benchmark::DoNotOptimize(run.request.fields.size());
  }
}

void BM_SubmissionSettingsWithProfile(benchmark::State& state) {
  static const std::string body = "FORM_PROFILE=contact&" + std::string(kContactBody);
  run_requests(state, body, Load::kSettings);
}

void BM_SubmissionSettingsWithoutProfile(benchmark::State& state) {
  run_requests(state, kContactBody, Load::kSettings);
}

// The same start of a request without the settings.
void BM_SubmissionStartOnly(benchmark::State& state) {
  static const std::string body = "FORM_PROFILE=contact&" + std::string(kContactBody);
  run_requests(state, body, Load::kNone);
}

BENCHMARK(BM_SubmissionSettingsWithProfile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SubmissionSettingsWithoutProfile)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SubmissionStartOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
