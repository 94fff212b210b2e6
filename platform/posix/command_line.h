// The command-line text, formed from the argument vector so that the
// tokenizer gives the target back byte for byte.
#ifndef BODYCUT_POSIX_COMMAND_LINE_H
#define BODYCUT_POSIX_COMMAND_LINE_H

#include <cstddef>

// Largest command line the text can hold, its NUL included.
enum { COMMAND_LINE_CAPACITY = 32768 };

// Appends arg to out (holding *used bytes, NUL-terminated), quoted where
// the tokenizer needs it. False, and out unchanged, when the tokenizer could
// not give arg back exactly or it does not fit.
bool append_argument(char* out, std::size_t capacity, std::size_t* used, const char* arg);

// Forms the text GetCommandLineA gives: the program's name, then the
// target, when there is one (either may be null). False when the target
// cannot be passed on exactly.
bool form_command_line(const char* program, const char* target);

#endif
