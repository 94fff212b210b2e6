#include "claim.h"

int claim_file(StrippedFiles* seen, const FileIdentity* identity, int reachable_twice, int* recorded) {
  int state = -1;
  while (state == -1) {
    if (seen->shared) lock_take(&seen->lock);
    state = stripped_files_state(seen, identity);
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

void settle_file(StrippedFiles* seen, const FileIdentity* identity, int stripped) {
  if (seen->shared) lock_take(&seen->lock);
  stripped_files_set(seen, identity, stripped ? FILE_STRIPPED : FILE_UNSEEN);
  if (seen->shared) lock_release(&seen->lock);
}
