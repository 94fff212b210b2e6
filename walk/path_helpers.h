// Path helpers that step through whole characters, so that a double-byte
// character whose second byte equals the separator is never split.
#ifndef BODYCUT_PATH_HELPERS_H
#define BODYCUT_PATH_HELPERS_H

// The first separator at or after p, or null when the text ends first.
const char* find_separator(const char* p);

// Where the path's last component begins: just past its last separator, or
// past its drive prefix, or its start when it has neither.
char* final_component(char* path);

// Writes dir, a separator where one is needed, and tail into out (capacity
// bytes). Gives 1, or 0 with out holding an empty text when it does not fit.
int join_path(char* out, unsigned capacity, const char* dir, const char* tail);

// The same in place: buffer (capacity bytes) holds a path of *length bytes;
// a separator where one is needed and tail go after it. Gives 1 with
// *length moved on, or 0 with buffer and *length as they were.
int append_path(char* buffer, unsigned capacity, unsigned* length, const char* tail);

#endif
