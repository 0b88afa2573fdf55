#include "evsnap.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <linux/input.h>
#include <string>
#include <vector>

namespace {

struct key_case {
  unsigned type;
  unsigned code;
  std::uint32_t expected;
};

TEST(KeyCode, PacksTypeAndCodeAndFlagsKeys) {
  const key_case cases[] = {
      {EV_KEY, KEY_A, 0x8001001eU},      // a key press or repeat
      {EV_MSC, MSC_SCAN, 0x00040004U},   // the scan code some keyboards send first
      {EV_REL, REL_X, 0x00020000U},      // motion: the value takes no part
      {EV_SYN, SYN_REPORT, 0x00000000U}, //
      {EV_KEY, 0xffffU, 0x8001ffffU},    // every code bit kept
      {0x8001U, 5, 0x00010005U},         // type bit 15 dropped, and it is no key
      {0xffffU, 0xffffU, 0x7fffffffU},   // bit 31 comes from EV_KEY alone
  };
  for (const key_case &c : cases) {
    EXPECT_EQ(
        evsnap::key_code(static_cast<std::uint16_t>(c.type), static_cast<std::uint16_t>(c.code)),
        c.expected)
        << "type " << c.type << " code " << c.code;
  }
}

TEST(KeyCode, LineReadsAsPrintfWritesIt) {
  for (const std::uint32_t code :
       {0x0U, 0x8001001eU, 0x00040004U, 0x0123abcdU, 0x7fffffffU, 0xfedc9876U, 0xffffffffU}) {
    char expected[16];
    std::snprintf(expected, sizeof expected, "0x%08lx\n", static_cast<unsigned long>(code));
    const evsnap::code_line line = evsnap::key_line(code);
    EXPECT_EQ(std::string(line.data(), line.size()), expected) << code;
  }
}

// Every digit count, each side of each power of ten, and both ends of int32.
TEST(KeyCode, DecimalReadsAsPrintfWritesIt) {
  std::vector<std::int32_t> numbers{0, -1, 16, 24, INT32_MAX, INT32_MIN, INT32_MIN + 1};
  for (std::int32_t power = 1; power <= 1'000'000'000; power *= 10) {
    numbers.insert(numbers.end(), {power - 1, power, -power, power + 7});
    if (power == 1'000'000'000) {
      break;
    }
  }
  for (const std::int32_t n : numbers) {
    char expected[16];
    std::snprintf(expected, sizeof expected, "%d", n);
    const evsnap::decimal_text got = evsnap::decimal(n);
    EXPECT_EQ(std::string(got.text.data(), got.size), expected) << n;
  }
}

} // namespace
