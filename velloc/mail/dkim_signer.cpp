#include "velloc/mail/dkim_signer.h"

#include <memory>
#include <optional>
#include <vector>

#include "velloc/mail/dkim_key.h"
#include "velloc/mail/dkim_library.h"
#include "velloc/request/event_log.h"

namespace {

constexpr std::string_view kSignatureName = "DKIM-Signature: ";

// One signature being made; the handle is freed with it.
struct Signing {
  const DkimApi* api;
  DkimHandle* handle = nullptr;
  ~Signing() {
    if (handle) api->dkim_free(handle);
  }
};

// The library's handle, closed with it.
struct Library {
  const DkimApi* api;
  DkimLibrary* handle = nullptr;
  ~Library() {
    if (handle) api->dkim_close(handle);
  }
};

// What is asked for: the key type and text, the selector.
struct SignatureRequest {
  DkimKeyType type;
  std::string selector;
  std::string key;
};

std::optional<std::vector<SignatureRequest>> requests_of(const DkimSettings& settings,
                                                         std::string* error) {
  if (std::string problem = dkim_settings_problem(settings); !problem.empty()) {
    *error = problem;
    return std::nullopt;
  }
  std::vector<SignatureRequest> requests;
  std::optional<std::string> key = read_dkim_key(settings.key_file, DkimKeyType::kRsa, error);
  if (!key) return std::nullopt;
  requests.push_back({DkimKeyType::kRsa, settings.selector, std::move(*key)});
  if (settings.selector_ed25519.empty()) return requests;
  key = read_dkim_key(settings.key_file_ed25519, DkimKeyType::kEd25519, error);
  if (!key) return std::nullopt;
  requests.push_back({DkimKeyType::kEd25519, settings.selector_ed25519, std::move(*key)});
  return requests;
}

// Feeds the mail to every signing; false at the first call the library refuses.
class Feeder {
 public:
  Feeder(const DkimApi& api, std::vector<std::unique_ptr<Signing>>& signings)
      : api_(api), signings_(signings) {}
  void field(std::string_view text) {
    buffer_.assign(text);
    each([&](DkimHandle* h) {
      return api_.dkim_header(h, reinterpret_cast<unsigned char*>(buffer_.data()), buffer_.size());
    });
  }
  void end_of_header() {
    each([&](DkimHandle* h) { return api_.dkim_eoh(h); });
  }
  void body(std::string_view text) {
    buffer_.assign(text);
    each([&](DkimHandle* h) {
      return api_.dkim_body(h, reinterpret_cast<unsigned char*>(buffer_.data()), buffer_.size());
    });
  }
  void end() {
    each([&](DkimHandle* h) { return api_.dkim_eom(h, nullptr); });
  }
  // Empty while every call succeeded.
  const std::string& error() const { return error_; }

 private:
  template <typename Call>
  void each(Call call) {
    for (auto& signing : signings_) {
      if (!error_.empty()) return;
      int status = call(signing->handle);
      if (status != kDkimStatOk) {
        const char* detail = api_.dkim_geterror(signing->handle);
        error_ = std::string("libopendkim: ") + api_.dkim_getresultstr(status) +
                 (detail ? std::string(": ") + detail : "");
      }
    }
  }

  const DkimApi& api_;
  std::vector<std::unique_ptr<Signing>>& signings_;
  std::string buffer_;
  std::string error_;
};

bool start_signings(const DkimApi& api, Library& library, const DkimSettings& settings,
                    const std::vector<SignatureRequest>& requests,
                    std::vector<std::unique_ptr<Signing>>* signings, std::string* error) {
  for (const SignatureRequest& request : requests) {
    if (request.type == DkimKeyType::kEd25519 &&
        !api.dkim_libfeature(library.handle, kDkimFeatureEd25519)) {
      *error = "this libopendkim cannot sign with Ed25519";
      return false;
    }
    int status = 0;
    auto signing = std::make_unique<Signing>(Signing{&api});
    signing->handle = api.dkim_sign(
        library.handle, reinterpret_cast<const unsigned char*>("velloc"), nullptr,
        reinterpret_cast<const unsigned char*>(request.key.c_str()),
        reinterpret_cast<const unsigned char*>(request.selector.c_str()),
        reinterpret_cast<const unsigned char*>(settings.domain.c_str()), kDkimCanonRelaxed,
        kDkimCanonRelaxed,
        request.type == DkimKeyType::kRsa ? kDkimSignRsaSha256 : kDkimSignEd25519Sha256, -1,
        &status);
    if (signing->handle == nullptr) {
      *error = std::string("libopendkim refused the key: ") + api.dkim_getresultstr(status);
      return false;
    }
    signings->push_back(std::move(signing));
  }
  return true;
}

bool open_library(const DkimApi& api, Library& library, std::string* error) {
  library.handle = api.dkim_init(nullptr, nullptr);
  if (library.handle == nullptr) {
    *error = "libopendkim could not be started";
    return false;
  }
  std::vector<const char*> names(std::begin(kDkimSignedHeaders), std::end(kDkimSignedHeaders));
  names.push_back(nullptr);
  if (api.dkim_options(library.handle, kDkimOpSetOpt, kDkimOptsSignHeaders, names.data(),
                       sizeof(const char**)) != kDkimStatOk) {
    *error = "libopendkim did not take the list of signed header fields";
    return false;
  }
  return true;
}

}  // namespace

std::string dkim_settings_problem(const DkimSettings& settings) {
  if (!settings.wanted()) return "";
  if (settings.domain.empty() || settings.selector.empty() || settings.key_file.empty())
    return "DkimDomain, DkimSelector and DkimKeyFile must all be set";
  if (settings.selector_ed25519.empty() != settings.key_file_ed25519.empty())
    return "DkimSelectorEd25519 and DkimKeyFileEd25519 go together";
  return "";
}

void WireMessageReader::read(std::string_view piece) {
  std::size_t start = 0;
  if (in_header_) {
    while (in_header_ && start < piece.size()) {
      std::size_t end = piece.find('\n', start);
      if (end == std::string_view::npos) {
        line_.append(piece.substr(start));
        return;
      }
      line_.append(piece.substr(start, end - start));
      start = end + 1;
      if (!line_.empty() && line_.back() == '\r') line_.pop_back();
      std::string line = std::move(line_);
      line_.clear();
      header_line(line);
    }
  }
  std::string body;
  for (std::size_t i = start; i < piece.size(); ++i) {
    char c = piece[i];
    bool stuffed = at_line_start_ && c == '.';
    at_line_start_ = c == '\n';
    if (!stuffed) body.push_back(c);
  }
  if (!body.empty()) on_body_(body);
}

void WireMessageReader::header_line(std::string_view line) {
  if (!line.empty() && line[0] == '.') line.remove_prefix(1);
  if (line.empty()) {
    flush_field();
    in_header_ = false;
    on_end_of_header_();
    return;
  }
  if (line[0] == ' ' || line[0] == '\t') {
    field_.append("\r\n").append(line);
    return;
  }
  flush_field();
  field_.assign(line);
}

void WireMessageReader::flush_field() {
  if (!field_.empty()) on_field_(field_);
  field_.clear();
}

void WireMessageReader::finish() {
  if (!in_header_) return;
  if (!line_.empty()) header_line(std::string(line_));
  line_.clear();
  if (in_header_) header_line("");
}

bool dkim_signature_fields(const DkimSettings& settings, std::string_view head, int rest_fd,
                           std::int64_t rest_offset, std::string* fields, std::string* error) {
  std::optional<std::vector<SignatureRequest>> requests = requests_of(settings, error);
  if (!requests) return false;
  std::string load_error;
  const DkimApi* api = dkim_api(&load_error);
  if (api == nullptr) {
    *error = "libopendkim cannot be loaded: " + load_error;
    return false;
  }
  Library library{api};
  std::vector<std::unique_ptr<Signing>> signings;
  if (!open_library(*api, library, error) ||
      !start_signings(*api, library, settings, *requests, &signings, error))
    return false;
  Feeder feeder(*api, signings);
  WireMessageReader reader([&](std::string_view f) { feeder.field(f); },
                           [&] { feeder.end_of_header(); },
                           [&](std::string_view b) { feeder.body(b); });
  reader.read(head);
  if (rest_fd >= 0 &&
      !for_each_piece(rest_fd, rest_offset, [&](std::string_view p) { reader.read(p); })) {
    *error = "the mail could not be read to be signed";
    return false;
  }
  reader.finish();
  feeder.end();
  if (!feeder.error().empty()) {
    *error = feeder.error();
    return false;
  }
  fields->clear();
  for (auto& signing : signings) {
    unsigned char* text = nullptr;
    std::size_t length = 0;
    if (api->dkim_getsighdr_d(signing->handle, kSignatureName.size(), &text, &length) !=
        kDkimStatOk) {
      *error = "libopendkim made no signature";
      return false;
    }
    fields->append(kSignatureName)
        .append(reinterpret_cast<const char*>(text), length)
        .append("\r\n");
  }
  return true;
}

bool sign_stored_mail(const MailMessage& message, StoredMail* mail) {
  if (!message.dkim.wanted()) return true;
  std::string fields;
  std::string error;
  if (!dkim_signature_fields(message.dkim, mail->data, mail->rest_fd, mail->rest_offset, &fields,
                             &error)) {
    log_event(message, 1, "DKIM signing failed: %s\n", error.c_str());
    return false;
  }
  mail->data.insert(0, fields);
  return true;
}
