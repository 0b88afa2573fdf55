// The built binary reading records from files, FIFOs and paths that fail.
#include "run.h"
#include "scratch.h"

#include <gtest/gtest.h>

#include <linux/limits.h>
#include <sys/stat.h>
#include <thread>
#include <tuple>

namespace {

using run::record;

constexpr size_t record_size = sizeof(input_event);

struct file_case {
  const char *what;
  std::string contents;
  std::string out;
};

TEST(Capture, FirstRecordOfAFileDecides) {
  const input_event press = record(EV_KEY, KEY_A, 1);
  const file_case cases[] = {
      {"press", run::bytes({press}), "0x8001001e\n"},
      {"repeat", run::bytes({record(EV_KEY, KEY_A, 2)}), "0x8001001e\n"},
      {"release", run::bytes({record(EV_KEY, KEY_A, 0)}), ""},
      {"sync", run::bytes({record(EV_SYN, SYN_REPORT, 0)}), ""},
      {"scan code", run::bytes({record(EV_MSC, MSC_SCAN, 0x70004)}), "0x00040004\n"},
      {"motion", run::bytes({record(EV_REL, REL_X, -3)}), "0x00020000\n"},
      {"release then press", run::bytes({record(EV_KEY, KEY_A, 0), press}), ""},
      {"scan code then press", run::bytes({record(EV_MSC, MSC_SCAN, 4), press}), "0x00040004\n"},
      {"press and stray bytes", run::bytes({press}) + "xyz", "0x8001001e\n"},
  };
  const scratch dir;
  for (const file_case &c : cases) {
    const std::string device = dir.path("records");
    run::write_file(device, c.contents);
    const run::outcome got = run::evsnap({device});
    EXPECT_EQ(got.out, c.out) << c.what;
    EXPECT_EQ(got.err, "") << c.what;
    EXPECT_EQ(got.status, 0) << c.what;
  }
}

TEST(Capture, ShortOrFailedReadIsAnError) {
  const scratch dir;
  run::write_file(dir.path("ten"), std::string(10, 'x'));
  run::write_file(dir.path("one-short"), std::string(record_size - 1, 'x'));
  run::write_file(dir.path("empty"), "");
  mkdir(dir.path("folder").c_str(), 0700);
  const std::pair<std::string, long> cases[] = {
      {dir.path("ten"), 10},
      {dir.path("one-short"), static_cast<long>(record_size - 1)},
      {dir.path("empty"), 0},
      {dir.path("missing"), -1},
      {dir.path("folder"), -1},
      {"/" + std::string(PATH_MAX + 10, 'a'), -1}, // the kernel refuses the name
  };
  for (const auto &[device, count] : cases) {
    const run::outcome got = run::evsnap({device});
    EXPECT_EQ(got.out, "") << device;
    EXPECT_EQ(got.err, run::read_error(device, count)) << device;
    EXPECT_EQ(got.status, 1) << device;
  }
}

TEST(Capture, LongPathOpensTheDevice) {
  const scratch dir;
  std::string device = dir.dir();
  while (device.size() < 400) {
    device += "/a-rather-long-folder-name";
    mkdir(device.c_str(), 0700);
  }
  device += "/records";
  run::write_file(device, run::bytes({record(EV_KEY, KEY_A, 1)}));
  const run::outcome got = run::evsnap({device});
  EXPECT_EQ(got.out, "0x8001001e\n");
  EXPECT_EQ(got.status, 0);
}

TEST(Capture, MoreThanOneOperandNeverOpensTheDevice) {
  const scratch dir;
  // Opening a FIFO without a writer blocks, so an open would hang the run.
  const std::string fifo = dir.path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::string> cases[] = {{fifo, fifo}, {fifo, fifo, fifo}};
  for (const auto &args : cases) {
    const run::outcome got = run::evsnap(args);
    EXPECT_FALSE(got.hung);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "evsnap 1.0: incorrect number of arguments.\n"
                       "Try `evsnap 1.0 --help' for more information.\n");
    EXPECT_EQ(got.status, 1);
  }
}

TEST(Capture, UnwritableOutputIsAnError) {
  const scratch dir;
  const std::string press = dir.path("press");
  const std::string release = dir.path("release");
  run::write_file(press, run::bytes({record(EV_KEY, KEY_A, 1)}));
  run::write_file(release, run::bytes({record(EV_KEY, KEY_A, 0)}));

  for (const run::options &how : run::unwritable_stdout()) {
    const run::outcome got = run::evsnap({press}, how);
    EXPECT_EQ(got.err, "evsnap 1.0: write error.\n");
    EXPECT_EQ(got.status, 1);
    if (how.stdout_room != 0) {
      EXPECT_EQ(got.out, "0x800"); // what fitted: the line was cut short, not refused
    }
    // Nothing to write, nothing to fail.
    EXPECT_EQ(run::evsnap({release}, how).status, 0);
  }
}

// Ended by the alarm after the timeout, and well before twice the timeout.
TEST(Capture, NoRecordEndsByTheAlarm) {
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
TEST(Capture, WaitsWhereNoAlarmIsArmed) {
  const held_fifo held;
  const scratch dir;
  const std::string unopened = dir.path("fifo");
  ASSERT_EQ(mkfifo(unopened.c_str(), 0600), 0);
  const std::string press = run::bytes({record(EV_KEY, KEY_A, 1)});
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
    EXPECT_EQ(got.out, "0x8001001e\n") << args[2];
    EXPECT_EQ(got.status, 0) << args[2];
  }
}

TEST(Capture, RecordArrivingWhileWaiting) {
  const held_fifo fifo;
  run::process evsnap({"-t", "5", fifo.path});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ASSERT_TRUE(fifo.send(run::bytes({record(EV_KEY, KEY_A, 1)})));
  const run::outcome got = evsnap.wait();
  EXPECT_EQ(got.out, "0x8001001e\n");
  EXPECT_EQ(got.status, 0);
}

} // namespace
