#include "target.h"

#include <cstdlib>
#include <cstring>

bool windows_target() {
  const char* target = std::getenv("BODYCUT_E2E_TARGET");
  return target != nullptr && std::strcmp(target, "windows") == 0;
}

std::string tool_path(const char* built) {
  const char* chosen = std::getenv("BODYCUT_EXE");
  return chosen != nullptr && chosen[0] != '\0' ? chosen : built;
}

std::string native(std::string text) {
  if (windows_target())
    for (char& c : text)
      if (c == '/') c = '\\';
  return text;
}

std::vector<std::string> report_lines(const std::string& output, bool* well_ended) {
  const std::string end = windows_target() ? "\r\n" : "\n";
  std::vector<std::string> lines;
  *well_ended = true;
  size_t start = 0;
  while (start < output.size()) {
    size_t at = output.find(end, start);
    if (at == std::string::npos) {
      *well_ended = false;
      lines.push_back(output.substr(start));
      break;
    }
    std::string line = output.substr(start, at - start);
    if (line.find('\n') != std::string::npos) *well_ended = false;
    lines.push_back(line);
    start = at + end.size();
  }
  return lines;
}

std::vector<std::string> temp_environment(const std::string& directory) {
  if (!windows_target()) return {"TMPDIR=" + directory};
  std::string windows = "Z:" + directory;
  for (char& c : windows)
    if (c == '/') c = '\\';
  // Not TMPDIR: wine itself would put its own files there.
  return {"BODYCUT_TEMP=" + windows};
}
