// The C++ layer (compiled here as C++23; the frame producer example builds it as C++20):
// failures as exceptions with the C code and message, handles given back by their destructors.
#include <quillmere/quillmere.hpp>

#include <array>
#include <cstddef>

#include <gtest/gtest.h>

#include "capi_test_support.hpp"

namespace {

using quillmere::testing::ChannelName;

TEST(CppLayer, FailuresThrowTheCodeAndTheLibrarysMessage) {
  ChannelName name("cpp-error");
  quillmere::Options options;
  options.entry_length = 8;
  options.entry_count = 4;
  quillmere::Writer writer(name.str(), quillmere::Kind::float64, options);
  try {
    quillmere::Writer second(name.str(), quillmere::Kind::float64);
    FAIL() << "a second writer was opened";
  } catch (const quillmere::Error& error) {
    EXPECT_EQ(error.code(), QM_ERR_ROLE_CONFLICT);
    EXPECT_STREQ(error.what(), qm_last_error());
  }
  std::array<std::byte, 8> short_entry{};
  EXPECT_THROW(writer.write(short_entry), quillmere::Error);
}

TEST(CppLayer, HandlesAreGivenBackWhenTheyGoAway) {
  ChannelName name("cpp-handles");
  quillmere::Options options;
  options.entry_length = 16;
  options.entry_count = 2;
  quillmere::Writer writer(name.str(), quillmere::Kind::bytes, options);
  quillmere::Options zero_copy;
  zero_copy.zero_copy = true;
  quillmere::Reader reader(name.str(), quillmere::Kind::bytes, zero_copy);
  {
    auto dropped = writer.try_acquire();  // abandoned: never published
    ASSERT_TRUE(dropped);
  }
  auto slot = writer.try_acquire();
  ASSERT_TRUE(slot && slot->payload().size() == 16);
  slot->payload()[0] = std::byte{42};
  EXPECT_EQ(slot->commit(), 1u);
  {
    auto held = reader.try_acquire();
    ASSERT_TRUE(held);
    EXPECT_EQ(held->entry_seq(), 1u);
    EXPECT_EQ(held->payload()[0], std::byte{42});
  }
  // The hold is gone: the writer may reuse both slots again and again.
  std::array<std::byte, 16> entry{};
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(writer.write(entry));
  std::array<std::byte, 16> out{};
  auto got = reader.read(out);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->entry_seq, 4u);  // lapped: the oldest entry still in the ring
}

}  // namespace
