#include "quarn_core/quantize.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "testutil.hpp"

namespace quarn_core::quantize {
namespace {

TEST(ScalarQuantizerTest, WorkedExample) {
  const std::vector<float> data = {0, 10, 255, 10};
  auto q = ScalarQuantizer::train(data, 2);
  EXPECT_EQ(q.mins(), (std::vector<float>{0, 10}));
  EXPECT_EQ(q.scales(), (std::vector<float>{1, 1}));
  EXPECT_EQ(q.quantize(std::vector<float>{128.4f, 10}), (std::vector<std::uint8_t>{128, 0}));
  EXPECT_EQ(q.quantize(std::vector<float>{-5, 300}), (std::vector<std::uint8_t>{0, 255}));
  const std::uint8_t code = 255;
  float out = 0;
  ScalarQuantizer({0}, {1}, 1).decode(&code, &out);
  EXPECT_EQ(out, 255.0f);
}

TEST(ScalarQuantizerTest, RoundingAndClamps) {
  const ScalarQuantizer q({0}, {1}, 1);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float x;
    std::uint8_t code;
  };
  const Case cases[] = {{2.5f, 3},  {2.4999f, 2}, {0.5f, 1},  {254.5f, 255}, {255.4f, 255},
                        {-0.4f, 0}, {-inf, 0},    {inf, 255}, {nan, 0},      {1e30f, 255}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.x);
    EXPECT_EQ(q.quantize(std::vector<float>{c.x})[0], c.code);
  }
}

TEST(ScalarQuantizerTest, TrainingIgnoresNanKeepsZeroRangeScaleOneAndZeroDimension) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> data = {nan, 5, 1, 5, 3, 5, 9 /* partial vector, ignored */};
  auto q = ScalarQuantizer::train(data, 2);
  EXPECT_EQ(q.mins(), (std::vector<float>{1, 5}));
  EXPECT_FLOAT_EQ(q.scales()[0], 2.0f / 255.0f);
  EXPECT_EQ(q.scales()[1], 1.0f);
  // Dimension 0 does not divide by it.
  auto zero = ScalarQuantizer::train(std::vector<float>{1, 2, 3}, 0);
  EXPECT_EQ(zero.dim(), 0u);
  EXPECT_TRUE(zero.quantize_batch(std::vector<float>{1, 2, 3}, 0).empty());
}

TEST(ScalarQuantizerTest, RoundTripErrorWithinHalfAStep) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-4, 9);
  const std::size_t dim = 33, n = 200;
  std::vector<float> data(dim * n);
  for (auto& x : data) x = u(rng);
  auto q = ScalarQuantizer::train(data, dim);
  auto codes = q.quantize_batch(data, dim);
  ASSERT_EQ(codes.size(), dim * n);
  std::vector<float> back(dim);
  for (std::size_t v = 0; v < n; ++v) {
    q.decode(codes.data() + v * dim, back.data());
    for (std::size_t d = 0; d < dim; ++d) {
      EXPECT_LE(std::abs(back[d] - data[v * dim + d]), q.scales()[d] * 0.5001f);
    }
  }
}

TEST(ScalarQuantizerTest, SaveLoadRoundTripAndShortData) {
  testing::TempDir dir;
  const auto path = dir.path() / "vectors.sq8";
  const std::vector<float> data = {1, 2, 3, 4, 5, 7};
  auto q = ScalarQuantizer::train(data, 3);
  auto codes = q.quantize_batch(data, 3);
  {
    auto fd = io::open_file(path, O_WRONLY | O_CREAT | O_TRUNC);
    ASSERT_TRUE(fd);
    io::BufWriter w(fd->get());
    ASSERT_TRUE(q.save(w));
    ASSERT_TRUE(w.write(codes.data(), codes.size()));
    ASSERT_TRUE(w.flush());
  }
  auto bytes = io::read_file(path);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->size(), 34u);  // 4 + 12 + 12 + 2 * 3

  io::ByteCursor cursor(*bytes);
  auto loaded = ScalarQuantizer::load(cursor);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->dim(), 3u);
  EXPECT_EQ(loaded->mins(), q.mins());
  EXPECT_EQ(loaded->scales(), q.scales());
  EXPECT_EQ(cursor.remaining(), 6u);

  for (std::size_t len = 0; len < 28; ++len) {
    SCOPED_TRACE(len);
    io::ByteCursor short_cursor(std::span<const std::byte>(*bytes).first(len));
    auto r = ScalarQuantizer::load(short_cursor);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "io error: failed to fill whole buffer");
  }
  // A huge dimension in the header fails the same way, without allocating for it.
  const std::byte header[8] = {std::byte{0xff}, std::byte{0xff}, std::byte{0xff}, std::byte{0x7f}};
  io::ByteCursor huge(header);
  auto r = ScalarQuantizer::load(huge);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "io error: failed to fill whole buffer");
}

}  // namespace
}  // namespace quarn_core::quantize
