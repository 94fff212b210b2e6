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
// Blocks of responses whose body a client does not save, as clients write
// them: curl -iL (redirects), curl -i -x / -p (tunnels), curl -i --digest,
// --anyauth and --proxy-anyauth (authentication).
const std::string FOUND = "HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 5\r\n\r\n";
const std::string MOVED = "HTTP/1.1 301 Moved Permanently\r\nLocation: /c\r\nContent-Type: text/html\r\n\r\n";
const std::string FOUND_2 = "HTTP/2 302 \r\nlocation: /b\r\ncontent-type: text/html\r\n\r\n";
const std::string TUNNEL = "HTTP/1.0 200 Connection established\r\n\r\n";
const std::string TUNNEL_AGENT = "HTTP/1.1 200 Connection established\r\nProxy-agent: p\r\n\r\n";
const std::string DIGEST =
    "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"r\"\r\nContent-Length: 9\r\n\r\n";
const std::string DIGEST_2 = "HTTP/2 401 \r\nwww-authenticate: Digest realm=\"r\"\r\ncontent-length: 9\r\n\r\n";
const std::string PROXY_AUTH =
    "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"p\"\r\nContent-Length: 9\r\n\r\n";
const std::string EMPTY_401 = "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n";
const std::string FINAL = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n";
const std::string FINAL_2 = "HTTP/2 200 \r\ncontent-type: text/html\r\ncontent-length: 4\r\n\r\n";

const HttpCase http_cases[] = {
    {OK + "<p>x</p>", HTTP_SCAN_BODY, "<p>x</p>"},
    {"HTTP/2 404\r\nA: b\r\n\r\nnot found", HTTP_SCAN_BODY, "not found"},
    {"HTTP/1.0 304\r\n\r\n", HTTP_SCAN_BODY, ""},
    {"HTTP/3 200 \r\n\r\nB", HTTP_SCAN_BODY, "B"},  // a blank and an empty reason phrase
    {std::string("HTTP/1.1 599 \xe9\0\t\x7f\r\n\r\nB", 22), HTTP_SCAN_BODY, "B"},
    // The status line's CR LF counts towards the header's end.
    {"HTTP/1.1 200 OK\r\n\r\nbody\r\n\r\nmore", HTTP_SCAN_BODY, "body\r\n\r\nmore"},
    // A line ends at its LF, and a CR before it is not part of the line.
    {"HTTP/1.1 200 OK\r\n\r\r\n\r\nB", HTTP_SCAN_BODY, "B"},
    {"HTTP/1.1 200 OK\r\nH\r\r\n\r\n\r\nB", HTTP_SCAN_BODY, "\r\nB"},
    {"HTTP/1.1 200 OK\nContent-Type: text/html\n\n<p>a</p>\r\n\r\n<p>b</p>", HTTP_SCAN_BODY,
     "<p>a</p>\r\n\r\n<p>b</p>"},
    {"HTTP/1.1 200 OK\n\nx", HTTP_SCAN_BODY, "x"},
    {"HTTP/1.1 200\n\nB", HTTP_SCAN_BODY, "B"},
    {"HTTP/1.1 200 OK\r\nA: b\n\r\nB", HTTP_SCAN_BODY, "B"},
    {"HTTP/1.1 200 OK\nA: b\r\n\nB\n\n", HTTP_SCAN_BODY, "B\n\n"},
    {"HTTP/1.1 200 OK\nA: b\n", HTTP_SCAN_ERROR, ""},
    {"HTTP/1.1 200 OK\r\nA: b\r\n", HTTP_SCAN_ERROR, ""},
    {"HTTP/1.1 200 OK\r\n", HTTP_SCAN_ERROR, ""},
    // Only a block after which clients write no body is followed by
    // another one: an interim one, a redirect, an authentication
    // challenge, a tunnel's reply, one of length 0.
    {OK + OK + "x", HTTP_SCAN_BODY, "x"},
    {FOUND + MOVED + FINAL + "body", HTTP_SCAN_BODY, "body"},
    {FOUND_2 + FINAL_2 + "body", HTTP_SCAN_BODY, "body"},
    {FOUND_2 + FOUND_2 + CONTINUE + FINAL_2 + "body", HTTP_SCAN_BODY, "body"},
    {TUNNEL + FINAL + "body", HTTP_SCAN_BODY, "body"},
    {TUNNEL_AGENT + FINAL_2 + "body", HTTP_SCAN_BODY, "body"},
    {DIGEST + FINAL + "body", HTTP_SCAN_BODY, "body"},
    {DIGEST_2 + FINAL_2 + "body", HTTP_SCAN_BODY, "body"},
    {PROXY_AUTH + DIGEST + FINAL + "body", HTTP_SCAN_BODY, "body"},
    {PROXY_AUTH + TUNNEL + FINAL_2 + "body", HTTP_SCAN_BODY, "body"},
    {PROXY_AUTH + TUNNEL + DIGEST_2 + FINAL_2 + "body", HTTP_SCAN_BODY, "body"},
    {EMPTY_401 + FINAL + "body", HTTP_SCAN_BODY, "body"},
    {"HTTP/1.1 303 See Other\nlocation: /b\n\nHTTP/1.1 200 OK\ncontent-length: 4\n\nbody", HTTP_SCAN_BODY, "body"},
    {"HTTP/1.1 500 Oops\r\nContent-Length:  000 \r\n\r\n" + FINAL + "body", HTTP_SCAN_BODY, "body"},
    {"HTTP/1.1 204 No Content\r\n\r\n" + FINAL + "body", HTTP_SCAN_BODY, "body"},
    // Any other block is the response, and all that follows it its body,
    // whatever that begins with.
    {FINAL + OK + "x", HTTP_SCAN_BODY, OK + "x"},
    {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + OK, HTTP_SCAN_BODY, OK},
    {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n" + FINAL, HTTP_SCAN_BODY, FINAL},
    {"HTTP/1.1 302 Found\r\nX-Location: /b\r\n\r\n" + FINAL, HTTP_SCAN_BODY, FINAL},
    {"HTTP/1.1 302 Found\r\nLocation : /b\r\n\r\n" + FINAL, HTTP_SCAN_BODY, FINAL},
    {"HTTP/1.1 401 Unauthorized\r\nProxy-Authenticate: Basic\r\n\r\n" + FINAL, HTTP_SCAN_BODY, FINAL},
    {"HTTP/1.1 407 Proxy Authentication Required\r\nWWW-Authenticate: Basic\r\n\r\n" + FINAL, HTTP_SCAN_BODY, FINAL},
    {"HTTP/1.1 404 Not Found\r\nContent-Length: 0 1\r\n\r\n" + FINAL, HTTP_SCAN_BODY, FINAL},
    {"HTTP/1.1 404 Not Found\r\nContent-Length: 0 0\r\n\r\n" + FINAL, HTTP_SCAN_BODY, FINAL},
    {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\r\n\r\n" + FINAL, HTTP_SCAN_BODY, FINAL},
    {"HTTP/1.1 404 Not Found\r\nProxy-Authenticate-Something: 0\r\n\r\n" + FINAL, HTTP_SCAN_BODY, FINAL},
    // A redirect that was not followed keeps its body, read past and
    // stepped back to.
    {MOVED + "<a href=/c>moved</a>", HTTP_SCAN_BODY, "<a href=/c>moved</a>"},
    {MOVED + "HTTP/1.1 20", HTTP_SCAN_BODY, "HTTP/1.1 20"},
    {MOVED + "HTTP/1.1 200 OK\r", HTTP_SCAN_BODY, "HTTP/1.1 200 OK\r"},
    {MOVED, HTTP_SCAN_BODY, ""},
    {TUNNEL + "x", HTTP_SCAN_BODY, "x"},
    {FOUND + MOVED + "HTTP/1.1 200 OK\r\nA: b", HTTP_SCAN_ERROR, ""},
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
    {MOVED + "body", HTTP_SCAN_ERROR, "", 74},
};

// The strip's result and report for each outcome of the scan.
int strip_status(int outcome) {
  return outcome == HTTP_SCAN_BODY ? STRIP_OK : outcome == HTTP_SCAN_SKIPPED ? STRIP_SKIPPED : STRIP_FAILED;
}
std::string strip_report(int outcome) {
  return outcome == HTTP_SCAN_BODY ? "" : outcome == HTTP_SCAN_SKIPPED ? "skipped" LINE_END : "error" LINE_END;
}

// The rest of the file from offset on.
std::string rest_of(SourceFile* file, FileSize offset) {
  std::string rest;
  char buffer[64];
  unsigned count = 0;
  while (!failed(read_source(file, offset, buffer, sizeof buffer, &count)) && count > 0) {
    rest.append(buffer, count);
    offset += count;
  }
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

    // Read a byte at a time, so that a read can fail at any byte.
    SourceFile file;
    ASSERT_FALSE(failed(open_source(nullptr, path.c_str(), &file)));
    static SourceReader reader;
    reader_begin(&reader, &file, 1);
    if (c.failing_read != 0) fault_arm(FAULT_read_source, c.failing_read);
    EXPECT_EQ(scan_http_header(&reader), c.outcome);
    if (c.failing_read != 0) EXPECT_TRUE(fault_injected());
    fault_disarm();
    if (c.outcome == HTTP_SCAN_BODY) EXPECT_EQ(rest_of(&file, reader_offset(&reader)), c.body);
    close_source(&file);

    // A strip reads a small file at once: its one read fails.
    if (c.failing_read != 0) fault_arm(FAULT_read_source, 1);
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
