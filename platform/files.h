// The files a strip works on, in the order it uses them: the source file
// it reads, the body file it keeps the body in, and the copy-back target,
// which is the very file that was read, made writable and held alone.
// Every operation returns a Reason (reason.h); a handle struct is set up
// by the call that opens it and ended by its close call, whatever became
// of it. The structs (SourceFile, BodyFile, CopyBackTarget,
// TemporaryDirectory, WalkRoot) are each platform's own, in its
// handles.h; the logic reads only the members named here.
#ifndef BODYCUT_FILES_H
#define BODYCUT_FILES_H

#include "facts.h"
#include "reason.h"

// ---- The run's temporary directory, looked up once per run.

// Looks the directory up (Windows: GetTempPathA; POSIX: TMPDIR, else
// /tmp, opened once). A failure is kept and given by every
// choose_body_name, so that each file that needed it reports it.
void find_temporary_directory(TemporaryDirectory* directory);
void close_temporary_directory(TemporaryDirectory* directory);

// ---- The source file.

// Opens the file path names for reading, as CreateFileA with read sharing
// and OPEN_EXISTING does, and reads its facts into file->facts. root is
// the walk's root when path was found by a walk, else null (a target
// named on the command line, followed as given): below a root a path is
// resolved beneath it, and a symbolic link is followed only when the user
// running the tool owns it (REASON_LINK_OWNER). Only a regular file is
// opened (REASON_NOT_REGULAR). REASON_IN_USE: another process holds it
// (a sharing violation). file->through_link: path below a root named a
// link, which was followed, so the file may be met under another name.
// Until its reading ends, another process that writes it is kept out
// (Windows: the read sharing) or seen (POSIX: a read lease, which any
// open for writing breaks): reading, filling the body file or ending the
// reading then gives REASON_IN_USE, and the file is given up to it.
// close_source ends it, whatever this gives.
Reason open_source(const WalkRoot* root, const char* path, SourceFile* file);
// The same in two steps, for a file several workers may reach: find_source
// reads the facts of what path names without opening it for reading
// (Windows: CreateFileA with no access); open_found_source then opens it
// for reading and reads the facts again, into file->facts. On POSIX that
// is the very file found; on Windows path is opened again, and the caller
// compares identities.
Reason find_source(const WalkRoot* root, const char* path, SourceFile* file);
Reason open_found_source(SourceFile* file, const char* path);
// Reads up to wanted bytes at offset from the file's start into buffer;
// *got is 0 at the end. Offsets may go back (the HTTP scan steps back).
// A stop asked for gives REASON_STOPPED.
Reason read_source(SourceFile* file, FileSize offset, void* buffer, unsigned wanted, unsigned* got);
// Ends the reading but keeps what the copy back needs of the file (POSIX:
// a hold on the very file, through which its mode is changed and it is
// reopened). Windows closes the handle: no share-0 open succeeds while it
// is open. REASON_IN_USE: another process opened the file for writing
// while it was read.
Reason end_source_reading(SourceFile* file);
// Makes the file writable when file->facts.write_protected (Windows:
// SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL); POSIX: the owner-write
// bit, through the hold, never by path). restore_protection puts the
// attributes or mode back as read, on a strip that failed after this.
Reason make_source_writable(SourceFile* file, const char* path);
Reason restore_protection(SourceFile* file, const char* path);
// What the copy back would meet before its first write, asked by a dry
// run, which writes nothing: a file system mounted read-only, a file the
// run may neither write nor make writable (the system's reason), times
// that only the owner may set (REASON_TIMES). The Windows build has no
// dry run, and asks nothing.
Reason check_copy_back(SourceFile* file);
void close_source(SourceFile* file);

// ---- The body file, in the run's temporary directory.

// A BodyFile serves the strips of one worker, one after another: begun
// before the first, ended after the last. On Windows each strip makes and
// deletes its own file; on POSIX a file made by one strip is filled again
// by the next, and end_body_file deletes it (a failed deletion is
// returned).
void begin_body_file(const TemporaryDirectory* directory, BodyFile* body);
Reason end_body_file(BodyFile* body);
// Chooses the body file's name into body->name (Windows: GetTempFileNameA
// with the prefix "BCT", which makes the file: it is this run's from then
// on; POSIX: a name drawn from the system's random source, with no file
// made, unless a file is held already). A dry run stops here.
Reason choose_body_name(const TemporaryDirectory* directory, BodyFile* body);
// Creates the file for writing (Windows: CreateFileA CREATE_ALWAYS on the
// name; POSIX: the file at the name, made read-only while no other file
// has that name, else under a new name; a file held already is made
// read-only again): until keep_body_file, it holds no whole body.
Reason create_body_file(const TemporaryDirectory* directory, BodyFile* body);
// Copies the source from offset to its end into the body file, only its
// data where it has holes. ahead holds the ahead_length bytes from offset
// on that the caller read already: they go in as they are, and only the
// rest is read again. Given up with REASON_STOPPED once a stop is asked
// for: nothing is lost then.
Reason fill_body_file(BodyFile* body, SourceFile* source, FileSize offset, const void* ahead, unsigned ahead_length);
// Stamps the body file with times and marks it whole (POSIX: readable
// and writable by its owner): from then on the file at body->name holds
// the whole body. REASON_STOPPED once a stop is asked for.
Reason keep_body_file(BodyFile* body, const FileTimes* times);
// Whether path names a file in the temporary directory under a body file's
// name: the run's own, or one another run keeps, which may hold the only
// whole copy of a body. A walk that meets one (the temporary directory
// lying in the tree) leaves it alone, unread (Windows: a name
// GetTempFileNameA gives with the prefix "BCT", in the temporary folder).
// path was found by the walk root began. A file that may be one counts as
// one, with *unknown saying why it could not be told; else *unknown is done.
bool is_body_file(const TemporaryDirectory* directory, const WalkRoot* root, const char* path, Reason* unknown);
// Ends a strip's use of the body file. Not delete_it: it stays at its
// name, and is the run's no longer (POSIX: where another process took the
// name away meanwhile, a copy is kept under a new one, in body->name; a
// failure then means no whole body is kept). delete_it: the run is done with it
// (POSIX keeps a small one for the next strip); a failed deletion is
// returned.
Reason close_body_file(BodyFile* body, int delete_it);

// ---- The copy-back target: the file that was read, opened again.

// Opens the very file that was read for reading and writing, alone, as
// CreateFileA with no sharing does: REASON_IN_USE while any other process
// has it open, and nobody else opens it meanwhile (Windows: path opened
// with share mode 0; POSIX: the hold reopened under a write lease). Its
// facts now go into target->facts, for the caller to compare.
Reason open_copy_back_target(SourceFile* source, const char* path, CopyBackTarget* target);
// Whether the file's times can be put back, known before a byte is
// written: REASON_TIMES when they cannot.
Reason check_times_settable(CopyBackTarget* target, const FileTimes* times);
// Copies the whole body file over the target from its start, and cuts the
// target to the body's length. ahead and ahead_length are what
// fill_body_file was given: where they hold the whole body, it is written
// from there rather than read back. REASON_LEASE_LOST: the target may have
// been written by another process meanwhile, and is not written again.
Reason copy_body_back(CopyBackTarget* target, BodyFile* body, const void* ahead, unsigned ahead_length);
// Puts back the mode the system dropped on writing (set-user-ID and
// set-group-ID bits), stamps the times and closes: a failed close may
// mean the bytes did not all reach the file. *mode_lost: the mode could
// not be put back, though the rest was done.
Reason finish_copy_back(CopyBackTarget* target, SourceFile* source, const FileTimes* times, int* mode_lost);
void close_copy_back_target(CopyBackTarget* target);

#endif
