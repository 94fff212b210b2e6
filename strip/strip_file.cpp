#include "strip_file.h"

#include "claim.h"
#include "header_scan.h"
#include "http_scan.h"
#include "release_wait.h"

// Whether now describes the file that was read, as it was read: the same
// file (not another one put at its path), not changed since, even by a
// writer that set its times back, and still with a name (not removed
// meanwhile, its body then of use to no one).
static bool same_file_unchanged(const FileFacts* read, const FileFacts* now) {
  return now->links != 0 && same_identity(&now->identity, &read->identity) && now->size == read->size &&
         same_stamp(&now->times.written, &read->times.written) && same_stamp(&now->changed, &read->changed);
}

static int claim_as_found(StrippedFiles* seen, const FileIdentity* found, const SourceFile* source, int reachable_twice,
                          int* recorded) {
  FileSize size = source->facts.size;
  return claim_file(seen, found, folded_facts(size, &source->facts.times.written), reachable_twice, recorded);
}

// Opens the file and takes it in the run's table. With several workers
// the file is claimed before it is opened: no worker then holds open a
// file another one is copying back. *claim: FILE_CLAIMED when the strip
// goes on; FILE_STRIPPED when another name of it was stripped already.
// *found: the identity claimed.
static Reason open_and_claim(const char* path, const Run* run, int reached_through_link, SourceFile* source,
                             FileIdentity* found, int* claim, int* recorded, int* interfered) {
  StrippedFiles* seen = run->stripped;
  int shared = seen != nullptr && seen->shared;
  Reason why = shared ? find_source(run->root, path, source) : open_source(run->root, path, source);
  *interfered = why.kind == REASON_IN_USE;
  if (failed(why) || seen == nullptr) return why;
  *found = source->facts.identity;
  int reachable_twice = reached_through_link || source->through_link || source->facts.links > 1;
  *claim = claim_as_found(seen, found, source, reachable_twice, recorded);
  // Found while another worker stripped it, the facts were those from
  // before: they are read again when it is opened.
  if (shared && (*claim == FILE_CLAIMED || *claim == FILE_NOT_AS_LEFT)) {
    why = open_found_source(source, path);
    *interfered = why.kind == REASON_IN_USE;
    if (!failed(why) && !same_identity(&source->facts.identity, found)) why = own_reason(REASON_CHANGED);
    if (!failed(why) && *claim == FILE_NOT_AS_LEFT)
      *claim = claim_as_found(seen, found, source, reachable_twice, recorded);
  }
  if (!failed(why) && *claim == FILE_UNSEEN) why = own_reason(REASON_TOO_MANY_NAMES);
  if (!failed(why) && *claim == FILE_NOT_AS_LEFT) why = own_reason(REASON_CHANGED);
  if (!failed(why) && *claim == FILE_HALF_WRITTEN) why = own_reason(REASON_HALF_WRITTEN);
  return why;
}

// Reads the header; the reader stops at the body's start. *skipped: HTTP
// mode found no status line.
static Reason read_header(SourceReader* reader, const RunSettings* settings, int* skipped) {
  int bare_line_feed = 0;
  Reason why = done_reason();
  if (settings->http_only) {
    int scan = scan_http_header(reader);
    *skipped = scan == HTTP_SCAN_SKIPPED;
    if (scan == HTTP_SCAN_ERROR) why = failed(reader->failure) ? reader->failure : own_reason(REASON_HTTP_INCOMPLETE);
  } else {
    int scan = scan_default_header(reader, &bare_line_feed);
    if (scan == BYTE_FAILED) why = reader->failure;
    if (scan == BYTE_END) why = own_reason(bare_line_feed ? REASON_BARE_LINE_FEED : REASON_NO_HEADER_END);
  }
  return why;
}

// Fills the body file from the source, the bytes the scan read past the
// body's start first, and marks it whole. The source's reading
// ends first: the copy back needs the file to itself.
static Reason keep_body(SourceReader* reader, BodyFile* body, const Run* run) {
  SourceFile* source = reader->file;
  Reason why = create_body_file(run->temporary, body);
  if (!failed(why))
    why = fill_body_file(body, source, reader_offset(reader), reader->buffer + reader->position,
                         reader->filled - reader->position);
  // Another process at the source is the source's.
  why.temporary = failed(why) && why.kind != REASON_IN_USE;
  // A source whose reading did not end cleanly was read whole all the same,
  // unless another process opened it for writing meanwhile.
  Reason ended = failed(why) ? why : end_source_reading(source);
  if (ended.kind == REASON_IN_USE) why = ended;
  if (!failed(why)) {
    why = keep_body_file(body, &source->facts.times);
    why.temporary = failed(why);
  }
  return why;
}

// Opens the very file that was read, alone, and checks that it is as it
// was read and that its times can be put back: a file rewritten with the
// wrong last-write time could not be told from an unstripped one.
static Reason take_target(SourceFile* source, const char* path, CopyBackTarget* target, int* interfered) {
  Reason why = open_copy_back_target(source, path, target);
  *interfered = why.kind == REASON_IN_USE;
  if (!failed(why) && !same_file_unchanged(&source->facts, &target->facts)) {
    *interfered = 1;
    why = own_reason(REASON_CHANGED);
  }
  if (!failed(why)) why = check_times_settable(target, &source->facts.times);
  return why;
}

// The body goes into a body file stamped with the file's times; once
// whole it is copied back over the very file that was read, held alone
// meanwhile. The body file is let go on every path but one: when the copy
// back may have written before it failed, that file holds the only whole
// body, and stays. *interfered: it failed because another
// process held or changed the file.
static StripResult strip_once(const char* path, const Run* run, BodyFile* body, int reached_through_link,
                              int* interfered) {
  SourceFile source;
  CopyBackTarget target;
  SourceReader reader;
  FileIdentity claimed = {0, 0, 0};
  int claim = FILE_CLAIMED;
  int recorded = 0;
  int skipped = 0;
  int body_begun = 0;
  int writable_made = 0;
  int target_open = 0;
  int writing_began = 0;
  int mode_lost = 0;
  bool ok = false;
  FileSize left_size = 0;  // what the file holds once stripped

  Reason why = open_and_claim(path, run, reached_through_link, &source, &claimed, &claim, &recorded, interfered);
  // Stripped already under another name in this run: done, not read again.
  ok = !failed(why) && claim == FILE_STRIPPED;
  if (failed(why) || claim != FILE_CLAIMED) goto done;
  reader_begin(&reader, &source);
  why = read_header(&reader, run->settings, &skipped);
  if (failed(why) || skipped) goto done;
  // Its body; a dry run leaves it whole.
  left_size = run->settings->dry_run ? source.facts.size : source.facts.size - reader_offset(&reader);

  // The body file's name is chosen only for a file that has a body to keep.
  body_begun = 1;
  why = choose_body_name(run->temporary, body);
  why.temporary = failed(why);
  // A dry run ends before the first write, as if the rest had gone well,
  // once it knows the copy back could write the file; the file counts as
  // stripped, so its other names are not read again.
  if (!failed(why) && run->settings->dry_run) why = check_copy_back(&source);
  ok = !failed(why) && run->settings->dry_run;
  if (failed(why) || ok) goto done;
  why = keep_body(&reader, body, run);
  if (failed(why)) goto done;

  // Cleared only where it must be, and put back if the strip fails, even
  // where clearing it failed halfway.
  if (source.facts.write_protected) {
    writable_made = 1;
    why = make_source_writable(&source, path);
    if (failed(why)) goto done;
  }
  target_open = 1;
  why = take_target(&source, path, &target, interfered);
  if (failed(why)) goto done;
  writing_began = 1;
  why = copy_body_back(&target, body, reader.buffer + reader.position, reader.filled - reader.position);
  if (!failed(why)) why = finish_copy_back(&target, &source, &source.facts.times, &mode_lost);
  if (mode_lost) report_left_undone(path, ": could not put back its mode");
  ok = !failed(why);

done:
  // Another process had the file: in HTTP mode it may have been another run.
  if (why.kind == REASON_IN_USE) *interfered = 1;
  if (target_open) close_copy_back_target(&target);
  if (!ok && writable_made && failed(restore_protection(&source, path)))
    report_left_undone(path, ": could not put back its mode");
  close_source(&source);
  bool body_kept = !ok && writing_began;
  // A file the copy back wrote part of is not read again, in HTTP mode
  // either: its body is kept.
  if (body_kept) *interfered = 0;
  int settled = ok ? FILE_STRIPPED : body_kept ? FILE_HALF_WRITTEN : FILE_UNSEEN;
  if (recorded) settle_file(run->stripped, &claimed, settled, folded_facts(left_size, &source.facts.times.written));
  Reason ending = body_begun ? close_body_file(body, !body_kept) : done_reason();
  if (body_kept) report_kept_body(path, failed(ending) ? nullptr : body->name, why.kind == REASON_LEASE_LOST);
  if (!body_kept && failed(ending)) report_left_undone(body->name, ": could not delete this temporary file");
  StripResult result = {ok ? STRIP_OK : skipped ? STRIP_SKIPPED : STRIP_FAILED, ok ? done_reason() : why};
  return result;
}

bool is_left_alone(const char* path, const Run* run, Reason* unknown) {
  *unknown = done_reason();
  return run->root != nullptr && is_body_file(run->temporary, run->root, path, unknown);
}

// In HTTP mode a file that another run was stripping is read again once
// that run is done with it: then it no longer begins with a status line,
// and is skipped, as the manual promises.
StripResult strip_found_file(const char* path, const Run* run, BodyFile* body, int reached_through_link) {
  int interfered = 0;
  Reason unknown;
  bool left_alone = is_left_alone(path, run, &unknown);
  // A file that may hold a kept body is not opened: it gets its line.
  StripResult result = {failed(unknown) ? STRIP_FAILED : STRIP_NO_LINE, unknown};
  if (!left_alone) result = strip_once(path, run, body, reached_through_link, &interfered);
  if (result.outcome == STRIP_FAILED && interfered && run->settings->http_only && !stop_requested()) {
    wait_until_released(path, run->root);
    interfered = 0;
    result = strip_once(path, run, body, reached_through_link, &interfered);
  }
  return result;
}

void finish_body_file(BodyFile* body) {
  if (failed(end_body_file(body))) report_left_undone(body->name, ": could not delete this temporary file");
}

const char* strip_result_text(int result) {
  return result == STRIP_OK ? "ok" LINE_END : result == STRIP_SKIPPED ? "skipped" LINE_END : "error" LINE_END;
}

int strip_file(const char* path, const RunSettings* settings) {
  TemporaryDirectory temporary;
  find_temporary_directory(&temporary);
  Run run = {settings, nullptr, &temporary, nullptr};
  BodyFile body;
  begin_body_file(&temporary, &body);
  StripResult result = strip_found_file(path, &run, &body, 0);
  finish_body_file(&body);
  close_temporary_directory(&temporary);
  if (result.outcome != STRIP_OK) write_console(strip_result_text(result.outcome));
  if (result.outcome == STRIP_FAILED) report_reason(path, result.why);
  return result.outcome;
}
