// What the tests read from and write to: scratch folders and FIFOs.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// Bytes in the longest arguments tried, under Linux's 128 kB limit for one.
inline constexpr std::size_t big = 100'000;

// A scratch folder for one test, removed with it.
class scratch {
public:
  scratch() {
    char name[] = "/tmp/evsnap-test-XXXXXX";
    dir_ = mkdtemp(name);
  }
  scratch(const scratch &) = delete;
  scratch &operator=(const scratch &) = delete;
  ~scratch() { std::filesystem::remove_all(dir_); }
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  const std::string &dir() const { return dir_; }

private:
  std::string dir_;
};

// A FIFO that the test holds open for reading and writing, so that evsnap's
// open, which waits for a writer, returns at once.
struct held_fifo {
  scratch dir;
  std::string path = dir.path("fifo");
  int fd = (mkfifo(path.c_str(), 0600), open(path.c_str(), O_RDWR));
  held_fifo() = default;
  held_fifo(const held_fifo &) = delete;
  held_fifo &operator=(const held_fifo &) = delete;
  ~held_fifo() { close(fd); }
  // True when all of bytes went in.
  bool send(const std::string &bytes) const {
    return write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
};
