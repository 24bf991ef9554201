// Header layout, initialisation, reading and the geometry / dtype / mapping checks.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core_test_support.hpp"
#include "quillmere-core/src/metadata.hpp"

namespace quillmere_core {
namespace {

using metadata::HeaderSnapshot;
namespace offset = metadata::offset;
constexpr auto kMax64 = std::numeric_limits<std::uint64_t>::max();

void expect_invalid(const Result<void>& result, const std::string& message) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(result.error().message, message);
}

TEST(CoreMetadata, InitHeaderImageFor16x4) {
  std::vector<std::uint64_t> memory(21, 0xdeadbeefdeadbeefULL);  // 168 bytes of garbage
  auto* base = reinterpret_cast<std::byte*>(memory.data());
  metadata::init_header(base, 16, 4, metadata::kDtypeF64, 4242);

  const std::vector<std::uint64_t> header(memory.begin(), memory.begin() + 9);
  EXPECT_EQ(header,
            (std::vector<std::uint64_t>{0x514c4d5200000001ULL, 16, 4, 2, 4242, 0, 0, 0, 0}));
  for (std::size_t i = 9; i < memory.size(); ++i) EXPECT_EQ(memory[i], 0u) << "word " << i;
  const unsigned char magic_bytes[8] = {0x01, 0, 0, 0, 0x52, 0x4d, 0x4c, 0x51};
  EXPECT_EQ(std::memcmp(base, magic_bytes, 8), 0);
  ASSERT_EQ(metadata::segment_size(16, 4), 168u);
}

TEST(CoreMetadata, ReinitialisingClearsAnOldRing) {
  testing::PlainRing ring(16, 4, metadata::kDtypeU8, 7);
  for (std::uint64_t i = 0; i < 4; ++i) {
    ring.set_word(i, i % 2 ? 9 : -9);
    std::memset(ring.payload(i).data(), 0xab, 16);
  }
  for (auto at :
       {offset::writer_pid, offset::reader_pid, offset::write_cursor, offset::writer_entry_seq})
    ring.set_header(at, 77);

  metadata::init_header(ring.base(), 16, 4, metadata::kDtypeF64, 4242);
  for (std::uint64_t i = 0; i < 4; ++i) {
    EXPECT_EQ(ring.word(i), 0);
    EXPECT_TRUE(testing::all_equal(ring.payload(i), 0));
  }
  for (auto at :
       {offset::writer_pid, offset::reader_pid, offset::write_cursor, offset::writer_entry_seq})
    EXPECT_EQ(ring.header(at), 0u);
  EXPECT_EQ(ring.header(offset::owner_pid), 4242u);
  EXPECT_EQ(ring.header(offset::dtype), metadata::kDtypeF64);
}

TEST(CoreMetadata, ReadHeaderStates) {
  std::vector<std::uint64_t> memory(21, 0);
  auto* base = reinterpret_cast<std::byte*>(memory.data());
  auto never_initialised = metadata::read_header(base, 168);
  ASSERT_TRUE(never_initialised.has_value());
  EXPECT_FALSE(never_initialised->has_value());

  metadata::init_header(base, 16, 4, metadata::kDtypeF64, 1);
  memory[7] = 3;   // write_cursor
  memory[8] = 11;  // writer_entry_seq
  auto valid = metadata::read_header(base, 168);
  ASSERT_TRUE(valid.has_value() && valid->has_value());
  const HeaderSnapshot& s = **valid;
  EXPECT_EQ((std::vector<std::uint64_t>{s.entry_length, s.entry_count, s.write_cursor, s.dtype,
                                        s.writer_entry_seq}),
            (std::vector<std::uint64_t>{16, 4, 3, 2, 11}));

  memory[0] = 0x514c4d5200000002ULL;
  auto v2 = metadata::read_header(base, 168);
  ASSERT_FALSE(v2.has_value());
  EXPECT_EQ(v2.error().message,
            "Quillmere layout version mismatch: segment is v2, this build speaks v1");
  memory[0] = 0x514c4d52ffffffffULL;
  EXPECT_EQ(metadata::read_header(base, 168).error().message,
            "Quillmere layout version mismatch: segment is v4294967295, this build speaks v1");

  for (std::uint64_t foreign : {std::uint64_t{1}, std::uint64_t{0x0000000152524d4c}, kMax64}) {
    memory[0] = foreign;
    auto result = metadata::read_header(base, 168);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(result.error().message, "shared memory segment is not a Quillmere ring");
  }
}

TEST(CoreMetadata, ReadHeaderRefusesAShortMappingBeforeTouchingIt) {
  // A null base proves nothing is dereferenced (ASan/UBSan would catch it).
  for (std::uint64_t size : {0ULL, 8ULL, 71ULL}) {
    auto result = metadata::read_header(nullptr, size);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(result.error().message, "shared memory segment of " + std::to_string(size) +
                                          " bytes is shorter than the 72-byte ring header");
  }
}

TEST(CoreMetadata, CheckGeometryOrderAndMessages) {
  for (auto [length, count] : {std::pair{0ULL, 0ULL}, {8ULL, 0ULL}, {12ULL, 0ULL}, {0ULL, 4ULL}})
    expect_invalid(metadata::check_geometry(length, count),
                   "entry_length and entry_count must be non-zero");
  expect_invalid(metadata::check_geometry(12, 4),
                 "payload must be a multiple of 8 bytes to keep slot entry_seq words aligned, "
                 "got 12");
  EXPECT_TRUE(metadata::check_geometry(8, 1).has_value());
  EXPECT_TRUE(metadata::check_geometry(kMax64 - 7, kMax64).has_value());  // no bound of its own
}

TEST(CoreMetadata, SegmentSizeRefusesOverflow) {
  EXPECT_EQ(metadata::segment_size(8, 1), 88u);
  // Largest payload that still fits exactly: 72 + (L + 8) == 2^64 - 1.
  EXPECT_EQ(metadata::segment_size(kMax64 - 80, 1), kMax64);
  const std::pair<std::uint64_t, std::uint64_t> too_big[] = {
      {kMax64 - 79, 1}, {kMax64, 1}, {kMax64 - 7, 1}, {1ULL << 32, 1ULL << 32}, {8, kMax64 / 8}};
  for (auto [length, count] : too_big) {
    auto result = metadata::segment_size(length, count);
    ASSERT_FALSE(result.has_value()) << length << " x " << count;
    EXPECT_EQ(result.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(result.error().message, "a ring of " + std::to_string(length) + " payload bytes x " +
                                          std::to_string(count) +
                                          " entries does not fit in a 64-bit segment size");
  }
}

TEST(CoreMetadata, CheckMappingBoundsTheRing) {
  const HeaderSnapshot header{16, 4, 0, metadata::kDtypeU8, 0};
  EXPECT_TRUE(metadata::check_mapping(168, header).has_value());
  EXPECT_TRUE(metadata::check_mapping(4096, header).has_value());
  expect_invalid(metadata::check_mapping(167, header),
                 "shared memory segment of 167 bytes is too small for its header's geometry (16 "
                 "payload bytes, 4 entries need 168 bytes)");
  // Geometries no ring can use: zero, misaligned, overflowing.
  expect_invalid(metadata::check_mapping(4096, {0, 4, 0, 0, 0}),
                 "entry_length and entry_count must be non-zero");
  expect_invalid(metadata::check_mapping(4096, {16, 0, 0, 0, 0}),
                 "entry_length and entry_count must be non-zero");
  expect_invalid(metadata::check_mapping(4096, {12, 4, 0, 0, 0}),
                 "payload must be a multiple of 8 bytes to keep slot entry_seq words aligned, "
                 "got 12");
  expect_invalid(metadata::check_mapping(kMax64, {kMax64 - 7, 2, 0, 0, 0}),
                 "a ring of 18446744073709551608 payload bytes x 2 entries does not fit in a "
                 "64-bit segment size");
}

TEST(CoreMetadata, ValidateHeaderComparesGeometryOnly) {
  const HeaderSnapshot header{8, 4, 0, metadata::kDtypeF64, 0};
  EXPECT_TRUE(metadata::validate_header(header, 8, 4).has_value());
  expect_invalid(metadata::validate_header(header, 16, 4),
                 "header mismatch: expected (16 payload bytes, 4 entries), found (8 payload "
                 "bytes, 4 entries)");
  expect_invalid(metadata::validate_header(header, 8, 5),
                 "header mismatch: expected (8 payload bytes, 5 entries), found (8 payload "
                 "bytes, 4 entries)");
}

TEST(CoreMetadata, CheckDtypeNamesAndRules) {
  EXPECT_EQ(metadata::dtype_name(0), "u8");
  EXPECT_EQ(metadata::dtype_name(1), "i64");
  EXPECT_EQ(metadata::dtype_name(2), "f64");
  EXPECT_EQ(metadata::dtype_name(3), "unknown");
  EXPECT_EQ(metadata::dtype_name(kMax64), "unknown");

  const HeaderSnapshot bytes{16, 4, 0, metadata::kDtypeU8, 0};
  const HeaderSnapshot floats{16, 4, 0, metadata::kDtypeF64, 0};
  const HeaderSnapshot weird{16, 4, 0, 7, 0};
  expect_invalid(metadata::check_dtype(bytes, metadata::kDtypeF64),
                 "dtype mismatch: channel holds u8, requested f64");
  expect_invalid(metadata::check_dtype(weird, metadata::kDtypeF64),
                 "dtype mismatch: channel holds unknown, requested f64");
  expect_invalid(metadata::check_dtype(floats, metadata::kDtypeI64),
                 "dtype mismatch: channel holds f64, requested i64");
  EXPECT_TRUE(metadata::check_dtype(floats, metadata::kDtypeF64).has_value());
  for (const auto& any : {bytes, floats, weird})
    EXPECT_TRUE(metadata::check_dtype(any, metadata::kDtypeU8).has_value());
}

}  // namespace
}  // namespace quillmere_core
