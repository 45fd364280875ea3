#ifndef TESTS_SUPPORT_STANDIN_ENV_H
#define TESTS_SUPPORT_STANDIN_ENV_H

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// A private platform configuration for one test.
//
// Construction makes a temporary folder (mkdtemp under /tmp), writes a configuration
// file into it, points TESSERA3_STANDIN_CONF at that file and reloads the platform
// configuration, so that every platform layer of the test process (and every child
// process that inherits the environment) works inside the folder. Destruction
// restores the previous value of the variable, reloads again and removes the folder
// with everything in it (set TESSERA3_KEEP_TEST_ROOT=1 to keep it for a post-mortem;
// its path is printed then).
//
// The file it writes, with <root> the folder:
//
//   root_prefix     = <root>              so /var/opt/..., /etc/opt/... live under <root>
//   component       = rhv
//   access_key      = test-access-key
//   node_access_key = test-node-access-key
//   on_backupd      = false
//   rsa_private_key = <root>/keys/host.pem     (written by Standin_Env, see below)
//   backupd_host    = 127.0.0.1
//   backupd_port    = 0                   (tests that run a backup server set it)
//   backupd_ssl     = false
//   catalog_dir     = <root>/catalog      (made)
//   alert_sink      = <root>/alerts.log
//   job_log_dir     = <root>/log          (made)
//   device_dir      = <root>/dev/disk/by-id  (made)
//   servant_mode    = inprocess
//   pool.<DEFAULT_POOL_UUID>.name = default-pool
//   pool.<DEFAULT_POOL_UUID>.url  = file://<root>/pools/default   (made)
//
// The RSA key is the process-wide test key of tests/support/rsa_keys.h (made once per
// process); rsa_encrypt_for_host() encrypts for it.
//
// Any key can be given at construction (added or replacing the default; an empty value
// writes "key =") or changed later with set()/unset(), which rewrite the file and
// reload at once. A configuration that does not load fails the current test.
//
// Not thread-safe: build it on the test thread before starting other threads.
class Standin_Env {
public:
  using Settings = std::vector<std::pair<std::string, std::string>>;

  static constexpr const char* DEFAULT_POOL_UUID = "5e7a1d00-0000-4000-8000-000000000001";

  // Settings are {key, value} pairs: Standin_Env env({{"backupd_port", "8443"}});
  explicit Standin_Env(std::initializer_list<std::pair<std::string, std::string>> settings = {});
  ~Standin_Env();

  Standin_Env(const Standin_Env&) = delete;
  Standin_Env& operator=(const Standin_Env&) = delete;

  // Sets one key (rewrite + reload). Returns whether the configuration loaded.
  bool set(const std::string& key, const std::string& value);
  // Removes one key, so its default applies (rewrite + reload).
  bool unset(const std::string& key);
  // Adds a pool whose directory is <root>/pools/<name> (made); returns its url.
  std::string add_pool(const std::string& uuid, const std::string& name);

  // The folder, and a path inside it ("a/b" -> "<root>/a/b").
  const std::string& root() const { return root_; }
  std::string path(const std::string& relative) const;
  const std::string& conf_file() const { return conf_file_; }

  std::string catalog_dir() const { return path("catalog"); }
  std::string alert_sink() const { return path("alerts.log"); }
  std::string job_log_dir() const { return path("log"); }
  std::string device_dir() const { return path("dev/disk/by-id"); }
  std::string default_pool_dir() const { return path("pools/default"); }
  std::string rsa_key_file() const { return path("keys/host.pem"); }

  // The value written for key, or null when the file does not hold it.
  const std::string* get(const std::string& key) const;

  // Writes the file and reloads; false (and a test failure) when it does not load.
  bool apply();

private:
  void put(const std::string& key, const std::string& value);

  std::string root_;
  std::string conf_file_;
  Settings settings_;
  bool had_previous_ = false;
  std::string previous_;
};

#endif
