// Standard output that cannot take what evsnap writes: full, closed, or
// with room for part of a line. Scripts trust the status, so each fails.
#include "expect.h"
#include "fixtures.h"

#include <gtest/gtest.h>

namespace {

using run::record;

TEST(Output, UnwritableOutputIsAnError) {
  const scratch dir;
  const std::string press = dir.path("press");
  const std::string release = dir.path("release");
  run::write_file(press, run::bytes({record(EV_KEY, KEY_A, 1)}));
  run::write_file(release, run::bytes({record(EV_KEY, KEY_A, 0)}));

  for (const run::options &how : run::unwritable_stdout()) {
    const run::outcome got = run::evsnap({press}, how);
    EXPECT_EQ(got.err, expect::write_error);
    EXPECT_EQ(got.status, 1);
    if (how.stdout_room != 0) {
      EXPECT_EQ(got.out, "0x800"); // what fitted: the line was cut short, not refused
    }
    // Nothing to write, nothing to fail.
    EXPECT_EQ(run::evsnap({release}, how).status, 0);
  }
}

TEST(Output, HelpAndVersionThatCannotBeWrittenFail) {
  for (const run::options &how : run::unwritable_stdout()) {
    for (const char *option : {"--help", "--version"}) {
      const run::outcome got = run::evsnap({option}, how);
      EXPECT_EQ(got.err, expect::write_error) << option;
      EXPECT_EQ(got.status, 1) << option;
    }
  }
}

} // namespace
