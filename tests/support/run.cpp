#include "run.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace run {

namespace {

int temp_fd() {
  char name[] = "/tmp/evsnap-out-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) {
    throw std::runtime_error("mkstemp failed");
  }
  unlink(name);
  return fd;
}

// Standard error shares a file size limit with standard output: the limit
// leaves it this much room, and standard output starts just below it.
constexpr off_t size_limit = 4096;

std::string slurp(int fd, off_t from = 0) {
  std::string text;
  char chunk[4096];
  ssize_t got = 0;
  lseek(fd, from, SEEK_SET);
  while ((got = read(fd, chunk, sizeof chunk)) > 0) {
    text.append(chunk, static_cast<size_t>(got));
  }
  return text;
}

// The binary runs through the emulator line CTest gives each test (as one of
// the build's CPUs), or as it is without one.
std::vector<std::string> command(const std::vector<std::string> &args) {
  std::vector<std::string> words;
  const char *line = std::getenv("EVSNAP_EMULATOR");
  std::istringstream emulator(line != nullptr ? line : "");
  for (std::string word; emulator >> word;) {
    words.push_back(word);
  }
  words.push_back(binary());
  words.insert(words.end(), args.begin(), args.end());
  return words;
}

} // namespace

std::string binary() {
  return EVSNAP_BINARY;
}

std::vector<options> unwritable_stdout() {
  options full;
  full.stdout_path = "/dev/full";
  options closed;
  closed.close_stdout = true;
  options part_of_a_line;
  part_of_a_line.stdout_room = 5;
  return {full, closed, part_of_a_line};
}

process::process(const std::vector<std::string> &args, const options &how)
    : out_(temp_fd()), err_(temp_fd()),
      out_from_(how.stdout_room != 0 ? size_limit - static_cast<off_t>(how.stdout_room) : 0) {
  std::vector<std::string> words = command(args);
  std::vector<char *> argv;
  for (std::string &word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    int out = out_;
    if (!how.stdout_path.empty()) {
      out = open(how.stdout_path.c_str(), O_WRONLY);
    }
    dup2(out, STDOUT_FILENO);
    dup2(err_, STDERR_FILENO);
    if (how.close_stdout) {
      close(STDOUT_FILENO);
    }
    if (how.stdout_room != 0) {
      const rlimit size{size_limit, size_limit};
      setrlimit(RLIMIT_FSIZE, &size);
      lseek(STDOUT_FILENO, out_from_, SEEK_SET);
      signal(SIGXFSZ, SIG_IGN);
    }
    if (how.hostile_alarm) {
      signal(SIGALRM, SIG_IGN);
      sigset_t alarm_only;
      sigemptyset(&alarm_only);
      sigaddset(&alarm_only, SIGALRM);
      sigprocmask(SIG_BLOCK, &alarm_only, nullptr);
    }
    if (!how.cwd.empty() && chdir(how.cwd.c_str()) != 0) {
      _exit(126);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
}

process::~process() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close(out_);
  close(err_);
}

bool process::running() {
  if (!reaped_ && waitpid(pid_, &wstatus_, WNOHANG) == pid_) {
    reaped_ = true;
    ended_ = std::chrono::steady_clock::now();
  }
  return !reaped_;
}

outcome process::wait(double limit_seconds) {
  outcome result;
  const timespec tick{0, 5'000'000};
  for (double waited = 0; running(); waited += 0.005) {
    if (waited > limit_seconds) {
      result.hung = true;
      kill(pid_, SIGKILL);
      waitpid(pid_, &wstatus_, 0);
      reaped_ = true;
      ended_ = std::chrono::steady_clock::now();
      break;
    }
    nanosleep(&tick, nullptr);
  }
  if (WIFEXITED(wstatus_)) {
    result.status = WEXITSTATUS(wstatus_);
  } else if (WIFSIGNALED(wstatus_)) {
    result.signal = WTERMSIG(wstatus_);
  }
  result.seconds = std::chrono::duration<double>(ended_ - started_).count();
  result.out = slurp(out_, out_from_);
  result.err = slurp(err_);
  return result;
}

std::string record(unsigned type, unsigned code, int value, std::endian order) {
  std::string bytes(sizeof(input_event), '\0');
  // The low `size` bytes of n at `at`, the most significant first when big-endian.
  auto put = [&bytes, order](std::size_t at, std::size_t size, std::uint32_t n) {
    for (std::size_t byte = 0; byte < size; ++byte) {
      const std::size_t place = order == std::endian::big ? size - 1 - byte : byte;
      bytes[at + place] = static_cast<char>(n >> (8 * byte) & 0xffU);
    }
  };
  put(offsetof(input_event, type), sizeof(__u16), type);
  put(offsetof(input_event, code), sizeof(__u16), code);
  put(offsetof(input_event, value), sizeof(__s32), static_cast<std::uint32_t>(value));
  return bytes;
}

void write_file(const std::string &path, const std::string &bytes) {
  FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    throw std::runtime_error("cannot write " + path);
  }
}

} // namespace run
