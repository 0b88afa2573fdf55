// Help, version and rejected options, through the built binary.
#include "run.h"
#include "scratch.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

const std::string hint = "Try `evsnap 1.0 --help' for more information.\n";

std::string usage() {
  return "Usage: " + run::binary() +
         " [device]\n"
         "\t -h --help \t\t\tdisplay usage summary\n"
         "\t -v --version \t\t\tdisplay version\n"
         "\t -t --timeout SECONDS \t\tset timeout to SECONDS (default=1)\n";
}

TEST(Options, HelpAndVersionOnStandardOutput) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-h"}, usage()},           {{"--help"}, usage()},
      {{"--he"}, usage()},         {{"-h", "/nonexistent", "two", "three"}, usage()},
      {{"-v"}, "evsnap 1.0\n"},    {{"--version"}, "evsnap 1.0\n"},
      {{"--ver"}, "evsnap 1.0\n"}, {{"-v", "--bogus"}, "evsnap 1.0\n"},
  };
  for (const auto &[args, out] : cases) {
    const run::outcome got = run::evsnap(args);
    EXPECT_EQ(got.out, out) << ::testing::PrintToString(args);
    EXPECT_EQ(got.err, "") << ::testing::PrintToString(args);
    EXPECT_EQ(got.status, 0) << ::testing::PrintToString(args);
  }
}

TEST(Options, HelpAndVersionThatCannotBeWrittenFail) {
  for (const run::options &how : run::unwritable_stdout()) {
    for (const char *option : {"--help", "--version"}) {
      const run::outcome got = run::evsnap({option}, how);
      EXPECT_EQ(got.err, "evsnap 1.0: write error.\n") << option;
      EXPECT_EQ(got.status, 1) << option;
    }
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
    const run::outcome got = run::evsnap(args);
    const std::string tail = ours + hint;
    EXPECT_EQ(got.out, "") << ::testing::PrintToString(args);
    EXPECT_EQ(got.status, 1) << ::testing::PrintToString(args);
    ASSERT_GT(got.err.size(), tail.size()) << got.err;
    const std::string parser = got.err.substr(0, got.err.size() - tail.size());
    EXPECT_NE(parser.find(name), std::string::npos) << parser;
    EXPECT_EQ(got.err.substr(parser.size()), tail);
    EXPECT_EQ(got.err.find('\0'), std::string::npos) << ::testing::PrintToString(args);
  }
}

TEST(Options, OperandBeforeOrAfterOptionsAndAfterDashDash) {
  const scratch dir;
  run::write_file(dir.path("-press"), run::bytes({run::record(EV_KEY, KEY_A, 1)}));
  const std::vector<std::string> cases[] = {
      {dir.path("-press"), "-t", "3"},
      {"-t", "3", dir.path("-press")},
      {"--timeout=3", "--", "-press"},
  };
  run::options here;
  here.cwd = dir.dir();
  for (const auto &args : cases) {
    const run::outcome got = run::evsnap(args, here);
    EXPECT_EQ(got.out, "0x8001001e\n") << ::testing::PrintToString(args);
    EXPECT_EQ(got.status, 0) << ::testing::PrintToString(args);
  }
}

} // namespace
