// Failures injected where the disk or the allocator would fail: every write, fsync, rename,
// unlink and truncate of a scenario in turn (ENOSPC, then EIO), and every allocation of a
// mutation in turn. A failing call must report its error, and neither leave a trace of
// itself nor lose a change acknowledged before it.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "quarn_core/db.hpp"
#include "quarn_core/io.hpp"
#include "quarn_core/wal.hpp"
#include "testutil.hpp"

// ---------------------------------------------------------------------------------------------
// Allocation failure: while armed on a thread, the n-th allocation of that thread throws.
// (GCC takes the replacement delete below for a mismatch with the new it inlines.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#pragma GCC diagnostic ignored "-Wrestrict"  // a known false alarm on string concatenation

namespace {
thread_local long alloc_countdown = -1;  // -1: not armed
thread_local bool alloc_failed = false;
}  // namespace

void* operator new(std::size_t size) {
  if (alloc_countdown >= 0 && alloc_countdown-- == 0) {
    alloc_failed = true;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// The nothrow forms are left alone: their callers (std::stable_sort's buffer) carry on
// without the memory, so a failure there is not one a caller would see.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace quarn_core::testing {
void fail_nth_allocation(long n) {
  if (n >= 0) alloc_failed = false;
  alloc_countdown = n;
}
bool allocation_failed() { return alloc_failed; }
}  // namespace quarn_core::testing

namespace quarn_core::db {
namespace {

namespace fs = std::filesystem;
using distance::Metric;
using error::ErrorKind;
using json::Value;
using testing::Ok;
using testing::TempDir;
using Vec = std::vector<float>;
using State = testing::Records;
using testing::records_of;
using testing::text;

Metadata tag(const std::string& s) { return Value{{"t", s}, {"n", s.size()}}; }

Vec vec(float x) { return {x, x + 1, -x}; }

std::shared_ptr<Database> open_dir(const fs::path& dir, bool may_fail = false) {
  auto r = Database::open_or_create_with_config(dir, 3, Metric::Euclidean, {});
  if (!may_fail) {
    EXPECT_TRUE(Ok(r));
  }
  return r ? std::move(*r) : nullptr;
}

// ---------------------------------------------------------------------------------------------
// I/O faults

struct Injection {
  std::atomic<long> calls{0};
  long fail_at = -1;  // the index of the call to fail, -1 for none
  int code = 0;
  std::atomic<bool> fired{false};
};
Injection injection;

int hook(io::FileOp, const char*) {
  const long n = injection.calls.fetch_add(1);
  if (n != injection.fail_at) return 0;
  injection.fired = true;
  return injection.code;
}

// One step of the scenario: a mutation with its effect on the model, or a save or sync.
struct Step {
  std::string name;
  std::function<Result<void>(Database&)> run;
  std::function<void(State&)> apply;  // null for save and sync
};

template <class T>
Result<void> as_void(Result<T> r) {
  if (!r) return std::unexpected(std::move(r.error()));
  return {};
}

std::vector<Step> scenario() {
  std::vector<Step> steps;
  auto put = [&](std::string id, float x, bool upsert) {
    steps.push_back({(upsert ? "upsert " : "add ") + id,
                     [=](Database& db) {
                       return upsert ? db.upsert(id, vec(x), tag(id)) : db.add(id, vec(x), tag(id));
                     },
                     [=](State& s) {
                       s[id] = {vec(x), text(tag(id))};
                     }});
  };
  auto save = [&] { steps.push_back({"save", [](Database& db) { return db.save(); }, nullptr}); };
  put("a", 1, false);
  put("b", 2, false);
  save();
  put("a", 3, true);
  steps.push_back(
      {"update b",
       [](Database& db) { return db.update("b", vec(4), std::optional<Metadata>(std::in_place)); },
       [](State& s) {
         if (s.contains("b")) s["b"] = {vec(4), "<none>"};
       }});
  steps.push_back({"add_many c d",
                   [](Database& db) {
                     return db.add_many({{"c", vec(5), tag("c")}, {"d", vec(6), std::nullopt}});
                   },
                   [](State& s) {
                     s["c"] = {vec(5), text(tag("c"))};
                     s["d"] = {vec(6), "<none>"};
                   }});
  steps.push_back({"sync", [](Database& db) { return db.sync(); }, nullptr});
  steps.push_back({"delete a", [](Database& db) { return as_void(db.remove("a")); },
                   [](State& s) { s.erase("a"); }});
  save();
  steps.push_back({"upsert_many b e",
                   [](Database& db) {
                     return db.upsert_many({{"b", vec(7), tag("b7")}, {"e", vec(8), tag("e")}});
                   },
                   [](State& s) {
                     s["b"] = {vec(7), text(tag("b7"))};
                     s["e"] = {vec(8), text(tag("e"))};
                   }});
  steps.push_back({"delete_many c d",
                   [](Database& db) {
                     return as_void(db.delete_many({"c", "d"}));
                   },
                   [](State& s) {
                     s.erase("c");
                     s.erase("d");
                   }});
  save();
  put("f", 9, false);
  return steps;
}

// Runs the scenario on a fresh directory; returns the state every acknowledged step built.
// After the injected failure, later steps may meet its consequence (an update of an id whose
// add failed): a NotFound or DuplicateId is then what the model predicts, not a fault.
State run_scenario(const fs::path& dir, bool expect_one_failure) {
  State model;
  auto db = open_dir(dir, expect_one_failure);
  if (!db) {
    EXPECT_TRUE(expect_one_failure && injection.fired);
    return model;
  }
  bool failed = false;
  for (const auto& step : scenario()) {
    const bool armed = !injection.fired;
    auto r = step.run(*db);
    if (!r && r.error().kind() != ErrorKind::Io) {
      EXPECT_TRUE(failed) << step.name << ": " << r.error().to_string();
      continue;
    }
    if (!r) {
      EXPECT_TRUE(expect_one_failure && armed && injection.fired && !failed)
          << step.name << ": " << r.error().to_string();
      failed = true;
      continue;
    }
    if (step.apply) step.apply(model);
  }
  // A fault may also land where a failure is harmless and ignored (removing a codes file
  // that a save without quantization no longer needs); then no step fails.
  if (failed) {
    EXPECT_TRUE(expect_one_failure && injection.fired.load());
  }
  // The handle in memory is never behind the model: a failed step changed nothing.
  EXPECT_EQ(records_of(*db), model);
  return model;
}

TEST(FaultInjection, EveryFailingWriteSyncRenameUnlinkOrTruncateLosesNoAcknowledgedChange) {
  // A clean run counts the operations that can fail.
  io::set_fault_hook(hook);
  injection.calls = 0;
  injection.fail_at = -1;
  injection.fired = false;
  long points = 0;
  {
    TempDir tmp;
    run_scenario(tmp.path() / "c", false);
    points = injection.calls.load();
  }
  ASSERT_GT(points, 40);
  int injected = 0;
  for (int code : {ENOSPC, EIO}) {
    for (long at = 0; at < points; ++at) {
      SCOPED_TRACE("operation " + std::to_string(at) + " fails with errno " + std::to_string(code));
      TempDir tmp;
      const fs::path dir = tmp.path() / "c";
      injection.calls = 0;
      injection.fail_at = at;
      injection.code = code;
      injection.fired = false;
      const State acknowledged = run_scenario(dir, true);
      injected += injection.fired ? 1 : 0;
      injection.fail_at = -1;
      auto reopened = open_dir(dir);
      ASSERT_NE(reopened, nullptr);
      EXPECT_EQ(records_of(*reopened), acknowledged);
      EXPECT_FALSE(fs::exists(dir / "graph.quarn.bak"));
    }
  }
  io::set_fault_hook(nullptr);
  EXPECT_EQ(injected, 2 * points);
  RecordProperty("injected_faults", injected);
}

// Setting the exact-scan limit (to a number, or back to the default) that fails at any of its
// file operations reports it and keeps the limit it had, in memory and for the next open.
TEST(FaultInjection, AnExactScanLimitThatFailsToWriteKeepsTheOldOne) {
  TempDir tmp;
  const fs::path dir = tmp.path() / "c";
  auto db = open_dir(dir);
  ASSERT_TRUE(Ok(db->add("a", vec(1), std::nullopt)));
  ASSERT_TRUE(Ok(db->save()));
  io::set_fault_hook(hook);
  int injected = 0;
  for (const std::optional<std::size_t> next :
       {std::optional<std::size_t>(7), std::optional<std::size_t>()}) {
    for (long at = 0;; ++at) {
      SCOPED_TRACE("operation " + std::to_string(at));
      injection.fail_at = -1;
      ASSERT_TRUE(Ok(db->set_exact_scan_limit(3)));
      injection.calls = 0;
      injection.fail_at = at;
      injection.code = EIO;
      injection.fired = false;
      const bool ok = db->set_exact_scan_limit(next).has_value();
      if (!injection.fired) break;
      ++injected;
      // Only the closing sync of the directory may fail without failing the call.
      const std::size_t expect = ok ? next.value_or(hnsw::kExactScanFloats) : 3;
      EXPECT_EQ(db->exact_scan_limit(), expect);
      injection.fail_at = -1;
      EXPECT_EQ(open_dir(dir)->exact_scan_limit(), expect);
      EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "exact_scan.tmp")));
    }
  }
  io::set_fault_hook(nullptr);
  EXPECT_GE(injected, 5);
}

// ---------------------------------------------------------------------------------------------
// Allocation failure

// A mutation's arguments are built before the failure is armed and moved into the call, so
// that only the library's own allocations can fail. Stored records carry string metadata:
// nlohmann's JSON destroys an object through a stack it allocates, and a failure there, in a
// destructor, ends the process whatever the caller does; the new metadata, which the calls
// only move, are objects.
struct Mutation {
  const char* name;
  std::function<std::function<void(Database&)>()> make;
};

Metadata object(const std::string& s) { return Value{{"t", s}, {"l", {1, 2}}}; }

TEST(FaultInjection, AMutationThatRunsOutOfMemoryLeavesNoTrace) {
  const std::vector<Mutation> mutations = {
      {"add",
       [] {
         return [md = object("n")](Database& db) mutable {
           (void)db.add("n", vec(10), std::move(md));
         };
       }},
      {"upsert stored",
       [] {
         return [md = object("x")](Database& db) mutable {
           (void)db.upsert("k1", vec(11), std::move(md));
         };
       }},
      {"upsert new", [] { return [](Database& db) { (void)db.upsert("n", vec(12), {}); }; }},
      {"update",
       [] {
         return [md = std::optional<Metadata>(object("y"))](Database& db) mutable {
           (void)db.update("k2", vec(13), std::move(md));
         };
       }},
      {"add_many",
       [] {
         std::vector<Record> items{{"n1", vec(14), object("a")}, {"n2", vec(15), std::nullopt}};
         return [items = std::move(items)](Database& db) mutable {
           (void)db.add_many(std::move(items));
         };
       }},
      {"upsert_many",
       [] {
         std::vector<Record> items{{"k3", vec(16), object("b")},
                                   {"n3", vec(17), object("c")},
                                   {"k2", vec(18), Value("s")},
                                   {"k2", vec(19), {}}};
         return [items = std::move(items)](Database& db) mutable {
           (void)db.upsert_many(std::move(items));
         };
       }},
      {"add_many_flat",
       [] {
         return [ids = std::vector<std::string>{"f1", "f2"}](Database& db) mutable {
           static const float rows[] = {1, 2, 3, 4, 5, 6};
           (void)db.add_many_flat(std::move(ids), rows, 3, {});
         };
       }},
      {"delete", [] { return [](Database& db) { (void)db.remove("k4"); }; }},
      {"delete_many",
       [] {
         return [ids = std::vector<std::string>{"k4", "k5"}](Database& db) {
           (void)db.delete_many(ids);
         };
       }},
  };
  for (bool saved : {false, true}) {
    for (const auto& m : mutations) {
      SCOPED_TRACE(std::string(m.name) + (saved ? ", mapped from a save" : ", in memory"));
      TempDir tmp;
      const fs::path dir = tmp.path() / "c";
      auto db = open_dir(dir);
      ASSERT_NE(db, nullptr);
      for (int i = 0; i < 6; ++i) {
        const std::string id = "k" + std::to_string(i);
        ASSERT_TRUE(Ok(db->add(id, vec(static_cast<float>(i)), Value(id))));
      }
      if (saved) {
        ASSERT_TRUE(Ok(db->save()));
        db = open_dir(dir);  // the vectors are mapped again, as after any open
        ASSERT_NE(db, nullptr);
      }
      const State before = records_of(*db);
      const std::size_t logged = testing::log_records(dir);
      int failures = 0;
      for (long at = 0;; ++at) {
        auto call = m.make();
        testing::fail_nth_allocation(at);
        bool threw = false;
        try {
          call(*db);
        } catch (const std::bad_alloc&) {
          threw = true;
        }
        testing::fail_nth_allocation(-1);
        call = nullptr;
        if (!testing::allocation_failed()) break;  // ran to the end without meeting the failure
        ++failures;
        ASSERT_TRUE(threw) << "allocation " << at << " failed and the call did not say so";
        ASSERT_EQ(records_of(*db), before) << "after allocation " << at << " failed";
        ASSERT_EQ(db->count(), before.size());
        ASSERT_EQ(db->total_slots() - db->deleted_count(), before.size());
        ASSERT_EQ(testing::log_records(dir), logged) << "after allocation " << at << " failed";
        auto hits = db->search(vec(1), testing::nearest(20));
        ASSERT_TRUE(Ok(hits));
        ASSERT_EQ(hits->size(), before.size());
      }
      EXPECT_GT(failures, 0);
      const State after = records_of(*db);
      EXPECT_NE(after, before);
      db.reset();
      auto reopened = open_dir(dir);
      ASSERT_NE(reopened, nullptr);
      EXPECT_EQ(records_of(*reopened), after);
    }
  }
}

}  // namespace
}  // namespace quarn_core::db
