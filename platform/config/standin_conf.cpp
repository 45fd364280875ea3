#include "platform/config/standin_conf.h"

#include "backup/scrt/log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include <unistd.h>

namespace {

const char COMPONENT_VAR[] = "$COMPONENT";

std::string trim(const std::string& s)
{
  const char* blanks = " \t\r\v\f";
  std::string::size_type b = s.find_first_not_of(blanks);
  if (b == std::string::npos) return std::string();
  std::string::size_type e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

bool parse_bool(const std::string& v, bool& out)
{
  if (v == "true" || v == "yes" || v == "on" || v == "1") { out = true; return true; }
  if (v == "false" || v == "no" || v == "off" || v == "0") { out = false; return true; }
  return false;
}

bool parse_port(const std::string& v, std::uint16_t& out)
{
  if (v.empty() || v.size() > 5) return false;
  unsigned long n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<unsigned long>(c - '0');
  }
  if (n > 65535) return false;
  out = static_cast<std::uint16_t>(n);
  return true;
}

// Drops trailing slashes, keeping a lone "/".
std::string strip_trailing_slashes(std::string p)
{
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string replace_all(const std::string& text, const std::string& from, const std::string& to)
{
  std::string out;
  std::string::size_type pos = 0;
  for (;;) {
    std::string::size_type hit = text.find(from, pos);
    if (hit == std::string::npos) break;
    out.append(text, pos, hit - pos);
    out += to;
    pos = hit + from.size();
  }
  out.append(text, pos, std::string::npos);
  return out;
}

struct Entry {
  std::string value;
  int line;
};

const char* const SCALAR_KEYS[] = {
  "root_prefix", "component", "access_key", "node_access_key", "on_backupd",
  "rsa_private_key", "backupd_host", "backupd_port", "backupd_ssl", "catalog_dir",
  "alert_sink", "job_log_dir", "servant_mode", "servant_module", "servant_host_binary",
  "device_dir", "engine_ca_file", "tls_insecure", "engine_recv_timeout_ms",
};

bool is_scalar_key(const std::string& key)
{
  for (const char* k : SCALAR_KEYS)
    if (key == k) return true;
  return false;
}

std::mutex g_lock;
std::shared_ptr<const Standin_Conf> g_current;

std::shared_ptr<const Standin_Conf> load_from_environment(bool& ok)
{
  ok = true;
  auto conf = std::make_shared<Standin_Conf>();
  const char* path = std::getenv(Standin_Conf::ENV_VAR);
  if (path == nullptr || *path == '\0') return conf;
  std::string error;
  if (!conf->load(path, error)) {
    RHV_LOG_ERROR("Failed to load platform configuration '%s': %s\n", path, error.c_str());
    ok = false;
    return std::make_shared<Standin_Conf>();
  }
  return conf;
}

}  // namespace

Standin_Conf::Standin_Conf()
    : component_("rhv"), backupd_host_("localhost"), servant_mode_("process")
{
  apply_defaults();
}

void Standin_Conf::apply_defaults()
{
  if (rsa_private_key_.empty())
    rsa_private_key_ = system_path("/etc/opt/quillon/tessera3/$COMPONENT/keys/host.pem");
  if (catalog_dir_.empty()) catalog_dir_ = system_path("/var/opt/quillon/tessera3/$COMPONENT/catalog");
  if (alert_sink_.empty()) alert_sink_ = system_path("/var/opt/quillon/tessera3/$COMPONENT/alerts.log");
  if (job_log_dir_.empty()) job_log_dir_ = system_path("/var/opt/quillon/tessera3/$COMPONENT/log/job");
  if (device_dir_.empty()) device_dir_ = system_path("/dev/disk/by-id");
}

std::string Standin_Conf::expand(const std::string& text) const
{
  return replace_all(text, COMPONENT_VAR, component_);
}

std::string Standin_Conf::system_path(const std::string& path) const
{
  return root_prefix_ + expand(path);
}

const Standin_Pool* Standin_Conf::find_pool(const std::string& uuid) const
{
  for (const Standin_Pool& p : pools_)
    if (p.uuid == uuid) return &p;
  return nullptr;
}

const std::string* Standin_Conf::extension(const std::string& name) const
{
  auto it = extensions_.find(name);
  return it == extensions_.end() ? nullptr : &it->second;
}

bool Standin_Conf::parse(const std::string& text, const std::string& base_dir, std::string& error)
{
  std::map<std::string, Entry> scalars;
  std::map<std::string, Entry> extensions;
  std::vector<std::string> pool_order;
  std::map<std::string, std::map<std::string, Entry>> pool_fields;

  auto fail = [&error](int line, const std::string& what) {
    error = "line " + std::to_string(line) + ": " + what;
    return false;
  };

  // First pass: collect the settings, so that their meaning does not depend on
  // the order of the lines (paths need the component, defaults the root prefix).
  std::istringstream in(text);
  std::string raw;
  int line = 0;
  while (std::getline(in, raw)) {
    ++line;
    std::string l = trim(raw);
    if (l.empty() || l[0] == '#') continue;
    std::string::size_type eq = l.find('=');
    if (eq == std::string::npos) return fail(line, "expected 'key = value'");
    std::string key = trim(l.substr(0, eq));
    std::string value = trim(l.substr(eq + 1));
    if (key.empty()) return fail(line, "empty key");

    std::map<std::string, Entry>* target = nullptr;
    std::string name = key;
    if (key.compare(0, 5, "pool.") == 0) {
      std::string::size_type dot = key.rfind('.');
      std::string uuid = dot > 5 ? key.substr(5, dot - 5) : std::string();
      std::string field = key.substr(dot + 1);
      if (uuid.empty() || (field != "name" && field != "url"))
        return fail(line, "expected 'pool.<uuid>.name' or 'pool.<uuid>.url', got '" + key + "'");
      if (pool_fields.find(uuid) == pool_fields.end()) pool_order.push_back(uuid);
      target = &pool_fields[uuid];
      name = field;
    } else if (key.compare(0, 4, "ext.") == 0 && key.size() > 4) {
      target = &extensions;
      name = key.substr(4);
    } else if (is_scalar_key(key)) {
      target = &scalars;
    } else {
      return fail(line, "unknown key '" + key + "'");
    }
    if (target->find(name) != target->end()) return fail(line, "duplicate key '" + key + "'");
    (*target)[name] = Entry{value, line};
  }

  Standin_Conf next;
  next.rsa_private_key_.clear();
  next.catalog_dir_.clear();
  next.alert_sink_.clear();
  next.job_log_dir_.clear();
  next.device_dir_.clear();

  auto get = [&scalars](const char* key) -> const Entry* {
    auto it = scalars.find(key);
    return it == scalars.end() ? nullptr : &it->second;
  };

  if (const Entry* e = get("component")) {
    const std::string& c = e->value;
    if (c.empty() || c == "." || c == ".." || c.find('/') != std::string::npos ||
        c.find(COMPONENT_VAR) != std::string::npos)
      return fail(e->line, "invalid component '" + c + "'");
    next.component_ = c;
  }

  // A path value: "$COMPONENT" expanded, relative to the file's directory.
  auto path_value = [&](const Entry& e, std::string& out) {
    std::string p = next.expand(e.value);
    if (!p.empty() && p[0] != '/') {
      if (base_dir.empty() || base_dir[0] != '/')
        return fail(e.line, "relative path '" + e.value + "' without a base directory");
      p = strip_trailing_slashes(base_dir) + "/" + p;
    }
    out = p;
    return true;
  };

  if (const Entry* e = get("root_prefix")) {
    std::string p;
    if (!path_value(*e, p)) return false;
    p = strip_trailing_slashes(p);
    next.root_prefix_ = p == "/" ? std::string() : p;
  }

  struct Path_Key { const char* key; std::string Standin_Conf::*member; };
  const Path_Key path_keys[] = {
    {"rsa_private_key", &Standin_Conf::rsa_private_key_},
    {"catalog_dir", &Standin_Conf::catalog_dir_},
    {"alert_sink", &Standin_Conf::alert_sink_},
    {"job_log_dir", &Standin_Conf::job_log_dir_},
    {"servant_module", &Standin_Conf::servant_module_},
    {"servant_host_binary", &Standin_Conf::servant_host_binary_},
    {"device_dir", &Standin_Conf::device_dir_},
    {"engine_ca_file", &Standin_Conf::engine_ca_file_},
  };
  for (const Path_Key& pk : path_keys)
    if (const Entry* e = get(pk.key))
      if (!path_value(*e, next.*pk.member)) return false;

  struct Text_Key { const char* key; std::string Standin_Conf::*member; };
  const Text_Key text_keys[] = {
    {"access_key", &Standin_Conf::access_key_},
    {"node_access_key", &Standin_Conf::node_access_key_},
    {"backupd_host", &Standin_Conf::backupd_host_},
  };
  for (const Text_Key& tk : text_keys)
    if (const Entry* e = get(tk.key)) next.*tk.member = e->value;

  struct Bool_Key { const char* key; bool Standin_Conf::*member; };
  const Bool_Key bool_keys[] = {
    {"on_backupd", &Standin_Conf::on_backupd_},
    {"backupd_ssl", &Standin_Conf::backupd_ssl_},
    {"tls_insecure", &Standin_Conf::tls_insecure_},
  };
  for (const Bool_Key& bk : bool_keys)
    if (const Entry* e = get(bk.key))
      if (!parse_bool(e->value, next.*bk.member))
        return fail(e->line, std::string("invalid boolean for '") + bk.key + "': '" + e->value + "'");

  if (const Entry* e = get("backupd_port"))
    if (!parse_port(e->value, next.backupd_port_))
      return fail(e->line, "invalid port '" + e->value + "'");

  if (const Entry* e = get("engine_recv_timeout_ms")) {
    const std::string& v = e->value;
    unsigned long n = 0;
    bool ok = !v.empty() && v.size() <= 8;
    for (char ch : v) {
      ok = ok && ch >= '0' && ch <= '9';
      n = n * 10 + static_cast<unsigned long>(ch - '0');
    }
    if (!ok || n > 86400000UL)
      return fail(e->line, "invalid time-out '" + v + "'");
    next.engine_recv_timeout_ms_ = static_cast<unsigned>(n);
  }

  if (const Entry* e = get("servant_mode")) {
    if (e->value != "process" && e->value != "inprocess")
      return fail(e->line, "servant_mode must be 'process' or 'inprocess', got '" + e->value + "'");
    next.servant_mode_ = e->value;
  }

  for (const std::string& uuid : pool_order) {
    const std::map<std::string, Entry>& f = pool_fields[uuid];
    auto url = f.find("url");
    auto name = f.find("name");
    if (url == f.end() || url->second.value.empty()) {
      int at = (name != f.end() ? name->second : url->second).line;
      return fail(at, "pool '" + uuid + "' has no url");
    }
    next.pools_.push_back(Standin_Pool{uuid, name != f.end() ? name->second.value : std::string(),
                                       url->second.value});
  }

  for (const auto& kv : extensions) next.extensions_[kv.first] = kv.second.value;

  next.apply_defaults();
  next.source_ = source_;
  *this = std::move(next);
  return true;
}

bool Standin_Conf::load(const std::string& path, std::string& error)
{
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    error = std::string("cannot read: ") + std::strerror(errno);
    return false;
  }
  std::string dir;
  std::string::size_type slash = path.rfind('/');
  if (slash != std::string::npos) {
    dir = slash == 0 ? std::string("/") : path.substr(0, slash);
  }
  if (dir.empty() || dir[0] != '/') {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) != nullptr)
      dir = dir.empty() ? std::string(cwd) : std::string(cwd) + "/" + dir;
  }
  if (!parse(text.str(), dir, error)) return false;
  source_ = path;
  return true;
}

std::shared_ptr<const Standin_Conf> Standin_Conf::instance()
{
  std::lock_guard<std::mutex> guard(g_lock);
  if (!g_current) {
    bool ok;
    g_current = load_from_environment(ok);
  }
  return g_current;
}

bool Standin_Conf::reload()
{
  bool ok;
  std::shared_ptr<const Standin_Conf> next = load_from_environment(ok);
  std::lock_guard<std::mutex> guard(g_lock);
  g_current = std::move(next);
  return ok;
}
