// Concurrency and crash tests of the database: many threads mutating and reading one
// collection, and a process killed in the middle of its mutations.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "quarn_core/db.hpp"
#include "testutil.hpp"

extern char** environ;

namespace quarn_core::db {
namespace {

namespace fs = std::filesystem;
using distance::Metric;
using error::ErrorKind;
using json::Value;
using testing::create;
using testing::log_records;
using testing::name;
using testing::Ok;
using testing::Records;
using testing::records_of;
using testing::reopen;
using testing::TempDir;
using testing::text;
using Vec = std::vector<float>;

// ---------------------------------------------------------------------------------------------
// Many threads, one collection.
//
// Every write derives the vector and the metadata of a record from one stamp, unique to the
// operation: vector[0] is the stamp, vector[1] the id's number, and the metadata (absent for
// every seventh stamp) repeats both. Any read can then tell whether the vector and metadata it
// got belong together and to the id they came with.

constexpr std::size_t kDim = 6;
constexpr int kThreads = 4;
constexpr int kOpsPerThread = 1200;
constexpr int kIds = 40;
constexpr int kGroups = 5;

bool has_metadata(std::uint32_t stamp) { return stamp % 7 != 0; }

Vec vector_for(int id, std::uint32_t stamp) {
  Vec v(kDim);
  v[0] = static_cast<float>(stamp);
  v[1] = static_cast<float>(id);
  for (std::size_t j = 2; j < kDim; ++j) {
    v[j] = static_cast<float>((stamp * 2654435761u + j * 40503u) % 1000) / 100.0f;
  }
  return v;
}

Metadata metadata_for(int id, std::uint32_t stamp, int thread) {
  if (!has_metadata(stamp)) return std::nullopt;
  Value v = Value::object();
  v["stamp"] = stamp;
  v["id"] = id;
  v["t"] = thread;
  v["g"] = static_cast<int>(stamp % kGroups);
  return v;
}

// Empty when the pair is one record's, as written; otherwise what is wrong.
std::string inconsistency(const std::string& id, const Vec& vector, const Metadata& metadata) {
  if (vector.size() != kDim) return id + ": vector of length " + std::to_string(vector.size());
  const auto stamp = static_cast<std::uint32_t>(vector[0]);
  const int number = std::stoi(id.substr(2));
  if (vector[1] != static_cast<float>(number)) return id + ": holds the vector of another id";
  if (vector != vector_for(number, stamp)) return id + ": vector damaged";
  if (has_metadata(stamp) != metadata.has_value()) return id + ": metadata from another write";
  if (metadata && (metadata->at("stamp") != stamp || metadata->at("id") != number)) {
    return id + ": metadata " + text(metadata) + " with the vector of stamp " +
           std::to_string(stamp);
  }
  return "";
}

struct Failures {
  std::mutex mu;
  std::vector<std::string> messages;
  void add(std::string m) {
    std::lock_guard lock(mu);
    if (messages.size() < 20) messages.push_back(std::move(m));
  }
};

void run_worker(Database& db, int thread, std::uint32_t seed, Failures& failures,
                std::vector<std::uint32_t>& stamps_written) {
  std::mt19937 rng(seed + static_cast<std::uint32_t>(thread));
  std::uniform_int_distribution<int> pick_id(0, kIds - 1);
  std::uniform_int_distribution<int> pick_op(0, 999);
  auto expect_ok_or = [&](const auto& r, std::initializer_list<ErrorKind> allowed, const char* op) {
    if (!r && std::find(allowed.begin(), allowed.end(), r.error().kind()) == allowed.end()) {
      failures.add(std::string(op) + ": " + r.error().to_string());
    }
  };
  for (int i = 0; i < kOpsPerThread; ++i) {
    // Four stamps per operation, one per item of a batch.
    const auto stamp = static_cast<std::uint32_t>(thread * 100000 + i * 4 + 1);
    const int number = pick_id(rng);
    const std::string id = name("id", number);
    auto record = [&](int n, std::uint32_t item) {
      stamps_written.push_back(stamp + item);
      return Record{name("id", n), vector_for(n, stamp + item),
                    metadata_for(n, stamp + item, thread)};
    };
    const int op = pick_op(rng);
    if (op < 200) {
      auto r = record(number, 0);
      expect_ok_or(db.add(id, r.vector, r.metadata), {ErrorKind::DuplicateId}, "add");
    } else if (op < 400) {
      auto r = record(number, 0);
      expect_ok_or(db.upsert(id, r.vector, r.metadata), {}, "upsert");
    } else if (op < 520) {
      auto r = record(number, 0);
      expect_ok_or(db.update(id, r.vector, std::optional(r.metadata)), {ErrorKind::NotFound},
                   "update");
    } else if (op < 640) {
      expect_ok_or(db.remove(id), {}, "remove");
    } else if (op < 670) {
      expect_ok_or(db.delete_many({id, name("id", pick_id(rng)), id}), {}, "delete_many");
    } else if (op < 700) {
      // May name one id twice: the last item wins.
      expect_ok_or(
          db.upsert_many({record(number, 0), record(pick_id(rng), 1), record(pick_id(rng), 2)}), {},
          "upsert_many");
    } else if (op < 720) {
      expect_ok_or(db.add_many({record(number, 0), record(pick_id(rng), 1)}),
                   {ErrorKind::DuplicateId}, "add_many");
    } else if (op < 840) {
      auto got = db.get(id);
      expect_ok_or(got, {ErrorKind::NotFound}, "get");
      if (got) {
        if (auto bad = inconsistency(id, got->first, got->second); !bad.empty()) {
          failures.add("get: " + bad);
        }
      }
    } else if (op < 975) {
      const Filter group = Filter::eq("g", op % kGroups);
      SearchOptions options = testing::nearest(op < 960 ? 8 : 5);
      if (op % 2 == 0) options.filter = &group;
      if (op >= 960) {
        expect_ok_or(db.search_many({vector_for(1, stamp), vector_for(2, stamp)}, options), {},
                     "search_many");
        continue;
      }
      auto hits = db.search(vector_for(number, stamp), options);
      expect_ok_or(hits, {}, "search");
      if (!hits) continue;
      for (const auto& h : *hits) {
        if (h.id.empty()) failures.add("search: a hit without id");
        if (options.filter != nullptr && !group.matches(h.metadata)) {
          failures.add("search: " + h.id + " does not match the filter");
        }
        if (h.metadata && h.metadata->at("id") != std::stoi(h.id.substr(2))) {
          failures.add("search: " + h.id + " came with the metadata " + text(h.metadata));
        }
      }
    } else if (op < 990) {
      (void)db.count(Filter::eq("g", op % kGroups));
      (void)db.count(Filter::ne("t", thread));
      (void)db.stats();
    } else if (op < 997) {
      expect_ok_or(db.save(), {}, "save");
    } else {
      db.compact();
    }
  }
}

// Every invariant of a quiet collection that the public interface can show.
void check_invariants(const Database& db, const std::vector<std::uint32_t>& stamps_written) {
  const auto ids = db.ids();
  const std::set<std::string> unique(ids.begin(), ids.end());
  ASSERT_EQ(unique.size(), ids.size()) << "an id is listed twice";
  EXPECT_EQ(db.count(), ids.size());
  EXPECT_EQ(db.total_slots() - db.deleted_count(), db.count());

  std::set<std::uint32_t> live_stamps;
  std::map<int, std::set<std::string>> groups;
  std::map<int, std::size_t> per_thread;
  std::size_t with_metadata = 0;
  for (const auto& id : ids) {
    auto got = db.get(id);
    ASSERT_TRUE(Ok(got)) << id;
    EXPECT_EQ(inconsistency(id, got->first, got->second), "");
    if (got->second) {
      ++with_metadata;
      EXPECT_TRUE(live_stamps.insert((*got->second)["stamp"].get<std::uint32_t>()).second);
      groups[(*got->second)["g"].get<int>()].insert(id);
      ++per_thread[(*got->second)["t"].get<int>()];
    }
  }
  // Index entries exist for the live records' values and for nothing else: a value written
  // only by records that were since deleted or overwritten counts 0.
  for (std::uint32_t stamp : stamps_written) {
    if (!has_metadata(stamp)) continue;
    EXPECT_EQ(db.count(Filter::eq("stamp", stamp)), live_stamps.contains(stamp) ? 1u : 0u)
        << "stamp " << stamp;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(db.count(Filter::eq("t", t)), per_thread[t]);
  // The scan (a condition the index cannot answer) agrees with the index.
  EXPECT_EQ(db.count(Filter::ne("g", -1)), with_metadata);

  // Searches find every live record, and exactly the ones of a group under its filter.
  for (int g = -1; g < kGroups; ++g) {
    const Filter f = Filter::eq("g", g);
    SearchOptions all = testing::nearest(1000);
    if (g >= 0) all.filter = &f;
    auto hits = db.search(vector_for(0, 1), all);
    ASSERT_TRUE(Ok(hits));
    std::set<std::string> found;
    for (const auto& h : *hits) found.insert(h.id);
    EXPECT_EQ(found, g < 0 ? unique : groups[g]) << "group " << g;
    if (g >= 0) {
      EXPECT_EQ(db.count(f), groups[g].size());
    }
  }
}

TEST(DbStress, ConcurrentMutationsReadsAndSavesKeepTheInvariants) {
  for (std::uint32_t seed : {1u, 2u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempDir tmp;
    const fs::path dir = tmp.path() / "c";
    auto db = create(dir, kDim, Metric::Euclidean, {.m = 8, .ef_construction = 40});
    ASSERT_NE(db, nullptr);

    Failures failures;
    std::vector<std::vector<std::uint32_t>> stamps(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back(run_worker, std::ref(*db), t, seed, std::ref(failures),
                           std::ref(stamps[static_cast<std::size_t>(t)]));
    }
    for (auto& th : threads) th.join();
    for (const auto& m : failures.messages) ADD_FAILURE() << m;

    std::vector<std::uint32_t> all_stamps;
    for (const auto& s : stamps) all_stamps.insert(all_stamps.end(), s.begin(), s.end());
    const Records want = records_of(*db);
    EXPECT_GT(want.size(), 0u);
    for (const char* phase : {"after the run", "after reopening", "after compacting"}) {
      SCOPED_TRACE(phase);
      if (phase[6] == 'r') {  // the saved files plus the log rebuild exactly what memory held
        db.reset();
        db = create(dir, kDim);
        ASSERT_NE(db, nullptr);
      } else if (phase[6] == 'c') {
        db->compact();
        EXPECT_EQ(db->total_slots(), db->count());
      }
      EXPECT_EQ(records_of(*db), want);
      check_invariants(*db, all_stamps);
    }
  }
}

// Threads racing to add the same ids: one add of each id wins, the others fail with
// DuplicateId and leave no record behind, so a replay rebuilds the winners' vectors.
TEST(DbStress, RacingAddsOfOneIdLogOnlyTheWinner) {
  constexpr int kRaced = 150;
  TempDir tmp;
  const fs::path dir = tmp.path() / "c";
  auto db = create(dir, 2);
  ASSERT_NE(db, nullptr);
  std::atomic<int> added{0}, other_errors{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRaced; ++i) {
        auto r =
            db->add(name("r", i), {static_cast<float>(t), static_cast<float>(i)}, std::nullopt);
        if (r) {
          ++added;
        } else if (r.error().kind() != ErrorKind::DuplicateId) {
          ++other_errors;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(added.load(), kRaced);
  EXPECT_EQ(other_errors.load(), 0);
  EXPECT_EQ(log_records(dir), static_cast<std::size_t>(kRaced));
  const Records want = records_of(*db);
  EXPECT_EQ(want.size(), static_cast<std::size_t>(kRaced));
  db.reset();
  db = create(dir, 2);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(records_of(*db), want);
}

// One report to the parent: a single write of less than PIPE_BUF bytes, which a kill cannot
// split.
void write_line(int fd, const std::string& line) {
  const std::string out = line + "\n";
  if (::write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) _exit(3);
}

// ---------------------------------------------------------------------------------------------
// Mutations as values, run against a collection and applied to a model of its records.

struct Op {
  enum Kind { Add, Upsert, Update, Delete, UpsertMany, DeleteMany } kind;
  std::string id;
  Vec vector;
  Metadata metadata;
  bool with_vector = true;    // Update only
  bool with_metadata = true;  // Update only
  std::vector<Record> items;  // UpsertMany: the items; DeleteMany: the ids
};

// What a sequence of operations leaves, by the rules of each call.
void apply_op(Records& model, const Op& op) {
  auto it = model.find(op.id);
  switch (op.kind) {
    case Op::Add:
      if (it == model.end()) model[op.id] = {op.vector, text(op.metadata)};
      break;
    case Op::Upsert:
      model[op.id] = {op.vector, text(op.metadata)};
      break;
    case Op::Update:
      if (it == model.end()) break;
      if (op.with_vector) it->second.first = op.vector;
      if (op.with_metadata) it->second.second = text(op.metadata);
      break;
    case Op::Delete:
      if (it != model.end()) model.erase(it);
      break;
    case Op::UpsertMany:
      for (const auto& item : op.items) model[item.id] = {item.vector, text(item.metadata)};
      break;
    case Op::DeleteMany:
      for (const auto& item : op.items) model.erase(item.id);
      break;
  }
}

// Applies one operation. An add of a stored id and an update of a missing one are what the
// model expects of them; any other error is not.
Result<void> run_op(Database& db, const Op& op) {
  auto allow = [](const auto& r, std::optional<ErrorKind> expected = {}) -> Result<void> {
    if (!r && r.error().kind() != expected) return std::unexpected(r.error());
    return {};
  };
  std::vector<std::string> ids;
  switch (op.kind) {
    case Op::Add:
      return allow(db.add(op.id, op.vector, op.metadata), ErrorKind::DuplicateId);
    case Op::Upsert:
      return db.upsert(op.id, op.vector, op.metadata);
    case Op::Update:
      return allow(
          db.update(op.id, op.with_vector ? std::optional(op.vector) : std::nullopt,
                    op.with_metadata ? std::optional<Metadata>(op.metadata) : std::nullopt),
          ErrorKind::NotFound);
    case Op::Delete:
      return allow(db.remove(op.id));
    case Op::UpsertMany:
      return db.upsert_many(op.items);
    case Op::DeleteMany:
      for (const auto& item : op.items) ids.push_back(item.id);
      return allow(db.delete_many(ids));
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// One writer, in another thread or in another process, and a reader that opens, reads and
// drops handles. The writer mutates and saves over and over; every open in between must find
// a whole collection (never "not found", never half of one save and half of another), and
// the final reopen must be exactly what the writer was told it had written.

constexpr int kWriterIterations = 2000;
constexpr int kWriterIds = 24;
constexpr const char* kWriterEnv = "QUARN_TEST_WRITER";

// Iteration i of the writer: upserts, full updates, deletions and batches over ids spread by
// a stride, each record stamped so that a reader can check it whole.
Op writer_op(int i) {
  constexpr Op::Kind kKinds[] = {Op::Upsert, Op::Upsert, Op::Upsert,     Op::Upsert,
                                 Op::Update, Op::Delete, Op::UpsertMany, Op::DeleteMany};
  const int n = (i * 7) % kWriterIds;
  const auto stamp = static_cast<std::uint32_t>(i * 4 + 1);
  Op op{kKinds[i % 8],
        name("id", n),
        vector_for(n, stamp),
        metadata_for(n, stamp, 0),
        true,
        true,
        {}};
  std::vector<int> batch;
  if (op.kind == Op::UpsertMany) batch = {n, (n + 5) % kWriterIds, (n + 11) % kWriterIds};
  if (op.kind == Op::DeleteMany) batch = {n, (n + 3) % kWriterIds};
  for (std::size_t k = 0; k < batch.size(); ++k) {
    const auto s = stamp + static_cast<std::uint32_t>(k);
    op.items.push_back(
        {name("id", batch[k]), vector_for(batch[k], s), metadata_for(batch[k], s, 0)});
  }
  return op;
}

Records model_after(int iterations) {
  Records model;
  for (int i = 0; i < iterations; ++i) apply_op(model, writer_op(i));
  return model;
}

Result<void> writer_step(Database& db, int i) {
  if (auto r = run_op(db, writer_op(i)); !r) return r;
  if (i % 50 == 49) db.compact();  // renumbers every slot under concurrent reads
  return i % 4 == 3 ? db.save() : Result<void>{};
}

// Opens the saved collection once and checks it; what is wrong, or "". A reader follows
// the writer call by call, so the count and the ids may come from states a change apart:
// they must agree in one of a few tries.
std::string read_once(const fs::path& dir) {
  auto db = Database::open(dir);
  if (!db) return "open: " + db.error().to_string();
  std::vector<std::string> ids;
  for (int attempt = 0;; ++attempt) {
    ids = (*db)->ids();
    if ((*db)->count() == ids.size()) break;
    if (attempt == 20) return "count differs from the ids";
  }
  for (const auto& id : ids) {
    auto got = (*db)->get(id);
    if (!got) return "get " + id + ": " + got.error().to_string();
    if (auto bad = inconsistency(id, got->first, got->second); !bad.empty()) return bad;
  }
  return "";
}

// The writer's first four iterations, ending with a save.
void seed_collection(const fs::path& dir) {
  auto db = create(dir, kDim);
  ASSERT_NE(db, nullptr);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(Ok(writer_step(*db, i)));
}

// Starts this test binary again, running one disabled test with `value` in `env`; the child
// reports on the write end of a pipe, whose read end is returned with its pid. Everything the
// child needs is built before the fork: between fork and exec it may only make
// async-signal-safe calls. A quiet child writes its output to /dev/null.
std::pair<pid_t, int> spawn_child(const char* test, const char* env, const std::string& value,
                                  bool quiet = false) {
  int fds[2];
  if (::pipe(fds) != 0) return {-1, -1};
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  std::vector<std::string> args = {self, std::string("--gtest_filter=") + test,
                                   "--gtest_also_run_disabled_tests"};
  std::vector<std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) vars.emplace_back(*e);
  vars.push_back(std::string(env) + "=" + std::to_string(fds[1]) + " " + value);
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : vars) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int devnull = quiet ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (devnull >= 0) {
      ::dup2(devnull, STDOUT_FILENO);
      ::dup2(devnull, STDERR_FILENO);
    }
    ::execve(self.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  ::close(fds[1]);
  if (devnull >= 0) ::close(devnull);
  if (pid < 0) ::close(fds[0]);
  return {pid, pid < 0 ? -1 : fds[0]};
}

// What spawn_child passed to the child: the pipe to report on, the collection, and a seed for
// the children that take one.
struct ChildArgs {
  int fd = -1;
  std::string dir;
  std::uint32_t seed = 0;
};
ChildArgs child_args(const char* env) {
  ChildArgs a;
  std::istringstream(std::getenv(env)) >> a.fd >> a.dir >> a.seed;
  return a;
}

// The next line the child wrote, or "" at the end of the pipe.
std::string read_line(int fd) {
  std::string line;
  char c;
  while (::read(fd, &c, 1) == 1) {
    if (c == '\n') return line;
    line += c;
  }
  return line;
}

// The child's side of the two-process test: the writer, from iteration 4 on.
TEST(DbStressChild, DISABLED_WriteAndSave) {
  if (std::getenv(kWriterEnv) == nullptr) GTEST_SKIP() << "run by the two-process test";
  const auto [fd, dir, seed] = child_args(kWriterEnv);
  auto db = Database::open(dir);
  if (!db) _exit(2);
  write_line(fd, "ready");
  for (int i = 4; i < kWriterIterations; ++i) {
    if (auto r = writer_step(**db, i); !r) {
      write_line(fd, "error " + std::to_string(i) + " " + r.error().to_string());
      _exit(2);
    }
  }
  write_line(fd, "done");
  _exit(0);
}

// The writer runs in a thread of this process or in a child process; the main thread opens,
// reads and drops handles until it is finished. With the writer in a thread, another thread
// reads the writer's own handle, which must show each record whole while it is rewritten
// and while compaction renumbers the slots under it.
class DbWriter : public ::testing::TestWithParam<bool> {};

TEST_P(DbWriter, ReadersSeeWholeSavesAndTheFinalStateIsAcknowledged) {
  const bool child = GetParam();
  TempDir tmp(/*in_memory=*/true);
  const fs::path dir = tmp.path() / "c";
  seed_collection(dir);
  Failures failures;
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  std::shared_ptr<Database> writer;
  pid_t pid = -1;
  int fd = -1, flags = 0;
  if (child) {
    std::tie(pid, fd) =
        spawn_child("DbStressChild.DISABLED_WriteAndSave", kWriterEnv, dir.string());
    ASSERT_GT(pid, 0);
    ASSERT_EQ(read_line(fd), "ready");
    flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    // A second reader thread: the two share the collection whenever their handles overlap,
    // so one thread's reads catch up with the writer while the other's run.
    threads.emplace_back([&] {
      while (!done.load()) {
        if (auto bad = read_once(dir); !bad.empty()) failures.add(bad);
      }
    });
  } else {
    writer = reopen(dir);
    ASSERT_NE(writer, nullptr);
    threads.emplace_back([&] {
      for (int i = 4; i < kWriterIterations; ++i) {
        if (auto r = writer_step(*writer, i); !r) {
          failures.add("iteration " + std::to_string(i) + ": " + r.error().to_string());
          break;
        }
      }
      done = true;
    });
    threads.emplace_back([&] {
      for (std::size_t n = 0; !done.load(); ++n) {
        const std::string id = name("id", n % kWriterIds);
        auto got = writer->get(id);
        if (!got && got.error().kind() != ErrorKind::NotFound) {
          failures.add(got.error().to_string());
        }
        if (!got) continue;
        if (auto bad = inconsistency(id, got->first, got->second); !bad.empty()) failures.add(bad);
      }
    });
  }
  // The child's pipe says when it is finished without polling.
  std::string report;
  auto finished = [&] {
    if (!child) return done.load();
    char chunk[256];
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got > 0) report.append(chunk, static_cast<std::size_t>(got));
    return got == 0 || report.find('\n') != std::string::npos;
  };
  int reads = 0;
  std::string failure;
  while (!finished()) {
    if (failure = read_once(dir); !failure.empty()) break;
    ++reads;
  }
  done = true;
  for (auto& t : threads) t.join();
  writer.reset();
  for (const auto& m : failures.messages) ADD_FAILURE() << m;
  EXPECT_EQ(failure, "");
  EXPECT_GT(reads, 0);
  RecordProperty("reads", reads);
  if (child) {
    ::fcntl(fd, F_SETFL, flags);
    if (report.find('\n') == std::string::npos) report += read_line(fd);
    ::close(fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_EQ(report.substr(0, 4), "done") << report;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto reopened = reopen(dir);
  ASSERT_NE(reopened, nullptr);
  EXPECT_EQ(records_of(*reopened), model_after(kWriterIterations));
}

INSTANTIATE_TEST_SUITE_P(DbStress, DbWriter, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "InAnotherProcess" : "InAThread"; });

// The child of the refusal test: changes the collection, then waits to be killed.
TEST(DbStressChild, DISABLED_HoldTheCollection) {
  if (std::getenv(kWriterEnv) == nullptr) GTEST_SKIP() << "run by the refusal test";
  const auto [fd, dir, seed] = child_args(kWriterEnv);
  auto db = Database::open(dir);
  if (!db || !(*db)->upsert("held", vector_for(1, 1), std::nullopt)) _exit(2);
  write_line(fd, "ready");
  for (;;) ::pause();
}

TEST(DbConcurrency, ASecondProcessMayReadButNotWriteACollectionInUse) {
  TempDir tmp(/*in_memory=*/true);
  const fs::path dir = tmp.path() / "c";
  seed_collection(dir);
  const auto [pid, fd] =
      spawn_child("DbStressChild.DISABLED_HoldTheCollection", kWriterEnv, dir.string());
  ASSERT_GT(pid, 0);
  ASSERT_EQ(read_line(fd), "ready");
  auto db = Database::open(dir);
  ASSERT_TRUE(Ok(db));
  EXPECT_TRUE((*db)->contains("held"));  // its change is in the log
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto r = attempt == 0 ? (*db)->upsert("mine", vector_for(2, 2), std::nullopt) : (*db)->save();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(),
              "io error: collection '" + dir.string() + "' is being written by another process");
  }
  EXPECT_FALSE((*db)->contains("mine"));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  ::close(fd);
  EXPECT_TRUE(Ok((*db)->upsert("mine", vector_for(2, 2), std::nullopt)));
  EXPECT_TRUE(Ok((*db)->save()));
}

// ---------------------------------------------------------------------------------------------
// Kill and reopen.
//
// The child process is this test binary again (exec'd, so it starts without the parent's
// threads), running the disabled test below. It applies a seeded list of mutations and
// reports each one on a pipe after the call has returned; the parent kills it with SIGKILL
// at a random moment and reopens the collection. Everything reported must be there, and
// nothing beyond the one mutation that may have been in flight.

constexpr const char* kCrashEnv = "QUARN_TEST_CRASH_CHILD";
constexpr std::size_t kCrashDim = 4;
constexpr int kCrashIds = 25;
constexpr int kCrashOps = 20000;
constexpr int kBaseRecords = 10;

std::vector<Op> crash_ops(std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Op> ops;
  ops.reserve(kCrashOps);
  for (int i = 0; i < kCrashOps; ++i) {
    Op op;
    // Every tenth operation is a batch, whose records a kill must leave all or none of.
    const auto pick = rng() % 40;
    op.kind = static_cast<Op::Kind>(pick < 36 ? pick % 4 : pick < 38 ? 4 : 5);
    op.id = name("k", rng() % kCrashIds);
    const auto f = static_cast<float>(i);
    op.vector = {f, f + 0.5f, -f, static_cast<float>(seed)};
    if (rng() % 5 != 0) {
      Value m = Value::object();
      m["op"] = i;
      m["c"] = (rng() % 2 == 0) ? "red" : "blue";
      op.metadata = std::move(m);
    }
    op.with_vector = rng() % 3 != 0;
    op.with_metadata = !op.with_vector || rng() % 2 == 0;
    if (op.kind == Op::UpsertMany || op.kind == Op::DeleteMany) {
      for (int k = 0; k < 12; ++k) {
        const auto g = static_cast<float>(k);
        op.items.push_back({name("k", rng() % kCrashIds), {f, g, -f, -g}, op.metadata});
      }
    }
    ops.push_back(std::move(op));
  }
  return ops;
}

Records base_model() {
  Records m;
  for (int i = 0; i < kBaseRecords; ++i) {
    const auto f = static_cast<float>(i);
    m[name("k", i)] = {{-f, f, 1, 1}, "<none>"};
  }
  return m;
}

// The child's side. Not run on its own: the parent runs it with its arguments in the
// environment.
TEST(DbCrashChild, DISABLED_MutateUntilKilled) {
  if (std::getenv(kCrashEnv) == nullptr)
    GTEST_SKIP() << "run by DbCrash.AcknowledgedMutationsSurviveSigkill";
  const ChildArgs args = child_args(kCrashEnv);
  const int fd = args.fd;
  auto fail = [fd](const std::string& why) {
    write_line(fd, "error " + why);
    _exit(2);
  };
  auto opened = Database::open_or_create_with_config(args.dir, kCrashDim, Metric::Euclidean, {});
  if (!opened) fail("open " + opened.error().to_string());
  const auto ops = crash_ops(args.seed);
  write_line(fd, "ready");
  for (int i = 0; i < kCrashOps; ++i) {
    auto r = run_op(**opened, ops[static_cast<std::size_t>(i)]);
    if (!r) fail(std::to_string(i) + " " + r.error().to_string());
    write_line(fd, "ok " + std::to_string(i));
    // Saves now and then, so that kills also land inside a save.
    if (i % 20 == 19 && !(r = (*opened)->save())) fail("save " + r.error().to_string());
  }
  write_line(fd, "done");
  for (;;) ::pause();  // until the parent kills us
}

struct ChildRun {
  std::vector<std::string> lines;
  int status = 0;
};

// Starts the child, kills it `delay` after it is ready (or after a minute if it never is),
// and collects what it reported up to the end of the pipe, which its death closes.
ChildRun run_child(const fs::path& dir, std::uint32_t seed, std::chrono::microseconds delay) {
  ChildRun run;
  const auto [pid, fd] = spawn_child("DbCrashChild.DISABLED_MutateUntilKilled", kCrashEnv,
                                     dir.string() + " " + std::to_string(seed), /*quiet=*/true);
  if (pid < 0) {
    ADD_FAILURE() << "fork or pipe: " << std::strerror(errno);
    return run;
  }
  std::mutex mu;
  std::condition_variable cv;
  bool ready = false, ended = false;
  std::thread killer([&, child = pid] {
    std::unique_lock lock(mu);
    if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return ready || ended; })) {
      ADD_FAILURE() << "the child never became ready";
    } else if (ready) {
      lock.unlock();
      std::this_thread::sleep_for(delay);
    }
    ::kill(child, SIGKILL);  // harmless if it ended by itself: it is not reaped yet
  });
  auto notify = [&](bool& flag) {
    std::lock_guard lock(mu);
    flag = true;
    cv.notify_one();
  };
  for (std::string line; !(line = read_line(fd)).empty();) {
    run.lines.push_back(line);
    if (line == "ready") notify(ready);
  }
  notify(ended);
  killer.join();
  ::close(fd);
  ::waitpid(pid, &run.status, 0);
  return run;
}

// QUARN_CRASH_KILLS children (6 by default; `make crash` runs 240), each killed once.
TEST(DbCrash, AcknowledgedMutationsSurviveSigkill) {
  const char* kills_env = std::getenv("QUARN_CRASH_KILLS");
  const std::uint32_t kills =
      kills_env != nullptr ? static_cast<std::uint32_t>(std::atoi(kills_env)) : 6;
  int lost = 0, failed_reopens = 0;
  for (std::uint32_t seed = 1; seed <= kills; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempDir tmp;
    const fs::path dir = tmp.path() / "c";
    // Even seeds start from a saved collection, odd ones from nothing (the log is then the
    // only copy of the data).
    const bool saved_base = seed % 2 == 0;
    Records model;
    if (saved_base) {
      model = base_model();
      auto db = create(dir, kCrashDim);
      ASSERT_NE(db, nullptr);
      for (const auto& [id, rec] : model) ASSERT_TRUE(Ok(db->add(id, rec.first, std::nullopt)));
      ASSERT_TRUE(Ok(db->save()));
    }

    std::mt19937 rng(seed * 7919u);
    const auto delay = std::chrono::microseconds(500 + rng() % 15000);
    const ChildRun run = run_child(dir, seed, delay);
    ASSERT_TRUE(WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGKILL)
        << "the child ended otherwise: status " << run.status
        << (run.lines.empty() ? "" : ", last line: " + run.lines.back());
    ASSERT_FALSE(run.lines.empty());
    ASSERT_EQ(run.lines.front(), "ready");
    int done = 0;  // acknowledged ops are 0 .. done-1
    for (std::size_t i = 1; i < run.lines.size(); ++i) {
      if (run.lines[i] == "done") break;
      ASSERT_EQ(run.lines[i], "ok " + std::to_string(done)) << "unexpected report";
      ++done;
    }

    const auto ops = crash_ops(seed);
    for (int i = 0; i < done; ++i) apply_op(model, ops[static_cast<std::size_t>(i)]);
    const Records acknowledged = model;
    std::optional<Records> with_in_flight;
    if (done < kCrashOps) {
      apply_op(model, ops[static_cast<std::size_t>(done)]);
      with_in_flight = model;
    }

    for (int round = 0; round < 2; ++round) {  // replaying twice gives the same state
      SCOPED_TRACE("reopen " + std::to_string(round) + " after " + std::to_string(done) +
                   " acknowledged mutations");
      auto db = saved_base
                    ? Database::open(dir)
                    : Database::open_or_create_with_config(dir, kCrashDim, Metric::Euclidean, {});
      failed_reopens += db ? 0 : 1;
      ASSERT_TRUE(Ok(db));
      const Records got = records_of(**db);
      const bool whole = got == acknowledged || (with_in_flight && got == *with_in_flight);
      lost += whole ? 0 : 1;
      EXPECT_TRUE(whole) << "the reopened collection holds " << got.size()
                         << " records, the acknowledged state " << acknowledged.size();
      EXPECT_EQ((*db)->count(), got.size());
      EXPECT_EQ((*db)->total_slots() - (*db)->deleted_count(), got.size());
      std::size_t red = 0;
      for (const auto& [id, rec] : got) red += rec.second.find(R"("c":"red")") != std::string::npos;
      EXPECT_EQ((*db)->count(Filter::eq("c", "red")), red);
    }
  }
  std::printf("kill test: %u kills, %d reopens that lost acknowledged changes, %d failed reopens\n",
              kills, lost, failed_reopens);
}

}  // namespace
}  // namespace quarn_core::db
