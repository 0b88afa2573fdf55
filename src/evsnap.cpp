// evsnap: wait a bounded time for the next record of one input event device
// and print its key code as one line of hexadecimal.
#include "evsnap.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <linux/input.h>
#include <string_view>
#include <unistd.h>

using namespace evsnap;

// A read asks for one record as this build lays it out, and the kernel writes
// two __kernel_ulong_t words of time, then type, code and value. A C library
// with a 64-bit time_t and kernel headers too old to know it would give a
// larger record here, and every read from a real device would come back short.
static_assert(sizeof(input_event) == 2 * sizeof(__kernel_ulong_t) + 8,
              "input_event differs from the record the kernel delivers");

// Standard output is written with write(2), not stdio: stdio would cost
// symbol lookups at every start and a heap for its buffer, and dprintf takes
// a buffer from the heap too. Messages on standard error use dprintf.
namespace {

void hint() {
  dprintf(STDERR_FILENO, "Try `%s --help' for more information.\n", progname);
}

// Writes all of text to standard output, or fails.
bool put(std::string_view text) {
  while (!text.empty()) {
    const ssize_t done = write(STDOUT_FILENO, text.data(), text.size());
    if (done <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(done));
  }
  return true;
}

// Scripts trust the status: output that did not reach standard output fails the run.
int finish_output(bool written, int status) {
  if (!written) {
    dprintf(STDERR_FILENO, "%s: write error.\n", progname);
    return 1;
  }
  return status;
}

} // namespace

int main(int argc, char *argv[]) {
  const settings run = read_command_line(argc, argv);
  switch (run.next) {
  case step::usage:
    return finish_output(
        put("Usage: ") && put(argv[0]) &&
            put(" [device]\n"
                "\t -h --help \t\t\tdisplay usage summary\n"
                "\t -v --version \t\t\tdisplay version\n"
                "\t -t --timeout SECONDS \t\tset timeout to SECONDS (default=1)\n"),
        0);
  case step::version:
    return finish_output(put(progname) && put("\n"), 0);
  case step::bad_option:
    if (run.rejected_opt != 0) {
      dprintf(STDERR_FILENO, "unrecognized option: -%c\n", run.rejected_opt);
    } else {
      dprintf(STDERR_FILENO, "unrecognized option: %s\n", run.rejected_arg);
    }
    hint();
    return 1;
  case step::bad_operands:
    dprintf(STDERR_FILENO, "%s: incorrect number of arguments.\n", progname);
    hint();
    return 1;
  case step::capture:
    break;
  }

  // A failed open shows up as a failed read below.
  const int fd = open(run.device, O_RDONLY);

  // The alarm's default action is what ends a run that sees no record, so undo
  // an ignored or blocked SIGALRM inherited from the parent. 0 arms nothing.
  std::signal(SIGALRM, SIG_DFL);
  sigset_t alarm_only;
  sigemptyset(&alarm_only);
  sigaddset(&alarm_only, SIGALRM);
  sigprocmask(SIG_UNBLOCK, &alarm_only, nullptr);
  alarm(static_cast<unsigned>(run.timeout));

  input_event event{};
  const ssize_t rd = read(fd, &event, sizeof event);
  int status = 0;
  bool written = true;
  if (rd != static_cast<ssize_t>(sizeof event)) {
    dprintf(STDERR_FILENO, "error reading %s, read %d out of %d bytes.\n", run.device,
            static_cast<int>(rd), static_cast<int>(sizeof event));
    status = 1;
  } else if (event.value != 0) {
    const code_line text = key_line(key_code(event.type, event.code));
    written = put({text.data(), text.size()});
  }
  close(fd);
  return finish_output(written, status);
}
