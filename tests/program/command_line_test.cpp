// The command line: the option pass and the operand check in-process, then
// help, version, rejected options and operands through the built binary.
#include "evsnap.h"
#include "expect.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <climits>
#include <getopt.h>
#include <string>
#include <tuple>
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

TEST(Options, HelpAndVersionOnStandardOutput) {
  const std::string usage = expect::usage();
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-h"}, usage},
      {{"--help"}, usage},
      {{"--he"}, usage},
      {{"-h", "/nonexistent", "two", "three"}, usage},
      {{"-v"}, expect::version},
      {{"--version"}, expect::version},
      {{"--ver"}, expect::version},
      {{"-v", "--bogus"}, expect::version},
  };
  for (const auto &[args, out] : cases) {
    expect::check(run::evsnap(args), expect::capture(out), ::testing::PrintToString(args));
  }
}

// The parser's line comes first in the C library's own words, naming the option.
TEST(Options, RejectedOptionAfterTheParsersOwnWord) {
  const std::tuple<std::vector<std::string>, std::string, std::string> cases[] = {
      {{"-x"}, "x", "unrecognized option: -x\n"},
      {{"-x", "-v"}, "x", "unrecognized option: -x\n"},
      {{"--bogus"}, "bogus", "unrecognized option: --bogus\n"},
      {{"--bogus=1", "/dev/null"}, "bogus", "unrecognized option: --bogus=1\n"},
      {{"-t"}, "t", "unrecognized option: -t\n"},
      {{"--ver=2"}, "ver", "unrecognized option: --ver=2\n"},
      {{"/dev/null", "--timeout"}, "t", "unrecognized option: -t\n"},
  };
  for (const auto &[args, name, ours] : cases) {
    expect::check(run::evsnap(args), expect::rejected(ours, name), ::testing::PrintToString(args));
  }
}

TEST(Options, OperandBeforeOrAfterOptionsAndAfterDashDash) {
  const scratch dir;
  run::write_file(dir.path("-press"), run::record(EV_KEY, KEY_A, 1));
  const std::vector<std::string> cases[] = {
      {dir.path("-press"), "-t", "3"},
      {"-t", "3", dir.path("-press")},
      {"--timeout=3", "--", "-press"},
  };
  run::options here;
  here.cwd = dir.dir();
  for (const auto &args : cases) {
    const run::outcome got = run::evsnap(args, here);
    EXPECT_EQ(got.out, expect::press_line) << ::testing::PrintToString(args);
    EXPECT_EQ(got.status, 0) << ::testing::PrintToString(args);
  }
}

TEST(Options, MoreThanOneOperandNeverOpensTheDevice) {
  const scratch dir;
  // Opening a FIFO without a writer blocks, so an open would hang the run.
  const std::string fifo = dir.path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::string> cases[] = {{fifo, fifo}, {fifo, fifo, fifo}};
  for (const auto &args : cases) {
    expect::check(run::evsnap(args), {1, "", expect::too_many}, std::to_string(args.size()));
  }
}

struct argv_case {
  std::string what; // a label: some arguments are too long to print
  std::vector<std::string> args;
  expect::result want;
};

TEST(Options, ArgumentVectors) {
  const scratch dir;
  const std::string press = dir.path("press");
  run::write_file(press, run::record(EV_KEY, KEY_A, 1));
  run::write_file(dir.path("key press"), run::record(EV_KEY, KEY_A, 1));
  run::write_file(dir.path("\xff\xfe"), run::record(EV_KEY, KEY_A, 1));
  const std::string long_name(big, 'a');
  const std::vector<std::string> many(5000, press);
  auto with_many = [&many](std::vector<std::string> before, const std::string &after = {}) {
    before.insert(before.end(), many.begin(), many.end());
    if (!after.empty()) {
      before.push_back(after);
    }
    return before;
  };

  using expect::capture, expect::failed_read, expect::press_line, expect::rejected,
      expect::too_many;
  const argv_case cases[] = {
      {"empty operand", {""}, failed_read("", -1)},
      {"two empty operands", {"", ""}, {1, "", too_many}},
      {"empty operand after a device", {press, ""}, {1, "", too_many}},
      {"empty operand after --", {"--", ""}, failed_read("", -1)},
      {"empty timeout", {"-t", "", press}, capture(press_line)},
      {"empty timeout after =", {"--timeout=", press}, capture(press_line)},
      {"100 kB long option",
       {"--" + long_name, press},
       rejected("unrecognized option: --" + long_name + "\n", long_name)},
      {"100 kB of short options",
       {"-" + std::string(big, 'x')},
       rejected("unrecognized option: -x\n", "x")},
      {"100 kB timeout", {"--timeout=" + std::string(big, '9'), press}, capture(press_line)},
      {"100 kB negative timeout", {"-t", "-" + std::string(big, '9'), press}, capture(press_line)},
      {"100 kB device path", {"/" + long_name}, failed_read("/" + long_name, -1)},
      {"timeout with blanks", {"-t", " \t2 ", press}, capture(press_line)},
      {"timeout with a plus", {"-t", "+3", press}, capture(press_line)},
      {"timeout of -1", {"-t", "-1", press}, capture(press_line)},
      {"timeout of a lone sign", {"-t", "- 1", press}, capture(press_line)},
      {"-v as the timeout", {"-t", "-v", press}, capture(press_line)},
      {"--help as the timeout", {"--timeout", "--help", press}, capture(press_line)},
      {"device path with a blank", {dir.path("key press")}, capture(press_line)},
      {"5000 operands", many, {1, "", too_many}},
      {"--version before 5000 operands", with_many({"--version"}), capture(expect::version)},
      {"rejected option after 5000 operands", with_many({}, "-x"),
       rejected("unrecognized option: -x\n", "x")},
      {"long option of invalid UTF-8",
       {"--\xff\xfe"},
       rejected("unrecognized option: --\xff\xfe\n", "\xff\xfe")},
      {"short option of invalid UTF-8",
       {"-\xff"},
       rejected("unrecognized option: -\xff\n", "\xff")},
      {"device path of invalid UTF-8", {dir.path("\xff\xfe")}, capture(press_line)},
      {"missing device of invalid UTF-8", {dir.path("\xc3(")}, failed_read(dir.path("\xc3("), -1)},
  };
  for (const argv_case &c : cases) {
    expect::check(run::evsnap(c.args), c.want, c.what);
  }
}

} // namespace
