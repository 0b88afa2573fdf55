// The built binary against what a hostile user can hand it: odd and huge
// argument vectors, and paths that are no event device. Every run must end
// with its message and status, or a clean capture, within its time, and never
// print part of a line.
#include "run.h"
#include "scratch.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

using run::record;

const std::string hint = "Try `evsnap 1.0 --help' for more information.\n";
const std::string too_many = "evsnap 1.0: incorrect number of arguments.\n" + hint;
const std::string press_line = "0x8001001e\n";
constexpr size_t big = 100'000; // bytes, under Linux's 128 kB limit for one argument

struct expected {
  int status = 0;       // exit status, or -1 when SIGALRM ended the run
  std::string out;      // the whole of standard output
  std::string err;      // the whole of standard error, after the parser's line if any
  std::string option{}; // not empty: the parser's line comes first and names this option
};

struct hostile_case {
  std::string what; // a label: some arguments are too long to print
  std::vector<std::string> args;
  expected want;
};

expected capture(const std::string &line) {
  return {0, line, ""};
}
expected rejected(const std::string &ours, const std::string &option) {
  return {1, "", ours + hint, option};
}
expected read_error(const std::string &device, long count) {
  return {1, "", run::read_error(device, count)};
}

void check(const run::outcome &got, const expected &want, const std::string &what) {
  EXPECT_FALSE(got.hung) << what;
  if (want.status < 0) {
    EXPECT_EQ(got.signal, SIGALRM) << what;
  } else {
    EXPECT_EQ(got.status, want.status) << what;
  }
  EXPECT_EQ(got.out, want.out) << what;
  if (want.option.empty()) {
    EXPECT_EQ(got.err, want.err) << what;
    return;
  }
  // One line of getopt_long's, in the C library's words, then ours, whole.
  ASSERT_GT(got.err.size(), want.err.size()) << what;
  const std::string parser = got.err.substr(0, got.err.size() - want.err.size());
  EXPECT_EQ(got.err.substr(parser.size()), want.err) << what;
  EXPECT_EQ(parser.find('\n'), parser.size() - 1) << what;
  EXPECT_NE(parser.find(want.option), std::string::npos) << what;
}

void run_cases(const std::vector<hostile_case> &cases, const run::options &how = {}) {
  for (const hostile_case &c : cases) {
    check(run::evsnap(c.args, how), c.want, c.what);
  }
}

TEST(Hostile, ArgumentVectors) {
  const scratch dir;
  const std::string press = dir.path("press");
  run::write_file(press, run::bytes({record(EV_KEY, KEY_A, 1)}));
  run::write_file(dir.path("key press"), run::bytes({record(EV_KEY, KEY_A, 1)}));
  run::write_file(dir.path("\xff\xfe"), run::bytes({record(EV_KEY, KEY_A, 1)}));
  const std::string long_name(big, 'a');
  const std::vector<std::string> many(5000, press);
  auto with_many = [&many](std::vector<std::string> before, const std::string &after = {}) {
    before.insert(before.end(), many.begin(), many.end());
    if (!after.empty()) {
      before.push_back(after);
    }
    return before;
  };

  run_cases({
      {"empty operand", {""}, read_error("", -1)},
      {"two empty operands", {"", ""}, {1, "", too_many}},
      {"empty operand after a device", {press, ""}, {1, "", too_many}},
      {"empty operand after --", {"--", ""}, read_error("", -1)},
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
      {"100 kB device path", {"/" + long_name}, read_error("/" + long_name, -1)},
      {"timeout with blanks", {"-t", " \t2 ", press}, capture(press_line)},
      {"timeout with a plus", {"-t", "+3", press}, capture(press_line)},
      {"timeout of -1", {"-t", "-1", press}, capture(press_line)},
      {"timeout of a lone sign", {"-t", "- 1", press}, capture(press_line)},
      {"-v as the timeout", {"-t", "-v", press}, capture(press_line)},
      {"--help as the timeout", {"--timeout", "--help", press}, capture(press_line)},
      {"device path with a blank", {dir.path("key press")}, capture(press_line)},
      {"5000 operands", many, {1, "", too_many}},
      {"--version before 5000 operands", with_many({"--version"}), {0, "evsnap 1.0\n", ""}},
      {"rejected option after 5000 operands", with_many({}, "-x"),
       rejected("unrecognized option: -x\n", "x")},
      {"long option of invalid UTF-8",
       {"--\xff\xfe"},
       rejected("unrecognized option: --\xff\xfe\n", "\xff\xfe")},
      {"short option of invalid UTF-8",
       {"-\xff"},
       rejected("unrecognized option: -\xff\n", "\xff")},
      {"device path of invalid UTF-8", {dir.path("\xff\xfe")}, capture(press_line)},
      {"missing device of invalid UTF-8", {dir.path("\xc3(")}, read_error(dir.path("\xc3("), -1)},
  });
}

TEST(Hostile, PathsThatAreNoEventDevice) {
  const scratch dir;
  const std::string press = dir.path("press");
  run::write_file(press, run::bytes({record(EV_KEY, KEY_A, 1)}));
  const std::string socket_path = dir.path("socket");
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);

  const held_fifo whole;
  const std::string queued = run::bytes({record(EV_KEY, KEY_A, 1)});
  ASSERT_TRUE(whole.send(queued));
  const held_fifo half;
  const std::string part = queued.substr(0, queued.size() / 2);
  ASSERT_TRUE(half.send(part));

  run::options here;
  here.cwd = dir.dir();
  run_cases(
      {
          {"FIFO with a record queued", {whole.path}, capture(press_line)},
          {"FIFO with half a record",
           {half.path},
           read_error(half.path, static_cast<long>(part.size()))},
          {"root directory", {"/"}, read_error("/", -1)},
          {"/dev/null", {"/dev/null"}, read_error("/dev/null", 0)},
          {"/dev/zero: a record of value 0", {"/dev/zero"}, capture("")},
          {"/dev/full reads as zeros", {"/dev/full"}, capture("")},
          {"socket", {socket_path}, read_error(socket_path, -1)},
          {"a file as a folder", {press + "/"}, read_error(press + "/", -1)},
          {"a lone dash is a missing file", {"-"}, read_error("-", -1)},
      },
      here);
  close(listener);
}

TEST(Hostile, FileChangedBetweenRuns) {
  const scratch dir;
  const std::string device = dir.path("device");
  run::write_file(device, run::bytes({record(EV_KEY, KEY_A, 1)}));
  check(run::evsnap({device}), capture(press_line), "first run");
  ASSERT_EQ(unlink(device.c_str()), 0);
  check(run::evsnap({device}), read_error(device, -1), "removed");
  run::write_file(device, "");
  check(run::evsnap({device}), read_error(device, 0), "back, empty");
}

TEST(Hostile, RandomRecordsPrintWholeLinesOrNothing) {
  for (int i = 0; i < 5; ++i) {
    const run::outcome got = run::evsnap({"/dev/urandom"});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.err, "");
    if (!got.out.empty()) {
      EXPECT_EQ(got.out.size(), 11U) << got.out;
      EXPECT_EQ(got.out.find_first_not_of("0123456789abcdef", 2), 10U) << got.out;
      EXPECT_EQ(got.out.substr(0, 2) + got.out.substr(10), "0x\n") << got.out;
    }
  }
}

// Odd timeouts still arm the alarm: each of these reads as 1 second.
TEST(Hostile, OddTimeoutsStillEndByTheAlarm) {
  const held_fifo empty;
  const std::vector<std::string> cases[] = {
      {"-t", " +1", empty.path},
      {"-t", "1 second", empty.path},
      {"--timeout=" + std::string(big, '0') + "1", empty.path},
  };
  for (const auto &args : cases) {
    check(run::process(args).wait(10), {-1, "", ""}, args[1].substr(0, 20));
  }
}

} // namespace
