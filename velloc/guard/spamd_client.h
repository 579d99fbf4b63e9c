// Scoring a message with a spamd server over the SPAMC protocol: one CHECK
// request per connection, whose answer holds the score. The request and reply
// texts are pure functions; spamd_score() holds the connection, bounded in time.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Where the filter listens: SpamCheck=spamd:HOST:PORT (HOST may be "[v6]").
struct SpamdAddress {
  std::string host;
  std::string port;
};

// nullopt for another form, an empty host or a port that is not 1 to 65535.
std::optional<SpamdAddress> parse_spam_check(std::string_view setting);

// What is scored of a message at most: the default limit of spamd's own client,
// past which the filter's rules are slow for no better verdict.
inline constexpr std::size_t kMaxScoredBytes = 500 * 1024;

// The part of `message` that is scored: all of it within `limit` bytes, else its
// first `limit` bytes, less the start of a UTF-8 character they would cut.
std::string_view scored_part(std::string_view message, std::size_t limit = kMaxScoredBytes);

// "CHECK SPAMC/1.5", the Content-length of `message`, a blank line, the message.
std::string spamc_check_request(std::string_view message);

// The score of a reply "SPAMD/1.1 0 EX_OK" with "Spam: True ; 15.0 / 5.0";
// nullopt with `*error` set for another status, no score line or a score that
// is no number.
std::optional<double> parse_spamd_reply(std::string_view reply, std::string* error);

// Connects, sends the CHECK request and reads the reply, all within
// `budget_ms`; nullopt with `*error` set when the filter cannot be reached in
// time or answers otherwise.
std::optional<double> spamd_score(const SpamdAddress& address, std::string_view message,
                                  int budget_ms, std::string* error);
