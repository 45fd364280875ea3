#include "platform/http/http_transfer.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "backup/scrt/log.h"
#include "platform/runtime/secure_memset.h"

namespace {

// Response body bytes held for recv() before libcurl is asked to pause.
constexpr size_t kHighWater = 1u << 20;

// [b, e) without the blanks around it.
std::pair<const char*, const char*> trim(const char* b, const char* e)
{
  while (b < e && (*b == ' ' || *b == '\t'))
    ++b;
  while (e > b && (e[-1] == ' ' || e[-1] == '\t'))
    --e;
  return std::make_pair(b, e);
}

// The decimal number at the start of [b, e); 0 when there is none.
int leading_number(const char* b, const char* e)
{
  int n = 0;
  for (; b < e && *b >= '0' && *b <= '9' && n < 100000; ++b)
    n = n * 10 + (*b - '0');
  return n;
}

// errno value of a libcurl failure.
int errno_of(CURLcode code, long os_errno)
{
  switch (code) {
  case CURLE_OK:
    return 0;
  case CURLE_COULDNT_CONNECT:
    return os_errno != 0 ? static_cast<int>(os_errno) : ECONNREFUSED;
  case CURLE_COULDNT_RESOLVE_HOST:
  case CURLE_COULDNT_RESOLVE_PROXY:
    return EHOSTUNREACH;
  case CURLE_OPERATION_TIMEDOUT:
    return ETIMEDOUT;
  case CURLE_GOT_NOTHING:
    return ECONNRESET;
  case CURLE_SEND_ERROR:
    return os_errno != 0 ? static_cast<int>(os_errno) : EPIPE;
  case CURLE_RECV_ERROR:
    return os_errno != 0 ? static_cast<int>(os_errno) : ECONNRESET;
  case CURLE_PARTIAL_FILE:
    return ECONNABORTED;
  case CURLE_WRITE_ERROR:
    return EFBIG;
  case CURLE_OUT_OF_MEMORY:
    return ENOMEM;
  case CURLE_SSL_CONNECT_ERROR:
  case CURLE_PEER_FAILED_VERIFICATION:
  case CURLE_SSL_CERTPROBLEM:
  case CURLE_SSL_CIPHER:
  case CURLE_SSL_CACERT_BADFILE:
  case CURLE_SSL_ISSUER_ERROR:
  case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
  case CURLE_SSL_INVALIDCERTSTATUS:
  case CURLE_SSL_ENGINE_INITFAILED:
  case CURLE_SSL_CRL_BADFILE:
  case CURLE_SSL_SHUTDOWN_FAILED:
  case CURLE_SSL_CLIENTCERT:
    return EPROTO;
  default:
    return EIO;
  }
}

}  // namespace

HTTP_Transfer::HTTP_Transfer(HTTP_Session* session, const HTTP_Session_var& keep)
    : keep_(keep), s_(session->impl_.get())
{
  if (s_->owner.load() == std::this_thread::get_id()) {
    failed_ = true;
    error_ = EDEADLK;
    return;
  }
  s_->busy.lock();
  s_->owner = std::this_thread::get_id();
  locked_ = true;
}

HTTP_Transfer::~HTTP_Transfer()
{
  // Removing an unfinished transfer makes libcurl close its connection.
  if (added_)
    curl_multi_remove_handle(s_->multi, s_->easy);
  if (locked_) {
    // The handle keeps its fixed options for the next transfer; what points into this
    // object goes.
    CURL* e = s_->easy;
    clear_header_list();
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
    curl_easy_setopt(e, CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(e, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(e, CURLOPT_READDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(e, CURLOPT_PREREQDATA, static_cast<void*>(nullptr));
    s_->owner = std::thread::id();
    s_->busy.unlock();
  }
}

int HTTP_Transfer::state() const
{
  if (failed_)
    return HTTP_SOCK_STATE_ERROR;
  if (!added_)
    return HTTP_SOCK_STATE_CLOSED;
  if (!connected_)
    return HTTP_SOCK_STATE_CONNECTING;
  if (mode_ == STREAMED_BODY && !body_end_ && (chunked_ || body_sent_ < body_length_))
    return HTTP_SOCK_STATE_SENDING_CONTENT;
  if (!head_done_)
    return HTTP_SOCK_STATE_RECEIVING_HEAD;
  if (done_ && pending_size() == 0)
    return HTTP_SOCK_STATE_CONTENT_RECEIVED;
  return HTTP_SOCK_STATE_RECEIVING_CONTENT;
}

void HTTP_Transfer::fail(int err, const std::string& reason)
{
  if (failed_ && error_ != 0)
    return;
  failed_ = true;
  error_ = err != 0 ? err : EIO;
  s_->last_error = error_;
  failure_ = reason;
  if (!quiet_)
    log_failure();
}

void HTTP_Transfer::log_failure() const
{
  RHV_LOG_WARNING("HTTP %s '%s' failed: %s.\n", method_.c_str(), log_url().c_str(), failure_.c_str());
}

std::string HTTP_Transfer::log_url() const
{
  return log_uri_.empty() ? url_.substr(0, path_end_) : s_->base_url + log_uri_;
}

void HTTP_Transfer::finished(CURLcode code)
{
  done_ = true;
  result_ = code;
  if (code == CURLE_OK)
    return;
  long os_errno = 0;
  curl_easy_getinfo(s_->easy, CURLINFO_OS_ERRNO, &os_errno);
  std::string reason = errbuf_[0] != '\0' ? errbuf_ : curl_easy_strerror(code);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '.'))
    reason.pop_back();
  int err = error_ == EFBIG ? EFBIG : errno_of(code, os_errno);
  error_ = 0;
  fail(err, reason);
}

bool HTTP_Transfer::connect_failure() const
{
  // libcurl's only time-out here is the connect time-out; our own are reported by fail().
  return done_ && !connected_ && (result_ == CURLE_COULDNT_CONNECT || result_ == CURLE_OPERATION_TIMEDOUT);
}

void HTTP_Transfer::update_pause()
{
  curl_easy_pause(s_->easy, (recv_paused_ ? CURLPAUSE_RECV : 0) | (send_paused_ ? CURLPAUSE_SEND : 0));
}

void HTTP_Transfer::reset_attempt()
{
  fixed_off_ = 0;
  body_sent_ = 0;
  send_ptr_ = nullptr;
  send_len_ = 0;
  body_end_ = false;
  wants_body_ = false;
  send_paused_ = false;
  connected_ = false;
  in_head_ = false;
  head_done_ = false;
  status_ = 0;
  minor_ = 1;
  reason_.clear();
  rsp_headers_.clear();
  if (sink_ != nullptr)
    sink_->clear();
  pending_.clear();
  pending_off_ = 0;
  direct_got_ = 0;
  recv_paused_ = false;
  body_received_ = 0;
  progress_ = 0;
  done_ = false;
  result_ = CURLE_OK;
  failed_ = false;
  error_ = 0;
  failure_.clear();
  errbuf_[0] = '\0';
}

void HTTP_Transfer::set_fixed_options()
{
  CURL* e = s_->easy;
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  if (s_->proxy.empty()) {
    curl_easy_setopt(e, CURLOPT_PROXY, "");
    curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
  } else {
    curl_easy_setopt(e, CURLOPT_PROXY, s_->proxy.c_str());
  }
  if (s_->connect_timeout_ms > 0)
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, s_->connect_timeout_ms);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &HTTP_Transfer::on_header);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &HTTP_Transfer::on_write);
  curl_easy_setopt(e, CURLOPT_READFUNCTION, &HTTP_Transfer::on_read);
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &HTTP_Transfer::on_prereq);
  // Large reads hand the body over in few, large pieces.
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, static_cast<long>(CURL_MAX_READ_SIZE));
  if (s_->no_keep_alive)
    curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
  if (s_->ssl) {
    if (s_->settings.insecure) {
      curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
      curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    } else {
      curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
      curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
      if (!s_->settings.ca_file.empty())
        curl_easy_setopt(e, CURLOPT_CAINFO, s_->settings.ca_file.c_str());
    }
  }
  s_->fixed_options_set = true;
}

void HTTP_Transfer::setup(const CGI_Request& req)
{
  CURL* e = s_->easy;
  if (!s_->fixed_options_set)
    set_fixed_options();
  // Every option below is set for every request, so that none is left from the last one.
  curl_easy_setopt(e, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errbuf_);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(e, CURLOPT_READDATA, this);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, this);

  int m = req.method();
  const bool upload = m != HTTP_METHOD_HEAD && mode_ != NO_BODY;
  curl_easy_setopt(e, CURLOPT_UPLOAD, upload ? 1L : 0L);
  curl_easy_setopt(e, CURLOPT_NOBODY, m == HTTP_METHOD_HEAD ? 1L : 0L);
  const char* custom = nullptr;
  if (upload) {
    if (m != HTTP_METHOD_PUT)
      custom = method_.c_str();
    long buffer = s_->upload_buffer_size.load();
    if (mode_ == STREAMED_BODY && buffer != s_->upload_buffer_set) {
      curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE, buffer > 0 ? buffer : 65536L);
      s_->upload_buffer_set = buffer;
    }
  } else if (m != HTTP_METHOD_GET && m != HTTP_METHOD_HEAD) {
    custom = method_.c_str();
  }
  curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, custom);
  curl_easy_setopt(e, CURLOPT_INFILESIZE_LARGE,
                   upload && !chunked_ ? static_cast<curl_off_t>(body_length_) : static_cast<curl_off_t>(-1));
  // A request that is not idempotent goes on a new connection: libcurl sends a request
  // again by itself when a reused connection turns out to be closed, and such a request
  // must never reach the server twice.
  bool fresh = m == HTTP_METHOD_POST || m == HTTP_METHOD_PATCH || m == HTTP_METHOD_LOCK || m == HTTP_METHOD_MKCOL;
  curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, fresh ? 1L : 0L);

  set_header_list(req);
}

void HTTP_Transfer::set_header_list(const CGI_Request& req)
{
  CURL* e = s_->easy;
  clear_header_list();
  // libcurl sets Content-Length, Transfer-Encoding and Expect itself from the body mode.
  auto own = [](const char* name) {
    switch (std::strlen(name)) {
    case 6: return strcasecmp(name, "Expect") != 0;
    case 14: return strcasecmp(name, "Content-Length") != 0;
    case 17: return strcasecmp(name, "Transfer-Encoding") != 0;
    default: return true;
    }
  };
  static const char kNoExpect[] = "Expect:";  // no "100-continue" round trip
  size_t size = sizeof kNoExpect;
  size_t lines = 1;
  req.headers().visit([&](const char* name, const char* value) {
    if (own(name)) {
      size += std::strlen(name) + 2 + std::strlen(value) + 1;
      ++lines;
    }
  });
  std::string& text = s_->header_text;
  std::vector<curl_slist>& list = s_->header_list;
  try {
    // Reserved whole, so that the nodes' pointers into the text stay valid.
    text.reserve(size);
    list.resize(lines);
  } catch (const std::bad_alloc&) {
    fail(ENOMEM, "out of memory");
    return;
  }
  size_t n = 0;
  auto add = [&](const char* line_start) {
    list[n].data = const_cast<char*>(line_start);
    list[n].next = n + 1 < lines ? &list[n + 1] : nullptr;
    ++n;
  };
  req.headers().visit([&](const char* name, const char* value) {
    if (!own(name))
      return;
    const char* start = text.data() + text.size();
    // libcurl sends "Name;" as a header with an empty value, and drops "Name:".
    text.append(name);
    if (*value != '\0')
      text.append(": ").append(value);
    else
      text.push_back(';');
    text.push_back('\0');
    add(start);
  });
  const char* start = text.data() + text.size();
  text.append(kNoExpect, sizeof kNoExpect);
  add(start);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, list.data());
}

void HTTP_Transfer::clear_header_list()
{
  curl_easy_setopt(s_->easy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
  std::string& text = s_->header_text;
  if (!text.empty())
    secure_memset(&text[0], 0, text.size());
  text.clear();
}

bool HTTP_Transfer::start(const CGI_Request& req, Body_Mode mode, const std::string* fixed, uint64_t length,
                          bool chunked, std::string* sink, size_t max_body, Clock::time_point deadline)
{
  mode_ = mode;
  fixed_ = fixed;
  body_length_ = mode == FIXED_BODY ? (fixed != nullptr ? fixed->size() : 0) : length;
  chunked_ = mode == STREAMED_BODY && chunked;
  sink_ = sink;
  max_body_ = max_body;
  deadline_ = deadline;
  const char* method = http_method_string(req.method());
  method_ = method != nullptr ? method : "?";
  const std::string& uri = req.uri();
  const std::string& query = req.query_string();
  const bool slash = !uri.empty() && uri[0] == '/';
  url_.reserve(s_->base_url.size() + 1 + uri.size() + 1 + query.size());
  url_.assign(s_->base_url);
  if (!slash)
    url_.push_back('/');
  url_.append(uri);
  path_end_ = url_.size();
  if (!query.empty())
    url_.append(1, '?').append(query);
  log_uri_ = req.log_uri();
  if (method == nullptr) {
    fail(EINVAL, "unknown request method " + std::to_string(req.method()));
    return false;
  }

  rsp_headers_.reserve(16);
  for (int attempt = 0;; ++attempt) {
    reset_attempt();
    setup(req);
    if (failed_)
      return false;
    CURLMcode mc = curl_multi_add_handle(s_->multi, s_->easy);
    if (mc != CURLM_OK) {
      fail(EIO, curl_multi_strerror(mc));
      return false;
    }
    added_ = true;
    // Failures of an attempt that may be repeated are logged once it is clear they stand.
    quiet_ = true;
    drive([this] { return connected_; });
    bool again = !connected_ && connect_failure() && attempt < s_->connect_retries;
    if (failed_ && !again) {
      if (attempt > 0)
        failure_ += " (" + std::to_string(attempt + 1) + " attempts)";
      log_failure();
    }
    quiet_ = false;
    if (connected_)
      return true;
    if (!again)
      return false;
    // Nothing was sent: try again on a new connection after a pause.
    curl_multi_remove_handle(s_->multi, s_->easy);
    added_ = false;
    if (s_->settings.connect_retry_delay_ms > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(s_->settings.connect_retry_delay_ms));
  }
}

bool HTTP_Transfer::body_complete() const
{
  switch (mode_) {
  case NO_BODY:
    return true;
  case FIXED_BODY:
    return fixed_ == nullptr || fixed_off_ >= fixed_->size();
  case STREAMED_BODY:
    return body_end_ || (!chunked_ && body_sent_ >= body_length_);
  }
  return true;
}

bool HTTP_Transfer::declares_body() const
{
  if (method_ == "HEAD" || status_ < 200 || status_ == 204 || status_ == 304)
    return false;
  for (const auto& h : rsp_headers_) {
    if (strcasecmp(h.first.c_str(), "Content-Length") == 0)
      return std::strtoull(h.second.c_str(), nullptr, 10) > 0;
    if (strcasecmp(h.first.c_str(), "Transfer-Encoding") == 0)
      return true;
  }
  return true;  // delimited by the end of the connection
}

template <typename Pred>
bool HTTP_Transfer::drive(Pred pred)
{
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  uint64_t seen = progress_;
  Clock::time_point last = Clock::now();
  for (;;) {
    if (pred())
      return true;
    if (done_ || failed_ || !added_)
      return false;
    int running = 0;
    CURLMcode mc = curl_multi_perform(s_->multi, &running);
    if (mc != CURLM_OK) {
      fail(EIO, curl_multi_strerror(mc));
      return false;
    }
    int queued = 0;
    while (CURLMsg* m = curl_multi_info_read(s_->multi, &queued))
      if (m->msg == CURLMSG_DONE && m->easy_handle == s_->easy)
        finished(m->data.result);
    if (pred())
      return true;
    if (done_ || failed_)
      return false;

    Clock::time_point now = Clock::now();
    if (progress_ != seen) {
      seen = progress_;
      last = now;
    }
    long wait_ms = 1000;
    if (connected_) {
      // Until connected, libcurl's connect time-out applies.
      bool sending = !body_complete();
      long idle = sending ? s_->send_timeout_ms : s_->recv_timeout_ms;
      if (idle > 0) {
        long left = idle - static_cast<long>(duration_cast<milliseconds>(now - last).count());
        if (left <= 0) {
          fail(ETIMEDOUT, std::string(sending ? "nothing could be sent" : "nothing was received") + " for " +
                              std::to_string(idle) + " ms");
          return false;
        }
        wait_ms = std::min(wait_ms, left);
      }
    }
    if (deadline_ != Clock::time_point()) {
      long left = static_cast<long>(duration_cast<milliseconds>(deadline_ - now).count());
      if (left <= 0) {
        fail(ETIMEDOUT, "the exchange did not end in time");
        return false;
      }
      wait_ms = std::min(wait_ms, left);
    }
    mc = curl_multi_poll(s_->multi, nullptr, 0, static_cast<int>(std::max(wait_ms, 1L)), nullptr);
    if (mc != CURLM_OK) {
      fail(EIO, curl_multi_strerror(mc));
      return false;
    }
  }
}

size_t HTTP_Transfer::on_header(char* data, size_t size, size_t count, void* self)
{
  HTTP_Transfer* t = static_cast<HTTP_Transfer*>(self);
  size_t n = size * count;
  t->progress_ += n;
  size_t len = n;
  while (len > 0 && (data[len - 1] == '\n' || data[len - 1] == '\r'))
    --len;
  t->on_header_line(data, len);
  return n;
}

void HTTP_Transfer::on_header_line(const char* line, size_t len)
{
  const char* end = line + len;
  if (len >= 5 && std::memcmp(line, "HTTP/", 5) == 0) {
    // "HTTP/1.1 200 OK": a new head (an interim 1xx one is replaced by the next).
    in_head_ = true;
    rsp_headers_.clear();
    reason_.clear();
    const char* sp = static_cast<const char*>(std::memchr(line, ' ', len));
    const char* dot = static_cast<const char*>(std::memchr(line + 5, '.', (sp != nullptr ? sp : end) - (line + 5)));
    minor_ = dot != nullptr ? leading_number(dot + 1, end) : 0;
    status_ = sp != nullptr ? leading_number(sp + 1, end) : 0;
    const char* sp2 = sp != nullptr ? static_cast<const char*>(std::memchr(sp + 1, ' ', end - sp - 1)) : nullptr;
    if (sp2 != nullptr)
      reason_.assign(sp2 + 1, end);
    return;
  }
  if (!in_head_)
    return;  // trailer fields after a chunked body
  if (len == 0) {
    in_head_ = false;
    if (status_ >= 200)
      head_done_ = true;
    return;
  }
  if (line[0] == ' ' || line[0] == '\t') {  // an obsolete folded continuation line
    if (!rsp_headers_.empty()) {
      auto v = trim(line, end);
      rsp_headers_.back().second.append(" ").append(v.first, v.second);
    }
    return;
  }
  const char* colon = static_cast<const char*>(std::memchr(line, ':', len));
  if (colon != nullptr) {
    auto v = trim(colon + 1, end);
    rsp_headers_.emplace_back(std::string(line, colon), std::string(v.first, v.second));
  }
}

size_t HTTP_Transfer::on_write(char* data, size_t size, size_t count, void* self)
{
  HTTP_Transfer* t = static_cast<HTTP_Transfer*>(self);
  size_t n = size * count;
  if (t->sink_ != nullptr) {
    if (t->sink_->size() + n > t->max_body_) {
      t->error_ = EFBIG;
      return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
    t->sink_->append(data, n);
  } else {
    if (t->direct_ != nullptr && t->direct_got_ < t->direct_room_) {
      size_t take = std::min(n, t->direct_room_ - t->direct_got_);
      std::memcpy(t->direct_ + t->direct_got_, data, take);
      t->direct_got_ += take;
      data += take;
      n -= take;
      t->body_received_ += take;
      t->progress_ += take;
      if (n == 0)
        return size * count;
    }
    if (t->pending_size() >= kHighWater) {
      t->recv_paused_ = true;
      return CURL_WRITEFUNC_PAUSE;  // libcurl keeps the bytes and offers them again on resume
    }
    if (t->pending_off_ == t->pending_.size()) {
      t->pending_.clear();
      t->pending_off_ = 0;
    } else if (t->pending_off_ >= kHighWater) {
      t->pending_.erase(0, t->pending_off_);
      t->pending_off_ = 0;
    }
    t->pending_.append(data, n);
  }
  t->body_received_ += n;
  t->progress_ += n;
  return size * count;
}

size_t HTTP_Transfer::on_read(char* data, size_t size, size_t count, void* self)
{
  HTTP_Transfer* t = static_cast<HTTP_Transfer*>(self);
  size_t room = size * count;
  t->wants_body_ = true;
  size_t n = 0;
  if (t->mode_ == FIXED_BODY) {
    size_t left = t->fixed_ != nullptr ? t->fixed_->size() - t->fixed_off_ : 0;
    n = std::min(room, left);
    if (n > 0)
      std::memcpy(data, t->fixed_->data() + t->fixed_off_, n);
    t->fixed_off_ += n;
  } else if (t->send_len_ > 0) {
    n = std::min(room, t->send_len_);
    std::memcpy(data, t->send_ptr_, n);
    t->send_ptr_ += n;
    t->send_len_ -= n;
  } else if (t->body_end_ || (!t->chunked_ && t->body_sent_ >= t->body_length_)) {
    return 0;  // end of the body
  } else {
    t->send_paused_ = true;
    return CURL_READFUNC_PAUSE;  // resumed by write()
  }
  t->body_sent_ += n;
  t->progress_ += n;
  return n;
}

int HTTP_Transfer::on_prereq(void* self, char*, char*, int, int)
{
  HTTP_Transfer* t = static_cast<HTTP_Transfer*>(self);
  t->connected_ = true;
  // From here on the request may reach the server, whatever happens next.
  t->s_->last_sent = true;
  ++t->progress_;
  return CURL_PREREQFUNC_OK;
}

bool HTTP_Transfer::wait_open()
{
  if (mode_ == STREAMED_BODY)
    drive([this] { return wants_body_ || head_done_; });
  else
    drive([this] { return head_done_; });
  // A head that arrived counts even when the body then broke: recv() reports that.
  return head_done_ || (!failed_ && wants_body_);
}

bool HTTP_Transfer::wait_done()
{
  drive([this] { return done_; });
  return done_ && !failed_;
}

ssize_t HTTP_Transfer::write(const void* data, size_t length)
{
  if (failed_) {
    errno = error_;
    return -1;
  }
  if (mode_ != STREAMED_BODY || body_end_) {
    RHV_LOG_WARNING("HTTP %s '%s': no request body is expected.\n", method_.c_str(), log_url().c_str());
    errno = EINVAL;
    return -1;
  }
  if (!chunked_ && length > body_length_ - body_sent_) {
    RHV_LOG_WARNING("HTTP %s '%s': %B body bytes are more than the %Q announced bytes left.\n", method_.c_str(),
                    log_url().c_str(), length, static_cast<ACE_UINT64>(body_length_ - body_sent_));
    errno = EMSGSIZE;
    return -1;
  }
  if (length == 0)
    return 0;
  send_ptr_ = static_cast<const char*>(data);
  send_len_ = length;
  if (send_paused_) {
    send_paused_ = false;
    update_pause();
  }
  drive([this] { return send_len_ == 0; });
  if (send_len_ != 0) {
    send_ptr_ = nullptr;
    send_len_ = 0;
    if (!failed_)
      fail(EPIPE, "the server ended the exchange before the request body was sent");
    errno = error_;
    return -1;
  }
  return static_cast<ssize_t>(length);
}

void HTTP_Transfer::fill_response(CGI_Response& rsp) const
{
  rsp.reset();
  rsp.status(status_);
  rsp.reason(reason_);
  rsp.minor_version_ = minor_;
  for (const auto& h : rsp_headers_)
    rsp.headers().put(h.first.c_str(), h.second.c_str(), false);
  rsp.has_body(body_received_ > 0 || (!done_ && declares_body()));
}

int HTTP_Transfer::read_head(CGI_Response& rsp)
{
  if (!failed_ && mode_ == STREAMED_BODY && !body_end_) {
    if (!chunked_ && body_sent_ < body_length_) {
      fail(EINVAL, "only " + std::to_string(body_sent_) + " of " + std::to_string(body_length_) +
                       " request body bytes were written");
    } else {
      body_end_ = true;
      if (send_paused_) {
        send_paused_ = false;
        update_pause();
      }
    }
  }
  // Wait for the first body byte too, so that has_body() is exact.
  drive([this] { return head_done_ && (body_received_ > 0 || done_); });
  if (!head_done_) {
    if (!failed_)
      fail(EIO, "no response");
    errno = error_;
    return -1;
  }
  fill_response(rsp);
  return 0;
}

ssize_t HTTP_Transfer::recv(void* buffer, size_t length)
{
  if (length == 0)
    return 0;
  if (pending_size() == 0) {
    if (failed_) {
      errno = error_;
      return -1;
    }
    if (done_)
      return 0;
    // The bytes that arrive meanwhile are copied once, into the caller's buffer.
    direct_ = static_cast<char*>(buffer);
    direct_room_ = length;
    direct_got_ = 0;
    if (recv_paused_) {
      recv_paused_ = false;
      update_pause();
    }
    drive([this] { return direct_got_ > 0 || pending_size() > 0 || done_; });
    size_t got = direct_got_;
    direct_ = nullptr;
    direct_room_ = direct_got_ = 0;
    if (got > 0)
      return static_cast<ssize_t>(got);
    if (pending_size() == 0) {
      if (failed_) {
        errno = error_;
        return -1;
      }
      return 0;
    }
  }
  size_t n = std::min(length, pending_size());
  std::memcpy(buffer, pending_.data() + pending_off_, n);
  pending_off_ += n;
  return static_cast<ssize_t>(n);
}

bool HTTP_Transfer::read_body(std::string& out, size_t max_length)
{
  char buf[64 * 1024];
  size_t got = 0;
  for (;;) {
    ssize_t n = recv(buf, sizeof buf);
    if (n < 0)
      return false;
    if (n == 0)
      return true;
    got += static_cast<size_t>(n);
    if (got > max_length) {
      fail(EFBIG, "the response body is larger than " + std::to_string(max_length) + " bytes");
      errno = error_;
      return false;
    }
    out.append(buf, static_cast<size_t>(n));
  }
}
