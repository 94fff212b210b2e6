// The unit tests' own temporary directory: the platform reads TMPDIR once,
// so it is set before any test runs, and tests check it is left empty.
#ifndef BODYCUT_TESTS_TEMP_DIRECTORY_H
#define BODYCUT_TESTS_TEMP_DIRECTORY_H

#include <string>
#include <vector>

const std::string& test_temp_directory();
std::vector<std::string> temp_directory_entries();
void empty_temp_directory();

#endif
