// The parts of evsnap that need no system call: the key code, the command
// line, and the write loop, which is handed its system call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <sys/uio.h>

namespace evsnap {

#ifndef EVSNAP_VERSION
#error "EVSNAP_VERSION comes from the build: project(evsnap VERSION ...) in CMakeLists.txt"
#endif

// The program's name and version in one string, as --version prints it.
inline constexpr char progname[] = "evsnap " EVSNAP_VERSION;
inline constexpr char default_device[] = "/dev/input/event0";

inline constexpr std::uint16_t ev_key = 1; // EV_KEY in <linux/input-event-codes.h>

// Bit 31 flags a key or button, bits 30..16 carry the low 15 bits of the
// record's type, bits 15..0 its code.
constexpr std::uint32_t key_code(std::uint16_t type, std::uint16_t code) {
  const std::uint32_t key = type == ev_key ? 0x80000000U : 0U;
  return key | (std::uint32_t{type} & 0x7fffU) << 16U | code;
}

// The line evsnap prints for a key code, as printf's "0x%08lx\n" writes it.
using code_line = std::array<char, 11>;
constexpr code_line key_line(std::uint32_t code) {
  code_line text{'0', 'x'};
  for (std::size_t digit = 9; digit >= 2; --digit) {
    text[digit] = "0123456789abcdef"[code & 0xfU];
    code >>= 4U;
  }
  text[10] = '\n';
  return text;
}

// The decimal text of n, as printf's "%d" writes it. A tenth is taken by a
// multiply: 32-bit ARM has no divide instruction, and the routine that stands
// in for one lives in libgcc, which a libc-only binary must not need.
struct decimal_text {
  std::array<char, 11> text; // "-2147483648" at the longest
  std::size_t size;
};
constexpr decimal_text decimal(std::int32_t n) {
  decimal_text out{};
  std::uint32_t rest = n < 0 ? 0U - static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n);
  std::array<char, 10> reversed{};
  std::size_t digits = 0;
  do {
    // rest / 10, exact for every 32-bit rest: 0xcccccccd is 2^35 / 10 rounded up.
    const std::uint64_t scaled = std::uint64_t{rest} * 0xcccccccdU;
    const auto tenth = static_cast<std::uint32_t>(scaled >> 35U);
    reversed[digits++] = static_cast<char>('0' + (rest - tenth * 10U));
    rest = tenth;
  } while (rest != 0);
  if (n < 0) {
    out.text[out.size++] = '-';
  }
  while (digits > 0) {
    out.text[out.size++] = reversed[--digits];
  }
  return out;
}

// Writes all of the count pieces at next, going on from where a short write
// stopped; the pieces are used up. write(next, count) is writev on a file
// descriptor: a template, so that evsnap's call to writev stays a direct one.
template <class Write> bool write_all(Write write, iovec *next, std::size_t count) {
  while (count > 0) {
    ssize_t done = write(next, static_cast<int>(count));
    if (done <= 0) {
      return false;
    }
    for (; count > 0 && static_cast<std::size_t>(done) >= next->iov_len; ++next, --count) {
      done -= static_cast<ssize_t>(next->iov_len);
    }
    if (count > 0) {
      next->iov_base = static_cast<char *>(next->iov_base) + done;
      next->iov_len -= static_cast<std::size_t>(done);
    }
  }
  return true;
}

// What main does once the command line has been read.
enum class step {
  capture,      // wait for a record of `device`
  usage,        // print the usage text, status 0
  version,      // print the version line, status 0
  bad_option,   // the parser rejected an option, status 1
  bad_operands, // more than one operand, status 1
};

struct settings {
  step next = step::capture;
  std::int32_t timeout = 1;     // seconds to wait; 0 waits without limit
  const char *device = nullptr; // the path to read, for step::capture
  // For step::bad_option: the short option the parser refused, or 0 with the
  // long option as written.
  int rejected_opt = 0;
  const char *rejected_arg = nullptr;
};

// Seconds as atoi reads them (blanks, a sign, digits up to the first other
// character; none give 0), but held to the range of int32 instead of wrapping.
std::int32_t seconds(const char *text);

// Reads options and operands into settings. getopt_long permutes argv and
// prints its own diagnostics; set optind to 0 before reading a second vector.
settings read_command_line(int argc, char *argv[]);

} // namespace evsnap
