// Scratch directories and file facts for the tests.
#ifndef BODYCUT_TESTS_SCRATCH_H
#define BODYCUT_TESTS_SCRATCH_H

#include <sys/stat.h>
#include <string>
#include <vector>

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class Scratch {
 public:
  Scratch();
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const { return root_ + "/" + relative; }
  // Writes bytes to a file, making the directories on the way.
  void write(const std::string& relative, const std::string& bytes) const;
  void make_directory(const std::string& relative) const;
  std::string read(const std::string& relative) const;
  // Names of the entries of a directory, sorted.
  std::vector<std::string> list(const std::string& relative) const;

 private:
  std::string root_;
};

std::string read_file(const std::string& path);
struct stat status_of(const std::string& path);
// Sets last-access and last-write time to the nanosecond.
void set_times(const std::string& path, long long access_seconds, long access_nanoseconds, long long write_seconds,
               long write_nanoseconds);

#endif
