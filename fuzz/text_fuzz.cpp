// The readers of a collection's text files. The first byte picks one: even, "postings.quarn"
// (the rest is its body; the target appends the CRC-32 it must end with, so that mutations
// reach the parser) read and restored over a fixed set of texts, then searched and compared
// with an index built afresh; odd, "text_indexes.json" (the rest). Nothing may touch memory
// it lacks, whatever the bytes.
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "common.hpp"
#include "quarn_core/text.hpp"

using namespace quarn_core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const bool specs = data[0] & 1;
  ++data;
  --size;
  const auto dir = quarn_fuzz::fresh_dir("text");
  if (specs) {
    quarn_fuzz::write_file(dir / text::kTextIndexFileName, data, size);
    (void)text::read_specs(dir);
    return 0;
  }
  std::vector<std::uint8_t> file(data, data + size);
  const std::uint32_t crc = static_cast<std::uint32_t>(::crc32_z(::crc32(0L, Z_NULL, 0), data, size));
  file.resize(size + 4);
  std::memcpy(file.data() + size, &crc, 4);
  quarn_fuzz::write_file(dir / text::kPostingsFileName, file.data(), file.size());
  const auto saved = text::SavedPostings::read(dir);
  if (!saved) return 0;
  const auto& metadata = quarn_fuzz::text_corpus();
  for (const text::TextIndexSpec& spec : quarn_fuzz::text_specs()) {
    auto index = saved->restore(spec, metadata, {});
    if (!index) continue;
    const auto query = text::parse_query("alpha \"beta gamma\" +delta -epsilon", index->analyzer());
    (void)index->search(query, 5);
    const auto fresh = text::TextIndexes::build(spec, metadata, {});
    index->compare(*fresh, [](std::string) {});
  }
  return 0;
}
