// Unformatted sequential records: length words around every record.
#include <gtest/gtest.h>

#include <cstdio>

#include "runtime/record_file.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

class RecordFileTest : public testing::NodrixTest {};

TEST_F(RecordFileTest, LayoutIsLengthDataLength) {
    std::FILE* f = std::fopen("r.bin", "wb");
    const std::int32_t k = 3;
    const float a = 0.5f;
    const double d = 2.0;
    ASSERT_TRUE(records::write_values(f, k, a, d));
    const float arr[2] = {1.0f, -1.0f};
    ASSERT_TRUE(records::write_array<float>(f, arr));
    ASSERT_TRUE(records::write(f, {}));
    std::fclose(f);
    std::vector<unsigned char> want;
    testing::put_i32(want, 16);
    testing::put_i32(want, 3);
    testing::put_f32(want, 0.5f);
    testing::put_f64(want, 2.0);
    testing::put_i32(want, 16);
    testing::put_i32(want, 8);
    testing::put_f32(want, 1.0f);
    testing::put_f32(want, -1.0f);
    testing::put_i32(want, 8);
    testing::put_i32(want, 0);
    testing::put_i32(want, 0);
    EXPECT_EQ(testing::read_bytes("r.bin"), want);

    f = std::fopen("r.bin", "rb");
    std::int32_t k2 = 0;
    float a2 = 0;
    double d2 = 0;
    ASSERT_TRUE(records::read_values(f, k2, a2, d2));
    EXPECT_EQ(k2, 3);
    EXPECT_EQ(a2, 0.5f);
    EXPECT_EQ(d2, 2.0);
    float back[2];
    ASSERT_TRUE(records::read_array<float>(f, back));
    EXPECT_EQ(back[1], -1.0f);
    std::vector<std::byte> empty{std::byte{1}};
    ASSERT_TRUE(records::read(f, empty));
    EXPECT_TRUE(empty.empty());
    EXPECT_FALSE(records::read(f, empty));  // end of file
    std::fclose(f);
}

TEST_F(RecordFileTest, ShortOrDamagedRecordsAreRefused) {
    std::FILE* f = std::fopen("d.bin", "wb");
    records::write_values(f, std::int32_t{1});
    std::fclose(f);
    f = std::fopen("d.bin", "rb");
    double too_big = 0;
    EXPECT_FALSE(records::read_values(f, too_big));  // record shorter than the values
    std::fclose(f);

    // Length words that disagree, and a truncated record.
    std::vector<unsigned char> bad;
    testing::put_i32(bad, 4);
    testing::put_i32(bad, 7);
    testing::put_i32(bad, 5);
    testing::put_i32(bad, 1000);
    testing::put_i32(bad, 1);
    f = std::fopen("b.bin", "wb");
    std::fwrite(bad.data(), 1, bad.size(), f);
    std::fclose(f);
    f = std::fopen("b.bin", "rb");
    std::vector<std::byte> data;
    EXPECT_FALSE(records::read(f, data));
    EXPECT_TRUE(data.empty());
    EXPECT_FALSE(records::read(f, data));
    std::fclose(f);
}

TEST_F(RecordFileTest, RecordsAroundTheBufferSizeAndLargeOnesKeepTheirLayout) {
    // Records of 255 .. 257 bytes (around the size written in one piece) and
    // one of 3 MiB (read in pieces), written and read back byte for byte.
    std::vector<std::vector<std::byte>> sent;
    for (const std::size_t size : {std::size_t{255}, std::size_t{256}, std::size_t{257}, std::size_t{3} << 20}) {
        std::vector<std::byte> r(size);
        for (std::size_t i = 0; i < size; ++i) r[i] = static_cast<std::byte>((i * 7 + size) & 0xff);
        sent.push_back(r);
    }
    std::FILE* f = std::fopen("s.bin", "wb");
    for (const auto& r : sent) ASSERT_TRUE(records::write(f, r));
    std::fclose(f);
    std::vector<unsigned char> want;
    for (const auto& r : sent) {
        testing::put_i32(want, static_cast<std::int32_t>(r.size()));
        for (std::byte b : r) want.push_back(static_cast<unsigned char>(b));
        testing::put_i32(want, static_cast<std::int32_t>(r.size()));
    }
    EXPECT_EQ(testing::read_bytes("s.bin"), want);
    f = std::fopen("s.bin", "rb");
    std::vector<std::byte> back;
    for (const auto& r : sent) {
        ASSERT_TRUE(records::read(f, back));
        EXPECT_EQ(back, r);
    }
    EXPECT_FALSE(records::read(f, back));
    std::fclose(f);
}

TEST_F(RecordFileTest, ADamagedLengthBeyondTheFileIsRefused) {
    // A length word of 1.5 GiB in front of a few bytes: refused, nothing kept
    // (and no buffer of that size is made to find out).
    std::vector<unsigned char> bad;
    testing::put_i32(bad, 0x60000000);
    testing::put_i32(bad, 1);
    testing::put_i32(bad, 2);
    std::FILE* f = std::fopen("h.bin", "wb");
    std::fwrite(bad.data(), 1, bad.size(), f);
    std::fclose(f);
    f = std::fopen("h.bin", "rb");
    std::vector<std::byte> data;
    EXPECT_FALSE(records::read(f, data));
    EXPECT_TRUE(data.empty());
    EXPECT_LT(data.capacity(), std::size_t{2} << 20);
    std::fclose(f);
}

}  // namespace
}  // namespace nodrix
