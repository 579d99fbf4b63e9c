#include "velloc/language/catalogue_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/regular_file.h"

namespace {

constexpr std::size_t kMaxCatalogueSize = 4 * 1024 * 1024;
constexpr char kEnglish[] = "en";

bool is_language_tag(const std::string& tag) {
  if (tag.empty() || tag.size() > 35) return false;
  for (char c : tag)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'))
      return false;
  return true;
}

}  // namespace

std::string catalogue_folder(const std::string& executable_directory,
                             const std::string& language_folder) {
  if (!language_folder.empty())
    return language_folder.back() == '/' ? language_folder : language_folder + "/";
  return executable_directory + "../share/velloc/languages/";
}

std::string catalogue_path(const std::string& folder, const std::string& language) {
  if (!is_language_tag(language) || language == kEnglish || language.starts_with("en-")) return {};
  return folder + language + ".po";
}

std::unique_ptr<MessageCatalogue> read_catalogue(const std::string& path) {
  int fd = platform::open_regular_file(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  std::string text;
  char buffer[8192];
  ssize_t got = 0;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < kMaxCatalogueSize)
    text.append(buffer, static_cast<std::size_t>(got));
  ::close(fd);
  if (got < 0 || text.size() >= kMaxCatalogueSize) return nullptr;
  return std::make_unique<MessageCatalogue>(MessageCatalogue::parse(text));
}

CatalogueStore::Version CatalogueStore::version_of(const std::string& path) {
  Version version;
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) return version;
  version.size = status.st_size;
  version.modified = status.st_mtim;
  version.inode = status.st_ino;
  return version;
}

const MessageCatalogue* CatalogueStore::catalogue(const std::string& folder,
                                                  const std::string& language) {
  std::string path = catalogue_path(folder, language);
  if (path.empty()) return nullptr;
  Loaded& loaded = loaded_[path];
  if (loaded.looked_at != request_) {
    loaded.looked_at = request_;
    Version now = version_of(path);
    if (!(now == loaded.version) || loaded.version.size < 0) {
      loaded.version = now;
      loaded.catalogue = now.size < 0 ? nullptr : read_catalogue(path);
    }
  }
  return loaded.catalogue.get();
}
