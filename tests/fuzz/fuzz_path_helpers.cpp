// The path helpers on arbitrary path bytes: they stay inside the text and
// the buffer, and what they give is consistent with the separators found
// by stepping whole characters.
#include "fuzz_check.h"
#include "platform/platform.h"
#include "walk/path_helpers.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Starts of the characters of a text, as the platform steps them.
std::vector<size_t> character_starts(const char* text) {
  std::vector<size_t> starts;
  for (const char* p = text; *p != '\0'; p = next_character(p)) starts.push_back((size_t)(p - text));
  return starts;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  unsigned capacity = 1 + data[0] % 64;
  // The rest is a directory and a tail, split at the first 0x01 byte.
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  rest = rest.substr(0, rest.find('\0'));
  size_t split = rest.find('\x01');
  std::string dir = rest.substr(0, split);
  std::string tail = split == std::string::npos ? "" : rest.substr(split + 1);

  std::vector<char> path(dir.begin(), dir.end());
  path.push_back('\0');
  std::vector<size_t> starts = character_starts(path.data());
  size_t last_separator_end = drive_prefix_length(path.data());
  for (size_t at : starts)
    if (is_path_separator(path[at])) last_separator_end = at + 1;
  char* last = final_component(path.data());
  FUZZ_CHECK((size_t)(last - path.data()) == std::max(last_separator_end, (size_t)drive_prefix_length(path.data())));
  const char* first = find_separator(path.data());
  if (first != nullptr) {
    FUZZ_CHECK(is_path_separator(*first));
    FUZZ_CHECK(first < path.data() + dir.size());
  }

  char out[80];
  std::memset(out, 0x5a, sizeof out);
  int fits = join_path(out, capacity, dir.c_str(), tail.c_str());
  bool ends_in_separator = dir.empty();
  if (!starts.empty())
    ends_in_separator = dir[starts.back()] == PATH_SEPARATOR || (dir.size() == 1 && is_path_separator(dir[0]));
  std::string expected = dir + (ends_in_separator ? "" : std::string(1, PATH_SEPARATOR)) + tail;
  for (size_t i = capacity; i < sizeof out; ++i) FUZZ_CHECK(out[i] == 0x5a);
  if (expected.size() + 1 <= capacity) {
    FUZZ_CHECK(fits == 1);
    FUZZ_CHECK(expected == out);
  } else {
    FUZZ_CHECK(fits == 0);
    FUZZ_CHECK(out[0] == '\0');
  }
  return 0;
}
