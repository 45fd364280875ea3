#include "tests/support/imageio_server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/json/value.h"

namespace test_support {

namespace {

const char* const UNIX_SOCKET = "\\u0000/org/ovirt/imageio";

// A body sent as it is. httplib cuts every body of an answer to a request with a Range
// header down to that range itself; a body in chunks is left alone.
void unsliced_reply(httplib::Response& res, int status, const std::string& content_type, const std::string& body)
{
  res.status = status;
  if (status == 204 || status == 304 || status < 200)
    return;  // answers without a body
  auto data = std::make_shared<std::string>(body);
  res.set_chunked_content_provider(content_type, [data](size_t offset, httplib::DataSink& sink) {
    if (offset < data->size())
      sink.write(data->data() + offset, data->size() - offset);
    sink.done();
    return true;
  });
}

thread_local const httplib::Request* current_request = nullptr;

// Errors are text/plain.
void text_reply(httplib::Response& res, int status, const std::string& text)
{
  if (current_request != nullptr && current_request->has_header("Range")) {
    unsliced_reply(res, status, "text/plain", text + "\n");
    return;
  }
  res.status = status;
  res.set_content(text + "\n", "text/plain");
}

// "bytes=a-b" or "bytes=a-"; `last` is UINT64_MAX for an open range.
bool parse_range(const std::string& text, uint64_t& first, uint64_t& last)
{
  unsigned long long a = 0;
  unsigned long long b = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "bytes=%llu-%n", &a, &used) != 1 || used == 0)
    return false;
  first = a;
  const char* rest = text.c_str() + used;
  if (*rest == '\0') {
    last = UINT64_MAX;
    return true;
  }
  int used2 = 0;
  if (std::sscanf(rest, "%llu%n", &b, &used2) != 1 || rest[used2] != '\0' || b < a)
    return false;
  last = b;
  return true;
}

// "bytes a-b/*" or "bytes a-b/<size>".
bool parse_content_range(const std::string& text, uint64_t& first, uint64_t& last)
{
  unsigned long long a = 0;
  unsigned long long b = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "bytes %llu-%llu/%n", &a, &b, &used) != 2 || used == 0 || b < a)
    return false;
  first = a;
  last = b;
  return true;
}

std::string range_text(uint64_t first, uint64_t last, uint64_t size)
{
  char buf[96];
  std::snprintf(buf, sizeof buf, "bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64, first, last, size);
  return buf;
}

// Serves the file as a body of `size` bytes. For a request with a Range header httplib
// asks only for the range and sets Content-Range itself; `stop_at` (an offset) ends the
// body there and closes the connection, after `before_stop` has returned when one is given.
void file_content(httplib::Response& res, const std::string& path, uint64_t size, uint64_t stop_at = UINT64_MAX,
                  std::function<void()> before_stop = nullptr)
{
  int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (raw < 0) {
    text_reply(res, 500, std::string("Cannot open image: ") + std::strerror(errno));
    return;
  }
  std::shared_ptr<int> fd(new int(raw), [](int* p) {
    ::close(*p);
    delete p;
  });
  res.set_content_provider(static_cast<size_t>(size), "application/octet-stream",
                           [fd, stop_at, before_stop](size_t at, size_t want, httplib::DataSink& sink) {
                             if (at >= stop_at) {
                               if (before_stop)
                                 before_stop();
                               return false;
                             }
                             uint64_t n = std::min<uint64_t>(std::min<uint64_t>(want, 1 << 20), stop_at - at);
                             thread_local std::vector<char> buf;  // one per server thread
                             buf.resize(static_cast<size_t>(n));
                             ssize_t got = ::pread(*fd, buf.data(), buf.size(), static_cast<off_t>(at));
                             if (got <= 0)
                               return false;
                             return sink.write(buf.data(), static_cast<size_t>(got));
                           });
}

// The bytes [first, first + length) of a file and `extra` zeros after them, in chunks.
void file_chunks(httplib::Response& res, int status, const std::string& path, uint64_t first, uint64_t length,
                 uint64_t extra)
{
  std::string data(static_cast<size_t>(length), '\0');
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ssize_t got = ::pread(fd, &data[0], data.size(), static_cast<off_t>(first));
    (void)got;
    ::close(fd);
  }
  data.append(static_cast<size_t>(extra), '\0');
  unsliced_reply(res, status, "application/octet-stream", data);
}

}  // namespace

struct Imageio_Server::Impl {
  explicit Impl(std::unique_ptr<Test_Http_Server> s) : server(std::move(s)) {}

  std::unique_ptr<Test_Http_Server> server;
  mutable std::mutex mutex;
  std::map<std::string, Imageio_Ticket> tickets;
  std::vector<Imageio_Fault> faults;
  size_t flushes = 0;
  std::condition_variable stall_cv;
  size_t stalls = 0;       // requests that entered a stall since the last clear_faults()
  bool released = false;   // stalls end at once
  bool stopping = false;

  // Holds the calling server thread until the stalls are released or the server stops.
  void stall()
  {
    std::unique_lock<std::mutex> lock(mutex);
    ++stalls;
    stall_cv.notify_all();
    stall_cv.wait(lock, [this] { return released || stopping; });
  }

  bool find(const std::string& id, Imageio_Ticket& out) const
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = tickets.find(id);
    if (it == tickets.end())
      return false;
    out = it->second;
    return true;
  }

  // The first fault for `target`, counted down; false when none applies.
  bool take_fault(Imageio_Fault::Target target, Imageio_Fault& out)
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto it = faults.begin(); it != faults.end(); ++it) {
      if (it->target != target || it->count == 0)
        continue;
      out = *it;
      if (it->count > 0 && --it->count == 0)
        faults.erase(it);
      return true;
    }
    return false;
  }

  // The generic faults; true when the request has been answered.
  bool apply_fault(const Imageio_Fault& f, const httplib::Request& req, httplib::Response& res)
  {
    switch (f.kind) {
      case Imageio_Fault::status:
        text_reply(res, f.status_code, f.body);
        return true;
      case Imageio_Fault::close:
        server->drop_connection(req);
        return true;
      case Imageio_Fault::stall:
        stall();
        server->drop_connection(req);
        return true;
      case Imageio_Fault::stall_body: {
        if (f.target == Imageio_Fault::read)
          return false;  // the range itself, see get()
        auto data = std::make_shared<std::string>(f.body);
        size_t keep = data->size() - static_cast<size_t>(std::min<uint64_t>(data->size(), f.short_by));
        res.status = f.status_code;
        res.set_content_provider(data->size(), f.content_type,
                                 [this, data, keep](size_t offset, size_t, httplib::DataSink& sink) {
                                   if (offset < keep)
                                     return sink.write(data->data() + offset, keep - offset);
                                   stall();
                                   return false;
                                 });
        return true;
      }
      case Imageio_Fault::custom:
        if (req.has_header("Range")) {
          unsliced_reply(res, f.status_code, f.content_type, f.body);
          return true;
        }
        res.status = f.status_code;
        res.set_content(f.body, f.content_type);
        return true;
      default:
        return false;
    }
  }

  void install();
  void options(const httplib::Request& req, httplib::Response& res);
  void extents(const httplib::Request& req, httplib::Response& res);
  void get(const httplib::Request& req, httplib::Response& res);
  void put(const httplib::Request& req, httplib::Response& res);
  void patch(const httplib::Request& req, httplib::Response& res);
};

void Imageio_Server::Impl::install()
{
  using Member = void (Impl::*)(const httplib::Request&, httplib::Response&);
  auto handler = [this](Member m) {
    return [this, m](const httplib::Request& q, httplib::Response& r) {
      current_request = &q;
      (this->*m)(q, r);
      current_request = nullptr;
    };
  };
  server->route("OPTIONS", "/images/([^/]+)", handler(&Impl::options));
  server->route("GET", "/images/([^/]+)/extents", handler(&Impl::extents));
  server->route("GET", "/images/([^/]+)", handler(&Impl::get));
  server->route("PUT", "/images/([^/]+)", handler(&Impl::put));
  server->route("PATCH", "/images/([^/]+)", handler(&Impl::patch));
  // The resources above with another method; anything else is no resource at all.
  server->route("*", "/images/[^/]+(/extents)?", [](const httplib::Request& q, httplib::Response& r) {
    current_request = &q;
    text_reply(r, 405, "Method " + q.method + " not allowed");
    current_request = nullptr;
  });
  server->route("*", ".*", [](const httplib::Request& q, httplib::Response& r) {
    current_request = &q;
    text_reply(r, 404, "No such resource: " + q.path);
    current_request = nullptr;
  });
}

void Imageio_Server::Impl::options(const httplib::Request& req, httplib::Response& res)
{
  Imageio_Fault f;
  if (take_fault(Imageio_Fault::options, f) && apply_fault(f, req, res))
    return;
  Imageio_Ticket t;
  if (!find(req.matches[1].str(), t)) {
    text_reply(res, 403, "You are not allowed to access this resource: No such ticket " + req.matches[1].str());
    return;
  }
  // As the daemon's: a read-only ticket offers none of the writing features and one
  // writer; a ticket that allows writes also allows reads.
  json_spirit::Array features;
  for (const std::string& name : t.features)
    if (t.writable || (name != "zero" && name != "flush"))
      features.push_back(json_spirit::Value(name));
  json_spirit::Object o;
  o["features"] = std::move(features);
  if (t.max_readers >= 0)
    o["max_readers"] = json_spirit::Value(t.readable || t.writable ? t.max_readers : 0);
  if (t.max_writers >= 0)
    o["max_writers"] = json_spirit::Value(t.writable ? t.max_writers : 1);
  std::string body = JSON_Dump(json_spirit::Value(o), false).str();
  if (t.unix_socket) {
    // The daemon's abstract socket name starts with a NUL byte.
    body.insert(1, std::string("\"unix_socket\":\"") + UNIX_SOCKET + "\",");
  }
  res.set_header("Allow", "OPTIONS,GET,PUT,PATCH");
  res.status = 200;
  res.set_content(body, "application/json");
}

void Imageio_Server::Impl::extents(const httplib::Request& req, httplib::Response& res)
{
  Imageio_Fault f;
  if (take_fault(Imageio_Fault::extents, f) && apply_fault(f, req, res))
    return;
  Imageio_Ticket t;
  if (!find(req.matches[1].str(), t)) {
    text_reply(res, 403, "You are not allowed to access this resource: No such ticket " + req.matches[1].str());
    return;
  }
  if (std::find(t.features.begin(), t.features.end(), "extents") == t.features.end()) {
    text_reply(res, 404, "Extents not supported");
    return;
  }
  std::string context = req.has_param("context") ? req.get_param_value("context") : "zero";
  json_spirit::Array items;
  if (context == "dirty") {
    if (!t.has_dirty) {
      text_reply(res, 404, "Dirty extents are not available for this ticket");
      return;
    }
    for (const Imageio_Dirty_Extent& d : t.dirty) {
      json_spirit::Object o;
      o["start"] = json_spirit::Value(static_cast<unsigned long>(d.start));
      o["length"] = json_spirit::Value(static_cast<unsigned long>(d.length));
      o["dirty"] = d.dirty;
      o["zero"] = d.zero;
      items.push_back(std::move(o));
    }
  } else if (context == "zero") {
    // The daemon's file back end does not look for holes: the image is one data extent.
    json_spirit::Object o;
    o["start"] = json_spirit::Value(0UL);
    o["length"] = json_spirit::Value(static_cast<unsigned long>(t.size));
    o["zero"] = false;
    o["hole"] = false;
    items.push_back(std::move(o));
  } else {
    text_reply(res, 400, "Invalid context '" + context + "'");
    return;
  }
  res.status = 200;
  res.set_content(JSON_Dump(json_spirit::Value(items), false).str(), "application/json");
}

void Imageio_Server::Impl::get(const httplib::Request& req, httplib::Response& res)
{
  Imageio_Fault f;
  bool faulty = take_fault(Imageio_Fault::read, f);
  if (faulty && apply_fault(f, req, res))
    return;
  Imageio_Ticket t;
  if (!find(req.matches[1].str(), t)) {
    text_reply(res, 403, "You are not allowed to access this resource: No such ticket " + req.matches[1].str());
    return;
  }
  if (!t.readable && !t.writable) {
    text_reply(res, 403, "You are not allowed to access this resource: Ticket does not allow read");
    return;
  }
  if (!req.has_header("Range")) {
    res.status = 200;
    file_content(res, t.path, t.size);
    return;
  }
  if (faulty && f.kind == Imageio_Fault::whole_image) {
    file_chunks(res, 200, t.path, 0, t.size, 0);
    return;
  }
  uint64_t first = 0;
  uint64_t last = 0;
  if (!parse_range(req.get_header_value("Range"), first, last)) {
    text_reply(res, 400, "Invalid range: " + req.get_header_value("Range"));
    return;
  }
  if (last == UINT64_MAX)
    last = t.size == 0 ? 0 : t.size - 1;
  if (first >= t.size || last >= t.size) {
    res.set_header("Content-Range", "bytes */" + std::to_string(t.size));
    text_reply(res, 416, "Requested range not satisfiable");
    return;
  }
  uint64_t length = last - first + 1;
  if (faulty && f.kind == Imageio_Fault::long_body) {
    res.set_header("Content-Range", range_text(first, last, t.size));
    file_chunks(res, 206, t.path, first, length, f.short_by);
    return;
  }
  if (faulty && f.kind == Imageio_Fault::content_range) {
    res.set_header("Content-Range", f.body);
    file_chunks(res, 206, t.path, first, length, 0);
    return;
  }
  res.status = 206;
  uint64_t stop_at = UINT64_MAX;
  std::function<void()> before_stop;
  if (faulty && (f.kind == Imageio_Fault::short_body || f.kind == Imageio_Fault::stall_body))
    stop_at = first + length - std::min(length, f.short_by);
  if (faulty && f.kind == Imageio_Fault::stall_body)
    before_stop = [this] { stall(); };
  file_content(res, t.path, t.size, stop_at, before_stop);
}

void Imageio_Server::Impl::put(const httplib::Request& req, httplib::Response& res)
{
  Imageio_Fault f;
  if (take_fault(Imageio_Fault::write, f) && apply_fault(f, req, res))
    return;
  if (!req.has_header("Content-Length")) {
    text_reply(res, 400, "Content-Length header is required");
    return;
  }
  Imageio_Ticket t;
  if (!find(req.matches[1].str(), t)) {
    text_reply(res, 403, "You are not allowed to access this resource: No such ticket " + req.matches[1].str());
    return;
  }
  if (!t.writable) {
    text_reply(res, 403, "You are not allowed to access this resource: Ticket does not allow write");
    return;
  }
  uint64_t first = 0;
  uint64_t last = req.body.empty() ? 0 : req.body.size() - 1;
  if (req.has_header("Content-Range") && !parse_content_range(req.get_header_value("Content-Range"), first, last)) {
    text_reply(res, 400, "Invalid Content-Range: " + req.get_header_value("Content-Range"));
    return;
  }
  if (last - first + 1 != req.body.size()) {
    text_reply(res, 400, "Content-Range does not match the body: " + std::to_string(req.body.size()) + " bytes");
    return;
  }
  if (last >= t.size) {
    text_reply(res, 416, "Requested range not satisfiable");
    return;
  }
  int fd = ::open(t.path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    text_reply(res, 500, std::string("Cannot open image: ") + std::strerror(errno));
    return;
  }
  size_t done = 0;
  while (done < req.body.size()) {
    ssize_t n = ::pwrite(fd, req.body.data() + done, req.body.size() - done, static_cast<off_t>(first + done));
    if (n <= 0) {
      ::close(fd);
      text_reply(res, 500, std::string("Cannot write image: ") + std::strerror(errno));
      return;
    }
    done += static_cast<size_t>(n);
  }
  if (req.has_param("flush") && req.get_param_value("flush") == "y") {
    ::fsync(fd);
    std::lock_guard<std::mutex> lock(mutex);
    ++flushes;
  }
  ::close(fd);
  res.status = 200;
}

void Imageio_Server::Impl::patch(const httplib::Request& req, httplib::Response& res)
{
  Imageio_Ticket t;
  if (!find(req.matches[1].str(), t)) {
    text_reply(res, 403, "You are not allowed to access this resource: No such ticket " + req.matches[1].str());
    return;
  }
  json_spirit::Value v;
  if (!json_spirit::parse(req.body, v) || v.type() != json_spirit::obj_type) {
    text_reply(res, 400, "Invalid JSON body");
    return;
  }
  const json_spirit::Object& o = v.get_obj();
  auto op = o.find("op");
  if (op == o.end() || op->second.type() != json_spirit::str_type) {
    text_reply(res, 400, "Missing \"op\"");
    return;
  }
  int fd = ::open(t.path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    text_reply(res, 500, std::string("Cannot open image: ") + std::strerror(errno));
    return;
  }
  bool flush = op->second.get_str() == "flush";
  if (op->second.get_str() == "zero") {
    auto offset = o.find("offset");
    auto size = o.find("size");
    auto fl = o.find("flush");
    if (offset == o.end() || size == o.end() || offset->second.type() != json_spirit::int_type ||
        size->second.type() != json_spirit::int_type) {
      ::close(fd);
      text_reply(res, 400, "Invalid zero request");
      return;
    }
    int64_t at = offset->second.get_int64();
    int64_t len = size->second.get_int64();
    if (at < 0 || len < 0 || static_cast<uint64_t>(at + len) > t.size) {
      ::close(fd);
      text_reply(res, 416, "Requested range not satisfiable");
      return;
    }
    ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, at, len);
    flush = fl != o.end() && fl->second.type() == json_spirit::bool_type && fl->second.get_bool();
  } else if (!flush) {
    ::close(fd);
    text_reply(res, 400, "Unknown op '" + op->second.get_str() + "'");
    return;
  }
  if (flush) {
    ::fsync(fd);
    std::lock_guard<std::mutex> lock(mutex);
    ++flushes;
  }
  ::close(fd);
  res.status = 200;
}

// ---------------------------------------------------------------------------------------------

Imageio_Server::Imageio_Server() : impl_(std::make_unique<Impl>(std::make_unique<Test_Http_Server>()))
{
  impl_->install();
}

Imageio_Server::Imageio_Server(const Tls_Files& tls)
  : impl_(std::make_unique<Impl>(std::make_unique<Test_Http_Server>(tls)))
{
  impl_->install();
}

Imageio_Server::~Imageio_Server()
{
  stop();
}

bool Imageio_Server::start()
{
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = false;
  }
  return impl_->server->start();
}

void Imageio_Server::stop()
{
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->stall_cv.notify_all();
  impl_->server->stop();
}

unsigned short Imageio_Server::port() const
{
  return impl_->server->port();
}

std::string Imageio_Server::base_url() const
{
  return impl_->server->url();
}

std::string Imageio_Server::url(const std::string& ticket) const
{
  return impl_->server->url("/images/" + ticket);
}

bool Imageio_Server::add_ticket(const std::string& ticket, const Imageio_Ticket& image)
{
  int fd = ::open(image.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && static_cast<uint64_t>(st.st_size) < image.size)
    ok = ::ftruncate(fd, static_cast<off_t>(image.size)) == 0;
  ::close(fd);
  if (!ok)
    return false;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->tickets[ticket] = image;
  return true;
}

void Imageio_Server::remove_ticket(const std::string& ticket)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->tickets.erase(ticket);
}

void Imageio_Server::add_fault(const Imageio_Fault& fault)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.push_back(fault);
}

void Imageio_Server::clear_faults()
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.clear();
  impl_->released = false;
  impl_->stalls = 0;
}

void Imageio_Server::release_stalls()
{
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->released = true;
  }
  impl_->stall_cv.notify_all();
}

bool Imageio_Server::wait_for_stalls(size_t count)
{
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->stall_cv.wait_for(lock, std::chrono::minutes(1),
                                  [&] { return impl_->stalls >= count || impl_->stopping; }) &&
         !impl_->stopping;
}

size_t Imageio_Server::flushes() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->flushes;
}

Test_Http_Server& Imageio_Server::http()
{
  return *impl_->server;
}

}  // namespace test_support
