// The header scan on arbitrary file bytes, through the whole strip: the
// file ends as exactly the body a model of the scan rule finds, or stays
// as it was when the model finds no header end. The first input byte
// places the bytes after a run of padding, so that header ends fall across
// the boundaries of the platform's reads.
#include "fuzz_check.h"
#include "strip/strip_file.h"

#include <fcntl.h>
#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

namespace {

// The scan rule as a transition table: state = CR LF CR LF bytes matched.
// A byte that does not continue the match goes back to state 0 and is not
// looked at again. A file whose first line is an HTTP status line ending
// in a bare LF has no header end: its header lines end so too.
long model_body_start(const std::string& bytes) {
  static const std::regex bare_status_line("HTTP/(1\\.[01]|[23]) [0-9]{3}( [^\r\n]*)?\n");
  if (std::regex_search(bytes.begin(), bytes.end(), bare_status_line, std::regex_constants::match_continuous))
    return -1;
  static const unsigned char wanted[4] = {'\r', '\n', '\r', '\n'};
  int state = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    state = (unsigned char)bytes[i] == wanted[state] ? state + 1 : 0;
    if (state == 4) return (long)(i + 1);
  }
  return -1;
}

std::string directory;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char name[] = "/tmp/bodycut-fuzz-XXXXXX";
  if (mkdtemp(name) == nullptr) std::abort();
  directory = name;
  setenv("TMPDIR", name, 1);
  // The stripper reports failures on standard output; the fuzzer's own
  // output is on standard error.
  int null = open("/dev/null", O_WRONLY);
  dup2(null, STDOUT_FILENO);
  close(null);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const size_t boundaries[] = {0, 32768, 65536, 131072};
  size_t padding = boundaries[data[0] % 4];
  if (padding != 0) padding -= data[0] / 4 % 8;
  std::string bytes(padding, 'p');
  bytes.append(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string path = directory + "/file";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
  }
  RunSettings settings = default_run_settings();
  int status = strip_file(path.c_str(), &settings);
  std::ifstream in(path, std::ios::binary);
  std::string after((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  long start = model_body_start(bytes);
  if (start < 0) {
    FUZZ_CHECK(status == 1);
    FUZZ_CHECK(after == bytes);
  } else {
    FUZZ_CHECK(status == 0);
    FUZZ_CHECK(after == bytes.substr((size_t)start));
  }
  return 0;
}
