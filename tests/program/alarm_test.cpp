// How a run ends when no record comes: by the alarm after the timeout, and
// not before, with none armed while the open waits or under -t 0.
#include "expect.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>
#include <tuple>

namespace {

using run::record;

// Ended by the alarm after the timeout, and well before twice the timeout.
TEST(Alarm, NoRecordEndsByTheAlarm) {
  const held_fifo fifo;
  run::options hostile;
  hostile.hostile_alarm = true; // ignored and blocked by the parent: still ends
  const std::tuple<std::vector<std::string>, run::options, double> cases[] = {
      {{fifo.path}, {}, 1},
      {{fifo.path}, hostile, 1},
      {{"-t", "2", fifo.path}, {}, 2},
  };
  for (const auto &[args, how, timeout] : cases) {
    const run::outcome got = run::process(args, how).wait(10);
    EXPECT_FALSE(got.hung) << timeout;
    EXPECT_EQ(got.signal, SIGALRM) << timeout;
    EXPECT_GE(got.seconds, timeout);
    EXPECT_LT(got.seconds, timeout + 0.9); // room for a loaded machine and an emulator
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "");
  }
}

// No alarm runs while -t 0 reads, nor while the open waits for a FIFO's first
// writer: the alarm is armed after the open.
TEST(Alarm, WaitsWhereNoAlarmIsArmed) {
  const held_fifo held;
  const scratch dir;
  const std::string unopened = dir.path("fifo");
  ASSERT_EQ(mkfifo(unopened.c_str(), 0600), 0);
  const std::string press = record(EV_KEY, KEY_A, 1);
  const std::vector<std::string> cases[] = {{"-t", "0", held.path}, {"-t", "1", unopened}};
  for (const auto &args : cases) {
    run::process evsnap(args);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_TRUE(evsnap.running()) << args[2]; // an alarm of 1 s would have ended it
    const int writer = open(args[2].c_str(), O_WRONLY | O_NONBLOCK); // fails with no reader
    ASSERT_GE(writer, 0) << args[2];
    EXPECT_EQ(write(writer, press.data(), press.size()), static_cast<ssize_t>(press.size()));
    close(writer);
    const run::outcome got = evsnap.wait();
    EXPECT_EQ(got.out, expect::press_line) << args[2];
    EXPECT_EQ(got.status, 0) << args[2];
  }
}

TEST(Alarm, RecordArrivingWhileWaiting) {
  const held_fifo fifo;
  run::process evsnap({"-t", "5", fifo.path});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(fifo.send(record(EV_KEY, KEY_A, 1)));
  const run::outcome got = evsnap.wait();
  EXPECT_EQ(got.out, expect::press_line);
  EXPECT_EQ(got.status, 0);
}

// Odd timeouts still arm the alarm: each of these reads as 1 second.
TEST(Alarm, OddTimeoutsStillEndByTheAlarm) {
  const held_fifo empty;
  const std::vector<std::string> cases[] = {
      {"-t", " +1", empty.path},
      {"-t", "1 second", empty.path},
      {"--timeout=" + std::string(big, '0') + "1", empty.path},
  };
  for (const auto &args : cases) {
    expect::check(run::process(args).wait(10), expect::alarm, args[1].substr(0, 20));
  }
}

} // namespace
