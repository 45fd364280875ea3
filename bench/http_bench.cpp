// GETs of a small JSON resource from the test HTTP server on 127.0.0.1: through one
// HTTP session of the library (as the engine sessions use it), and through a plain
// libcurl loop with one reused easy handle, in the same run and against the same server,
// in alternated rounds.
//
//   http_bench [requests] [--rounds N] [--pin C,S|off]
//     (defaults: 5000 per side and round, 7 rounds, pinned as bench::Placement says)

#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "backup/http/http_request.h"
#include "bench/bench_rounds.h"
#include "platform/http/json_http_session.h"
#include "tests/support/test_http_server.h"

namespace {

size_t collect(char* p, size_t size, size_t n, void* out)
{
  static_cast<std::string*>(out)->append(p, size * n);
  return size * n;
}

// `n` GETs with one reused easy handle; false on a failure.
bool plain_libcurl(const std::string& url, int n)
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
  int i = 0;
  for (; i < n; ++i) {
    body.clear();
    long status = 0;
    if (curl_easy_perform(c) != CURLE_OK || curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
        status != 200 || body.empty())
      break;
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(c);
  return i == n;
}

// The same through JSON_HTTP_Session, parsing each reply as the engine sessions do.
bool library_session(unsigned short port, int n)
{
  HTTP_Session_var s = HTTP_Session_Factory::create("127.0.0.1", port, false, nullptr, 3, nullptr, false, 120, 120,
                                                    120, 0);
  JSON_HTTP_Session js(s, 5, 300);
  HTTP_Request req(HTTP_METHOD_GET, "/", true);
  HTTP_Response rsp;
  json_spirit::Value result;
  for (int i = 0; i < n; ++i) {
    req.reset();
    req.uri("/ovirt-engine/api/vms/1", true);
    req.headers().put(HTTP_HEAD_ACCEPT, "application/json", true);
    req.headers().put(HTTP_HEAD_CONTENT_TYPE, "application/json", true);
    req.headers().put("Version", "4", true);
    if (!js.get(req, rsp, &result) || rsp.status() != 200 || result.type() != json_spirit::obj_type)
      return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv)
{
  const std::vector<std::string> args = bench::positional(argc, argv);
  int n = args.size() > 0 ? std::atoi(args[0].c_str()) : 5000;
  if (n <= 0)
    n = 5000;
  const int rounds = bench::rounds_option(argc, argv, 7);
  test_support::Test_Http_Server server;
  const std::string reply = "{\"id\":\"1\",\"name\":\"vm1\",\"status\":\"up\"}";
  server.route("GET", "/ovirt-engine/api/vms/1", [&reply](const httplib::Request&, httplib::Response& res) {
    res.set_content(reply, "application/json");
  });
  bench::Placement placement(argc, argv);
  if (!placement.start_server([&] { return server.start(); })) {
    std::fprintf(stderr, "cannot start the test server\n");
    return 1;
  }
  const std::string url = server.url("/ovirt-engine/api/vms/1");
  curl_global_init(CURL_GLOBAL_DEFAULT);

  // Each side opens its connection in its run, as a session of the engine client does.
  plain_libcurl(url, 100);
  library_session(server.port(), 100);
  std::printf("http_bench: %d GETs of a %zu-byte JSON resource per side and round, 127.0.0.1, kept-alive, %s\n", n,
              reply.size(), placement.text().c_str());
  std::vector<bench::Side> sides = {
      {"JSON_HTTP_Session", bench::timed([&] { return library_session(server.port(), n); })},
      {"plain libcurl, one easy handle", bench::timed([&] { return plain_libcurl(url, n); })},
  };
  bool ok = bench::compare("HTTP session", sides, rounds, n, "request", true);
  std::printf("  connections accepted by the server: %zu\n", server.connection_count());
  server.stop();
  curl_global_cleanup();
  return ok ? 0 : 1;
}
