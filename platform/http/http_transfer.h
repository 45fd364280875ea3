#ifndef PLATFORM_HTTP_HTTP_TRANSFER_H
#define PLATFORM_HTTP_HTTP_TRANSFER_H

// Inside the HTTP library: the libcurl state of a session and of one transfer on it.
// Not for use outside platform/http.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <curl/curl.h>

#include "platform/http/http_connection.h"
#include "platform/http/http_session.h"

#pragma GCC visibility push(default)

struct HTTP_Session::Impl {
  Impl() = default;
  ~Impl();

  std::string host;
  unsigned short port = 0;
  bool ssl = false;
  std::string proxy;  // empty: direct connections
  int connect_retries = 0;
  bool no_keep_alive = false;
  long connect_timeout_ms = 0;
  long send_timeout_ms = 0;
  long recv_timeout_ms = 0;
  HTTP_Settings settings;
  std::string base_url;  // "http[s]://host:port"

  // One easy handle in one multi handle: the multi handle keeps the open connections.
  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  // The handle keeps the options that are the same for every request of the session once
  // they are set; each transfer sets only those that change.
  bool fixed_options_set = false;
  std::atomic<long> upload_buffer_size{0};  // asked for; 0: libcurl's default
  long upload_buffer_set = 0;                // on the handle
  // The header lines of the transfer in progress, as libcurl reads them: the list's nodes
  // point into the text. Kept across transfers for their storage; the text is wiped when
  // a transfer ends, since it carries the credentials.
  std::string header_text;
  std::vector<curl_slist> header_list;

  // Held by the transfer in progress; `owner` is the thread holding it.
  std::mutex busy;
  std::atomic<std::thread::id> owner{std::thread::id()};
  std::atomic<int> last_error{0};
  // Whether the last transfer's request may have reached the server (see request_sent()).
  std::atomic<bool> last_sent{false};
};

// One request/response on a session's handle. HTTP_Connection::Impl is this class.
class HTTP_Transfer {
public:
  using Clock = std::chrono::steady_clock;

  // Takes the session (waiting for it when another thread holds it). ok() is false when
  // the calling thread already holds it.
  HTTP_Transfer(HTTP_Session* session, const HTTP_Session_var& keep);
  ~HTTP_Transfer();
  HTTP_Transfer(const HTTP_Transfer&) = delete;
  HTTP_Transfer& operator=(const HTTP_Transfer&) = delete;

  bool ok() const { return locked_; }

  // Request body modes.
  enum Body_Mode { NO_BODY, FIXED_BODY, STREAMED_BODY };

  // Configures the handle for `req` and starts it; with retries on connection failures.
  // FIXED_BODY sends `fixed` (may be null for an empty body); STREAMED_BODY takes the
  // body through write(), of `length` bytes, or chunked when `chunked`.
  // `sink`: when set, the response body is collected there (at most max_body bytes)
  // instead of being held for recv().
  bool start(const CGI_Request& req, Body_Mode mode, const std::string* fixed, uint64_t length, bool chunked,
             std::string* sink, size_t max_body, Clock::time_point deadline);

  // Drives the transfer until the request has been sent and, without a streamed body,
  // the response head has arrived (open), or until it ends (whole exchange).
  bool wait_open();
  bool wait_done();

  ssize_t write(const void* data, size_t length);
  int read_head(CGI_Response& rsp);
  ssize_t recv(void* buffer, size_t length);
  bool read_body(std::string& out, size_t max_length);
  void fill_response(CGI_Response& rsp) const;

  int status() const { return status_; }
  int state() const;
  int error() const { return error_; }
  uint64_t body_received() const { return body_received_; }
  const std::string& url() const { return url_; }

private:
  static size_t on_header(char* data, size_t size, size_t count, void* self);
  static size_t on_write(char* data, size_t size, size_t count, void* self);
  static size_t on_read(char* data, size_t size, size_t count, void* self);
  static int on_prereq(void* self, char*, char*, int, int);

  void set_fixed_options();
  void setup(const CGI_Request& req);
  void set_header_list(const CGI_Request& req);
  void clear_header_list();
  std::string log_url() const;
  void on_header_line(const char* line, size_t length);
  void reset_attempt();
  bool connect_failure() const;
  // Runs libcurl until pred() holds; false when the transfer ends first, fails, or
  // times out (send or receive time-out of the current phase, or the deadline).
  template <typename Pred>
  bool drive(Pred pred);
  bool body_complete() const;
  bool declares_body() const;
  void finished(CURLcode code);
  void fail(int err, const std::string& reason);
  void log_failure() const;
  void update_pause();
  size_t pending_size() const { return pending_.size() - pending_off_; }

  HTTP_Session_var keep_;
  HTTP_Session::Impl* s_;
  bool locked_ = false;
  bool added_ = false;
  std::string url_;       // with the query, sent
  size_t path_end_ = 0;   // where the query of url_ starts
  std::string log_uri_;   // the printable form of the URI, when the request has one
  std::string method_;
  char errbuf_[CURL_ERROR_SIZE] = {};
  Clock::time_point deadline_{};

  // Request body.
  Body_Mode mode_ = NO_BODY;
  const std::string* fixed_ = nullptr;
  size_t fixed_off_ = 0;
  uint64_t body_length_ = 0;
  bool chunked_ = false;
  uint64_t body_sent_ = 0;
  const char* send_ptr_ = nullptr;
  size_t send_len_ = 0;
  bool body_end_ = false;       // no more body bytes will come
  bool wants_body_ = false;     // libcurl asked for body bytes: the head is out
  bool send_paused_ = false;

  // Response.
  bool connected_ = false;
  bool in_head_ = false;
  bool head_done_ = false;
  int status_ = 0;
  int minor_ = 1;
  std::string reason_;
  std::vector<std::pair<std::string, std::string>> rsp_headers_;
  std::string* sink_ = nullptr;
  size_t max_body_ = 0;
  std::string pending_;
  size_t pending_off_ = 0;
  // While recv() waits, body bytes go straight into its buffer; the rest into pending_.
  char* direct_ = nullptr;
  size_t direct_room_ = 0;
  size_t direct_got_ = 0;
  bool recv_paused_ = false;
  uint64_t body_received_ = 0;

  // Progress and outcome.
  uint64_t progress_ = 0;  // bytes moved either way, and connection events
  bool done_ = false;      // libcurl ended the transfer
  CURLcode result_ = CURLE_OK;
  bool failed_ = false;    // ended by us (time-out, misuse) or by libcurl with an error
  int error_ = 0;
  std::string failure_;    // the reason, for the log
  bool quiet_ = false;     // do not log failures (yet)
};

struct HTTP_Connection::Impl : HTTP_Transfer {
  using HTTP_Transfer::HTTP_Transfer;
};

#pragma GCC visibility pop

#endif
