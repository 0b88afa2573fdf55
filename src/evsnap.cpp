// evsnap: wait a bounded time for the next record of one input event device
// and print its key code as one line of hexadecimal.
#include "evsnap.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

using namespace evsnap;

namespace {

void hint() {
  std::fprintf(stderr, "Try `%s --help' for more information.\n", progname);
}

// Whatever went to standard output must have reached it: scripts trust the status.
int finish_output(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "%s: write error.\n", progname);
    return 1;
  }
  return status;
}

} // namespace

int main(int argc, char *argv[]) {
  const settings run = read_command_line(argc, argv);
  switch (run.next) {
  case step::usage:
    std::printf("Usage: %s [device]\n"
                "\t -h --help \t\t\tdisplay usage summary\n"
                "\t -v --version \t\t\tdisplay version\n"
                "\t -t --timeout SECONDS \t\tset timeout to SECONDS (default=1)\n",
                argv[0]);
    return finish_output(0);
  case step::version:
    std::printf("%s\n", progname);
    return finish_output(0);
  case step::bad_option:
    if (run.rejected_opt != 0) {
      std::fprintf(stderr, "unrecognized option: -%c\n", run.rejected_opt);
    } else {
      std::fprintf(stderr, "unrecognized option: %s\n", run.rejected_arg);
    }
    hint();
    return 1;
  case step::bad_operands:
    std::fprintf(stderr, "%s: incorrect number of arguments.\n", progname);
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
  if (rd != static_cast<ssize_t>(sizeof event)) {
    std::fprintf(stderr, "error reading %s, read %d out of %d bytes.\n", run.device,
                 static_cast<int>(rd), static_cast<int>(sizeof event));
    status = 1;
  } else if (event.value != 0) {
    const std::uint32_t code = key_code(event.type, event.code);
    std::printf("0x%08lx\n", static_cast<unsigned long>(code));
  }
  close(fd);
  return finish_output(status);
}
