// The HTTP-mode scan on real files: what it decides, where it leaves the
// file position, and what the whole strip makes of each decision.
#include "strip/http_scan.h"
#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "strip/strip_file.h"
#include "support/scratch.h"
#include "temp_directory.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct HttpCase {
  std::string bytes;
  int outcome;
  std::string body;           // what follows the scan, when the outcome is HTTP_SCAN_BODY
  unsigned failing_read = 0;  // this one-byte read fails, when not 0
};

const std::string CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";
const std::string HINTS = "HTTP/1.1 103 Early Hints\r\nLink: </s.css>; rel=preload\r\n\r\n";
const std::string OK = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";

const HttpCase http_cases[] = {
    {OK + "<p>x</p>", HTTP_SCAN_BODY, "<p>x</p>"},
    {"HTTP/2 404\r\nA: b\r\n\r\nnot found", HTTP_SCAN_BODY, "not found"},
    {"HTTP/1.0 304\r\n\r\n", HTTP_SCAN_BODY, ""},
    {"HTTP/3 200 \r\n\r\nB", HTTP_SCAN_BODY, "B"},  // a blank and an empty reason phrase
    {std::string("HTTP/1.1 599 \xe9\0\t\x7f\r\n\r\nB", 22), HTTP_SCAN_BODY, "B"},
    // The status line's CR LF counts towards the header's end.
    {"HTTP/1.1 200 OK\r\n\r\nbody\r\n\r\nmore", HTTP_SCAN_BODY, "body\r\n\r\nmore"},
    {"HTTP/1.1 200 OK\r\n\r\r\n\r\nB", HTTP_SCAN_ERROR, ""},
    {"HTTP/1.1 200 OK\r\nH\r\r\n\r\n\r\nB", HTTP_SCAN_BODY, "B"},
    {"HTTP/1.1 200 OK\r\nA: b\r\n", HTTP_SCAN_ERROR, ""},
    {"HTTP/1.1 200 OK\r\n", HTTP_SCAN_ERROR, ""},
    // Only an interim block is followed by another one.
    {OK + OK + "x", HTTP_SCAN_BODY, OK + "x"},
    {CONTINUE + OK + "body", HTTP_SCAN_BODY, "body"},
    {CONTINUE + HINTS + OK + "body", HTTP_SCAN_BODY, "body"},
    {CONTINUE + "HTTP/2 204\r\n\r\n", HTTP_SCAN_BODY, ""},
    {CONTINUE + "<html>body", HTTP_SCAN_ERROR, ""},
    {CONTINUE, HTTP_SCAN_ERROR, ""},
    {CONTINUE + CONTINUE, HTTP_SCAN_ERROR, ""},
    {CONTINUE + "\r\n" + OK, HTTP_SCAN_ERROR, ""},
    {HINTS + "HTTP/1.1 20", HTTP_SCAN_ERROR, ""},
    {CONTINUE + "HTTP/1.1 200 OK\r\nA: b", HTTP_SCAN_ERROR, ""},
    // Not a status line: the file is skipped.
    {"http/1.1 200\r\n\r\nx", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/1.1 20\r\n\r\nx", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/1.1 2000\r\n\r\nx", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/1.1 20x OK\r\n\r\nx", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/1.1 200OK\r\n\r\nx", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/1.1  200 OK\r\n\r\nx", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/1.2 200 OK\r\n\r\nx", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/2.0 200 OK\r\n\r\nx", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/4 200 OK\r\n\r\nx", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/1.1 200 OK\n\nx", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/1.1 200 OK\rX\r\n\r\nx", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/1.1 200\r\r\n\r\nx", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/1.1 200 OK", HTTP_SCAN_SKIPPED, ""},
    {"HTTP/1.1 200 OK\r", HTTP_SCAN_SKIPPED, ""},
    {"<html>\r\n\r\nbody", HTTP_SCAN_SKIPPED, ""},
    {"", HTTP_SCAN_SKIPPED, ""},
    {"\r\n" + OK + "x", HTTP_SCAN_SKIPPED, ""},
    {" " + OK + "x", HTTP_SCAN_SKIPPED, ""},
    // A failed read is an error wherever it falls, never a skip.
    {OK + "B", HTTP_SCAN_ERROR, "", 1},
    {OK + "B", HTTP_SCAN_ERROR, "", 17},
    {"HTTP/1.1 200 OK\r\n\r\nB", HTTP_SCAN_ERROR, "", 19},
    {OK + "B", HTTP_SCAN_ERROR, "", 20},
    {CONTINUE + OK + "B", HTTP_SCAN_ERROR, "", 26},
};

// The strip's result and report for each outcome of the scan.
int strip_status(int outcome) {
  return outcome == HTTP_SCAN_BODY ? STRIP_OK : outcome == HTTP_SCAN_SKIPPED ? STRIP_SKIPPED : STRIP_FAILED;
}
std::string strip_report(int outcome) {
  return outcome == HTTP_SCAN_BODY ? "" : outcome == HTTP_SCAN_SKIPPED ? "skipped" LINE_END : "error" LINE_END;
}

// The rest of the file from its position on.
std::string rest_of(HANDLE file) {
  std::string rest;
  char buffer[64];
  DWORD count = 0;
  while (ReadFile(file, buffer, sizeof buffer, &count, nullptr) && count > 0) rest.append(buffer, count);
  return rest;
}

TEST(HttpScan, Table) {
  RunSettings settings = default_run_settings();
  settings.http_only = 1;
  for (const HttpCase& c : http_cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes) + " read " + std::to_string(c.failing_read));
    Scratch scratch;
    scratch.write("file", c.bytes);
    std::string path = scratch.path("file");

    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    if (c.failing_read != 0) fault_arm(FAULT_ReadFile, c.failing_read);
    EXPECT_EQ(scan_http_header(file), c.outcome);
    if (c.failing_read != 0) EXPECT_TRUE(fault_injected());
    fault_disarm();
    if (c.outcome == HTTP_SCAN_BODY) EXPECT_EQ(rest_of(file), c.body);
    CloseHandle(file);

    // The first read of a strip is the scan's first byte.
    if (c.failing_read != 0) fault_arm(FAULT_ReadFile, c.failing_read);
    testing::internal::CaptureStdout();
    int status = strip_file(path.c_str(), &settings);
    std::string report = testing::internal::GetCapturedStdout();
    fault_disarm();
    EXPECT_EQ(status, strip_status(c.outcome));
    EXPECT_EQ(report, strip_report(c.outcome));
    EXPECT_EQ(scratch.read("file"), c.outcome == HTTP_SCAN_BODY ? c.body : c.bytes);
    EXPECT_TRUE(temp_directory_entries().empty());
  }
}

}  // namespace
