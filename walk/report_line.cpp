#include "report_line.h"

#include "../platform/platform.h"

void write_report_line(const char* path, const char* outcome, const char* rest) {
  static const char separator[] = " : ";
  char line[(PATH_CAPACITY + ENTRY_NAME_CAPACITY) * REPORT_EXPANSION + sizeof separator + sizeof "skipped" LINE_END];
  unsigned length = report_name(path, line);
  if (rest != nullptr) length += report_name(rest, line + length);
  const char* parts[] = {separator, outcome};
  for (const char* part : parts)
    for (; *part != '\0'; ++part) line[length++] = *part;
  line[length] = '\0';
  write_console(line);
}

void report_outcome(const char* path, StripResult result, int whole) {
  if (result.outcome == STRIP_NO_LINE) return;
  const char* outcome = strip_result_text(result.outcome);
  if (whole)
    write_report_line(path, outcome);
  else
    write_console(outcome);
  if (result.outcome == STRIP_FAILED) report_reason(path, result.why);
}
