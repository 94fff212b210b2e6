#include "temp_directory.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

static std::string temp_directory;

const std::string& test_temp_directory() { return temp_directory; }

std::vector<std::string> temp_directory_entries() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(temp_directory)) names.push_back(entry.path().filename().string());
  return names;
}

void empty_temp_directory() {
  for (const auto& entry : fs::directory_iterator(temp_directory)) fs::remove_all(entry.path());
}

int main(int argc, char** argv) {
  std::setlocale(LC_CTYPE, "");
  char name[] = "/tmp/bodycut-unit-tmp-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  temp_directory = name;
  // The scratch directories of the tests live elsewhere, so TMPDIR holds
  // nothing but what the tool itself leaves.
  setenv("BODYCUT_TEST_SCRATCH", "/tmp", 1);
  setenv("TMPDIR", name, 1);
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  fs::remove_all(temp_directory);
  return result;
}
