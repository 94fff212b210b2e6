// The tokenizer on arbitrary command-line bytes: never reads past the
// text's end, never writes past the buffer, and agrees with a model of the
// tokenizer's rules written over std::string.
#include "app/tokenizer.h"
#include "fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct ModelToken {
  int result;
  std::string token;
  size_t cursor;
};

bool at_end(const std::string& text, size_t at) { return at >= text.size() || text[at] == '\r' || text[at] == '\n'; }

// Looking at a line break folds a CR LF or LF CR pair onto its second byte.
size_t folded(const std::string& text, size_t at) {
  if (at >= text.size()) return text.size();
  char pair = text[at] == '\r' ? '\n' : '\r';
  return at + 1 < text.size() && text[at + 1] == pair ? at + 1 : at;
}

unsigned char byte_at(const std::string& text, size_t at) { return at < text.size() ? (unsigned char)text[at] : 0; }

bool model_next(const std::string& text, size_t* cursor, ModelToken* out) {
  size_t at = *cursor;
  while (!at_end(text, at) && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (at_end(text, at)) {
    *cursor = folded(text, at);
    return false;
  }
  bool quoted = text[at] == '"';
  out->result = quoted ? byte_at(text, at + 1) : byte_at(text, at);
  out->token.clear();
  if (!quoted) out->token += text[at];
  ++at;
  for (;;) {
    if (at_end(text, at)) {
      at = folded(text, at);
      break;
    }
    char d = text[at++];
    bool closes = quoted ? d == '"' && (signed char)byte_at(text, at) <= 32 : (unsigned char)d <= 32;
    if (closes) break;
    out->token += d;
  }
  *cursor = out->cursor = at;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the buffer's capacity, small ones included.
  unsigned capacity = 1 + data[0] % 40;
  std::vector<char> copy(data + 1, data + size);
  copy.push_back('\0');
  std::string text(copy.data());  // up to the first NUL, as the system hands it over
  std::vector<char> exact(text.begin(), text.end());
  exact.push_back('\0');  // nothing after the NUL: a read past it is caught by ASan

  const char* cursor = exact.data();
  size_t model_cursor = 0;
  char buffer[48];
  for (int round = 0; round < 8; ++round) {
    std::memset(buffer, 0x5a, sizeof buffer);
    unsigned length = 0xdead;
    int result = next_token(&cursor, buffer, capacity, &length);
    ModelToken expected;
    bool found = model_next(text, &model_cursor, &expected);
    FUZZ_CHECK((size_t)(cursor - exact.data()) == model_cursor);
    FUZZ_CHECK(cursor - exact.data() <= (long)text.size());
    for (size_t i = capacity; i < sizeof buffer; ++i) FUZZ_CHECK(buffer[i] == 0x5a);
    if (!found) {
      FUZZ_CHECK(result == 0);
      FUZZ_CHECK(length == 0xdead && (unsigned char)buffer[0] == 0x5a);
      continue;
    }
    FUZZ_CHECK(result == expected.result);
    FUZZ_CHECK(length == expected.token.size());
    std::string kept = expected.token.substr(0, capacity - 1);
    FUZZ_CHECK(std::memcmp(buffer, kept.c_str(), kept.size() + 1) == 0);
  }
  return 0;
}
