// The engine simulator's server side: the request pipeline (log, fault table, token endpoint,
// header checks, authentication, routing), the timer of delayed transitions, and the
// server's settings as tests call them.

#include "tests/support/engine_simulator_impl.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>

namespace test_support {

const char* const BLANK_TEMPLATE_ID = "00000000-0000-0000-0000-000000000000";

using namespace engine_sim;

namespace {

bool is_pseudo_header(const std::string& name)
{
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

// The media type of a Content-Type value, without parameters, in lower case.
std::string media_type(const std::string& value)
{
  std::string t = value.substr(0, value.find(';'));
  t.erase(0, t.find_first_not_of(" \t"));
  t.erase(t.find_last_not_of(" \t") + 1);
  std::transform(t.begin(), t.end(), t.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return t;
}

// Standard Base64 (with or without padding); false on a character outside the alphabet.
bool base64_decode(const std::string& text, std::string& out)
{
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out.clear();
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    if (c == '=')
      break;
    size_t v = alphabet.find(c);
    if (v == std::string::npos)
      return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xff));
    }
  }
  return true;
}

void write_reply(httplib::Response& res, const Reply& r)
{
  res.status = r.status;
  if (!r.body.is_null())
    res.set_content(JSON_Dump(r.body).str(), "application/json");
}

std::vector<std::string> split_path(const std::string& path)
{
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t slash = path.find('/', pos);
    std::string seg = path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    if (!seg.empty())
      out.push_back(url_decode(seg, false));
    if (slash == std::string::npos)
      break;
    pos = slash + 1;
  }
  return out;
}

}  // namespace

std::string url_decode(const std::string& text, bool plus_is_space)
{
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9')
      return c - '0';
    if (c >= 'a' && c <= 'f')
      return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
      return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2])));
      i += 2;
    } else if (c == '+' && plus_is_space) {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string Engine_Request::header(const std::string& name) const
{
  for (const auto& h : headers)
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0)
      return h.second;
  return std::string();
}

bool Engine_Request::has_header(const std::string& name) const
{
  for (const auto& h : headers)
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0)
      return true;
  return false;
}

std::string Engine_Request::param(const std::string& name) const
{
  auto it = params.find(name);
  return it == params.end() ? std::string() : it->second;
}

// ---------------------------------------------------------------------------------------------
// Impl: construction, pipeline, timer

Engine_Simulator::Impl::Impl(Engine_Config c) : config(std::move(c))
{
  if (config.logical_name_dir.empty())
    config.logical_name_dir = config.data_dir + "/dev";
  make_dirs(config.data_dir + "/disks");
  make_dirs(config.data_dir + "/snapshots");
  make_dirs(config.device_dir);
  make_dirs(config.logical_name_dir);
  users[config.username] = config.password;
  if (config.tls) {
    if (config.tls_files.cert_file.empty()) {
      make_dirs(config.data_dir + "/tls");
      config.tls_files = make_tls_files(config.data_dir + "/tls");
    }
    ca_file = config.tls_files.ca_file;
    server = std::make_unique<Test_Http_Server>(config.tls_files);
  } else {
    server = std::make_unique<Test_Http_Server>();
  }
  server->route("*", ".*", [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); });
  install_routes();
  timer = std::thread([this] { timer_loop(); });
}

Engine_Simulator::Impl::~Impl()
{
  server->stop();
  {
    std::lock_guard<std::mutex> lock(mutex);
    timer_stop = true;
  }
  timer_cv.notify_all();
  if (timer.joinable())
    timer.join();
}

void Engine_Simulator::Impl::handle(const httplib::Request& req, httplib::Response& res)
{
  Engine_Request entry;
  entry.method = req.method;
  size_t q = req.target.find('?');
  entry.path = req.target.substr(0, q);
  entry.query = q == std::string::npos ? std::string() : req.target.substr(q + 1);
  for (const auto& h : req.headers)
    if (!is_pseudo_header(h.first))
      entry.headers.emplace_back(h.first, h.second);
  entry.body = req.body;
  entry.params = parse_query(entry.query);

  size_t serial = 0;
  bool have_fault = false;
  Engine_Fault f;
  {
    std::lock_guard<std::mutex> lock(mutex);
    serial = log_base + log.size();
    log.push_back(entry);
    for (Fault_Entry& e : faults) {
      if ((e.fault.method != "*" && e.fault.method != entry.method) || !std::regex_match(entry.path, e.re))
        continue;
      ++e.seen;
      bool fires = e.seen >= e.fault.nth && (e.fault.count < 0 || e.seen < e.fault.nth + e.fault.count);
      if (fires && !have_fault) {
        ++e.hits;
        f = e.fault;
        have_fault = true;
      }
    }
  }
  auto finish = [&](int status) {
    std::lock_guard<std::mutex> lock(mutex);
    if (serial >= log_base && serial - log_base < log.size())
      log[serial - log_base].status = status;
  };

  if (have_fault) {
    if (f.beside)
      f.beside(entry);
    switch (f.kind) {
    case Engine_Fault::close_connection:
      server->drop_connection(req);
      finish(0);
      return;
    case Engine_Fault::slow:
      if (!server->pause(f.delay)) {
        server->drop_connection(req);
        finish(0);
        return;
      }
      break;  // then answer normally
    case Engine_Fault::error_status:
      write_reply(res, fault(f.status_code, f.reason, f.detail));
      finish(res.status);
      return;
    case Engine_Fault::unauthorized:
      res.set_header("WWW-Authenticate", "Basic realm=\"ENGINE\"");
      write_reply(res, fault(401, "Unauthorized", f.detail));
      finish(401);
      return;
    case Engine_Fault::garbage:
      res.status = f.status_code;
      res.set_content(std::string("\x01\x7fnot json {{\"", 14), "application/json");
      finish(res.status);
      return;
    case Engine_Fault::html:
      res.status = f.status_code;
      res.set_content("<!DOCTYPE html>\n<html><head><title>Error</title></head>"
                      "<body><h1>Service Unavailable</h1></body></html>\n",
                      "text/html");
      finish(res.status);
      return;
    case Engine_Fault::custom:
      res.status = f.status_code;
      res.set_content(f.body, f.content_type);
      finish(res.status);
      return;
    case Engine_Fault::done_then_close:
    case Engine_Fault::done_then_late:
      break;  // the answer of the call is lost below
    case Engine_Fault::pass:
      break;
    }
  }

  int status = 0;
  const std::string api_root = "/" + config.url_prefix + "/api";
  if (entry.path == "/" + config.url_prefix + "/sso/oauth/token") {
    answer_token(entry, res, status);
    finish(status);
    return;
  }
  if (entry.path != api_root && entry.path.compare(0, api_root.size() + 1, api_root + "/") != 0) {
    write_reply(res, fault(404, "Not Found", "No such resource: " + entry.path));
    finish(404);
    return;
  }

  // Every API request names the API version and speaks JSON both ways.
  std::string problem;
  if (entry.header("Version") != "4")
    problem = "The 'Version' header must be '4', not '" + entry.header("Version") + "'";
  else if (entry.header("Accept") != "application/json")
    problem = "The 'Accept' header must be 'application/json', not '" + entry.header("Accept") + "'";
  else if (media_type(entry.header("Content-Type")) != "application/json")
    problem = "The 'Content-Type' header must be 'application/json', not '" + entry.header("Content-Type") + "'";
  if (!problem.empty()) {
    write_reply(res, bad_request(problem));
    finish(400);
    return;
  }

  std::string why;
  bool ok;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ok = authorized(entry, why);
  }
  if (!ok) {
    res.set_header("WWW-Authenticate", "Basic realm=\"ENGINE\"");
    write_reply(res, fault(401, "Unauthorized", why));
    finish(401);
    return;
  }

  Reply r = route(entry.method, split_path(entry.path.substr(api_root.size())), entry);
  if (have_fault && (f.kind == Engine_Fault::done_then_close ||
                     (f.kind == Engine_Fault::done_then_late && !server->pause(f.delay)))) {
    server->drop_connection(req);
    finish(0);
    return;
  }
  write_reply(res, r);
  finish(r.status);
}

void Engine_Simulator::Impl::answer_token(const Engine_Request& request, httplib::Response& res, int& status)
{
  auto oauth_error = [&](int code, const std::string& error_code, const std::string& error) {
    Object o;
    o["error_code"] = error_code;
    o["error"] = error;
    Reply r;
    r.status = code;
    r.body = std::move(o);
    write_reply(res, r);
    status = code;
  };
  if (request.method != "POST")
    return oauth_error(405, "invalid_request", "The token endpoint takes POST only.");
  if (media_type(request.header("Content-Type")) != "application/x-www-form-urlencoded")
    return oauth_error(400, "invalid_request", "The request must be a form (application/x-www-form-urlencoded).");
  if (request.header("Accept") != "application/json")
    return oauth_error(400, "invalid_request", "The request must accept application/json.");
  std::map<std::string, std::string> form = parse_query(request.body);
  if (form["grant_type"] != "password")
    return oauth_error(400, "unsupported_grant_type", "Grant type '" + form["grant_type"] + "' is not supported.");
  if (form["scope"].find("ovirt-app-api") == std::string::npos)
    return oauth_error(400, "invalid_scope", "The scope must include ovirt-app-api.");

  std::lock_guard<std::mutex> lock(mutex);
  auto user = users.find(form["username"]);
  if (user == users.end() || user->second != form["password"])
    return oauth_error(401, "access_denied",
                       "Cannot authenticate user '" + form["username"] +
                           "': The username or password is incorrect..");
  std::string token = new_id() + new_id();
  token.erase(std::remove(token.begin(), token.end(), '-'), token.end());
  tokens.insert(token);
  ++tokens_issued;
  Object o;
  o["access_token"] = token;
  o["scope"] = "ovirt-app-api";
  o["token_type"] = "bearer";
  o["exp"] = std::to_string(now_ms() + 3600 * 1000);
  Reply r;
  r.body = std::move(o);
  write_reply(res, r);
  status = 200;
}

bool Engine_Simulator::Impl::authorized(const Engine_Request& request, std::string& why) const
{
  std::string value = request.header("Authorization");
  if (value.empty()) {
    why = "No credentials were given";
    return false;
  }
  size_t space = value.find(' ');
  std::string scheme = value.substr(0, space);
  std::string rest = space == std::string::npos ? std::string() : value.substr(space + 1);
  if (strcasecmp(scheme.c_str(), "Basic") == 0) {
    std::string decoded;
    size_t colon;
    if (!base64_decode(rest, decoded) || (colon = decoded.find(':')) == std::string::npos) {
      why = "Malformed Basic credentials";
      return false;
    }
    auto user = users.find(decoded.substr(0, colon));
    if (user == users.end() || user->second != decoded.substr(colon + 1)) {
      why = "Cannot authenticate user '" + decoded.substr(0, colon) + "': The username or password is incorrect.";
      return false;
    }
    return true;
  }
  if (strcasecmp(scheme.c_str(), "Bearer") == 0) {
    if (tokens.count(rest) == 0) {
      why = "The token is not valid or has expired";
      return false;
    }
    return true;
  }
  why = "Unsupported authentication scheme '" + scheme + "'";
  return false;
}

Engine_Simulator::Impl::Reply Engine_Simulator::Impl::route(const std::string& method,
                                                            const std::vector<std::string>& segments,
                                                            const Engine_Request& request)
{
  std::lock_guard<std::mutex> lock(mutex);
  bool path_known = false;
  for (const Route& r : routes) {
    if (r.segments.size() != segments.size())
      continue;
    Call call;
    bool match = true;
    for (size_t i = 0; i < segments.size() && match; ++i) {
      if (r.segments[i] == "*")
        call.ids.push_back(segments[i]);
      else
        match = r.segments[i] == segments[i];
    }
    if (!match)
      continue;
    path_known = true;
    if (r.method != method)
      continue;
    call.method = method;
    call.params = request.params;
    if (method == "POST") {
      Value body;
      std::string error;
      if (!json_spirit::parse(request.body, body, &error))
        return bad_request("The request body is not JSON: " + error);
      if (body.type() != json_spirit::obj_type)
        return bad_request("The request body must be a JSON object");
      call.body = body.get_obj();
    }
    return r.handler(*this, call);
  }
  if (path_known)
    return fault(405, "Method Not Allowed", "Method " + method + " is not allowed here");
  return fault(404, "Not Found", "No such resource: " + request.path);
}

void Engine_Simulator::Impl::add_route(const std::string& method, const std::string& pattern, Handler handler)
{
  Route r;
  r.method = method;
  r.segments = split_path(pattern);
  r.handler = std::move(handler);
  routes.push_back(std::move(r));
}

void Engine_Simulator::Impl::schedule(std::chrono::milliseconds delay, const std::string& key,
                                      std::function<void()> fire)
{
  if (delay.count() <= 0) {
    fire();
    return;
  }
  events.emplace(Clock::now() + delay, Event{key, std::move(fire)});
  timer_cv.notify_all();
}

void Engine_Simulator::Impl::cancel(const std::string& key)
{
  for (auto it = events.begin(); it != events.end();)
    it = it->second.key == key ? events.erase(it) : std::next(it);
}

void Engine_Simulator::Impl::timer_loop()
{
  std::unique_lock<std::mutex> lock(mutex);
  while (!timer_stop) {
    if (events.empty()) {
      timer_cv.wait(lock);
      continue;
    }
    auto due = events.begin()->first;
    if (Clock::now() < due) {
      timer_cv.wait_until(lock, due);
      continue;
    }
    Event e = std::move(events.begin()->second);
    events.erase(events.begin());
    e.fire();
  }
}

// ---------------------------------------------------------------------------------------------
// Engine_Simulator

Engine_Simulator::Engine_Simulator(Engine_Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Engine_Simulator::~Engine_Simulator() = default;

bool Engine_Simulator::start()
{
  return impl_->server->start();
}

void Engine_Simulator::stop()
{
  impl_->server->stop();
}

const Engine_Config& Engine_Simulator::config() const
{
  return impl_->config;
}

const std::string& Engine_Simulator::host() const
{
  return impl_->host;
}

unsigned short Engine_Simulator::port() const
{
  return impl_->server->port();
}

bool Engine_Simulator::tls() const
{
  return impl_->config.tls;
}

const std::string& Engine_Simulator::ca_file() const
{
  return impl_->ca_file;
}

std::string Engine_Simulator::url(const std::string& path) const
{
  return impl_->server->url(path);
}

std::string Engine_Simulator::api_path(const std::string& relative) const
{
  return "/" + impl_->config.url_prefix + "/api" + relative;
}

std::string Engine_Simulator::token_path() const
{
  return "/" + impl_->config.url_prefix + "/sso/oauth/token";
}

void Engine_Simulator::set_user(const std::string& username, const std::string& password)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->users[username] = password;
}

void Engine_Simulator::expire_tokens()
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->tokens.clear();
}

size_t Engine_Simulator::tokens_issued() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->tokens_issued;
}

void Engine_Simulator::set_version(const Sim_Version& version)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->version = version;
}

void Engine_Simulator::set_product_info(bool present)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->product_info = present;
}

void Engine_Simulator::set_timing(const Engine_Timing& timing)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->timing = timing;
}

Engine_Timing Engine_Simulator::timing() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->timing;
}

void Engine_Simulator::set_logical_names(bool on)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->logical_names = on;
}

void Engine_Simulator::set_devices_appear(bool on)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->devices_appear = on;
}

void Engine_Simulator::run_pending()
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  while (!impl_->events.empty()) {
    Impl::Event e = std::move(impl_->events.begin()->second);
    impl_->events.erase(impl_->events.begin());
    e.fire();
  }
}

size_t Engine_Simulator::pending() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->events.size();
}

int Engine_Simulator::add_fault(const Engine_Fault& fault)
{
  Impl::Fault_Entry e;
  e.fault = fault;
  e.re = std::regex(fault.path);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  e.id = impl_->next_fault_id++;
  impl_->faults.push_back(std::move(e));
  return impl_->faults.back().id;
}

int Engine_Simulator::fault_hits(int id) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  for (const Impl::Fault_Entry& e : impl_->faults)
    if (e.id == id)
      return e.hits;
  return 0;
}

void Engine_Simulator::clear_faults()
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.clear();
}

}  // namespace test_support
