#include "claim.h"

int claim_file(StrippedFiles* seen, const FileIdentity* identity, std::uint32_t found, int reachable_twice,
               int* recorded) {
  int state = -1;
  while (state == -1) {
    if (seen->shared) lock_take(&seen->lock);
    std::uint32_t left_as = 0;
    state = stripped_files_state(seen, identity, &left_as);
    if (state == FILE_STRIPPED && left_as != found) state = FILE_NOT_AS_LEFT;
    if (state == FILE_UNSEEN) {
      *recorded = stripped_files_set(seen, identity, FILE_CLAIMED);
      state = *recorded || !reachable_twice ? FILE_CLAIMED : FILE_UNSEEN;
    } else if (state == FILE_CLAIMED) {
      state = -1;
    }
    if (seen->shared) lock_release(&seen->lock);
    // Another worker strips it under another name: its outcome is near.
    if (state == -1) pause_for(1);
  }
  return state;
}

void settle_file(StrippedFiles* seen, const FileIdentity* identity, int state, std::uint32_t left_as) {
  if (seen->shared) lock_take(&seen->lock);
  stripped_files_set(seen, identity, state, state == FILE_STRIPPED ? left_as : 0);
  if (seen->shared) lock_release(&seen->lock);
}
