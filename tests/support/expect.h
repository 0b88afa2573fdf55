// What a run of evsnap should give: its messages, and one check of a whole
// outcome. The name and version are the changelog's (EVSNAP_IDENTITY, set
// by tests/CMakeLists.txt), not the build's, so a wrong version fails.
#pragma once

#include "run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace expect {

inline const std::string identity = EVSNAP_IDENTITY;
inline const std::string version = identity + "\n";
inline const std::string hint = "Try `" + identity + " --help' for more information.\n";
inline const std::string too_many = identity + ": incorrect number of arguments.\n" + hint;
inline const std::string write_error = identity + ": write error.\n";
inline const std::string press_line = "0x8001001e\n"; // KEY_A, pressed or repeated

inline std::string usage() {
  return "Usage: " + run::binary() +
         " [device]\n"
         "\t -h --help \t\t\tdisplay usage summary\n"
         "\t -v --version \t\t\tdisplay version\n"
         "\t -t --timeout SECONDS \t\tset timeout to SECONDS (default=1)\n";
}

inline std::string read_error(const std::string &device, long count) {
  return "error reading " + device + ", read " + std::to_string(count) + " out of " +
         std::to_string(sizeof(input_event)) + " bytes.\n";
}

// Standard error after a rejected option: one line of getopt_long's, in the C
// library's own words and naming the option, then ours whole.
inline ::testing::AssertionResult parser_line_then(const std::string &err, const std::string &ours,
                                                   const std::string &option) {
  if (err.size() <= ours.size() || err.compare(err.size() - ours.size(), ours.size(), ours) != 0) {
    return ::testing::AssertionFailure() << "does not end with " << ours << ": " << err;
  }
  const std::string parser = err.substr(0, err.size() - ours.size());
  if (parser.find('\n') != parser.size() - 1 || parser.find('\0') != std::string::npos) {
    return ::testing::AssertionFailure() << "the parser's part is not one line: " << parser;
  }
  if (parser.find(option) == std::string::npos) {
    return ::testing::AssertionFailure() << "the parser's line does not name " << option;
  }
  return ::testing::AssertionSuccess();
}

struct result {
  int status = 0;       // exit status, or -1 when SIGALRM ended the run
  std::string out;      // the whole of standard output
  std::string err;      // the whole of standard error, after the parser's line if any
  std::string option{}; // not empty: the parser's line comes first and names this option
};

inline result capture(const std::string &line) {
  return {0, line, ""};
}
inline result rejected(const std::string &ours, const std::string &option) {
  return {1, "", ours + hint, option};
}
inline result failed_read(const std::string &device, long count) {
  return {1, "", read_error(device, count)};
}
inline const result alarm{-1, "", ""};

inline void check(const run::outcome &got, const result &want, const std::string &what) {
  EXPECT_FALSE(got.hung) << what;
  if (want.status < 0) {
    EXPECT_EQ(got.signal, SIGALRM) << what;
  } else {
    EXPECT_EQ(got.status, want.status) << what;
  }
  EXPECT_EQ(got.out, want.out) << what;
  if (want.option.empty()) {
    EXPECT_EQ(got.err, want.err) << what;
  } else {
    EXPECT_TRUE(parser_line_then(got.err, want.err, want.option)) << what;
  }
}

} // namespace expect
