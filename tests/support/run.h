// Starts the built evsnap as a user would and collects what it did.
#pragma once

#include <linux/input.h>

#include <bit>
#include <chrono>
#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

namespace run {

struct options {
  std::string stdout_path; // empty: capture standard output
  bool close_stdout = false;
  bool hostile_alarm = false; // start with SIGALRM ignored and blocked
  // Not 0: standard output is a file with room for this many bytes more (a
  // file size limit, with SIGXFSZ ignored), so a longer write is cut short.
  std::size_t stdout_room = 0;
  std::string cwd;
};

struct outcome {
  std::string out;
  std::string err;
  int status = -1;    // exit status; -1 when a signal ended the run
  int signal = 0;     // the signal that ended the run, if any
  bool hung = false;  // still running at the limit, so killed
  double seconds = 0; // from the start to the end of the run
};

class process {
public:
  process(const std::vector<std::string> &args, const options &how = {});
  process(const process &) = delete;
  process &operator=(const process &) = delete;
  ~process();
  bool running();
  outcome wait(double limit_seconds = 10);

private:
  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  off_t out_from_ = 0; // where the run's standard output begins in out_
  int wstatus_ = 0;
  bool reaped_ = false;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point ended_;
};

inline outcome evsnap(const std::vector<std::string> &args, const options &how = {}) {
  return process(args, how).wait();
}

// Standard output full (/dev/full), closed, and with room for part of a line.
std::vector<options> unwritable_stdout();

// The path the binary is started under, which is its argv[0].
std::string binary();

// One record as the machine under test lays it out, its time zero, in byte
// order `order`: this program is built for that machine, so its own order is
// the machine's.
std::string record(unsigned type, unsigned code, int value,
                   std::endian order = std::endian::native);
// Writes bytes to path, replacing what was there.
void write_file(const std::string &path, const std::string &bytes);

} // namespace run
