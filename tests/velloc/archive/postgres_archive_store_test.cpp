// The archive's claim against a real PostgreSQL server, the store several web
// servers share: a throw-away cluster on loopback in a temporary folder (run as the
// postgres user when the tests run as root, since the server refuses root), reached
// through Debian's ODBC driver. Skipped where the server or the driver is missing.
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/cgi_runner.h"
#include "velloc/archive/archive_store.h"
#include "velloc/storage/odbc_database.h"

// The PostgreSQL driver keeps a few allocations of its own until the process ends;
// the leak checker of the sanitizer build is told to pass over them.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:psqlodbcw.so\n"; }

namespace {

using testing_support::TempDir;

constexpr char kDriver[] = "/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so";
constexpr char kPassword[] = "claim-pw";
constexpr std::int64_t kHold = 60000;

std::string newest_server_bin() {
  glob_t found{};
  std::string bin;
  if (glob("/usr/lib/postgresql/*/bin/pg_ctl", 0, nullptr, &found) == 0 && found.gl_pathc > 0)
    bin = std::filesystem::path(found.gl_pathv[found.gl_pathc - 1]).parent_path();
  globfree(&found);
  return bin;
}

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

class PostgresArchiveStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = newest_server_bin();
    if (bin_.empty() || access(kDriver, R_OK) != 0)
      GTEST_SKIP() << "PostgreSQL server or its ODBC driver is not installed";
    port_ = free_port();
    ASSERT_NE(0, port_);
    root_ = dir_.file("pg");
    dir_.write("pg/pw", std::string(kPassword) + "\n");
    chmod(dir_.path().c_str(), 0755);
    if (geteuid() == 0) {
      const passwd* account = getpwnam("postgres");
      ASSERT_NE(nullptr, account) << "no postgres user to run the server as";
      ASSERT_EQ(0, chown(root_.c_str(), account->pw_uid, account->pw_gid));
      ASSERT_EQ(0, chown((root_ + "/pw").c_str(), account->pw_uid, account->pw_gid));
      as_user_ = "runuser -u postgres -- ";
    }
    ASSERT_EQ(0, std::system((as_user_ + bin_ + "/initdb -D " + root_ +
                              "/data -U velloc -E UTF8 --locale=C --auth-local=trust "
                              "--auth-host=scram-sha-256 --pwfile=" +
                              root_ + "/pw --no-sync >" + root_ + "/init.log 2>&1")
                                 .c_str()))
        << dir_.read("pg/init.log");
    started_ =
        std::system((as_user_ + bin_ + "/pg_ctl -D " + root_ + "/data -l " + root_ +
                     "/server.log -w -t 30 -o '-p " + std::to_string(port_) + " -k " + root_ +
                     " -c listen_addresses=127.0.0.1 -c fsync=off' start " + ">/dev/null")
                        .c_str()) == 0;
    ASSERT_TRUE(started_) << dir_.read("pg/server.log");
  }

  void TearDown() override {
    if (started_)
      std::system((as_user_ + bin_ + "/pg_ctl -D " + root_ +
                   "/data -m immediate -w -t 30 stop >/dev/null 2>&1")
                      .c_str());
  }

  std::string connection() const {
    return std::string("DRIVER={") + kDriver +
           "};Servername=127.0.0.1;Port=" + std::to_string(port_) +
           ";Database=postgres;UID=velloc;PWD={" + kPassword + "}";
  }

  std::unique_ptr<ArchiveStore> open() {
    std::string error;
    auto store = open_odbc_archive_store(connection(), &error);
    EXPECT_NE(nullptr, store) << error;
    return store;
  }

  TempDir dir_;
  std::string bin_, root_, as_user_;
  int port_ = 0;
  bool started_ = false;
};

// The outbox counted by the server's query, and an alert condition that four stores
// raise at once: exactly one of them changes it (and so announces it).
TEST_F(PostgresArchiveStoreTest, OutboxSummaryAndAConditionFlippedByOneOfFour) {
  auto setup = open();
  ASSERT_NE(nullptr, setup);
  std::string error;
  const std::int64_t next_attempts[] = {4000, 9000, 20000};
  for (std::int64_t next_attempt : next_attempts) {
    Delivery delivery;
    delivery.id = "d" + std::to_string(next_attempt);
    delivery.submission_id = "s1";
    delivery.kind = "webhook";
    delivery.status = "pending";
    delivery.next_attempt = next_attempt;
    ASSERT_TRUE(setup->add_delivery(delivery, &error)) << error;
  }
  std::optional<std::vector<OutboxKind>> outbox = setup->outbox_summary(10000, &error);
  ASSERT_TRUE(outbox) << error;
  ASSERT_EQ(1u, outbox->size());
  const OutboxKind& kind = outbox->front();
  EXPECT_EQ("webhook 2 1 0 6000",
            kind.kind + " " + std::to_string(kind.due) + " " + std::to_string(kind.waiting) + " " +
                std::to_string(kind.claimed) + " " + std::to_string(kind.oldest_due_ms));
  constexpr int kStores = 4;
  bool flipped[kStores] = {};
  std::string failures[kStores];
  auto raiser = [&](int which) {
    auto store = open();
    if (store &&
        !store->flip_condition("outbox_too_old", true, 1000, &flipped[which], &failures[which]))
      flipped[which] = false;
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kStores; ++i) threads.emplace_back(raiser, i);
  for (std::thread& thread : threads) thread.join();
  for (const std::string& failure : failures) EXPECT_EQ("", failure);
  EXPECT_EQ(1, std::count(std::begin(flipped), std::end(flipped), true));
}

// Two deliverers, each over its own connection, claim and finish the same due
// deliveries as fast as they can: each is taken and recorded exactly once, and
// none is left due.
TEST_F(PostgresArchiveStoreTest, TwoConnectionsTakeEachDeliveryExactlyOnce) {
  constexpr int kDeliveries = 200;
  auto setup = open();
  ASSERT_NE(nullptr, setup);
  std::string error;
  for (int i = 0; i < kDeliveries; ++i) {
    Delivery delivery;
    delivery.id = "d" + std::to_string(1000 + i);
    delivery.submission_id = "s1";
    delivery.kind = "form_mail";
    delivery.target = "owner@example.com";
    delivery.payload = std::string("To: owner\r\n\r\n\0\xff body", 20);
    delivery.status = "pending";
    delivery.next_attempt = i % 7;  // several due at the same moment
    ASSERT_TRUE(setup->add_delivery(delivery, &error)) << error;
  }
  std::vector<std::string> taken[2];
  std::string failures[2];
  auto deliverer = [&](int which) {
    auto store = open();
    if (!store) return;
    for (int i = 0; i <= kDeliveries; ++i) {
      std::optional<Delivery> claimed;
      std::string failure;
      if (!store->claim_due_delivery(1000, which == 0 ? "one" : "two", kHold, &claimed, &failure)) {
        failures[which] += "claim: " + failure + "\n";
        continue;
      }
      if (!claimed) break;
      if (claimed->payload != std::string("To: owner\r\n\r\n\0\xff body", 20))
        failures[which] += claimed->id + ": payload changed\n";
      if (!store->finish_attempt(*claimed, {1001, "delivered", "250 ok"}, "delivered", 0, &failure))
        failures[which] += "finish " + claimed->id + ": " + failure + "\n";
      taken[which].push_back(claimed->id);
    }
  };
  std::thread one(deliverer, 0), two(deliverer, 1);
  one.join();
  two.join();
  EXPECT_EQ("", failures[0]);
  EXPECT_EQ("", failures[1]);
  std::set<std::string> all(taken[0].begin(), taken[0].end());
  all.insert(taken[1].begin(), taken[1].end());
  EXPECT_EQ(static_cast<std::size_t>(kDeliveries), all.size());
  EXPECT_EQ(static_cast<std::size_t>(kDeliveries), taken[0].size() + taken[1].size());
  // Both took part: the race was real.
  EXPECT_FALSE(taken[0].empty());
  EXPECT_FALSE(taken[1].empty());

  std::optional<Delivery> left;
  ASSERT_TRUE(setup->claim_due_delivery(1000 + 2 * kHold, "late", kHold, &left, &error)) << error;
  EXPECT_FALSE(left) << left->id;
  ArchivedSubmission submission;
  submission.id = "s1";
  submission.status = "accepted";
  ASSERT_TRUE(setup->add_submission(submission, &error)) << error;
  std::optional<ArchivedSubmission> found;
  ASSERT_TRUE(setup->find("s1", &found, &error)) << error;
  ASSERT_TRUE(found);
  ASSERT_EQ(static_cast<std::size_t>(kDeliveries), found->deliveries.size());
  for (const Delivery& delivery : found->deliveries) {
    EXPECT_EQ("delivered", delivery.status) << delivery.id;
    EXPECT_EQ(1u, delivery.attempts.size()) << delivery.id;
  }
}

// An archive made before attempts kept their replies gains the column at its
// first use; its attempts stay as they were.
TEST_F(PostgresArchiveStoreTest, AnOlderArchiveKeepsItsAttemptsAndGainsTheirReplies) {
  std::string error;
  ArchivedSubmission submission;
  submission.id = "s1";
  submission.status = "accepted";
  ASSERT_TRUE(open()->add_submission(submission, &error)) << error;
  for (const char* id : {"before", "d"}) {
    Delivery delivery;
    delivery.id = id;
    delivery.submission_id = "s1";
    delivery.kind = "webhook";
    delivery.status = "pending";
    ASSERT_TRUE(open()->add_delivery(delivery, &error)) << error;
  }
  auto db = OdbcDatabase::open(connection(), &error);
  ASSERT_TRUE(db &&
              db->execute("ALTER TABLE velloc_delivery_attempts DROP COLUMN reply", {}, &error) &&
              db->execute("INSERT INTO velloc_delivery_attempts VALUES ('before', 0, 5, 'HTTP 503 "
                          "(temporary)')",
                          {}, &error) &&
              db->commit(&error))
      << error;
  auto store = open();
  std::optional<Delivery> claimed;
  ASSERT_TRUE(store->claim_delivery("d", 100, "a", kHold, &claimed, &error)) << error;
  ASSERT_TRUE(claimed);
  ASSERT_TRUE(store->finish_attempt(*claimed, {100, "delivered", "HTTP/1.1 200 OK"}, "delivered", 0,
                                    &error))
      << error;
  std::optional<ArchivedSubmission> found;
  ASSERT_TRUE(store->find("s1", &found, &error)) << error;
  ASSERT_TRUE(found);
  ASSERT_EQ(2u, found->deliveries.size());
  ASSERT_EQ(1u, found->deliveries[0].attempts.size());
  EXPECT_EQ("HTTP 503 (temporary)", found->deliveries[0].attempts[0].result);
  EXPECT_EQ("", found->deliveries[0].attempts[0].reply);
  ASSERT_EQ(1u, found->deliveries[1].attempts.size());
  EXPECT_EQ("HTTP/1.1 200 OK", found->deliveries[1].attempts[0].reply);
}

// The parts of a delivery and the export's ranking of field names and pages, in
// this database's SQL as in SQLite's.
TEST_F(PostgresArchiveStoreTest, PartsAndTheExportsQueries) {
  auto store = open();
  ASSERT_NE(nullptr, store);
  std::string error;
  for (const char* id : {"a", "b"}) {
    ArchivedSubmission s;
    s.id = id;
    s.received_at = id[0] == 'a' ? 100 : 200;
    s.status = "accepted";
    s.fields = {{"NAME", id}, {std::string("ONLY_") + id, "x"}};
    ASSERT_TRUE(store->add_submission(s, &error)) << error;
  }
  bool more = false;
  auto names = store->field_names(SubmissionFilter(), 2, &more, &error);
  ASSERT_TRUE(names) << error;
  EXPECT_EQ((std::vector<std::string>{"NAME", "ONLY_b"}), *names);
  EXPECT_TRUE(more);
  auto records = store->records(SubmissionFilter(), nullptr, 10, &error);
  ASSERT_TRUE(records) << error;
  ASSERT_EQ(2u, records->size());
  EXPECT_EQ("b", (*records)[0].id);

  std::string rest;
  for (int i = 0; rest.size() < 300 * 1024; ++i) rest += "part " + std::to_string(i) + '\n';
  dir_.write("mail", rest);
  int in = ::open(dir_.file("mail").c_str(), O_RDONLY | O_CLOEXEC);
  int out = ::open(dir_.file("out").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  Delivery delivery;
  delivery.id = "parted";
  delivery.submission_id = "a";
  delivery.kind = "form_mail";
  delivery.payload = "MAIL FROM:<a@x.test>\n\n";
  delivery.payload_rest_fd = in;
  delivery.status = "pending";
  ASSERT_TRUE(store->add_delivery(delivery, &error)) << error;
  std::int64_t written = 0;
  ASSERT_TRUE(store->read_payload_rest("parted", out, &written, &error)) << error;
  EXPECT_EQ(static_cast<std::int64_t>(rest.size()), written);
  EXPECT_TRUE(testing_support::read_file(dir_.file("out")) == rest);
  ::close(in);
  ::close(out);
}

}  // namespace

// Four connections race over the same submissions as releases and resends started
// together do: each submission is claimed once, and one copy of its form mail is
// added while the others find it being sent.
// "s" and the number, built by appending: GCC 12 sees a false overlap in the sum.
std::string submission_id(int i) {
  std::string id = "s";
  id += std::to_string(i);
  return id;
}

TEST_F(PostgresArchiveStoreTest, ConcurrentClaimantsOfASubmissionOneWins) {
  constexpr int kSubmissions = 40;
  constexpr int kClaimants = 4;
  auto setup = open();
  ASSERT_NE(nullptr, setup);
  std::string error;
  for (int i = 0; i < kSubmissions; ++i) {
    ArchivedSubmission submission;
    submission.id = submission_id(i);
    submission.status = "spam";
    ASSERT_TRUE(setup->add_submission(submission, &error)) << error;
  }
  int claims[kClaimants] = {}, copies[kClaimants] = {};
  std::string failures[kClaimants];
  auto claimant = [&](int which) {
    auto store = open();
    if (!store) return;
    for (int i = 0; i < kSubmissions; ++i) {
      std::string id = submission_id(i), failure;
      bool claimed = false, added = false;
      ActionOutcome outcome{"release", "done", 1000, "by " + std::to_string(which)};
      if (!store->claim_submission(id, "spam", "received", &outcome, 0, &claimed, &failure))
        failures[which] += "claim " + id + ": " + failure + "\n";
      Delivery copy;
      copy.id = id + "-" + std::to_string(which);
      copy.submission_id = id;
      copy.kind = "form_mail";
      copy.status = "pending";
      copy.claim = copy.id;
      copy.claimed_until = 1000 + kHold;
      if (!store->add_delivery_unless_held(copy, 1000, &added, &failure))
        failures[which] += "copy " + id + ": " + failure + "\n";
      claims[which] += claimed ? 1 : 0;
      copies[which] += added ? 1 : 0;
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kClaimants; ++i) threads.emplace_back(claimant, i);
  for (std::thread& thread : threads) thread.join();
  for (const std::string& failure : failures) EXPECT_EQ("", failure);
  EXPECT_EQ(kSubmissions, std::accumulate(std::begin(claims), std::end(claims), 0));
  EXPECT_EQ(kSubmissions, std::accumulate(std::begin(copies), std::end(copies), 0));
}
