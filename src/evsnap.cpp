// evsnap: wait a bounded time for the next record of one input event device
// and print its key code as one line of hexadecimal.
#include "evsnap.h"

#include <array>
#include <csignal>
#include <fcntl.h>
#include <initializer_list>
#include <linux/input.h>
#include <string_view>
#include <sys/uio.h>
#include <unistd.h>

using namespace evsnap;

// A read asks for one record as this build lays it out, and the kernel writes
// two __kernel_ulong_t words of time, then type, code and value. A C library
// with a 64-bit time_t and kernel headers too old to know it would give a
// larger record here, and every read from a real device would come back short.
static_assert(sizeof(input_event) == 2 * sizeof(__kernel_ulong_t) + 8,
              "input_event differs from the record the kernel delivers");

// Every byte evsnap writes goes out by write(2), as text formed here, not by
// stdio: the text is what printf would make of the same formats, byte for
// byte, but a static build then carries no printf (a third of its size) and
// starts with no symbol lookups and no buffer on the heap.
namespace {

// Writes all of the pieces to fd, going on from where a short write stopped.
bool say(int fd, std::initializer_list<std::string_view> pieces) {
  std::array<iovec, 8> parts{}; // the longest message has seven pieces
  std::size_t count = 0;
  for (const std::string_view piece : pieces) {
    if (!piece.empty() && count < parts.size()) {
      parts[count++] = {const_cast<char *>(piece.data()), piece.size()};
    }
  }
  return write_all([fd](const iovec *next, int n) { return writev(fd, next, n); }, parts.data(),
                   count);
}

// A message on standard error has nowhere to report its own failure.
void complain(std::initializer_list<std::string_view> pieces) {
  say(STDERR_FILENO, pieces);
}

void hint() {
  complain({"Try `", progname, " --help' for more information.\n"});
}

std::string_view text_of(const decimal_text &number) {
  return {number.text.data(), number.size};
}

// Scripts trust the status: output that did not reach standard output fails the run.
int finish_output(bool written, int status) {
  if (!written) {
    complain({progname, ": write error.\n"});
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
        say(STDOUT_FILENO, {"Usage: ", argv[0],
                            " [device]\n"
                            "\t -h --help \t\t\tdisplay usage summary\n"
                            "\t -v --version \t\t\tdisplay version\n"
                            "\t -t --timeout SECONDS \t\tset timeout to SECONDS (default=1)\n"}),
        0);
  case step::version:
    return finish_output(say(STDOUT_FILENO, {progname, "\n"}), 0);
  case step::bad_option:
    if (run.rejected_opt != 0) {
      const char letter = static_cast<char>(run.rejected_opt); // as %c writes an int
      complain({"unrecognized option: -", {&letter, 1}, "\n"});
    } else {
      complain({"unrecognized option: ", run.rejected_arg, "\n"});
    }
    hint();
    return 1;
  case step::bad_operands:
    complain({progname, ": incorrect number of arguments.\n"});
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
    complain({"error reading ", run.device, ", read ",
              text_of(decimal(static_cast<std::int32_t>(rd))), " out of ",
              text_of(decimal(sizeof event)), " bytes.\n"});
    status = 1;
  } else if (event.value != 0) {
    const code_line text = key_line(key_code(event.type, event.code));
    written = say(STDOUT_FILENO, {{text.data(), text.size()}});
  }
  close(fd);
  return finish_output(written, status);
}
