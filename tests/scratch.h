// A scratch folder for one test, removed with it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

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
