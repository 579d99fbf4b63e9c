// The message catalogues a process has read, owned by its Site: each .po file is read
// once per version (its size, time and inode), looked at again at most once a request,
// so that a server picks up an edited catalogue without reading it for every answer.
#pragma once

#include <ctime>
#include <map>
#include <memory>
#include <string>

#include "velloc/language/message_catalogue.h"

// The folder of the catalogues shipped with velloc, beside its program folder:
// "<prefix>/bin/" gives "<prefix>/share/velloc/languages/". `language_folder`, when
// set (LanguageFolder), is used instead.
std::string catalogue_folder(const std::string& executable_directory,
                             const std::string& language_folder);

// The file of `language` in `folder`; empty for English or a tag that is not one
// (letters, digits and "-" only).
std::string catalogue_path(const std::string& folder, const std::string& language);

class CatalogueStore {
 public:
  // The catalogue of `language` in `folder`; nullptr for English or when the file
  // cannot be read (its texts are then English). Valid until the next call.
  const MessageCatalogue* catalogue(const std::string& folder, const std::string& language);
  // A new request: each file is looked at again when next asked for.
  void begin_request() { ++request_; }

 private:
  struct Version {
    long long size = -1;
    std::timespec modified{};
    unsigned long long inode = 0;
    bool operator==(const Version& other) const {
      return size == other.size && modified.tv_sec == other.modified.tv_sec &&
             modified.tv_nsec == other.modified.tv_nsec && inode == other.inode;
    }
  };
  struct Loaded {
    Version version;
    std::unique_ptr<MessageCatalogue> catalogue;  // null: the file could not be read
    unsigned looked_at = 0;
  };
  static Version version_of(const std::string& path);

  std::map<std::string, Loaded> loaded_;
  unsigned request_ = 1;
};

// Reads the catalogue at `path`; nullptr when it cannot be read.
std::unique_ptr<MessageCatalogue> read_catalogue(const std::string& path);
