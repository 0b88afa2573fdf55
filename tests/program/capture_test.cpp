// The built binary reading one record: from files, FIFOs and devices that
// hold records, and from paths that fail or are no event device at all.
#include "expect.h"
#include "fixtures.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <linux/limits.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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
  const std::string press = record(EV_KEY, KEY_A, 1);
  // evsnap reads the machine's own byte order, so a press in the other one
  // is type 0x0100, code 0x1e00: no key, whichever order is the machine's.
  constexpr std::endian other =
      std::endian::native == std::endian::big ? std::endian::little : std::endian::big;
  const file_case cases[] = {
      {"press", press, "0x8001001e\n"},
      {"repeat", record(EV_KEY, KEY_A, 2), "0x8001001e\n"},
      {"release", record(EV_KEY, KEY_A, 0), ""},
      {"sync", record(EV_SYN, SYN_REPORT, 0), ""},
      {"scan code", record(EV_MSC, MSC_SCAN, 0x70004), "0x00040004\n"},
      {"motion", record(EV_REL, REL_X, -3), "0x00020000\n"},
      {"release then press", record(EV_KEY, KEY_A, 0) + press, ""},
      {"scan code then press", record(EV_MSC, MSC_SCAN, 4) + press, "0x00040004\n"},
      {"press and stray bytes", press + "xyz", "0x8001001e\n"},
      {"press in the other byte order", record(EV_KEY, KEY_A, 1, other), "0x01001e00\n"},
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
    EXPECT_EQ(got.err, expect::read_error(device, count)) << device;
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
  run::write_file(device, record(EV_KEY, KEY_A, 1));
  const run::outcome got = run::evsnap({device});
  EXPECT_EQ(got.out, "0x8001001e\n");
  EXPECT_EQ(got.status, 0);
}

TEST(Capture, PathsThatAreNoEventDevice) {
  const scratch dir;
  const std::string press = dir.path("press");
  run::write_file(press, record(EV_KEY, KEY_A, 1));
  const std::string socket_path = dir.path("socket");
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);

  const held_fifo whole;
  const std::string queued = record(EV_KEY, KEY_A, 1);
  ASSERT_TRUE(whole.send(queued));
  const held_fifo half;
  const std::string part = queued.substr(0, queued.size() / 2);
  ASSERT_TRUE(half.send(part));

  run::options here;
  here.cwd = dir.dir();
  using expect::capture, expect::failed_read, expect::press_line;
  const std::tuple<const char *, std::string, expect::result> cases[] = {
      {"FIFO with a record queued", whole.path, capture(press_line)},
      {"FIFO with half a record", half.path,
       failed_read(half.path, static_cast<long>(part.size()))},
      {"root directory", "/", failed_read("/", -1)},
      {"/dev/null", "/dev/null", failed_read("/dev/null", 0)},
      {"/dev/zero: a record of value 0", "/dev/zero", capture("")},
      {"/dev/full reads as zeros", "/dev/full", capture("")},
      {"socket", socket_path, failed_read(socket_path, -1)},
      {"a file as a folder", press + "/", failed_read(press + "/", -1)},
      {"a lone dash is a missing file", "-", failed_read("-", -1)},
  };
  for (const auto &[what, device, want] : cases) {
    expect::check(run::evsnap({device}, here), want, what);
  }
  close(listener);
}

TEST(Capture, FileChangedBetweenRuns) {
  const scratch dir;
  const std::string device = dir.path("device");
  run::write_file(device, record(EV_KEY, KEY_A, 1));
  expect::check(run::evsnap({device}), expect::capture(expect::press_line), "first run");
  ASSERT_EQ(unlink(device.c_str()), 0);
  expect::check(run::evsnap({device}), expect::failed_read(device, -1), "removed");
  run::write_file(device, "");
  expect::check(run::evsnap({device}), expect::failed_read(device, 0), "back, empty");
}

TEST(Capture, RandomRecordsPrintWholeLinesOrNothing) {
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

} // namespace
