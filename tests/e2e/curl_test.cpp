// HTTP mode on files a real client saved: curl against a server on
// 127.0.0.1 in this process. What --http leaves must be exactly what curl
// writes without -i, and a second run must skip every file.
#include "run_tool.h"
#include "support/scratch.h"
#include "target.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string BODY = "<p>a</p>\r\n\r\n<p>b</p>\r\n";
const std::string LENGTH = "Content-Length: " + std::to_string(BODY.size());
// What the server answers, by path. A redirect's body is sent but not
// saved when curl follows it.
const std::map<std::string, std::string> responses = {
    {"/start", "HTTP/1.1 302 Found\r\nLocation: /moved\r\nContent-Length: 22\r\n\r\n<a href=/moved>a</a>\r\n"},
    {"/moved", "HTTP/1.1 301 Moved Permanently\r\nLocation: /page\r\nContent-Type: text/html\r\n\r\n"},
    {"/page", "HTTP/1.1 200 OK\r\n" + LENGTH + "\r\n\r\n" + BODY},
    {"/upload", "HTTP/1.1 201 Created\r\n" + LENGTH + "\r\n\r\n" + BODY},
    {"/bare", "HTTP/1.1 200 OK\nContent-Type: text/html\n" + LENGTH + "\n\n" + BODY},
};

// One request a connection, each answered and closed; a request that
// expects 100 Continue gets it before its body is read.
class LocalServer {
 public:
  LocalServer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, (sockaddr*)&address, length) != 0 || listen(listener_, 8) != 0 ||
        getsockname(listener_, (sockaddr*)&address, &length) != 0)
      return;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~LocalServer() {
    shutdown(listener_, SHUT_RDWR);  // ends the accept
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  bool listening() const { return port_ != 0; }

 private:
  void serve() {
    for (int connection; (connection = accept(listener_, nullptr, nullptr)) >= 0; close(connection)) {
      std::string request;
      char buffer[4096];
      ssize_t got = 0;
      while (request.find("\r\n\r\n") == std::string::npos && (got = read(connection, buffer, sizeof buffer)) > 0)
        request.append(buffer, (size_t)got);
      std::string path = request.substr(request.find(' ') + 1);
      path.erase(path.find(' '));
      if (request.find("Expect: 100-continue") != std::string::npos) {
        send_all(connection, "HTTP/1.1 100 Continue\r\n\r\n");
        size_t length = std::stoul(request.substr(request.find("Content-Length: ") + 16));
        while (request.size() - request.find("\r\n\r\n") - 4 < length &&
               (got = read(connection, buffer, sizeof buffer)) > 0)
          request.append(buffer, (size_t)got);
      }
      send_all(connection, responses.count(path) != 0 ? responses.at(path) : "HTTP/1.1 404 Not Found\r\n\r\n");
    }
  }
  static void send_all(int connection, const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      ssize_t wrote = write(connection, bytes.data() + sent, bytes.size() - sent);
      if (wrote <= 0) return;
      sent += (size_t)wrote;
    }
  }
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

TEST(EndToEndCurl, HttpModeLeavesWhatCurlWritesWithoutHeaders) {
  if (windows_target()) GTEST_SKIP() << "POSIX build only";
  if (std::system("curl --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is not installed";
  LocalServer server;
  ASSERT_TRUE(server.listening());
  Scratch scratch;
  scratch.make_directory("work/saved");
  scratch.make_directory("plain");
  scratch.make_directory("tmp");
  scratch.write("payload", "name=value");
  const struct {
    const char* name;
    std::string options;
  } fetches[] = {
      {"redirected", "-L " + server.url("/start")},
      {"not-followed", server.url("/start")},
      {"continued",
       "-H 'Expect: 100-continue' --data-binary @" + scratch.path("payload") + " " + server.url("/upload")},
      {"bare-lf", server.url("/bare")},
  };
  std::vector<std::string> first_report;
  std::vector<std::string> second_report;
  for (const auto& fetch : fetches) {
    for (const std::string& saved : {"work/saved/", "plain/"}) {
      std::string command = "curl -q -s -S --noproxy '*' " + std::string(saved == "plain/" ? "" : "-i ") + "-o " +
                            scratch.path(saved + fetch.name) + " " + fetch.options;
      ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    ASSERT_NE(scratch.read("work/saved/" + std::string(fetch.name)), scratch.read("plain/" + std::string(fetch.name)));
    first_report.push_back("saved/" + std::string(fetch.name) + " : ok");
    second_report.push_back("saved/" + std::string(fetch.name) + " : skipped");
  }
  std::map<std::string, long> stripped_at;  // nanoseconds of the last-write time after the first run
  for (std::vector<std::string>* expected : {&first_report, &second_report}) {
    ToolRun run = run_tool(tool_path(BODYCUT_EXE), scratch.path("work"), {"--http", "saved"},
                           temp_environment(scratch.path("tmp")));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "");
    bool well_ended = false;
    std::vector<std::string> lines = report_lines(run.output, &well_ended);
    std::sort(lines.begin(), lines.end());
    std::sort(expected->begin(), expected->end());
    EXPECT_EQ(lines, *expected);
    for (const auto& fetch : fetches) {
      std::string path = scratch.path("work/saved/" + std::string(fetch.name));
      long nanoseconds = status_of(path).st_mtim.tv_nsec;
      if (expected == &second_report) EXPECT_EQ(nanoseconds, stripped_at[fetch.name]) << fetch.name;
      stripped_at[fetch.name] = nanoseconds;
      EXPECT_EQ(read_file(path), scratch.read("plain/" + std::string(fetch.name))) << fetch.name;
    }
  }
}

}  // namespace
