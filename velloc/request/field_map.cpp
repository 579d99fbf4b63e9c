#include "velloc/request/field_map.h"

namespace {

int bucket_of(std::string_view key) {
  std::uint32_t h = 0;
  for (char c : key) h = h * 33 + static_cast<std::uint32_t>(static_cast<signed char>(c));
  return static_cast<int>(h % 17);
}

// The text up to its first NUL byte.
std::string_view up_to_nul(std::string_view text) { return text.substr(0, text.find('\0')); }

}  // namespace

std::string to_upper_ascii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

const std::string* TextMap::find(std::string_view name) const {
  auto it = index_.find(to_upper_ascii(name));
  return it == index_.end() ? nullptr : &entries_[it->second].value;
}

std::string* TextMap::find_mutable(std::string_view name) {
  auto it = index_.find(to_upper_ascii(name));
  return it == index_.end() ? nullptr : &entries_[it->second].value;
}

void TextMap::set(std::string_view name, std::string value) {
  find_or_add(name) = std::move(value);
}

std::string& TextMap::find_or_add(std::string_view name) {
  std::string key = to_upper_ascii(name);
  auto [it, inserted] = index_.try_emplace(key, entries_.size());
  if (!inserted) return entries_[it->second].value;
  buckets_[bucket_of(key)].push_back(entries_.size());
  entries_.push_back(Entry{std::move(key), std::string()});
  return entries_.back().value;
}

void TextMap::for_each(
    const std::function<void(const std::string&, const std::string&)>& visit) const {
  for (const auto& bucket : buckets_)
    for (auto it = bucket.rbegin(); it != bucket.rend(); ++it)
      visit(entries_[*it].name, entries_[*it].value);
}

void TextMap::for_each_added(
    const std::function<void(const std::string&, const std::string&)>& visit) const {
  for (const Entry& entry : entries_) visit(entry.name, entry.value);
}

void FieldAdder::add(std::string_view name, std::string value) {
  if (++added_ > limits_.max_fields)
    throw RequestLimitExceeded("request has more than MaxFields (" +
                               std::to_string(limits_.max_fields) + ") fields");
  name = up_to_nul(name);
  value.resize(up_to_nul(value).size());
  std::string& stored = fields_.find_or_add(name);
  if (stored.empty()) {
    stored = std::move(value);
    return;
  }
  stored.append(separator_).append(value);
}

BodyCutShort body_cut_short(std::uint64_t received, std::uint64_t announced) {
  return BodyCutShort("request body ends after " + std::to_string(received) + " of " +
                      std::to_string(announced) + " bytes");
}
