// The command-line text, formed from the argument vector so that the
// tokenizer gives the target back byte for byte.
#ifndef BODYCUT_POSIX_COMMAND_LINE_H
#define BODYCUT_POSIX_COMMAND_LINE_H

// Largest command line the text can hold, its NUL included.
enum { COMMAND_LINE_CAPACITY = 32768 };

// Forms the text GetCommandLineA gives: the program's name, then the
// target, when there is one (either may be null). False when the target
// cannot be passed on exactly.
bool form_command_line(const char* program, const char* target);

#endif
