// The test HTTP server and the test TLS material, driven with plain libcurl: the other
// HTTP tests rely on what is checked here.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_http_server.h"
#include "tests/support/test_tls.h"

namespace {

using test_support::Test_Http_Server;

size_t collect(char* p, size_t size, size_t n, void* out)
{
  static_cast<std::string*>(out)->append(p, size * n);
  return size * n;
}

struct Curl_Result {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
};

// One request with a fresh handle (or `reuse` when given, to keep its connection).
Curl_Result fetch(const std::string& url, const std::string& ca_file = "", CURL* reuse = nullptr,
                  long timeout_ms = 30000, curl_slist* resolve = nullptr)
{
  CURL* c = reuse != nullptr ? reuse : curl_easy_init();
  Curl_Result r;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_RESOLVE, resolve);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeout_ms);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
  if (!ca_file.empty())
    curl_easy_setopt(c, CURLOPT_CAINFO, ca_file.c_str());
  r.code = curl_easy_perform(c);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
  if (reuse == nullptr)
    curl_easy_cleanup(c);
  return r;
}

TEST(Test_Http_Server, RoutesLogsAndKeepsConnectionsAlive)
{
  Test_Http_Server server;
  server.route("GET", "/items/([a-z]+)", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("item " + req.matches[1].str(), "text/plain");
  });
  ASSERT_TRUE(server.start());

  CURL* c = curl_easy_init();
  for (int i = 0; i < 5; ++i) {
    Curl_Result r = fetch(server.url("/items/abc?x=%2f&y=1"), "", c);
    EXPECT_EQ(r.code, CURLE_OK);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "item abc");
  }
  Curl_Result missing = fetch(server.url("/other"), "", c);
  EXPECT_EQ(missing.status, 404);
  curl_easy_cleanup(c);

  auto log = server.requests();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[0].method, "GET");
  EXPECT_EQ(log[0].path, "/items/abc");
  EXPECT_EQ(log[0].query, "x=%2f&y=1");
  EXPECT_EQ(log[0].target, "/items/abc?x=%2f&y=1");
  EXPECT_EQ(log[0].header("host"), "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_FALSE(log[0].has_header("REMOTE_ADDR"));
  EXPECT_EQ(log[5].path, "/other");
  EXPECT_EQ(server.connection_count(), 1u);
  EXPECT_EQ(log[0].remote_port, log[5].remote_port);
}

TEST(Test_Http_Server, MisbehavesOnDemand)
{
  Test_Http_Server server;
  server.route("GET", "/ok", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("fine", "text/plain");
  });
  server.route("GET", "/truncated", [](const httplib::Request&, httplib::Response& res) {
    Test_Http_Server::truncated_body(res, 200, "application/json", "{\"a\":", 100);
  });
  server.route("GET", "/stalled", [&server](const httplib::Request&, httplib::Response& res) {
    server.slow_body(res, 200, "text/plain", "0123456789", 4, std::chrono::seconds(30));
  });
  server.route("GET", "/drop", [&server](const httplib::Request& req, httplib::Response&) {
    server.drop_connection(req);
  });
  ASSERT_TRUE(server.start());

  struct Case {
    const char* path;
    long timeout_ms;
    CURLcode code;
  } cases[] = {
      {"/truncated", 10000, CURLE_PARTIAL_FILE},
      {"/stalled", 500, CURLE_OPERATION_TIMEDOUT},
      {"/drop", 10000, CURLE_GOT_NOTHING},
      {"/ok", 10000, CURLE_OK},
  };
  for (const Case& c : cases) {
    Curl_Result r = fetch(server.url(c.path), "", nullptr, c.timeout_ms);
    EXPECT_EQ(r.code, c.code) << c.path << ": " << curl_easy_strerror(r.code);
  }

  server.drop_connections(1);
  EXPECT_EQ(fetch(server.url("/ok")).code, CURLE_GOT_NOTHING);
  EXPECT_EQ(fetch(server.url("/ok")).code, CURLE_OK);

  server.delay_responses(std::chrono::seconds(30), 1);
  EXPECT_EQ(fetch(server.url("/ok"), "", nullptr, 300).code, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(fetch(server.url("/ok")).body, "fine");
  // stop() does not wait for the 30-second stall nor the 30-second delay.
  server.stop();
  EXPECT_FALSE(server.running());
}

TEST(Test_Http_Server, ServesTlsWithGeneratedCertificates)
{
  test_support::Temp_Dir dir;
  test_support::Tls_Files tls = test_support::make_tls_files(dir.path());
  test_support::Tls_Files other = test_support::make_tls_files(dir.path(), "other-");
  test_support::Tls_Files wrong_name = test_support::make_tls_files(dir.path(), "named-", {"engine.invalid"});

  Test_Http_Server server(tls);
  server.route("GET", "/", [](const httplib::Request&, httplib::Response& res) { res.set_content("tls", "text/plain"); });
  ASSERT_TRUE(server.start());
  EXPECT_EQ(server.url("/").rfind("https://127.0.0.1:", 0), 0u);

  Curl_Result good = fetch(server.url("/"), tls.ca_file);
  EXPECT_EQ(good.code, CURLE_OK);
  EXPECT_EQ(good.body, "tls");
  EXPECT_EQ(fetch(server.url("/"), other.ca_file).code, CURLE_PEER_FAILED_VERIFICATION);
  // The name "localhost" in the certificate, pinned to 127.0.0.1.
  std::string pin = "localhost:" + std::to_string(server.port()) + ":127.0.0.1";
  curl_slist* resolve = curl_slist_append(nullptr, pin.c_str());
  Curl_Result by_name = fetch("https://localhost:" + std::to_string(server.port()) + "/", tls.ca_file, nullptr,
                              5000, resolve);
  curl_slist_free_all(resolve);
  EXPECT_EQ(by_name.code, CURLE_OK) << curl_easy_strerror(by_name.code);

  Test_Http_Server misnamed(wrong_name);
  misnamed.route("GET", "/", [](const httplib::Request&, httplib::Response& res) { res.set_content("x", "text/plain"); });
  ASSERT_TRUE(misnamed.start());
  EXPECT_EQ(fetch(misnamed.url("/"), wrong_name.ca_file).code, CURLE_PEER_FAILED_VERIFICATION);
}

}  // namespace
