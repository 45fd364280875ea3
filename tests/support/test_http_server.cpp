#include "tests/support/test_http_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include <openssl/ssl.h>

#if defined(__SANITIZE_THREAD__)
// The distribution's cpp-httplib is not built for ThreadSanitizer: it sees only the
// memcpy/memcmp calls of the library's workers, not the initialisation guards of the
// library's own statics that order them, and reports races that are not there. Reports
// whose accesses are made from inside the library are dropped; our handlers (whose frames
// are instrumented) and the library's file descriptor and lock calls stay checked.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions()
{
  return "race:libcpp-httplib.so\n";
}
#endif

namespace test_support {

namespace {

constexpr size_t kWorkerThreads = 64;  // each open connection holds one
constexpr size_t kKeepAliveMaxCount = 100000;
constexpr time_t kKeepAliveTimeoutSec = 30;  // slow sanitizer runs stay on one connection

int port_of(const sockaddr_storage& ss)
{
  if (ss.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(ss).sin_port);
  if (ss.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(ss).sin6_port);
  return -1;
}

// Calls fn(fd) for every connected TCP socket of this process whose local port is
// `local_port` and, when remote_port >= 0, whose peer port is `remote_port`: that is, the
// server side of connections to our listening port.
template <typename F>
void for_each_server_socket(int local_port, int remote_port, F fn)
{
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr)
    return;
  int dir_fd = dirfd(dir);
  while (dirent* e = readdir(dir)) {
    char* end = nullptr;
    long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || fd == dir_fd)
      continue;
    sockaddr_storage local{}, peer{};
    socklen_t len = sizeof local;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &len) != 0)
      continue;
    if (port_of(local) != local_port)
      continue;
    len = sizeof peer;
    if (getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &len) != 0)
      continue;
    if (remote_port >= 0 && port_of(peer) != remote_port)
      continue;
    fn(static_cast<int>(fd));
  }
  closedir(dir);
}

bool is_pseudo_header(const std::string& name)
{
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

}  // namespace

// The server's worker pool, counting the connections it is handed (one task each).
class Test_Http_Server::Counting_Queue : public httplib::TaskQueue {
public:
  Counting_Queue(std::atomic<size_t>& counter) : counter_(counter), pool_(kWorkerThreads) {}
  void enqueue(std::function<void()> fn) override
  {
    ++counter_;
    pool_.enqueue(std::move(fn));
  }
  void shutdown() override { pool_.shutdown(); }
  void on_idle() override { pool_.on_idle(); }

private:
  std::atomic<size_t>& counter_;
  httplib::ThreadPool pool_;
};

std::string Logged_Request::header(const std::string& name) const
{
  for (const auto& h : headers)
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0)
      return h.second;
  return std::string();
}

bool Logged_Request::has_header(const std::string& name) const
{
  return header_count(name) > 0;
}

size_t Logged_Request::header_count(const std::string& name) const
{
  return static_cast<size_t>(std::count_if(headers.begin(), headers.end(), [&](const auto& h) {
    return strcasecmp(h.first.c_str(), name.c_str()) == 0;
  }));
}

Test_Http_Server::Test_Http_Server() : server_(std::make_unique<httplib::Server>())
{
  init();
}

Test_Http_Server::Test_Http_Server(const std::string& cert_file, const std::string& key_file)
    : tls_(true), server_(std::make_unique<httplib::SSLServer>(cert_file.c_str(), key_file.c_str()))
{
  init();
}

Test_Http_Server::Test_Http_Server(const Tls_Files& tls) : Test_Http_Server(tls.cert_file, tls.key_file) {}

Test_Http_Server::~Test_Http_Server()
{
  stop();
}

void Test_Http_Server::init()
{
  server_->new_task_queue = [this] { return new Counting_Queue(connections_); };
  server_->set_keep_alive_max_count(kKeepAliveMaxCount);
  server_->set_keep_alive_timeout(kKeepAliveTimeoutSec);
  // The head and the body go out in separate writes: without this, Nagle's algorithm
  // holds the body until the client's delayed acknowledgement.
  server_->set_tcp_nodelay(true);
  auto h = [this](const httplib::Request& req, httplib::Response& res) { dispatch(req, res); };
  server_->Get(".*", h);
  server_->Post(".*", h);
  server_->Put(".*", h);
  server_->Patch(".*", h);
  server_->Delete(".*", h);
  server_->Options(".*", h);
}

void Test_Http_Server::route(const std::string& method, const std::string& pattern, Handler handler)
{
  auto r = std::make_shared<Route>(Route{method, pattern, std::regex(pattern), std::move(handler)});
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& existing : routes_)
    if (existing->method == method && existing->pattern == pattern) {
      existing = r;
      return;
    }
  routes_.push_back(r);
}

void Test_Http_Server::clear_routes()
{
  std::lock_guard<std::mutex> lock(mutex_);
  routes_.clear();
}

bool Test_Http_Server::start()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_ || !server_->is_valid())
      return false;
    started_ = true;
  }
  // A peer that goes away while we write must give EPIPE, not end the test program.
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);

  int port = server_->bind_to_any_port("127.0.0.1");
  if (port <= 0)
    return false;
  port_ = static_cast<unsigned short>(port);
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // Until listen_after_bind has marked the server running, stop() would not stop it.
  for (int i = 0; i < 5000 && !server_->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return server_->is_running();
}

void Test_Http_Server::stop()
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_ || stopping_)
      return;
    stopping_ = true;
  }
  stop_cv_.notify_all();
  server_->stop();
  // Idle keep-alive connections would otherwise hold their worker for the whole
  // keep-alive time-out.
  for_each_server_socket(port_, -1, [](int fd) { ::shutdown(fd, SHUT_RDWR); });
  if (thread_.joinable())
    thread_.join();
}

bool Test_Http_Server::running() const
{
  return server_->is_running();
}

std::string Test_Http_Server::url(const std::string& path_and_query) const
{
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path_and_query;
}

std::vector<Logged_Request> Test_Http_Server::requests() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

size_t Test_Http_Server::request_count() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return log_.size();
}

void Test_Http_Server::clear_requests()
{
  std::lock_guard<std::mutex> lock(mutex_);
  log_.clear();
}

size_t Test_Http_Server::connection_count() const
{
  return connections_.load();
}

void Test_Http_Server::delay_responses(std::chrono::milliseconds delay, int count)
{
  std::lock_guard<std::mutex> lock(mutex_);
  delay_ = delay;
  delay_count_ = count;
}

void Test_Http_Server::drop_connections(int count)
{
  std::lock_guard<std::mutex> lock(mutex_);
  drop_count_ = count;
}

bool Test_Http_Server::take(int& counter)
{
  if (counter == 0)
    return false;
  if (counter > 0)
    --counter;
  return true;
}

void Test_Http_Server::dispatch(const httplib::Request& req, httplib::Response& res)
{
  Logged_Request entry;
  entry.method = req.method;
  entry.target = req.target;
  size_t q = req.target.find('?');
  entry.path = req.target.substr(0, q);
  entry.query = q == std::string::npos ? std::string() : req.target.substr(q + 1);
  entry.version = req.version;
  for (const auto& h : req.headers)
    if (!is_pseudo_header(h.first))
      entry.headers.emplace_back(h.first, h.second);
  entry.body = req.body;
  entry.remote_port = req.remote_port;

  std::shared_ptr<Route> route;
  std::chrono::milliseconds delay{0};
  bool drop = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(std::move(entry));
    if (take(delay_count_))
      delay = delay_;
    drop = take(drop_count_);
    for (const auto& r : routes_)
      if ((r->method == "*" || r->method == req.method) && std::regex_match(req.path, r->re)) {
        route = r;
        break;
      }
  }
  if (delay.count() > 0 && !pause(delay)) {
    drop_connection(req);
    return;
  }
  if (drop) {
    drop_connection(req);
    return;
  }
  if (!route) {
    res.status = 404;
    return;
  }
  httplib::Request copy = req;
  std::regex_match(copy.path, copy.matches, route->re);
  route->handler(copy, res);
}

void Test_Http_Server::drop_connection(const httplib::Request& req)
{
  if (req.ssl != nullptr) {
    int fd = SSL_get_fd(req.ssl);
    if (fd >= 0)
      ::shutdown(fd, SHUT_RDWR);
    return;
  }
  for_each_server_socket(port_, req.remote_port, [](int fd) { ::shutdown(fd, SHUT_RDWR); });
}

bool Test_Http_Server::pause(std::chrono::milliseconds d)
{
  std::unique_lock<std::mutex> lock(mutex_);
  return !stop_cv_.wait_for(lock, d, [this] { return stopping_; });
}

void Test_Http_Server::truncated_body(httplib::Response& res, int status, const std::string& content_type,
                                      const std::string& body, size_t declared_length)
{
  res.status = status;
  auto data = std::make_shared<std::string>(body);
  res.set_content_provider(declared_length, content_type,
                           [data](size_t offset, size_t, httplib::DataSink& sink) {
                             if (offset < data->size())
                               sink.write(data->data() + offset, data->size() - offset);
                             return false;  // ends the response here: the connection is closed
                           });
}

void Test_Http_Server::slow_body(httplib::Response& res, int status, const std::string& content_type,
                                 const std::string& body, size_t chunk, std::chrono::milliseconds interval)
{
  res.status = status;
  if (body.empty() || chunk == 0) {
    res.set_content(body, content_type);
    return;
  }
  auto data = std::make_shared<std::string>(body);
  res.set_content_provider(data->size(), content_type,
                           [this, data, chunk, interval](size_t offset, size_t length, httplib::DataSink& sink) {
                             if (offset > 0 && !pause(interval))
                               return false;
                             return sink.write(data->data() + offset, std::min(chunk, length));
                           });
}

}  // namespace test_support
