#include "tests/support/standin_env.h"

#include "platform/config/standin_conf.h"
#include "platform/host/path_conf.h"
#include "tests/support/rsa_keys.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

Standin_Env::Standin_Env(std::initializer_list<std::pair<std::string, std::string>> settings)
{
  char tmpl[] = "/tmp/tessera3-test-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = tmpl;
  conf_file_ = path("standin.conf");

  const char* prev = std::getenv(Standin_Conf::ENV_VAR);
  if (prev != nullptr) {
    had_previous_ = true;
    previous_ = prev;
  }

  for (const char* dir : {"catalog", "log", "dev/disk/by-id", "pools/default", "keys"})
    make_directories(path(dir), 0750);
  if (!Test_RSA_Key::shared().write_private_pem(rsa_key_file()))
    ADD_FAILURE() << "cannot write the test RSA key to " << rsa_key_file();

  settings_ = {
    {"root_prefix", root_},
    {"component", "rhv"},
    {"access_key", "test-access-key"},
    {"node_access_key", "test-node-access-key"},
    {"on_backupd", "false"},
    {"rsa_private_key", rsa_key_file()},
    {"backupd_host", "127.0.0.1"},
    {"backupd_port", "0"},
    {"backupd_ssl", "false"},
    {"catalog_dir", catalog_dir()},
    {"alert_sink", alert_sink()},
    {"job_log_dir", job_log_dir()},
    {"device_dir", device_dir()},
    {"servant_mode", "inprocess"},
    {std::string("pool.") + DEFAULT_POOL_UUID + ".name", "default-pool"},
    {std::string("pool.") + DEFAULT_POOL_UUID + ".url", "file://" + default_pool_dir()},
  };
  for (const auto& kv : settings) put(kv.first, kv.second);
  apply();
}

Standin_Env::~Standin_Env()
{
  if (had_previous_)
    ::setenv(Standin_Conf::ENV_VAR, previous_.c_str(), 1);
  else
    ::unsetenv(Standin_Conf::ENV_VAR);
  Standin_Conf::reload();

  const char* keep = std::getenv("TESSERA3_KEEP_TEST_ROOT");
  if (keep != nullptr && *keep != '\0' && *keep != '0') {
    std::fflush(stdout);  // after what the program printed before
    std::fprintf(stderr, "test root kept: %s\n", root_.c_str());
    return;
  }
  std::error_code ec;
  std::filesystem::remove_all(root_, ec);
}

std::string Standin_Env::path(const std::string& relative) const
{
  return relative.empty() ? root_ : root_ + "/" + relative;
}

const std::string* Standin_Env::get(const std::string& key) const
{
  for (const auto& kv : settings_)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

void Standin_Env::put(const std::string& key, const std::string& value)
{
  for (auto& kv : settings_)
    if (kv.first == key) {
      kv.second = value;
      return;
    }
  settings_.emplace_back(key, value);
}

bool Standin_Env::set(const std::string& key, const std::string& value)
{
  put(key, value);
  return apply();
}

bool Standin_Env::unset(const std::string& key)
{
  for (auto it = settings_.begin(); it != settings_.end(); ++it)
    if (it->first == key) {
      settings_.erase(it);
      break;
    }
  return apply();
}

std::string Standin_Env::add_pool(const std::string& uuid, const std::string& name)
{
  std::string dir = path("pools/" + name);
  make_directories(dir, 0750);
  std::string url = "file://" + dir;
  put("pool." + uuid + ".name", name);
  put("pool." + uuid + ".url", url);
  apply();
  return url;
}

bool Standin_Env::apply()
{
  {
    std::ofstream out(conf_file_, std::ios::trunc);
    out << "# written by Standin_Env\n";
    for (const auto& kv : settings_) out << kv.first << " = " << kv.second << "\n";
    out.close();
    if (!out) {
      ADD_FAILURE() << "cannot write " << conf_file_;
      return false;
    }
  }
  ::setenv(Standin_Conf::ENV_VAR, conf_file_.c_str(), 1);
  if (!Standin_Conf::reload()) {
    ADD_FAILURE() << "the test configuration " << conf_file_ << " does not load";
    return false;
  }
  return true;
}
