// The store of state that outlives a run and may be shared by several web
// servers: the rate-limit events, the receipt counter, the challenge solutions
// already used and the secrets the site made for itself. The policies decide;
// the store only keeps times, numbers and secrets, each operation in one
// transaction.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class OdbcDatabase;

// One rate-limit count to look at: the events under `key` newer than `since`
// (milliseconds since the epoch), pruning those at or before `prune_before`.
struct EventQuery {
  std::string key;
  std::int64_t since = 0;
  std::int64_t prune_before = 0;
};

class StateStore {
 public:
  virtual ~StateStore() = default;

  // In one transaction: hands `admit` the event times (ascending) of each query,
  // in the order given, and when it returns true records an event at `now` under
  // every key. False with `*error` set when the store fails; nothing is recorded.
  virtual bool record_events_if(
      const std::vector<EventQuery>& queries, std::int64_t now,
      const std::function<bool(const std::vector<std::vector<std::int64_t>>&)>& admit,
      std::string* error) = 0;

  // The value of the named counter, which is advanced by one; a new counter
  // starts at `first`. nullopt with `*error` set when the store fails.
  virtual std::optional<std::int64_t> take_counter(const std::string& name, std::int64_t first,
                                                   std::string* error) = 0;

  // Records that `token` was used, kept until `expires` (milliseconds since the
  // epoch); tokens expired at `now` are forgotten. True for its first use, false
  // for any later one; nullopt with `*error` set when the store fails.
  virtual std::optional<bool> use_once(const std::string& token, std::int64_t expires,
                                       std::int64_t now, std::string* error) = 0;

  // The secret kept under `name`: the first call keeps `candidate`, and every
  // call after it, from any process sharing the store, gets that one. nullopt
  // with `*error` set when the store fails.
  virtual std::optional<std::string> kept_secret(const std::string& name,
                                                 const std::string& candidate,
                                                 std::string* error) = 0;

  // Deletes the rate-limit events recorded under `key`, and the key. False with
  // `*error` set when the store fails.
  // Whether the store answers a query now (its tables made when they are missing).
  virtual bool answers(std::string* error) = 0;
  virtual bool forget_key(const std::string& key, std::string* error) = 0;
};

// The connection string of the store: StateDSN when the settings give one, else
// the embedded file "velloc-state.db" beside the settings file.
std::string state_connection_string(const std::string& state_dsn, const std::string& settings_file);

// Connects to the ODBC connection string (a DSN-less "DRIVER=...;..." text or
// "DSN=..."), creating the tables on first use. nullptr with `*error` set when
// the store cannot be reached.
std::unique_ptr<StateStore> open_odbc_state_store(const std::string& connection,
                                                  std::string* error);
// The store over a connection it shares (with the archive, say); each operation
// is a transaction of its own, so the sharers must not be inside one of theirs.
std::unique_ptr<StateStore> open_odbc_state_store(std::shared_ptr<OdbcDatabase> database);
