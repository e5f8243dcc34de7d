#include "quarn_core/records.hpp"

#include <gtest/gtest.h>

#include <new>
#include <optional>
#include <string>
#include <vector>

#include "testutil.hpp"

namespace quarn_core::db {
namespace {

Metadata md(const char* text) { return text ? json::parse(text) : std::nullopt; }

// What the table should hold: one (id, metadata text) per slot.
using Model = std::vector<std::pair<std::string, std::string>>;

Model contents(const RecordTable& table) {
  Model out;
  for (std::uint32_t s = 0; s < table.size(); ++s) {
    out.emplace_back(table.id(s), testing::text(table.metadata(s)));
  }
  return out;
}

std::vector<std::string> problems(const RecordTable& table, const std::vector<bool>& deleted) {
  std::vector<std::string> out;
  table.check(
      table.size(), [&](std::uint32_t s) { return deleted[s]; },
      [&](const std::string&, std::string line) { out.push_back(std::move(line)); });
  return out;
}

// Every operation, and every allocation failure inside one, leaves ids, metadata, index and
// text index in step: a failed operation changes nothing, a finished one exactly its slot.
TEST(RecordTableTest, OperationsKeepIdsMetadataAndIndexInStep) {
  enum class Op { Fill, Replace, Clear };
  struct Step {
    Op op;
    std::uint32_t slot;
    const char* id;
    const char* metadata;  // null: none
  };
  const std::vector<Step> steps = {
      {Op::Fill, 0, "a", R"({"g":1,"s":"x","nested":{"g":1}})"},
      {Op::Fill, 1, "b", R"({"g":1,"t":true,"s":"a word or two, and x"})"},
      {Op::Fill, 2, "c", nullptr},
      {Op::Fill, 3, "d", R"([1,2])"},
      {Op::Replace, 0, nullptr, R"({"g":1,"s":"y","n":1.0})"},  // one entry kept, one moved
      {Op::Replace, 1, nullptr, nullptr},
      {Op::Replace, 2, nullptr, R"({"g":1,"s":"two words"})"},
      {Op::Replace, 2, nullptr, R"({"g":1,"s":"two words","u":0})"},  // the same text
      {Op::Clear, 0, nullptr, nullptr},
      {Op::Fill, 0, "e", R"({"g":2,"s":"y"})"},
      {Op::Clear, 3, nullptr, nullptr},
  };
  RecordTable table;
  table.add_text_index(table.build_text_index({"s", "english"}));
  table.reserve(4);
  table.extend(4);
  std::vector<bool> deleted(4, false);
  Model model(4, {"", "<none>"});
  for (const auto& step : steps) {
    SCOPED_TRACE(std::to_string(static_cast<int>(step.op)) + " on slot " +
                 std::to_string(step.slot));
    for (long at = 0;; ++at) {
      std::string id = step.id ? step.id : "";
      Metadata metadata = md(step.metadata);
      const Model before = contents(table);
      // What leaves the table is destroyed once the failures are disarmed: freeing a JSON
      // object allocates, and an allocation failing in a destructor ends the process.
      std::pair<std::string, Metadata> out;
      bool threw = false;
      testing::fail_nth_allocation(at);
      try {
        switch (step.op) {
          case Op::Fill:
            table.fill(step.slot, std::move(id), std::move(metadata));
            break;
          case Op::Replace:
            out.second = table.replace_metadata(step.slot, std::move(metadata));
            break;
          case Op::Clear:
            out = table.clear(step.slot);
            break;
        }
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      testing::fail_nth_allocation(-1);
      // Clearing never fails: without memory to analyze a text, it searches the text index
      // whole; the step is then done.
      if (threw) {
        ASSERT_EQ(contents(table), before) << "allocation " << at << " failed";
        ASSERT_EQ(problems(table, deleted), std::vector<std::string>{}) << "allocation " << at;
        continue;
      }
      break;
    }
    auto& [id, text] = model[step.slot];
    if (step.op == Op::Fill) id = step.id;
    if (step.op == Op::Clear) id.clear();
    text = testing::text(step.op == Op::Clear ? std::nullopt : md(step.metadata));
    deleted[step.slot] = step.op == Op::Clear;
    ASSERT_EQ(contents(table), model);
    ASSERT_EQ(problems(table, deleted), std::vector<std::string>{});
  }
  const SlotSet* ys = table.index().find("s", json::Value("y"));
  ASSERT_NE(ys, nullptr);
  EXPECT_EQ(*ys, (SlotSet{0}));
  EXPECT_EQ(*table.index().find("g", json::Value(1)), (SlotSet{2}));
  EXPECT_EQ(table.index().find("n", json::Value(1.0)), nullptr);  // its slot was cleared

  // A slot the graph has deleted must hold nothing, and the tables must cover the graph.
  deleted[2] = true;
  EXPECT_TRUE(testing::mentions(problems(table, deleted), "deleted slot 2 still holds"));
  std::vector<std::string> lines;
  table.check(
      5, [](std::uint32_t) { return false; },
      [&](const std::string&, std::string line) { lines.push_back(std::move(line)); });
  EXPECT_TRUE(testing::mentions(lines, "5 nodes, but 4 slot ids and 4 metadata entries"));
}

}  // namespace
}  // namespace quarn_core::db
