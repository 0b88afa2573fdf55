#include "evsnap.h"

#include <cerrno>
#include <cstdlib>
#include <getopt.h>

namespace evsnap {

std::int32_t seconds(const char *text) {
  const long value = std::strtol(text, nullptr, 10); // saturates at LONG_MIN/LONG_MAX
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  if (value < INT32_MIN) {
    return INT32_MIN;
  }
  return static_cast<std::int32_t>(value);
}

namespace {

// Each long option returns its short twin.
const option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {"timeout", required_argument, nullptr, 't'},
    {nullptr, 0, nullptr, 0},
};

} // namespace

settings read_command_line(int argc, char *argv[]) {
  settings run;
  // Each option is acted on as it comes: the first -h, -v or rejected option decides.
  for (;;) {
    switch (getopt_long(argc, argv, "hvt:", long_options, nullptr)) {
    case 'h':
      run.next = step::usage;
      return run;
    case 'v':
      run.next = step::version;
      return run;
    case 't':
      run.timeout = seconds(optarg);
      break;
    case -1: {
      const int operands = argc - optind;
      if (operands > 1) {
        run.next = step::bad_operands;
      } else {
        run.device = operands == 1 ? argv[optind] : default_device;
      }
      return run;
    }
    default:
      run.next = step::bad_option;
      // An unknown long option leaves optopt 0, and -h and -v are refused only
      // as --help=... or --version=...: name those as written. A long option
      // always moves optind past itself.
      if (optopt == 0 || optopt == 'h' || optopt == 'v') {
        run.rejected_arg = argv[optind - 1];
      } else {
        run.rejected_opt = optopt;
      }
      return run;
    }
  }
}

} // namespace evsnap
