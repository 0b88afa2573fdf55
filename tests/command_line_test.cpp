// The option pass and the operand check, in-process.
#include "evsnap.h"

#include <gtest/gtest.h>

#include <climits>
#include <getopt.h>
#include <string>
#include <vector>

namespace {

using evsnap::step;

evsnap::settings read(std::vector<std::string> args) {
  args.insert(args.begin(), "evsnap");
  std::vector<char *> argv;
  for (std::string &arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  optind = 0; // restart glibc's parser from scratch
  const evsnap::settings run =
      evsnap::read_command_line(static_cast<int>(args.size()), argv.data());
  // The device and a rejected long option point into argv; keep them past this frame.
  static std::string device;
  static std::string rejected_arg;
  evsnap::settings copy = run;
  if (run.device != nullptr && run.device != evsnap::default_device) {
    device = run.device;
    copy.device = device.c_str();
  }
  if (run.rejected_arg != nullptr) {
    rejected_arg = run.rejected_arg;
    copy.rejected_arg = rejected_arg.c_str();
  }
  return copy;
}

TEST(CommandLine, Timeout) {
  const std::pair<std::vector<std::string>, std::int32_t> cases[] = {
      {{}, 1},
      {{"-t", "5"}, 5},
      {{"-t5"}, 5},
      {{"--timeout=5"}, 5},
      {{"--timeout", "5"}, 5},
      {{"--time", "5"}, 5},
      {{"-t", "2", "-t", "7"}, 7},
      {{"-t", "abc"}, 0},
      {{"-t", ""}, 0},
      {{"-t", "3x"}, 3},
      {{"-t", "-1"}, -1},
      {{"-t", " 7"}, 7},
      {{"-t", "+4"}, 4},
      {{"-t", "0x10"}, 0},
      {{"-t", "99999999999"}, INT32_MAX},  // held, not wrapped
      {{"-t", "-99999999999"}, INT32_MIN}, //
      {{"-t", "4294967297"}, INT32_MAX},   // would wrap to 1
      {{"-t", "2147483647"}, INT32_MAX},
      {{"-t", "-2147483648"}, INT32_MIN},
      {{"-t", "2147483648"}, INT32_MAX},  // past int32 by one: 32-bit long saturates here too
      {{"-t", "-2147483649"}, INT32_MIN}, //
      {{"-t", "3000000000"}, INT32_MAX},  // fits a 64-bit long, not a 32-bit one
      {{"-t", "-3000000000"}, INT32_MIN}, //
      {{"-t", "99999999999999999999"}, INT32_MAX},  // past every long
      {{"-t", "-99999999999999999999"}, INT32_MIN}, //
  };
  for (const auto &[args, timeout] : cases) {
    const evsnap::settings run = read(args);
    EXPECT_EQ(run.next, step::capture) << ::testing::PrintToString(args);
    EXPECT_EQ(run.timeout, timeout) << ::testing::PrintToString(args);
  }
}

TEST(CommandLine, Operands) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "/dev/input/event0"},
      {{"/dev/input/event2"}, "/dev/input/event2"},
      {{"/dev/input/event2", "-t", "3"}, "/dev/input/event2"},
      {{"-t", "3", "/dev/input/event2"}, "/dev/input/event2"},
      {{"--", "-t"}, "-t"},
      {{"-t", "3", "--", "--help"}, "--help"},
      {{"-"}, "-"},
  };
  for (const auto &[args, device] : cases) {
    const evsnap::settings run = read(args);
    ASSERT_EQ(run.next, step::capture) << ::testing::PrintToString(args);
    EXPECT_EQ(run.device, device) << ::testing::PrintToString(args);
  }
}

struct decision_case {
  std::vector<std::string> args;
  step next;
  int rejected_opt = 0;
  const char *rejected_arg = nullptr;
};

TEST(CommandLine, FirstDecidingOptionWins) {
  const decision_case cases[] = {
      {{"-h"}, step::usage},
      {{"--he"}, step::usage},
      {{"-h", "a", "b", "c"}, step::usage},
      {{"a", "b", "--help"}, step::usage},
      {{"-v"}, step::version},
      {{"--ver"}, step::version},
      {{"-v", "-x"}, step::version},
      {{"-v", "-h"}, step::version},
      {{"-h", "-v"}, step::usage},
      {{"-x", "-v"}, step::bad_option, 'x'},
      {{"-xv"}, step::bad_option, 'x'},
      {{"--bogus", "-v"}, step::bad_option, 0, "--bogus"},
      {{"--bogus=3"}, step::bad_option, 0, "--bogus=3"},
      {{"-t"}, step::bad_option, 't'},
      {{"--timeout"}, step::bad_option, 't'},
      {{"--help=x"}, step::bad_option, 0, "--help=x"},
      {{"--timeout=5", "-xq"}, step::bad_option, 'x'},
      {{"a", "b"}, step::bad_operands},
      {{"a", "-t", "1", "b", "c"}, step::bad_operands},
      {{"--", "a", "-v"}, step::bad_operands},
  };
  for (const decision_case &c : cases) {
    const evsnap::settings run = read(c.args);
    EXPECT_EQ(run.next, c.next) << ::testing::PrintToString(c.args);
    if (c.next == step::bad_option) {
      EXPECT_EQ(run.rejected_opt, c.rejected_opt) << ::testing::PrintToString(c.args);
      EXPECT_STREQ(run.rejected_arg, c.rejected_arg) << ::testing::PrintToString(c.args);
    }
  }
}

} // namespace
