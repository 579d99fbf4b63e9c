// The maps of decoded names and values (TextMap), the limits a request's fields
// are held to, and the one way a decoded pair becomes a field (FieldAdder),
// shared by the form decoders.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Text-to-text map with upper-cased keys. Lookups are constant-time; listings
// visit buckets 0 to 16 (bucket = h % 17, h = h * 33 + signed byte over the
// key) and, within a bucket, the most recently added name first. Storing under
// a name that is present replaces the value without moving the name.
class TextMap {
 public:
  // The value stored under the upper-cased name, or nullptr when absent.
  const std::string* find(std::string_view name) const;
  std::string* find_mutable(std::string_view name);
  // Stores `value` under the upper-cased name.
  void set(std::string_view name, std::string value);
  // The value under the upper-cased name, added empty (as the newest name) when
  // absent; one hash lookup either way.
  std::string& find_or_add(std::string_view name);
  // Makes room for `count` names in all, so that adding them does not rehash.
  void reserve(std::size_t count) { index_.reserve(count); }
  std::size_t size() const { return entries_.size(); }
  // Calls visit(name, value) for every entry in listing order.
  void for_each(const std::function<void(const std::string&, const std::string&)>& visit) const;
  // Calls visit(name, value) for every entry in the order the names were first
  // added: for a request's fields, the order in which the visitor sent them.
  void for_each_added(
      const std::function<void(const std::string&, const std::string&)>& visit) const;

 private:
  struct Entry {
    std::string name;
    std::string value;
  };
  static constexpr int kBuckets = 17;
  std::deque<Entry> entries_;
  std::unordered_map<std::string, std::size_t> index_;
  std::vector<std::size_t> buckets_[kBuckets];
};

using FieldMap = TextMap;
using EnvironmentMap = TextMap;

// Upper-cases a to z only; other bytes stay as they are.
std::string to_upper_ascii(std::string_view text);

// How much one request may bring: the bytes of its form data (the body of a POST,
// the query string of a GET) and the number of decoded pairs. Default-constructed,
// only the hard ceiling applies; a run takes its limits from the settings.
struct RequestLimits {
  static constexpr std::int64_t kCeiling = 256LL * 1024 * 1024;
  std::int64_t max_request_size = kCeiling;
  std::size_t max_fields = std::numeric_limits<std::size_t>::max();
  bool operator==(const RequestLimits&) const = default;
};

// A request over one of its RequestLimits; what() names the limit.
class RequestLimitExceeded : public std::length_error {
 public:
  using std::length_error::length_error;
};

// A request body that cannot be decoded (malformed JSON or multipart data); what()
// says what was wrong and where, in plain text.
class MalformedRequest : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A body that ends before the length it announced (CONTENT_LENGTH): the client hung
// up or the request was aborted, so it is no submission.
class BodyCutShort : public MalformedRequest {
 public:
  using MalformedRequest::MalformedRequest;
};

// The refusal of a body that ends after `received` of the `announced` bytes.
BodyCutShort body_cut_short(std::uint64_t received, std::uint64_t announced);

// The one way in which a decoded name and value become a field, whichever decoder
// made them: both end at their first NUL byte (so every consumer sees the same
// text), a repeated name joins its values, and the pairs are counted against
// max_fields. `fields` must outlive the adder.
class FieldAdder {
 public:
  FieldAdder(FieldMap& fields, std::string_view join_separator, const RequestLimits& limits)
      : fields_(fields), separator_(join_separator), limits_(limits) {}
  // Throws RequestLimitExceeded for the pair beyond max_fields.
  void add(std::string_view name, std::string value);
  FieldMap& fields() { return fields_; }
  const RequestLimits& limits() const { return limits_; }

 private:
  FieldMap& fields_;
  std::string separator_;
  RequestLimits limits_;
  std::size_t added_ = 0;
};
