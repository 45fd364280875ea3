// GETs of a small JSON resource from the test HTTP server on 127.0.0.1: through one
// HTTP session of the library (as the engine sessions use it), and through a plain
// libcurl loop with one reused easy handle, in the same run and against the same server.
//
//   http_bench [requests]      (default 2000)

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "backup/http/http_request.h"
#include "platform/http/json_http_session.h"
#include "tests/support/test_http_server.h"

namespace {

using Clock = std::chrono::steady_clock;

size_t collect(char* p, size_t size, size_t n, void* out)
{
  static_cast<std::string*>(out)->append(p, size * n);
  return size * n;
}

// Requests per second of `n` GETs with one reused easy handle; -1 on a failure.
double plain_libcurl(const std::string& url, int n)
{
  CURL* c = curl_easy_init();
  std::string body;
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Accept: application/json");
  headers = curl_slist_append(headers, "Content-Type: application/json");
  headers = curl_slist_append(headers, "Version: 4");
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  double rate = -1;
  Clock::time_point start = Clock::now();
  int i = 0;
  for (; i < n; ++i) {
    body.clear();
    long status = 0;
    if (curl_easy_perform(c) != CURLE_OK || curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
        status != 200 || body.empty())
      break;
  }
  if (i == n)
    rate = n / std::chrono::duration<double>(Clock::now() - start).count();
  curl_slist_free_all(headers);
  curl_easy_cleanup(c);
  return rate;
}

// The same through JSON_HTTP_Session, parsing each reply as the engine sessions do.
double library_session(unsigned short port, int n)
{
  HTTP_Session_var s = HTTP_Session_Factory::create("127.0.0.1", port, false, nullptr, 3, nullptr, false, 120, 120,
                                                    120, 0);
  JSON_HTTP_Session js(s, 5, 300);
  HTTP_Request req(HTTP_METHOD_GET, "/", true);
  HTTP_Response rsp;
  json_spirit::Value result;
  Clock::time_point start = Clock::now();
  for (int i = 0; i < n; ++i) {
    req.reset();
    req.uri("/ovirt-engine/api/vms/1", true);
    req.headers().put(HTTP_HEAD_ACCEPT, "application/json", true);
    req.headers().put(HTTP_HEAD_CONTENT_TYPE, "application/json", true);
    req.headers().put("Version", "4", true);
    if (!js.get(req, rsp, &result) || rsp.status() != 200 || result.type() != json_spirit::obj_type)
      return -1;
  }
  return n / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
  int n = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (n <= 0)
    n = 2000;
  test_support::Test_Http_Server server;
  const std::string reply = "{\"id\":\"1\",\"name\":\"vm1\",\"status\":\"up\"}";
  server.route("GET", "/ovirt-engine/api/vms/1", [&reply](const httplib::Request&, httplib::Response& res) {
    res.set_content(reply, "application/json");
  });
  if (!server.start()) {
    std::fprintf(stderr, "cannot start the test server\n");
    return 1;
  }
  const std::string url = server.url("/ovirt-engine/api/vms/1");
  curl_global_init(CURL_GLOBAL_DEFAULT);

  // Warm up both paths, then alternate twice and keep the better run of each.
  plain_libcurl(url, 100);
  library_session(server.port(), 100);
  double plain = 0, lib = 0;
  for (int round = 0; round < 2; ++round) {
    double p = plain_libcurl(url, n);
    double l = library_session(server.port(), n);
    if (p < 0 || l < 0) {
      std::fprintf(stderr, "a request failed\n");
      return 1;
    }
    plain = p > plain ? p : plain;
    lib = l > lib ? l : lib;
  }
  std::printf("http_bench: %d GETs of a %zu-byte JSON resource, 127.0.0.1, one kept-alive connection\n", n,
              reply.size());
  std::printf("  plain libcurl, one easy handle : %9.0f requests/s\n", plain);
  std::printf("  JSON_HTTP_Session              : %9.0f requests/s (%.0f%% of plain libcurl)\n", lib,
              100.0 * lib / plain);
  std::printf("  connections accepted by the server: %zu\n", server.connection_count());
  server.stop();
  curl_global_cleanup();
  return 0;
}
