// libFuzzer target: each input is read three ways, with ASan and UBSan on.
//  - split on NUL bytes, an argument vector for read_command_line;
//  - its first bytes, an input_event record for key_code, and the line and
//    the decimal text main writes, against snprintf's;
//  - each NUL-terminated piece, a timeout text for seconds.
// Everything stays in-process: no exit, no I/O but getopt_long's diagnostics.
#include "evsnap.h"

#include <linux/input.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>

namespace {

char program_name[] = "evsnap";

// getopt_long writes its diagnostics to the stdio stream `stderr`. They are
// part of the program, but thousands a second would drown the fuzzer's log:
// they go to /dev/null while the parser runs. libFuzzer and the sanitizers
// keep writing to descriptor 2.
FILE *quiet = nullptr;

void check(bool holds, const char *what) {
  if (!holds) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort(); // libFuzzer keeps the input that did it
  }
}

// atoi's reading, written out and held to int32: blanks, a sign, then digits
// up to the first other character.
std::int32_t reference_seconds(const char *text) {
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
    ++text;
  }
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') {
    ++text;
  }
  const std::int64_t cap = std::int64_t{INT32_MAX} + 1;
  std::int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = std::min(value * 10 + (*text - '0'), cap);
  }
  return static_cast<std::int32_t>(
      std::clamp(negative ? -value : value, std::int64_t{INT32_MIN}, std::int64_t{INT32_MAX}));
}

void fuzz_record(const std::uint8_t *data, std::size_t size) {
  input_event event{};
  std::memcpy(&event, data, std::min(size, sizeof event));
  const std::uint32_t code = evsnap::key_code(event.type, event.code);
  check((code >> 31U == 1) == (event.type == EV_KEY), "bit 31 is set for EV_KEY alone");
  check((code >> 16U & 0x7fffU) == (event.type & 0x7fffU), "bits 30..16 hold the type");
  check((code & 0xffffU) == event.code, "bits 15..0 hold the code");
  // The line main prints, and the numbers of its read error, as printf writes them.
  char expected[16];
  std::snprintf(expected, sizeof expected, "0x%08x\n", static_cast<unsigned>(code));
  const evsnap::code_line line = evsnap::key_line(code);
  check(std::string(line.data(), line.size()) == expected, "the key code line reads as printf's");
  const auto number = static_cast<std::int32_t>(code);
  std::snprintf(expected, sizeof expected, "%d", number);
  const evsnap::decimal_text text = evsnap::decimal(number);
  check(std::string(text.text.data(), text.size) == expected, "a number reads as printf's %d");
}

evsnap::settings read_quietly(std::vector<char *> &argv) {
  FILE *const loud = stderr;
  stderr = quiet;
  optind = 0; // a fresh parse, as in a new process
  const evsnap::settings run =
      evsnap::read_command_line(static_cast<int>(argv.size() - 1), argv.data());
  stderr = loud;
  return run;
}

bool is_one_of(const char *text, const std::vector<char *> &argv) {
  return std::find(argv.begin(), argv.end(), text) != argv.end();
}

void fuzz_command_line(const std::vector<char *> &original) {
  std::vector<char *> argv = original;
  const int argc = static_cast<int>(argv.size() - 1);
  const evsnap::settings run = read_quietly(argv);
  const int operands = argc - optind;

  // getopt_long only reorders the vector.
  check(argv[static_cast<std::size_t>(argc)] == nullptr, "argv stays terminated");
  check(std::is_permutation(argv.begin(), argv.end(), original.begin()),
        "argv holds the same arguments, reordered");

  switch (run.next) {
  case evsnap::step::capture:
    check(operands == 0 || operands == 1, "a capture has at most one operand");
    check(run.device ==
              (operands == 1 ? argv[static_cast<std::size_t>(optind)] : evsnap::default_device),
          "the device is the operand, or the default one");
    check(run.rejected_opt == 0 && run.rejected_arg == nullptr, "nothing rejected");
    break;
  case evsnap::step::bad_operands:
    check(operands > 1, "too many operands means more than one");
    break;
  case evsnap::step::bad_option:
    // Either a short option by its letter, or a long option as written.
    check((run.rejected_opt != 0) != (run.rejected_arg != nullptr), "one rejection");
    check(run.rejected_opt != 'h' && run.rejected_opt != 'v', "-h and -v take no value");
    check(run.rejected_arg == nullptr || (is_one_of(run.rejected_arg, original) &&
                                          std::strncmp(run.rejected_arg, "--", 2) == 0),
          "a rejected long option is one of the arguments");
    break;
  case evsnap::step::usage:
  case evsnap::step::version:
    check(run.device == nullptr && run.rejected_opt == 0 && run.rejected_arg == nullptr,
          "help and version read no device and reject nothing");
    break;
  }

  // Decisions that need no parser to foresee.
  if (argc >= 2) {
    const std::string first = original[1];
    if (first == "-h" || first == "--help") {
      check(run.next == evsnap::step::usage, "a leading --help decides");
    }
    if (first == "-v" || first == "--version") {
      check(run.next == evsnap::step::version, "a leading --version decides");
    }
  }
  const bool no_dashes = std::none_of(original.begin() + 1, original.end() - 1,
                                      [](const char *arg) { return arg[0] == '-'; });
  if (no_dashes) {
    check(run.next == (argc <= 2 ? evsnap::step::capture : evsnap::step::bad_operands),
          "operands alone: a capture or too many");
    check(run.timeout == 1, "the timeout stays 1 without options");
  }

  // The parser keeps no state of its own between runs.
  std::vector<char *> again = original;
  const evsnap::settings rerun = read_quietly(again);
  check(rerun.next == run.next && rerun.timeout == run.timeout && rerun.device == run.device &&
            rerun.rejected_opt == run.rejected_opt && rerun.rejected_arg == run.rejected_arg,
        "a second reading of the same vector decides the same");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
  quiet = std::fopen("/dev/null", "w");
  return quiet == nullptr ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  fuzz_record(data, size);

  // The pieces end at a NUL byte or at the end of the input: "" gives no
  // argument, "\0" one empty one.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  std::vector<char *> argv{program_name};
  for (std::size_t at = 0; at < size; at += std::strlen(&text[at]) + 1) {
    argv.push_back(&text[at]);
    check(evsnap::seconds(&text[at]) == reference_seconds(&text[at]),
          "seconds reads like atoi, held to int32");
  }
  argv.push_back(nullptr);
  fuzz_command_line(argv);
  return 0;
}
