// The Windows executable's own facts, read from its bytes: PE32 for i386,
// a console program for Windows 4.0, code for the 80386, the DLLs it
// imports, its icon and every field of its version record.
#include <gtest/gtest.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

class PeImage {
 public:
  explicit PeImage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    data_ = bytes.str();
    if (data_.size() < 0x40 || data_.compare(0, 2, "MZ") != 0) return;
    pe_ = u32(0x3c);
    if (data_.compare(pe_, 4, std::string("PE\0\0", 4)) != 0) return;
    optional_ = pe_ + 24;
    unsigned sections = u16(pe_ + 6);
    size_t table = optional_ + u16(pe_ + 20);
    for (unsigned i = 0; i < sections; ++i) {
      size_t at = table + 40 * i;
      sections_.push_back({u32(at + 12), u32(at + 8), u32(at + 20)});
    }
    valid_ = true;
  }
  bool valid() const { return valid_; }
  unsigned u16(size_t at) const { return (unsigned char)data_.at(at) | (unsigned char)data_.at(at + 1) << 8; }
  std::uint32_t u32(size_t at) const { return u16(at) | (std::uint32_t)u16(at + 2) << 16; }
  size_t header() const { return pe_ + 4; }
  size_t optional() const { return optional_; }
  // File offset of a relative virtual address.
  size_t offset(std::uint32_t rva) const {
    for (const Section& s : sections_)
      if (rva >= s.address && rva < s.address + s.size) return rva - s.address + s.raw;
    throw std::out_of_range("address outside every section");
  }
  std::uint32_t directory(unsigned index) const { return u32(optional_ + 96 + 8 * index); }
  std::string text(size_t at) const { return std::string(data_.c_str() + at); }
  const std::string& data() const { return data_; }

 private:
  struct Section {
    std::uint32_t address, size, raw;
  };
  std::string data_;
  size_t pe_ = 0, optional_ = 0;
  std::vector<Section> sections_;
  bool valid_ = false;
};

const char* exe_path() {
  const char* path = std::getenv("BODYCUT_WIN32_EXE");
  return path != nullptr ? path : "";
}

class PeFacts : public ::testing::Test {
 protected:
  void SetUp() override {
    if (exe_path()[0] == '\0') GTEST_SKIP() << "BODYCUT_WIN32_EXE names no Windows executable";
    ASSERT_TRUE(image.valid()) << exe_path();
  }
  // The data of the first resource of a type and id (any id when 0),
  // with the language it is stored under.
  std::string resource(unsigned type, unsigned id, unsigned* language = nullptr) const {
    size_t root = image.offset(image.directory(2));
    size_t level = root;
    unsigned wanted[3] = {type, id, 0};
    for (int depth = 0; depth < 3; ++depth) {
      unsigned entries = image.u16(level + 12) + image.u16(level + 14);
      size_t next = 0;
      for (unsigned i = 0; i < entries && next == 0; ++i) {
        size_t entry = level + 16 + 8 * i;
        unsigned name = image.u32(entry);
        if (wanted[depth] != 0 && name != wanted[depth]) continue;
        if (depth == 2 && language != nullptr) *language = name;
        next = root + (image.u32(entry + 4) & 0x7fffffff);
      }
      if (next == 0) return "";
      level = next;
    }
    return image.data().substr(image.offset(image.u32(level)), image.u32(level + 4));
  }
  PeImage image{exe_path()};
};

TEST_F(PeFacts, ConsoleProgramForI386AndWindows4) {
  EXPECT_EQ(image.u16(image.header()), 0x14cu) << "machine i386";
  EXPECT_EQ(image.u16(image.optional()), 0x10bu) << "PE32";
  EXPECT_EQ(image.u16(image.optional() + 68), 3u) << "console subsystem";
  EXPECT_EQ(image.u16(image.optional() + 48), 4u);
  EXPECT_EQ(image.u16(image.optional() + 50), 0u);
  EXPECT_EQ(image.u16(image.optional() + 40), 4u) << "operating system version 4.0";
  EXPECT_EQ(image.u16(image.optional() + 42), 0u);
}

// Windows 95 runs on an 80386: its code, what it links included, holds no
// instruction that came with a later processor and no MMX or SSE register.
TEST_F(PeFacts, CodeForThe80386) {
  const char* const later[] = {"cmov",   "fcmov",   "fcomi",    "fucomi", "cmpxchg",  "xadd",    "bswap",
                               "invd",   "wbinvd",  "invlpg",   "rdtsc",  "cpuid",    "rdmsr",   "wrmsr",
                               "rdpmc",  "ud2",     "nopl",     "nopw",   "sysenter", "sysexit", "emms",
                               "fxsave", "fxrstor", "prefetch", "fence",  "clflush"};
  std::string command = std::string(BODYCUT_OBJDUMP) + " -d --no-show-raw-insn '" + exe_path() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr) << command;
  std::vector<std::string> found;
  unsigned instructions = 0;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::string line(buffer);
    size_t tab = line.find(":\t");
    if (tab == std::string::npos) continue;
    ++instructions;
    // What follows '<' names a symbol, not the instruction.
    std::string text = line.substr(tab + 2, line.find('<') - (tab + 2));
    bool late = text.find("%mm") != std::string::npos || text.find("%xmm") != std::string::npos ||
                text.find("%ymm") != std::string::npos;
    for (const char* mnemonic : later) late = late || text.find(mnemonic) != std::string::npos;
    if (late) found.push_back(line);
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  EXPECT_GT(instructions, 100u) << command;
  EXPECT_EQ(found, std::vector<std::string>{});
}

TEST_F(PeFacts, ImportsOnlyKernel32AndUser32) {
  std::set<std::string> dlls;
  for (size_t at = image.offset(image.directory(1)); image.u32(at + 12) != 0; at += 20)
    dlls.insert(image.text(image.offset(image.u32(at + 12))));
  EXPECT_EQ(dlls, (std::set<std::string>{"KERNEL32.dll", "USER32.dll"}));
}

std::string utf16_at(const std::string& data, size_t at, size_t* end) {
  std::string text;
  for (; data[at] != 0 || data[at + 1] != 0; at += 2) {
    unsigned unit = (unsigned char)data[at] | (unsigned char)data[at + 1] << 8;
    if (unit < 0x80) {
      text += (char)unit;
    } else if (unit < 0x800) {
      text += (char)(0xc0 | unit >> 6);
      text += (char)(0x80 | (unit & 0x3f));
    } else {
      text += (char)(0xe0 | unit >> 12);
      text += (char)(0x80 | (unit >> 6 & 0x3f));
      text += (char)(0x80 | (unit & 0x3f));
    }
  }
  *end = at + 2;
  return text;
}

size_t align4(size_t at) { return (at + 3) & ~(size_t)3; }

// Walks a version record block: its key, where its value starts, and its
// children.
struct Block {
  std::string key;
  size_t value = 0, value_length = 0, end = 0, children = 0;
};

Block block_at(const std::string& data, size_t at) {
  Block block;
  unsigned length = (unsigned char)data[at] | (unsigned char)data[at + 1] << 8;
  block.value_length = (unsigned char)data[at + 2] | (unsigned char)data[at + 3] << 8;
  size_t after_key = 0;
  block.key = utf16_at(data, at + 6, &after_key);
  block.value = align4(after_key);
  block.end = at + length;
  return block;
}

TEST_F(PeFacts, VersionRecord) {
  unsigned language = 0;
  std::string record = resource(16, 1, &language);
  ASSERT_FALSE(record.empty()) << "no version resource";
  EXPECT_EQ(language, 0x0411u);
  Block root = block_at(record, 0);
  EXPECT_EQ(root.key, "VS_VERSION_INFO");
  ASSERT_EQ(root.value_length, 52u);
  auto u32 = [&](size_t at) {
    return (std::uint32_t)((unsigned char)record[at] | (unsigned char)record[at + 1] << 8 |
                           (unsigned char)record[at + 2] << 16 | (std::uint32_t)(unsigned char)record[at + 3] << 24);
  };
  size_t fixed = root.value;
  EXPECT_EQ(u32(fixed), 0xfeef04bdu);
  EXPECT_EQ(u32(fixed + 8), 0x00010000u) << "file version 1.0";
  EXPECT_EQ(u32(fixed + 12), 0x00010000u) << "file version .1.0";
  EXPECT_EQ(u32(fixed + 16), 0x00010000u) << "product version 1.0";
  EXPECT_EQ(u32(fixed + 20), 0x00010000u) << "product version .1.0";
  EXPECT_EQ(u32(fixed + 28), 0u) << "no flags";
  EXPECT_EQ(u32(fixed + 32), 0x4u) << "32-bit Windows";
  EXPECT_EQ(u32(fixed + 36), 0x1u) << "application";

  std::map<std::string, std::string> strings;
  std::vector<unsigned> translation;
  for (size_t child = align4(fixed + 52); child < root.end;) {
    Block info = block_at(record, child);
    for (size_t table = align4(info.value); table < info.end;) {
      Block inner = block_at(record, table);
      if (info.key == "StringFileInfo") {
        EXPECT_EQ(inner.key, "041103A4");
        for (size_t entry = align4(inner.value); entry < inner.end;) {
          Block value = block_at(record, entry);
          size_t ignored = 0;
          strings[value.key] = value.value_length ? utf16_at(record, value.value, &ignored) : "";
          entry = align4(value.end);
        }
      } else if (inner.key == "Translation") {
        for (size_t at = inner.value; at + 2 <= inner.end; at += 2)
          translation.push_back((unsigned char)record[at] | (unsigned char)record[at + 1] << 8);
      }
      table = align4(inner.end);
    }
    child = align4(info.end);
  }
  EXPECT_EQ(translation, (std::vector<unsigned>{0x0411, 932}));
  EXPECT_EQ(strings["FileDescription"], "BODYCUT");
  EXPECT_EQ(strings["FileVersion"], "1.0");
  EXPECT_EQ(strings["InternalName"], "BODYCUT");
  EXPECT_EQ(strings["OriginalFilename"], "BODYCUT.EXE");
  EXPECT_EQ(strings["Comments"], "タイムスタンプもコピーします。DOSでも動作します。");
  EXPECT_FALSE(strings["CompanyName"].empty());
  EXPECT_FALSE(strings["LegalCopyright"].empty());
  EXPECT_EQ(strings.count("ProductName"), 0u);
  EXPECT_EQ(strings.count("ProductVersion"), 0u);
  EXPECT_EQ(strings.size(), 7u);
}

// The icon is 32 x 32, one bit per pixel with a mask, and shows exactly
// the picture kept in the source as text.
TEST_F(PeFacts, IconMatchesItsPicture) {
  std::string group = resource(14, 0);
  ASSERT_EQ(group.size(), 6u + 14u);
  auto u16 = [](const std::string& s, size_t at) {
    return (unsigned)((unsigned char)s[at] | (unsigned char)s[at + 1] << 8);
  };
  EXPECT_EQ(u16(group, 2), 1u) << "an icon";
  EXPECT_EQ(u16(group, 4), 1u) << "one image";
  EXPECT_EQ((unsigned char)group[6], 32u);
  EXPECT_EQ((unsigned char)group[7], 32u);
  EXPECT_EQ(u16(group, 12), 1u) << "one bit per pixel";
  std::string image = resource(3, u16(group, 18));
  ASSERT_EQ(image.size(), 304u);
  EXPECT_EQ(u16(image, 0), 40u);
  EXPECT_EQ(u16(image, 4), 32u);
  EXPECT_EQ(u16(image, 8), 64u) << "height counts colour and mask";
  EXPECT_EQ(u16(image, 14), 1u);

  std::ifstream in(BODYCUT_ICON_TEXT);
  std::vector<std::string> picture;
  for (std::string line; std::getline(in, line);) picture.push_back(line);
  ASSERT_EQ(picture.size(), 32u);
  const size_t colour = 48, mask = 48 + 128;
  for (int y = 0; y < 32; ++y) {
    for (int x = 0; x < 32; ++x) {
      size_t row = (size_t)(31 - y) * 4 + x / 8;
      int bit = 0x80 >> (x % 8);
      bool transparent = (image[mask + row] & bit) != 0;
      bool white = (image[colour + row] & bit) != 0;
      char pixel = transparent ? '.' : white ? 'o' : '#';
      ASSERT_EQ(pixel, picture[y][x]) << "pixel " << x << "," << y;
    }
  }
}

}  // namespace
