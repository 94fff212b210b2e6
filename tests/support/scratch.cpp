#include "scratch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

Scratch::Scratch() {
  const char* base = std::getenv("BODYCUT_TEST_SCRATCH");
  fs::path parent = base != nullptr ? fs::path(base) : fs::temp_directory_path();
  std::string pattern = (parent / "bodycut-test-XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = name.data();
}

Scratch::~Scratch() {
  std::error_code ignored;
  // Make everything writable and listable again so removal cannot stop.
  for (auto it = fs::recursive_directory_iterator(root_, fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink(ignored)) chmod(it->path().c_str(), 0700);
  }
  fs::remove_all(root_, ignored);
}

void Scratch::write(const std::string& relative, const std::string& bytes) const {
  fs::path target = path(relative);
  fs::create_directories(target.parent_path());
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), (std::streamsize)bytes.size());
  if (!out) throw std::runtime_error("cannot write " + target.string());
}

void Scratch::make_directory(const std::string& relative) const { fs::create_directories(path(relative)); }

std::string Scratch::read(const std::string& relative) const { return read_file(path(relative)); }

std::vector<std::string> Scratch::list(const std::string& relative) const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(path(relative))) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

struct stat status_of(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) throw std::runtime_error("cannot stat " + path + ": " + std::strerror(errno));
  return status;
}

void set_times(const std::string& path, long long access_seconds, long access_nanoseconds, long long write_seconds,
               long write_nanoseconds) {
  struct timespec times[2];
  times[0].tv_sec = (time_t)access_seconds;
  times[0].tv_nsec = access_nanoseconds;
  times[1].tv_sec = (time_t)write_seconds;
  times[1].tv_nsec = write_nanoseconds;
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    throw std::runtime_error("cannot set times of " + path);
}
