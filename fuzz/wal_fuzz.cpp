// The log reader and replay: any bytes as "wal.quarn" of a collection of dimension 4. The
// reader and the replay must not crash; an append after reading must land where the next
// read finds it, whatever unreadable tail the input had.
#include <cstdint>
#include <vector>

#include "common.hpp"
#include "quarn_core/db.hpp"
#include "quarn_core/wal.hpp"

using namespace quarn_core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto dir = quarn_fuzz::fresh_dir("wal");
  quarn_fuzz::write_file(dir / wal::kWalFileName, data, size);
  {
    auto db = db::Database::open_or_create_with_config(dir, 4, distance::Metric::Cosine, {});
    if (!db) return 0;
    for (const auto& id : (*db)->ids()) {
      auto got = (*db)->get(id);
      if (!got) __builtin_trap();
      if (got->second) (void)json::to_text(*got->second);
    }
    const float query[] = {1, 0, 0, 0};
    (void)(*db)->search(query, db::SearchOptions{});
    if (!(*db)->upsert("fuzz-last", {1, 2, 3, 4}, std::nullopt)) return 0;
  }
  auto entries = wal::Wal(dir / wal::kWalFileName).read_all();
  if (!entries || entries->empty() || entries->back().id() != "fuzz-last") __builtin_trap();
  return 0;
}
