#include "stripped_files.h"

#include <cstdint>

// Only a table that was used is wiped: its pages stay untouched till then.
void stripped_files_clear(StrippedFiles* files) {
  if (files->count > 0)
    for (unsigned short& slot : files->index) slot = 0;
  files->count = 0;
  files->limit = STRIPPED_FILES_LIMIT;
  files->shared = 0;
}

static unsigned first_slot(const FileIdentity* identity) {
  std::uint64_t mixed = identity->index * 0x9E3779B97F4A7C15ull ^ identity->volume * 0xC2B2AE3D27D4EB4Full;
  unsigned hash = (unsigned)(mixed >> 32) ^ (unsigned)mixed;
  return (hash ^ (hash >> 16)) & (STRIPPED_FILES_SLOTS - 1);
}

// The index slot that holds identity's entry, or the free slot where it
// would go. A file keeps its entry for the whole run, whatever its state.
static unsigned slot_of(const StrippedFiles* files, const FileIdentity* identity) {
  unsigned slot = first_slot(identity);
  while (files->index[slot] != 0 && !same_identity(&files->entries[files->index[slot] - 1].identity, identity))
    slot = (slot + 1) & (STRIPPED_FILES_SLOTS - 1);
  return slot;
}

int stripped_files_state(const StrippedFiles* files, const FileIdentity* identity, std::uint32_t* left_as) {
  unsigned slot = files->count == 0 ? 0 : slot_of(files, identity);
  bool held = files->count != 0 && files->index[slot] != 0;
  if (left_as != nullptr) *left_as = held ? files->entries[files->index[slot] - 1].left_as : 0;
  return held ? (int)files->entries[files->index[slot] - 1].state : FILE_UNSEEN;
}

std::uint32_t folded_facts(FileSize size, const FileStamp* written) {
  std::uint64_t mixed = size * 0x9E3779B97F4A7C15ull ^ (std::uint64_t)written->count * 0xC2B2AE3D27D4EB4Full ^
                        (std::uint64_t)(std::uint32_t)written->remainder * 0x165667B19E3779F9ull;
  return (std::uint32_t)(mixed >> 32) ^ (std::uint32_t)mixed;
}

int stripped_files_full(const StrippedFiles* files) {
  unsigned limit = files->limit < (unsigned)STRIPPED_FILES_LIMIT ? files->limit : (unsigned)STRIPPED_FILES_LIMIT;
  return files->count >= limit;
}

int stripped_files_set(StrippedFiles* files, const FileIdentity* identity, int state, std::uint32_t left_as) {
  unsigned slot = slot_of(files, identity);
  if (files->index[slot] == 0) {
    if (stripped_files_full(files)) return 0;
    files->entries[files->count].identity = *identity;
    files->index[slot] = (unsigned short)(++files->count);
  }
  files->entries[files->index[slot] - 1].state = (unsigned)state;
  files->entries[files->index[slot] - 1].left_as = left_as;
  return 1;
}
