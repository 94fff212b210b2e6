// The command-line tokenizer: blanks separate tokens, double quotes group
// them, a line break ends the text, and there is no escape character.
#ifndef BODYCUT_TOKENIZER_H
#define BODYCUT_TOKENIZER_H

// The byte under the cursor, 0 at the end of the text or at a line break.
// At a CR LF or LF CR pair the cursor moves onto its second byte.
int peek_char(const char** cursor);

// Moves the cursor over blanks and tabs; gives the first other byte as
// peek_char sees it.
int skip_blanks(const char** cursor);

// Copies the next token into buffer (capacity bytes, NUL included) and
// moves the cursor past it. A longer token is cut in the buffer while the
// cursor still moves past all of it; *length is its whole length.
// Gives 0, leaving buffer and *length as they were, when no token begins;
// otherwise the token's first byte, or for a quoted token the byte right
// after the opening quote.
int next_token(const char** cursor, char* buffer, unsigned capacity, unsigned* length);

// The other way: appends arg to out (holding *used bytes, NUL-terminated,
// in capacity) as a token that next_token gives back byte for byte, after
// a blank where out holds one already, quoted where it must be. False, and
// out unchanged, when no token gives arg back or it does not fit.
bool append_token(char* out, unsigned long capacity, unsigned long* used, const char* arg);

#endif
