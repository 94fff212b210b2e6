#include "work_queue.h"

#include "report_line.h"

// Takes the next queued file and strips it; false when none is queued.
static bool strip_next(WorkQueue* queue, BodyFile* body) {
  lock_take(&queue->lock);
  QueuedFile* file = queue->taken != queue->tail ? &queue->files[queue->taken++ % WINDOW] : nullptr;
  lock_release(&queue->lock);
  if (file == nullptr) return false;
  // After a stop, files still queued are not begun, and get no line.
  StripResult result = {STRIP_NO_LINE, done_reason()};
  if (!stop_requested()) result = strip_found_file(file->path, queue->run, body, file->reached_through_link);
  lock_take(&queue->lock);
  file->result = result;
  file->done = 1;
  lock_release(&queue->lock);
  post_done(&queue->threads);
  return true;
}

static void work(void* context) {
  WorkQueue* queue = static_cast<WorkQueue*>(context);
  BodyFile body;
  begin_body_file(queue->run->temporary, &body);
  for (;;) {
    wait_for_work(&queue->threads);
    if (strip_next(queue, &body)) continue;
    // Woken with nothing queued: the walk took that file itself, or is over.
    lock_take(&queue->lock);
    bool over = queue->over;
    lock_release(&queue->lock);
    if (over) break;
  }
  finish_body_file(&body);
}

void queue_begin(WorkQueue* queue, const Run* run) {
  unsigned wanted = run->settings->workers == 0 ? processor_count() : run->settings->workers;
  if (wanted > MAX_WORKERS) wanted = MAX_WORKERS;
  queue->run = run;
  queue->workers = 0;
  queue->head = queue->taken = queue->tail = 0;
  queue->over = 0;
  begin_body_file(run->temporary, &queue->body);
  if (wanted <= 1) return;
  lock_begin(&queue->lock);
  lock_begin(&run->stripped->lock);
  run->stripped->shared = 1;
  queue->workers = start_worker_threads(&queue->threads, wanted - 1, work, queue);
  if (queue->workers > 0) return;
  lock_end(&queue->lock);
  lock_end(&run->stripped->lock);
  run->stripped->shared = 0;
}

// Writes the lines whose files are done, in the order they were handed over.
static void write_done_lines(WorkQueue* queue) {
  for (;;) {
    lock_take(&queue->lock);
    QueuedFile* file = queue->head != queue->tail && queue->files[queue->head % WINDOW].done
                           ? &queue->files[queue->head % WINDOW]
                           : nullptr;
    lock_release(&queue->lock);
    if (file == nullptr) return;
    report_outcome(file->path, file->result, 1);
    lock_take(&queue->lock);
    ++queue->head;
    lock_release(&queue->lock);
  }
}

static unsigned pending(WorkQueue* queue) {
  lock_take(&queue->lock);
  unsigned count = queue->tail - queue->head;
  lock_release(&queue->lock);
  return count;
}

static void strip_here(WorkQueue* queue, const char* path, int reached_through_link) {
  if (stop_requested()) return;
  // Where lines are not written whole, the console shows the path while
  // the file is stripped, unless it is one the walk leaves alone.
  Reason unknown;
  if (!WHOLE_REPORT_LINES && is_left_alone(path, queue->run, &unknown) && !failed(unknown)) return;
  if (!WHOLE_REPORT_LINES) write_report_line(path, "");
  report_outcome(path, strip_found_file(path, queue->run, &queue->body, reached_through_link), WHOLE_REPORT_LINES);
}

void queue_file(WorkQueue* queue, const char* path, int reached_through_link) {
  if (queue->workers == 0) {
    strip_here(queue, path, reached_through_link);
    return;
  }
  for (;;) {
    write_done_lines(queue);
    if (pending(queue) < WINDOW) break;
    // The window is full: rather than wait, the walk strips a queued file
    // itself, as the last of the workers asked for.
    if (!strip_next(queue, &queue->body)) wait_for_done(&queue->threads);
  }
  // The place is free: its line was written, no worker looks at it.
  QueuedFile* file = &queue->files[queue->tail % WINDOW];
  unsigned length = 0;
  for (; path[length] != '\0'; ++length) file->path[length] = path[length];
  file->path[length] = '\0';
  file->reached_through_link = reached_through_link;
  file->done = 0;
  lock_take(&queue->lock);
  ++queue->tail;
  lock_release(&queue->lock);
  post_work(&queue->threads, 1);
  write_done_lines(queue);
}

void queue_flush(WorkQueue* queue) {
  if (queue->workers == 0) return;
  for (;;) {
    write_done_lines(queue);
    if (pending(queue) == 0) return;
    wait_for_done(&queue->threads);
  }
}

void queue_end(WorkQueue* queue) {
  finish_body_file(&queue->body);
  if (queue->workers == 0) return;
  queue_flush(queue);
  lock_take(&queue->lock);
  queue->over = 1;
  lock_release(&queue->lock);
  post_work(&queue->threads, queue->workers);
  join_worker_threads(&queue->threads);
  queue->workers = 0;
  lock_end(&queue->lock);
  lock_end(&queue->run->stripped->lock);
  queue->run->stripped->shared = 0;
}
