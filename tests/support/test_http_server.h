#ifndef TESTS_SUPPORT_TEST_HTTP_SERVER_H
#define TESTS_SUPPORT_TEST_HTTP_SERVER_H

// A small HTTP/HTTPS server for tests, on cpp-httplib. It listens on 127.0.0.1 only, on
// an ephemeral port, and serves routes given as lambdas from a background thread.
// Every request that reaches a route is logged as it arrived on the wire (raw request
// target, headers, body), so tests can assert the exact bytes a client sent. It can
// also misbehave on demand: answer slowly, close a connection without answering, send
// a truncated or stalled body. The engine simulator and the imageio test server are
// built on it.
//
//   test_support::Test_Http_Server server;                       // plain HTTP
//   server.route("GET", "/api/vms/([^/]+)", [](const httplib::Request& req, httplib::Response& res) {
//     res.set_content("{\"id\":\"" + req.matches[1].str() + "\"}", "application/json");
//   });
//   ASSERT_TRUE(server.start());
//   ... client calls server.url("/api/vms/42") ...
//   EXPECT_EQ(server.requests().at(0).query, "follow=disk");
//
// Routes: a method ("GET", "POST", "PUT", "PATCH", "DELETE", "OPTIONS", or "*" for any)
// and an ECMAScript regular expression matched in full against the decoded path
// (httplib's `req.path`); req.matches holds its groups. Routes are tried in the order
// they were added; registering the same method and pattern again replaces the handler.
// Routes may be added or replaced while the server runs. A request that matches no
// route gets 404 with an empty body (and is still logged). A handler that throws gets
// a 500.
//
// Connections are kept alive (up to 100000 requests each, 30 s idle), so a client that
// reuses its connection shows up as one entry in connection_count(). Each open
// connection holds one of 64 worker threads; more connections wait for a free one.
//
// Thread safety: every member may be called from any thread, including from inside a
// handler (which runs on one of the server's worker threads).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// The distribution's cpp-httplib is built with these; the class layouts depend on them.
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#ifndef CPPHTTPLIB_ZLIB_SUPPORT
#define CPPHTTPLIB_ZLIB_SUPPORT
#endif
#ifndef CPPHTTPLIB_BROTLI_SUPPORT
#define CPPHTTPLIB_BROTLI_SUPPORT
#endif
#include <httplib.h>

#include "tests/support/test_tls.h"

namespace test_support {

// One request as the server received it.
struct Logged_Request {
  std::string method;   // "GET"
  std::string target;   // the request target exactly as sent: "/a%2fb?x=1"
  std::string path;     // the target up to "?", not decoded
  std::string query;    // the target after "?", not decoded; "" when there is none
  std::string version;  // "HTTP/1.1"
  std::vector<std::pair<std::string, std::string>> headers;  // names as sent, sorted by name
  std::string body;
  int remote_port = -1;  // the client's port: one value per connection

  // The first value of a header (names compare case-insensitively), "" when absent.
  std::string header(const std::string& name) const;
  bool has_header(const std::string& name) const;
  size_t header_count(const std::string& name) const;
};

class Test_Http_Server {
public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  // Plain HTTP.
  Test_Http_Server();
  // HTTPS with the given server certificate and key (PEM files).
  Test_Http_Server(const std::string& cert_file, const std::string& key_file);
  explicit Test_Http_Server(const Tls_Files& tls);
  // Stops the server.
  ~Test_Http_Server();
  Test_Http_Server(const Test_Http_Server&) = delete;
  Test_Http_Server& operator=(const Test_Http_Server&) = delete;

  void route(const std::string& method, const std::string& pattern, Handler handler);
  void clear_routes();

  // Binds 127.0.0.1 on an ephemeral port and serves from a background thread. Returns
  // once the server accepts connections; false when it cannot bind or is already started.
  bool start();
  // Stops accepting, cuts short every wait of pause() and the slow-answer hooks, and joins
  // the server's threads. Idempotent.
  void stop();
  bool running() const;

  bool tls() const { return tls_; }
  unsigned short port() const { return port_; }
  // "http://127.0.0.1:<port>" or "https://...", followed by `path_and_query`.
  std::string url(const std::string& path_and_query = "") const;

  // The request log, in arrival order.
  std::vector<Logged_Request> requests() const;
  size_t request_count() const;
  void clear_requests();
  // TCP connections accepted since start.
  size_t connection_count() const;

  // Misbehaviour hooks, applied to the next requests that reach the server (after they
  // are logged, before their route runs). `count` < 0 means every request from now on;
  // 0 switches the hook off.
  // Each request waits `delay` (cut short by stop()) before its route runs.
  void delay_responses(std::chrono::milliseconds delay, int count = -1);
  // Each request's connection is closed at once; nothing is answered.
  void drop_connections(int count = 1);

  // For use inside a handler:
  // Closes the request's connection at once; the client receives nothing more.
  void drop_connection(const httplib::Request& req);
  // Waits `d`, or less when the server stops. False when it was cut short.
  bool pause(std::chrono::milliseconds d);
  // Announces `declared_length` body bytes but sends only `body` and then closes the
  // connection.
  static void truncated_body(httplib::Response& res, int status, const std::string& content_type,
                             const std::string& body, size_t declared_length);
  // Sends `body` (complete Content-Length) in pieces of `chunk` bytes with a wait of
  // `interval` before each piece after the first; stop() cuts the waits short and
  // closes the connection.
  void slow_body(httplib::Response& res, int status, const std::string& content_type,
                 const std::string& body, size_t chunk, std::chrono::milliseconds interval);

private:
  struct Route {
    std::string method;
    std::string pattern;
    std::regex re;
    Handler handler;
  };
  class Counting_Queue;

  void init();
  void dispatch(const httplib::Request& req, httplib::Response& res);
  bool take(int& counter);

  bool tls_ = false;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  unsigned short port_ = 0;
  std::atomic<size_t> connections_{0};

  mutable std::mutex mutex_;   // guards everything below
  std::condition_variable stop_cv_;
  bool started_ = false;
  bool stopping_ = false;
  std::vector<std::shared_ptr<Route>> routes_;
  std::vector<Logged_Request> log_;
  std::chrono::milliseconds delay_{0};
  int delay_count_ = 0;
  int drop_count_ = 0;
};

}  // namespace test_support

#endif
