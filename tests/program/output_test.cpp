// Standard output that cannot take what evsnap writes: full, closed, or
// with room for part of a line. Scripts trust the status, so each fails.
// First the write loop in-process, against writes that take a few bytes at a time.
#include "evsnap.h"
#include "expect.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using run::record;

struct pieces_case {
  std::vector<std::string> pieces;
  std::size_t cut = 0; // bytes short of the whole that the output takes; 0: room for all
};

// Each piece must go out whole and in order however few bytes one write takes,
// and a write that takes nothing must end the loop with what went out before it.
TEST(Output, WritesThatTakeAFewBytesAtATime) {
  const pieces_case cases[] = {
      {{"error reading ", "/dev/input/event3", ", read ", "-1", " out of ", "24", " bytes.\n"}},
      {{"0x8001001e\n"}},
      {{"a", "bc", "def", "ghij", "klmnopq", "rstuvwxy"}},
      {{"Usage: ", "", "evsnap", " [device]\n"}},
      {{"error reading ", "/dev/input/event3", ", read ", "-1", " out of "}, 5},
      {{"0x8001001e\n"}, 1},
  };
  for (const pieces_case &c : cases) {
    std::string text;
    for (const std::string &piece : c.pieces) {
      text += piece;
    }
    for (const std::size_t chunk : {1U, 3U, 7U}) {
      // The pieces lie in one buffer with room past its end: a loop that
      // reads past a piece writes wrong bytes rather than reading astray.
      std::string buffer = text + std::string(16, '#');
      std::vector<iovec> parts;
      for (std::size_t at = 0; const std::string &piece : c.pieces) {
        parts.push_back({buffer.data() + at, piece.size()});
        at += piece.size();
      }
      std::string out;
      const std::size_t room = text.size() - c.cut;
      auto write = [&](const iovec *next, int count) -> ssize_t {
        std::size_t took = 0;
        const std::size_t take = std::min(chunk, room - out.size());
        for (int n = 0; n < count && took < take; ++n) {
          const std::size_t length = std::min(next[n].iov_len, take - took);
          out.append(static_cast<const char *>(next[n].iov_base), length);
          took += length;
        }
        return took == 0 ? -1 : static_cast<ssize_t>(took);
      };
      const std::string what = text.substr(0, 20) + ", " + std::to_string(chunk) + " at a time";
      EXPECT_EQ(evsnap::write_all(write, parts.data(), parts.size()), c.cut == 0) << what;
      EXPECT_EQ(out, text.substr(0, room)) << what;
    }
  }
}

TEST(Output, UnwritableOutputIsAnError) {
  const scratch dir;
  const std::string press = dir.path("press");
  const std::string release = dir.path("release");
  run::write_file(press, record(EV_KEY, KEY_A, 1));
  run::write_file(release, record(EV_KEY, KEY_A, 0));

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
