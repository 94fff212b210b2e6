// What became of a platform operation: REASON_NONE when it was done, else
// why not, in the tool's own words where it has them, else the system's
// error number. Every operation of the platform returns one.
#ifndef BODYCUT_REASON_H
#define BODYCUT_REASON_H

enum ReasonKind {
  REASON_NONE = 0,        // done
  REASON_SYSTEM,          // the system's message for number
  REASON_NOT_REGULAR,     // a directory, a FIFO, a device: never opened
  REASON_LINK_OWNER,      // a link in a walk that another user owns: not followed
  REASON_IN_USE,          // another process has the file open, or opened it meanwhile
  REASON_LEASE_LOST,      // the copy back let another writer in: the file may hold its bytes
  REASON_NO_SPACE,        // the file system or the user's quota is full
  REASON_SIZE_LIMIT,      // the run's file size limit
  REASON_TOO_LONG,        // a path that does not fit
  REASON_STOPPED,         // a stop signal came while it was in hand
  REASON_NAME_NOT_PLAIN,  // its name would open another file, or leads elsewhere
  REASON_TIMES,           // not the owner: its times cannot be set, nor the file held alone
  // A walk that stays on one file system met another on the way.
  REASON_OTHER_FILE_SYSTEM,
  // What the strip finds itself.
  REASON_NO_HEADER_END,
  REASON_BARE_LINE_FEED,   // a status line that ends in a bare LF: its header end cannot be told
  REASON_HTTP_INCOMPLETE,  // HTTP mode: a status line, but no whole header after it
  REASON_CHANGED,          // another file at its path, or changed since it was read
  REASON_TOO_MANY_NAMES,   // met under several names, and the run can remember no more
  REASON_TOO_DEEP,         // a directory below the levels the walk's stack holds
  REASON_HALF_WRITTEN      // another name's copy back failed midway: not read again
};

struct Reason {
  int kind;       // one of the above
  int number;     // REASON_SYSTEM: the system's error number
  int temporary;  // it befell the temporary file
};

inline Reason own_reason(int kind) {
  Reason reason = {kind, 0, 0};
  return reason;
}
inline Reason done_reason(void) { return own_reason(REASON_NONE); }
inline bool failed(Reason reason) { return reason.kind != REASON_NONE; }

#endif
