#include "stripped_files.h"

static const unsigned DEFAULT_LIMIT = STRIPPED_FILES_SLOTS / 4 * 3;

// Only a table that was used is wiped: its pages stay untouched till then.
void stripped_files_clear(StrippedFiles* files) {
  if (files->count > 0)
    for (auto& slot : files->slots) slot.used = 0;
  files->count = 0;
  files->limit = DEFAULT_LIMIT;
}

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION* information) {
  FileIdentity identity = {information->dwVolumeSerialNumber, information->nFileIndexHigh, information->nFileIndexLow};
  return identity;
}

static unsigned first_slot(const FileIdentity* identity) {
  unsigned hash = identity->index_low * 2654435761u ^ identity->index_high * 40503u ^ identity->volume * 2246822519u;
  return (hash ^ (hash >> 16)) & (STRIPPED_FILES_SLOTS - 1);
}

static int same(const FileIdentity* a, const FileIdentity* b) {
  return a->volume == b->volume && a->index_high == b->index_high && a->index_low == b->index_low;
}

// The slot that holds identity, or the free slot where it would go.
static unsigned slot_of(const StrippedFiles* files, const FileIdentity* identity) {
  unsigned slot = first_slot(identity);
  while (files->slots[slot].used && !same(&files->slots[slot].identity, identity))
    slot = (slot + 1) & (STRIPPED_FILES_SLOTS - 1);
  return slot;
}

int stripped_files_contain(const StrippedFiles* files, const FileIdentity* identity) {
  return files->count > 0 && files->slots[slot_of(files, identity)].used;
}

int stripped_files_full(const StrippedFiles* files) {
  unsigned limit = files->limit < DEFAULT_LIMIT ? files->limit : DEFAULT_LIMIT;
  return files->count >= limit;
}

void stripped_files_add(StrippedFiles* files, const FileIdentity* identity) {
  if (stripped_files_full(files)) return;
  unsigned slot = slot_of(files, identity);
  if (files->slots[slot].used) return;
  files->slots[slot].identity = *identity;
  files->slots[slot].used = 1;
  ++files->count;
}
