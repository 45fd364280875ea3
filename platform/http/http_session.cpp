#include "platform/http/http_session.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <new>

#include "backup/scrt/log.h"
#include "platform/config/standin_conf.h"
#include "platform/http/http_transfer.h"

namespace {

// The largest upload buffer libcurl takes.
constexpr size_t kMaxUploadBuffer = 2u << 20;

std::mutex settings_mutex;
bool settings_overridden = false;
HTTP_Settings settings_override;

bool has_body_by_method(int method)
{
  return method == HTTP_METHOD_POST || method == HTTP_METHOD_PUT || method == HTTP_METHOD_PATCH;
}

std::string url_host(const std::string& host)
{
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

std::string request_target(const CGI_Request& req)
{
  std::string t = req.uri().empty() || req.uri()[0] != '/' ? "/" + req.uri() : req.uri();
  if (!req.query_string().empty())
    t += "?" + req.query_string();
  return t;
}

}  // namespace

HTTP_Settings http_settings()
{
  {
    std::lock_guard<std::mutex> lock(settings_mutex);
    if (settings_overridden)
      return settings_override;
  }
  HTTP_Settings s;
  std::shared_ptr<const Standin_Conf> conf = Standin_Conf::instance();
  if (conf) {
    s.ca_file = conf->engine_ca_file();
    s.insecure = conf->tls_insecure();
    s.recv_timeout_ms = conf->engine_recv_timeout_ms();
  }
  return s;
}

void set_http_settings(const HTTP_Settings& settings)
{
  std::lock_guard<std::mutex> lock(settings_mutex);
  settings_override = settings;
  settings_overridden = true;
}

void clear_http_settings()
{
  std::lock_guard<std::mutex> lock(settings_mutex);
  settings_overridden = false;
  settings_override = HTTP_Settings();
}

HTTP_Session::Impl::~Impl()
{
  if (multi != nullptr)
    curl_multi_cleanup(multi);  // closes the connections it keeps
  if (easy != nullptr)
    curl_easy_cleanup(easy);
}

HTTP_Session::HTTP_Session(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HTTP_Session::~HTTP_Session() = default;

const std::string& HTTP_Session::host() const
{
  return impl_->host;
}

unsigned short HTTP_Session::port() const
{
  return impl_->port;
}

bool HTTP_Session::ssl() const
{
  return impl_->ssl;
}

std::string HTTP_Session::url(const CGI_Request& req) const
{
  return impl_->base_url + request_target(req);
}

int HTTP_Session::error() const
{
  return impl_->last_error.load();
}

bool HTTP_Session::request_sent() const
{
  return impl_->last_sent.load();
}

void HTTP_Session::upload_buffer_size(size_t bytes)
{
  impl_->upload_buffer_size = static_cast<long>(std::min<size_t>(bytes, kMaxUploadBuffer));
}

HTTP_Connection_var HTTP_Session::open(const CGI_Request& req)
{
  impl_->last_sent = false;
  std::unique_ptr<HTTP_Connection::Impl> t(new (std::nothrow) HTTP_Connection::Impl(this, HTTP_Session_var(this)));
  if (!t) {
    impl_->last_error = errno = ENOMEM;
    return HTTP_Connection_var();
  }
  if (!t->ok()) {
    RHV_LOG_WARNING("HTTP session to '%s:%d' is already in use on this thread.\n", impl_->host.c_str(),
                    static_cast<int>(impl_->port));
    impl_->last_error = errno = EDEADLK;
    return HTTP_Connection_var();
  }
  bool chunked = req.chunked_transfer_encoding();
  unsigned long length = req.content_length();
  bool streamed = chunked || length != 0 || has_body_by_method(req.method());
  if (!t->start(req, streamed ? HTTP_Transfer::STREAMED_BODY : HTTP_Transfer::NO_BODY, nullptr, length, chunked,
                nullptr, 0, HTTP_Transfer::Clock::time_point()) ||
      !t->wait_open()) {
    impl_->last_error = errno = t->error();
    return HTTP_Connection_var();
  }
  HTTP_Connection* c = new (std::nothrow) HTTP_Connection(std::move(t));
  if (c == nullptr) {
    impl_->last_error = errno = ENOMEM;
    return HTTP_Connection_var();
  }
  return HTTP_Connection_var(c);
}

bool HTTP_Session::exchange(const CGI_Request& req, const std::string* body, CGI_Response& rsp,
                            std::string& rsp_body, unsigned long deadline_ms, size_t max_body)
{
  impl_->last_sent = false;
  rsp.reset();
  rsp_body.clear();
  HTTP_Transfer t(this, HTTP_Session_var());
  if (!t.ok()) {
    RHV_LOG_WARNING("HTTP session to '%s:%d' is already in use on this thread.\n", impl_->host.c_str(),
                    static_cast<int>(impl_->port));
    impl_->last_error = errno = EDEADLK;
    return false;
  }
  HTTP_Transfer::Clock::time_point deadline;
  if (deadline_ms > 0)
    deadline = HTTP_Transfer::Clock::now() + std::chrono::milliseconds(deadline_ms);
  bool with_body = body != nullptr || has_body_by_method(req.method());
  if (!t.start(req, with_body ? HTTP_Transfer::FIXED_BODY : HTTP_Transfer::NO_BODY, body, 0, false, &rsp_body,
               max_body, deadline) ||
      !t.wait_done()) {
    rsp.reset();
    rsp.has_body(t.body_received() > 0);
    impl_->last_error = errno = t.error();
    return false;
  }
  t.fill_response(rsp);
  impl_->last_error = 0;
  return true;
}

HTTP_Session_var HTTP_Session_Factory::create(const std::string& host, unsigned short port, bool ssl,
                                              const char* proxy, int connect_retries, SSL_CTX* ssl_ctx,
                                              bool no_keep_alive, int connect_timeout, int send_timeout,
                                              int recv_timeout, unsigned flags)
{
  static std::once_flag curl_once;
  static CURLcode curl_init = CURLE_OK;
  std::call_once(curl_once, [] { curl_init = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (curl_init != CURLE_OK) {
    RHV_LOG_ERROR("Failed to initialise libcurl: %s.\n", curl_easy_strerror(curl_init));
    return HTTP_Session_var();
  }
  if (host.empty() || port == 0) {
    RHV_LOG_ERROR("Invalid HTTP session address '%s:%d'.\n", host.c_str(), static_cast<int>(port));
    return HTTP_Session_var();
  }
  if (ssl_ctx != nullptr || flags != 0) {
    RHV_LOG_ERROR("Unsupported HTTP session options for '%s:%d'.\n", host.c_str(), static_cast<int>(port));
    return HTTP_Session_var();
  }

  std::unique_ptr<HTTP_Session::Impl> impl(new (std::nothrow) HTTP_Session::Impl);
  if (!impl) {
    RHV_LOG_ERROR("Failed to allocate HTTP session for '%s:%d'.\n", host.c_str(), static_cast<int>(port));
    return HTTP_Session_var();
  }
  impl->host = host;
  impl->port = port;
  impl->ssl = ssl;
  impl->proxy = proxy != nullptr ? proxy : "";
  impl->connect_retries = connect_retries > 0 ? connect_retries : 0;
  impl->no_keep_alive = no_keep_alive;
  impl->connect_timeout_ms = connect_timeout > 0 ? connect_timeout * 1000L : 0;
  impl->send_timeout_ms = send_timeout > 0 ? send_timeout * 1000L : 0;
  impl->recv_timeout_ms = recv_timeout > 0 ? recv_timeout * 1000L : 0;
  impl->settings = http_settings();
  if (impl->settings.recv_timeout_ms > 0)
    impl->recv_timeout_ms = static_cast<long>(impl->settings.recv_timeout_ms);
  impl->base_url = std::string(ssl ? "https" : "http") + "://" + url_host(host) + ":" + std::to_string(port);
  impl->easy = curl_easy_init();
  impl->multi = curl_multi_init();
  if (impl->easy == nullptr || impl->multi == nullptr) {
    RHV_LOG_ERROR("Failed to create libcurl handles for '%s:%d'.\n", host.c_str(), static_cast<int>(port));
    return HTTP_Session_var();
  }
  if (ssl && impl->settings.insecure)
    RHV_LOG_WARNING("TLS certificate verification is disabled for '%s:%d'.\n", host.c_str(),
                    static_cast<int>(port));

  HTTP_Session* session = new (std::nothrow) HTTP_Session(std::move(impl));
  if (session == nullptr) {
    RHV_LOG_ERROR("Failed to allocate HTTP session for '%s:%d'.\n", host.c_str(), static_cast<int>(port));
    return HTTP_Session_var();
  }
  return HTTP_Session_var(session);
}

HTTP_Session_URL::HTTP_Session_URL(const HTTP_Session* session, const CGI_Request& req)
    : url_(session != nullptr ? session->url(req) : "(no session)" + request_target(req))
{
  if (req.log_uri().empty())
    return;
  // The printable form of the URI in place of the URI itself.
  url_.resize(url_.size() - request_target(req).size());
  url_ += req.log_uri();
  if (!req.query_string().empty())
    url_ += "?" + req.query_string();
}
