#include "stripped_files.h"

static const unsigned DEFAULT_LIMIT = STRIPPED_FILES_SLOTS / 4 * 3;

// Only a table that was used is wiped: its pages stay untouched till then.
void stripped_files_clear(StrippedFiles* files) {
  if (files->count > 0)
    for (auto& slot : files->slots) slot.state = SLOT_EMPTY;
  files->count = 0;
  files->limit = DEFAULT_LIMIT;
  files->shared = 0;
}

FileIdentity identity_of(const BY_HANDLE_FILE_INFORMATION* information) {
  FileIdentity identity = {information->dwVolumeSerialNumber, information->nFileIndexHigh, information->nFileIndexLow};
  return identity;
}

int same_identity(const FileIdentity* first, const FileIdentity* second) {
  return first->volume == second->volume && first->index_high == second->index_high &&
         first->index_low == second->index_low;
}

static unsigned first_slot(const FileIdentity* identity) {
  unsigned hash = identity->index_low * 2654435761u ^ identity->index_high * 40503u ^ identity->volume * 2246822519u;
  return (hash ^ (hash >> 16)) & (STRIPPED_FILES_SLOTS - 1);
}

// The slot that holds identity, or the empty slot where it would go. A
// file keeps its slot for the whole run, whatever its state.
static unsigned slot_of(const StrippedFiles* files, const FileIdentity* identity) {
  unsigned slot = first_slot(identity);
  while (files->slots[slot].state != SLOT_EMPTY && !same_identity(&files->slots[slot].identity, identity))
    slot = (slot + 1) & (STRIPPED_FILES_SLOTS - 1);
  return slot;
}

int stripped_files_state(const StrippedFiles* files, const FileIdentity* identity) {
  if (files->count == 0) return FILE_UNSEEN;
  DWORD state = files->slots[slot_of(files, identity)].state;
  return state == SLOT_EMPTY ? FILE_UNSEEN : (int)state;
}

int stripped_files_full(const StrippedFiles* files) {
  unsigned limit = files->limit < DEFAULT_LIMIT ? files->limit : DEFAULT_LIMIT;
  return files->count >= limit;
}

int stripped_files_set(StrippedFiles* files, const FileIdentity* identity, int state) {
  unsigned slot = slot_of(files, identity);
  if (files->slots[slot].state == SLOT_EMPTY) {
    if (stripped_files_full(files)) return 0;
    files->slots[slot].identity = *identity;
    ++files->count;
  }
  files->slots[slot].state = (DWORD)state;
  return 1;
}
