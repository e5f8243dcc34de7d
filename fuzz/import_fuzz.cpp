// The JSON import reader: any text as an export document. A document that parses with a
// small dimension is also imported into a collection, which must then hold only finite
// vectors.
#include <cmath>
#include <cstdint>
#include <string_view>

#include "common.hpp"
#include "quarn_core/db.hpp"
#include "quarn_core/export.hpp"

using namespace quarn_core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto doc = export_::parse_document(text);
  if (!doc || doc->dim == 0 || doc->dim > 16 || doc->vectors.size() > 64) return 0;
  const auto dir = quarn_fuzz::fresh_dir("import");
  quarn_fuzz::write_file(dir / "doc.json", data, size);
  auto db = db::Database::open_or_create_with_config(dir / "c", doc->dim,
                                                     distance::Metric::Euclidean, {});
  if (!db) return 0;
  (void)export_::import_json(**db, dir / "doc.json");
  for (const auto& id : (*db)->ids()) {
    auto got = (*db)->get(id);
    if (!got) __builtin_trap();
    for (float x : got->first) {
      if (!std::isfinite(x)) __builtin_trap();
    }
  }
  return 0;
}
