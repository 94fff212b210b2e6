// Which executable the end-to-end tests drive, and its conventions: the
// POSIX build, or a Windows build under wine (BODYCUT_E2E_TARGET=windows),
// with backslash paths, CR LF line ends and a temporary directory that
// wine takes from BODYCUT_TEMP.
#ifndef BODYCUT_TESTS_TARGET_H
#define BODYCUT_TESTS_TARGET_H

#include <string>
#include <vector>

bool windows_target();
// BODYCUT_EXE when set, else the built one.
std::string tool_path(const char* built);
// Paths written with '/' in the cases, as the target writes them.
std::string native(std::string text);
// The report split into lines; false in *well_ended when a line does not
// end the way the target ends lines.
std::vector<std::string> report_lines(const std::string& output, bool* well_ended);
// Settings that point the target's temporary directory at a directory.
std::vector<std::string> temp_environment(const std::string& directory);

#endif
