// The engine simulator's server side: the request pipeline (log, fault table, token endpoint,
// header checks, authentication, routing), the timer of delayed transitions, and the
// seeding and inspection functions that tests call.

#include "tests/support/engine_simulator_impl.h"

#include <dirent.h>
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
    config.logical_name_dir = config.device_dir;
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
    switch (f.kind) {
    case Engine_Fault::close:
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
    case Engine_Fault::status:
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
    case Engine_Fault::body:
      res.status = f.status_code;
      res.set_content(f.body, f.content_type);
      finish(res.status);
      return;
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

// ---- seeding ----

std::string Engine_Simulator::add_data_center(Sim_Data_Center dc)
{
  if (dc.id.empty())
    dc.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->dcs.push_back(dc);
  return dc.id;
}

std::string Engine_Simulator::add_cluster(Sim_Cluster cluster)
{
  if (cluster.id.empty())
    cluster.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->clusters.push_back(cluster);
  return cluster.id;
}

std::string Engine_Simulator::add_host(Sim_Host host)
{
  if (host.id.empty())
    host.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->hosts.push_back(host);
  return host.id;
}

std::string Engine_Simulator::add_network(Sim_Network network)
{
  if (network.id.empty())
    network.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->networks.push_back(network);
  return network.id;
}

std::string Engine_Simulator::add_vnic_profile(Sim_VNIC_Profile profile)
{
  if (profile.id.empty())
    profile.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->profiles.push_back(profile);
  return profile.id;
}

std::string Engine_Simulator::add_storage_domain(Sim_Storage_Domain domain)
{
  if (domain.id.empty())
    domain.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->domains.push_back(domain);
  return domain.id;
}

std::string Engine_Simulator::add_vm(Sim_VM vm)
{
  if (vm.id.empty())
    vm.id = new_id();
  if (vm.active_snapshot_id.empty())
    vm.active_snapshot_id = new_id();
  if (vm.creation_time == 0)
    vm.creation_time = now_ms();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->vms.push_back(vm);
  return vm.id;
}

std::string Engine_Simulator::add_disk(Sim_Disk disk)
{
  if (disk.id.empty())
    disk.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  disk.path = impl_->disk_file(disk.id);
  disk.snapshot_id.clear();
  std::string error;
  if (!create_sparse_file(disk.path, disk.provisioned_size, error)) {
    std::fprintf(stderr, "engine simulator: %s\n", error.c_str());
    return std::string();
  }
  impl_->disks.push_back(disk);
  return disk.id;
}

bool Engine_Simulator::attach_disk(Sim_Disk_Attachment attachment, bool left_over)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->find_vm(attachment.vm_id) == nullptr || impl_->find_disk(attachment.disk_id) == nullptr ||
      impl_->find_attachment(attachment.vm_id, attachment.disk_id) != nullptr)
    return false;
  if (!attachment.snapshot_id.empty() &&
      impl_->attached_disk(attachment) == nullptr)
    return false;
  attachment.agent_own = attachment.vm_id == impl_->config.agent_vm_id && !left_over;
  impl_->attachments.push_back(attachment);
  // Seeded devices are there from the start.
  Engine_Timing saved = impl_->timing;
  impl_->timing.device_appear = std::chrono::milliseconds(0);
  impl_->plug(attachment);
  impl_->timing = saved;
  return true;
}

std::string Engine_Simulator::add_nic(Sim_NIC nic)
{
  if (nic.id.empty())
    nic.id = new_id();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (nic.mac.empty())
    nic.mac = impl_->new_mac();
  impl_->nics.push_back(nic);
  return nic.id;
}

std::string Engine_Simulator::add_snapshot(const std::string& vm_id, const std::string& description)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Sim_VM* vm = impl_->find_vm(vm_id);
  if (vm == nullptr)
    return std::string();
  std::vector<std::string> ids;
  for (const Sim_Disk_Attachment& a : impl_->attachments) {
    const Sim_Disk* d = impl_->find_disk(a.disk_id);
    if (a.vm_id == vm_id && a.snapshot_id.empty() && d != nullptr && !d->shareable)
      ids.push_back(a.disk_id);
  }
  std::string error;
  Sim_Snapshot s = impl_->take_snapshot(*vm, ids, description, error);
  if (!error.empty()) {
    std::fprintf(stderr, "engine simulator: %s\n", error.c_str());
    return std::string();
  }
  s.status = "ok";
  impl_->snapshots.push_back(s);
  return s.id;
}

bool Engine_Simulator::write_disk(const std::string& disk_id, uint64_t offset, const std::string& bytes)
{
  std::string path;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Sim_Disk* d = impl_->find_disk(disk_id);
    if (d == nullptr)
      return false;
    path = d->path;
  }
  return write_at(path, offset, bytes);
}

std::string Engine_Simulator::read_disk(const std::string& disk_id) const
{
  std::string path;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    Sim_Disk* d = impl_->find_disk(disk_id);
    if (d == nullptr)
      return std::string();
    path = d->path;
  }
  return read_file(path);
}

// ---- changes ----

bool Engine_Simulator::set_storage_space(const std::string& domain_id, int64_t available, int64_t used)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Sim_Storage_Domain* d = impl_->find_domain(domain_id);
  if (d == nullptr)
    return false;
  d->available = available;
  d->used = used;
  return true;
}

bool Engine_Simulator::set_vm_status(const std::string& vm_id, const std::string& status)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Sim_VM* vm = impl_->find_vm(vm_id);
  if (vm == nullptr)
    return false;
  vm->status = status;
  return true;
}

bool Engine_Simulator::set_disk_status(const std::string& disk_id, const std::string& status)
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Sim_Disk* d = impl_->find_disk(disk_id);
  if (d == nullptr)
    return false;
  d->status = status;
  return true;
}

// ---- inspection ----

std::vector<Engine_Request> Engine_Simulator::requests() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->log;
}

void Engine_Simulator::clear_requests()
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->log_base += impl_->log.size();
  impl_->log.clear();
}

size_t Engine_Simulator::count_requests(const std::string& method, const std::string& path_regex) const
{
  std::regex re(path_regex);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return static_cast<size_t>(std::count_if(impl_->log.begin(), impl_->log.end(), [&](const Engine_Request& r) {
    return (method == "*" || r.method == method) && std::regex_match(r.path, re);
  }));
}

std::vector<Sim_Data_Center> Engine_Simulator::data_centers() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->dcs;
}

std::vector<Sim_Cluster> Engine_Simulator::clusters() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->clusters;
}

std::vector<Sim_Network> Engine_Simulator::networks() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->networks;
}

std::vector<Sim_VNIC_Profile> Engine_Simulator::vnic_profiles() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->profiles;
}

std::vector<Sim_Storage_Domain> Engine_Simulator::storage_domains() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->domains;
}

std::vector<Sim_VM> Engine_Simulator::vms() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->vms;
}

std::vector<Sim_Disk> Engine_Simulator::disks() const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<Sim_Disk> out = impl_->disks;
  for (Sim_Disk& d : out)
    d.status = impl_->disk_status(d);
  return out;
}

std::vector<Sim_Disk_Attachment> Engine_Simulator::attachments(const std::string& vm_id) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<Sim_Disk_Attachment> out;
  for (const Sim_Disk_Attachment& a : impl_->attachments)
    if (vm_id.empty() || a.vm_id == vm_id)
      out.push_back(a);
  return out;
}

std::vector<Sim_NIC> Engine_Simulator::nics(const std::string& vm_id) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<Sim_NIC> out;
  for (const Sim_NIC& n : impl_->nics)
    if (vm_id.empty() || n.vm_id == vm_id)
      out.push_back(n);
  return out;
}

std::vector<Sim_Snapshot> Engine_Simulator::snapshots(const std::string& vm_id) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::vector<Sim_Snapshot> out;
  for (const Sim_Snapshot& s : impl_->snapshots)
    if (vm_id.empty() || s.vm_id == vm_id)
      out.push_back(s);
  return out;
}

bool Engine_Simulator::find_vm(const std::string& id, Sim_VM& out) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Sim_VM* vm = impl_->find_vm(id);
  if (vm != nullptr)
    out = *vm;
  return vm != nullptr;
}

bool Engine_Simulator::find_vm_by_name(const std::string& name, Sim_VM& out) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  for (const Sim_VM& vm : impl_->vms)
    if (vm.name == name) {
      out = vm;
      return true;
    }
  return false;
}

bool Engine_Simulator::find_disk(const std::string& id, Sim_Disk& out) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Sim_Disk* d = impl_->find_disk(id);
  if (d != nullptr) {
    out = *d;
    out.status = impl_->disk_status(*d);
  }
  return d != nullptr;
}

bool Engine_Simulator::find_storage_domain(const std::string& id, Sim_Storage_Domain& out) const
{
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const Sim_Storage_Domain* d = impl_->find_domain(id);
  if (d != nullptr)
    out = *d;
  return d != nullptr;
}

std::string Engine_Simulator::device_path(const std::string& disk_id) const
{
  return impl_->config.device_dir + "/virtio-" + disk_id.substr(0, 20);
}

std::vector<std::string> Engine_Simulator::devices() const
{
  std::vector<std::string> out;
  if (DIR* dir = ::opendir(impl_->config.device_dir.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..")
        out.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace test_support
