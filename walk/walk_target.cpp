#include "walk_target.h"

#include "path_helpers.h"
#include "report_line.h"

// What every level of one walk shares.
struct Walk {
  const Run* run;
  WorkQueue* queue;
  const WalkRoot* root;
  unsigned depth;  // levels below the target
};

// Lines the walk writes itself come after those of every file before them.
static void report_line(Walk* walk, const char* path, const char* outcome) {
  queue_flush(walk->queue);
  // Where the platform writes lines whole, the line goes out in one write;
  // elsewhere the path and " : " first, and the outcome after them.
  write_report_line(path, WHOLE_REPORT_LINES ? outcome : "");
  if (!WHOLE_REPORT_LINES) write_console(outcome);
}

static void report_error(Walk* walk, const char* path, Reason why) {
  report_line(walk, path, "error" LINE_END);
  report_reason(path, why);
}

// Copies name over path from name_at on, within capacity; 0, with path
// ending at name_at, when it does not fit.
static int place_name(char* path, unsigned capacity, char* name_at, const char* name) {
  char* end = path + capacity - 1;
  char* at = name_at;
  for (; *name != '\0'; ++name) {
    if (at >= end) {
      *name_at = '\0';
      return 0;
    }
    *at++ = *name;
  }
  *at = '\0';
  return 1;
}

// The line of an entry whose whole path does not fit: written from its
// parts, in one write as any line, and nothing is done to it.
static void report_unfit(Walk* walk, char* path, char* name_at, const char* name) {
  queue_flush(walk->queue);
  *name_at = '\0';
  write_report_line(path, "error" LINE_END, name);
  report_reason(path, own_reason(REASON_TOO_LONG), name);
}

static int walk_level(Walk* walk, char* path, unsigned length, int is_pattern, Reason* why);

// One entry of a listing, its name placed after name_at.
static void walk_entry(Walk* walk, char* path, char* name_at, WalkSearch* search, const WalkEntry* entry) {
  // Dot directories are never entered, the directory itself and its
  // parent among them; links to directories are not entered either, so no
  // cycle of links can form.
  if (entry->directory && (entry->name[0] == '.' || (entry->plain && entry->link))) return;
  // Another file system is left alone, but its mount point still gets a
  // line: no directory goes unprocessed without one.
  int elsewhere = walk->run->settings->one_file_system && entry_on_other_file_system(search, entry);
  if (!place_name(path, PATH_CAPACITY, name_at, entry->name)) {
    report_unfit(walk, path, name_at, entry->name);
  } else if (!entry->plain) {
    // Opening it would reach another file, or where it leads: its line
    // says so, and nothing is opened.
    report_error(walk, path, own_reason(REASON_NAME_NOT_PLAIN));
  } else if (elsewhere) {
    report_line(walk, path, "skipped" LINE_END);
  } else if (walk->run->settings->deepest_level != 0 && walk->depth >= walk->run->settings->deepest_level &&
             entry->directory) {
    report_error(walk, path, own_reason(REASON_TOO_DEEP));
  } else if (entry->directory) {
    unsigned below = (unsigned)(name_at - path);
    while (path[below] != '\0') ++below;
    // A directory that cannot be listed is reported, not passed over.
    Reason why = done_reason();
    ++walk->depth;
    int listed = walk_level(walk, path, below, 0, &why);
    --walk->depth;
    if (listed != WALK_LISTED) report_error(walk, path, listed == WALK_TOO_LONG ? own_reason(REASON_TOO_LONG) : why);
  } else {
    queue_file(walk->queue, path, entry->link);
  }
}

// The walk shares one path buffer across its levels: each level writes its
// entries' names after its own part, and a level below writes after those,
// so a level's stack does not grow with the path's capacity and the
// deepest tree a path allows can be walked. path holds length bytes: a
// directory, or a search pattern. WALK_NOT_LISTED: the search found
// nothing, *why tells why.
static int walk_level(Walk* walk, char* path, unsigned length, int is_pattern, Reason* why) {
  WalkSearch search;
  WalkEntry entry;
  unsigned pattern_length = length;
  if (!is_pattern && !append_path(path, PATH_CAPACITY, &pattern_length, "*.*")) return WALK_TOO_LONG;
  int listed = first_entry(walk->root, path, &search, &entry, why);
  int result = listed == LIST_FAILED ? WALK_NOT_LISTED : WALK_LISTED;
  // Each name goes after the final component found here, whatever the name
  // holds: one that the platform does not take as plain is only reported.
  char* name_at = final_component(path);
  while (listed == LISTED_ENTRY) {
    walk_entry(walk, path, name_at, &search, &entry);
    listed = next_entry(&search, &entry, why);
  }
  end_search(&search);
  // A listing that broke off leaves entries unreported: its directory is.
  if (listed == LIST_FAILED && result == WALK_LISTED) {
    *name_at = '\0';
    if (!is_pattern) path[length] = '\0';
    report_error(walk, path[0] != '\0' ? path : ".", *why);
  }
  path[length] = '\0';
  return result;
}

int walk_target(const char* path, int is_pattern, const RunSettings* settings, WalkMemory* memory, Reason* why) {
  char buffer[PATH_CAPACITY];
  TemporaryDirectory temporary;
  WalkRoot root;
  unsigned length = 0;
  int result = WALK_TOO_LONG;
  for (; path[length] != '\0' && length + 1 < sizeof buffer; ++length) buffer[length] = path[length];
  buffer[length] = '\0';
  if (path[length] != '\0') return result;
  // The root is the directory of the first search.
  unsigned pattern_length = length;
  if (!is_pattern && !append_path(buffer, PATH_CAPACITY, &pattern_length, "*.*")) return result;
  *why = open_walk_root(buffer, settings->one_file_system, &root);
  buffer[length] = '\0';
  result = WALK_NOT_LISTED;
  if (!failed(*why)) {
    find_temporary_directory(&temporary);
    stripped_files_clear(&memory->stripped);
    Run run = {settings, &memory->stripped, &temporary, &root};
    Walk walk = {&run, &memory->queue, &root, 0};
    queue_begin(walk.queue, &run);
    result = walk_level(&walk, buffer, length, is_pattern, why);
    queue_end(walk.queue);
    close_temporary_directory(&temporary);
  }
  close_walk_root(&root);
  return result;
}
