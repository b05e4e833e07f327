#include "support/test_servers.h"

#include "support/child_process.h"

#include <curl/curl.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

namespace radiolist::test {
namespace {

constexpr const char* kDirVariable = "RADIOLIST_TEST_SERVERS";

std::string trimLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
  return std::string(line);
}

size_t appendToString(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};

std::string urlEncode(CURL* curl, std::string_view text) {
  char* encoded = curl_easy_escape(curl, text.data(), static_cast<int>(text.size()));
  if (encoded == nullptr) return {};
  std::string result(encoded);
  curl_free(encoded);
  return result;
}

std::string runServersScript(const TestServers& servers, const char* command,
                             std::string_view mount) {
  const CommandResult r = runCommand(
      {{"bash", RL_TEST_SERVERS_SCRIPT, command, servers.dir(), std::string(mount)}, {}, false},
      std::chrono::seconds(60));
  if (r.exitCode == 0) return {};
  return std::string("test-servers.sh ") + command + " " + std::string(mount) + " exited with " +
         std::to_string(r.exitCode) + ": " + r.output;
}

}  // namespace

std::optional<TestServers> TestServers::fromEnvironment(std::string* why) {
  const char* dir = std::getenv(kDirVariable);
  if (dir == nullptr || *dir == '\0') {
    if (why)
      *why = std::string(kDirVariable) +
             " is not set: this test needs the loopback servers that CTest's \"servers\" "
             "fixture starts (run it through ctest, or start tools/servers/test-servers.sh "
             "and point the variable at its directory)";
    return std::nullopt;
  }
  return load(dir, why);
}

std::optional<TestServers> TestServers::load(const std::string& dir, std::string* why) {
  std::ifstream in(dir + "/env", std::ios::binary);
  if (!in) {
    if (why) *why = "cannot read " + dir + "/env: the test servers did not start";
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return parse(text.str(), dir, why);
}

std::optional<TestServers> TestServers::parse(std::string_view text, const std::string& dir,
                                              std::string* why) {
  TestServers s;
  s.dir_ = dir;
  std::istringstream lines{std::string(text)};
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    line = trimLineEnd(line);
    if (line.empty() || line[0] == '#') continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      if (why) *why = dir + "/env line " + std::to_string(number) + " is not KEY=VALUE: " + line;
      return std::nullopt;
    }
    s.values_[line.substr(0, eq)] = line.substr(eq + 1);
  }
  for (const char* key : {"PULSE_SERVER", "RADIOLIST_SINK", "ICECAST_URL", "ICECAST_ADMIN_USER",
                          "ICECAST_ADMIN_PASSWORD"}) {
    if (s.value(key).empty()) {
      if (why) *why = dir + "/env has no " + key;
      return std::nullopt;
    }
  }
  s.pulseServer_ = s.value("PULSE_SERVER");
  s.sink_ = s.value("RADIOLIST_SINK");
  s.icecastUrl_ = s.value("ICECAST_URL");
  s.adminUser_ = s.value("ICECAST_ADMIN_USER");
  s.adminPassword_ = s.value("ICECAST_ADMIN_PASSWORD");
  return s;
}

std::string TestServers::value(const std::string& key) const {
  const auto it = values_.find(key);
  return it == values_.end() ? std::string() : it->second;
}

std::string TestServers::mountUrl(std::string_view mount) const {
  std::string url = icecastUrl_;
  if (mount.empty() || mount.front() != '/') url += '/';
  return url + std::string(mount);
}

void TestServers::exportPulseServer() const { setenv("PULSE_SERVER", pulseServer_.c_str(), 1); }

std::string TestServers::setIcecastTitle(std::string_view mount, std::string_view title) const {
  const std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) return "curl_easy_init failed";
  std::string path(mount);
  if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');
  // Without a charset parameter Icecast stores the bytes as they come, so UTF-8 stays UTF-8.
  const std::string url = icecastUrl_ + "/admin/metadata?mount=" + urlEncode(curl.get(), path) +
                          "&mode=updinfo&song=" + urlEncode(curl.get(), title);
  std::string body;
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
  curl_easy_setopt(curl.get(), CURLOPT_USERNAME, adminUser_.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_PASSWORD, adminPassword_.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, appendToString);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  const CURLcode rc = curl_easy_perform(curl.get());
  if (rc != CURLE_OK) return "GET " + url + ": " + (error[0] ? error : curl_easy_strerror(rc));
  long status = 0;
  curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  // Icecast answers 200 with <return>1</return> on success, and 200 or 4xx with a message
  // otherwise (e.g. "Source does not exist").
  if (status != 200 || body.find("<return>1</return>") == std::string::npos)
    return "Icecast refused the title of " + path + " (HTTP " + std::to_string(status) +
           "): " + body;
  return {};
}

std::string TestServers::ensureRunning() const { return runServersScript(*this, "ensure", ""); }

std::string TestServers::stopMount(std::string_view mount) const {
  return runServersScript(*this, "mount-down", mount);
}

std::string TestServers::startMount(std::string_view mount) const {
  return runServersScript(*this, "mount-up", mount);
}

void ServerTest::SetUp() {
  std::string why;
  servers_ = TestServers::fromEnvironment(&why);
  if (!servers_ && std::getenv(kDirVariable) == nullptr) GTEST_SKIP() << why;
  ASSERT_TRUE(servers_.has_value()) << why;
  ASSERT_EQ(servers_->ensureRunning(), "");
  servers_->exportPulseServer();
}

}  // namespace radiolist::test
