#ifndef PLATFORM_CONFIG_STANDIN_CONF_H
#define PLATFORM_CONFIG_STANDIN_CONF_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#pragma GCC visibility push(default)

// One storage pool of the pool registry.
struct Standin_Pool {
  std::string uuid;
  std::string name;
  std::string url;  // "file:///<directory>"
};

// The platform configuration shared by every platform layer of a process.
//
// It is one text file named by the environment variable TESSERA3_STANDIN_CONF:
//
//   # comment (a line whose first non-blank character is '#')
//   key = value
//
// one setting per line; blanks around the key and the value are dropped, a '#'
// after the value is part of the value, an empty value is allowed. A key given
// twice, an unknown key, a line without '=' or a value of the wrong form makes
// the whole file invalid. Keys:
//
//   root_prefix          directory prepended to every system path (/var/opt/...,
//                        /etc/opt/..., the device directory); empty in production
//   component            value of "$COMPONENT" in paths (default "rhv")
//   access_key, node_access_key, on_backupd (bool)
//   rsa_private_key      PEM file of the host's RSA private key
//   backupd_host, backupd_port (0..65535), backupd_ssl (bool)
//   pool.<uuid>.name, pool.<uuid>.url
//                        the pool registry; every pool needs a url; pools keep the
//                        order in which their uuid first appears
//   catalog_dir, alert_sink, job_log_dir
//   servant_mode ("process" or "inprocess"), servant_module, servant_host_binary
//   device_dir           where hot-plugged disks appear (default "/dev/disk/by-id")
//   engine_ca_file, tls_insecure (bool)
//                        certificate checking of engine connections
//   engine_recv_timeout_ms (0..86400000)
//                        when above 0, the longest wait for an engine answer's next
//                        bytes, in place of the session's own (test beds that meet an
//                        engine whose answer never comes)
//   ext.<anything>       free settings for test programs, read with extension()
//
// Booleans are true/false, yes/no, on/off or 1/0. Path values may hold
// "$COMPONENT"; a relative path is taken relative to the file's directory. A path
// that the file does not give defaults to its production location under the root
// prefix (see the accessors), so a test that only sets root_prefix never touches
// a system path.
//
// When the variable is unset the production defaults apply (empty root prefix).
// When the file cannot be read or is invalid, the failure is logged (LM_ERROR,
// naming the line) and the production defaults apply too.
class Standin_Conf {
public:
  static constexpr const char* ENV_VAR = "TESSERA3_STANDIN_CONF";

  // The configuration of this process, read on first use. The returned object never
  // changes; keep the pointer while using references obtained from it.
  static std::shared_ptr<const Standin_Conf> instance();

  // Reads the file named by the variable again (tests change the variable between
  // cases). Returns false when the file could not be loaded; the production
  // defaults are then in effect. Objects already handed out stay valid.
  static bool reload();

  // A configuration holding the production defaults.
  Standin_Conf();

  // Parses a configuration text. Relative paths are resolved against base_dir
  // (which must be absolute when such paths occur). On failure returns false,
  // describes the problem in error and leaves *this unchanged.
  bool parse(const std::string& text, const std::string& base_dir, std::string& error);

  // Reads and parses a file; on failure as parse().
  bool load(const std::string& path, std::string& error);

  // The file this configuration came from; empty for the defaults.
  const std::string& source() const { return source_; }

  // Expands every "$COMPONENT" in text.
  std::string expand(const std::string& text) const;

  // The location of a system path: the root prefix, then the path with
  // "$COMPONENT" expanded.
  std::string system_path(const std::string& path) const;

  const std::string& root_prefix() const { return root_prefix_; }
  const std::string& component() const { return component_; }

  const std::string& access_key() const { return access_key_; }
  const std::string& node_access_key() const { return node_access_key_; }
  bool on_backupd() const { return on_backupd_; }
  // Default: <root>/etc/opt/quillon/tessera3/$COMPONENT/keys/host.pem
  const std::string& rsa_private_key() const { return rsa_private_key_; }

  // Default: "localhost", 443, true.
  const std::string& backupd_host() const { return backupd_host_; }
  std::uint16_t backupd_port() const { return backupd_port_; }
  bool backupd_ssl() const { return backupd_ssl_; }

  const std::vector<Standin_Pool>& pools() const { return pools_; }
  // The pool with that uuid, or null.
  const Standin_Pool* find_pool(const std::string& uuid) const;

  // Default: <root>/var/opt/quillon/tessera3/$COMPONENT/catalog
  const std::string& catalog_dir() const { return catalog_dir_; }
  // Default: <root>/var/opt/quillon/tessera3/$COMPONENT/alerts.log
  const std::string& alert_sink() const { return alert_sink_; }
  // Default: <root>/var/opt/quillon/tessera3/$COMPONENT/log/job
  const std::string& job_log_dir() const { return job_log_dir_; }

  // Defaults: "process", empty, empty.
  const std::string& servant_mode() const { return servant_mode_; }
  const std::string& servant_module() const { return servant_module_; }
  const std::string& servant_host_binary() const { return servant_host_binary_; }

  // Default: <root>/dev/disk/by-id
  const std::string& device_dir() const { return device_dir_; }
  // True on a test bed (a configuration with a root prefix), whose hot-plugged devices are
  // regular files rather than block devices.
  bool devices_are_files() const { return !root_prefix_.empty(); }

  // Default: empty (the system's trust store), false.
  const std::string& engine_ca_file() const { return engine_ca_file_; }
  bool tls_insecure() const { return tls_insecure_; }
  // Default: 0 (the session's own receive time-out).
  unsigned engine_recv_timeout_ms() const { return engine_recv_timeout_ms_; }

  // The value of "ext.<name>", or null when the file does not set it.
  const std::string* extension(const std::string& name) const;

private:
  void apply_defaults();

  std::string source_;
  std::string root_prefix_;
  std::string component_;
  std::string access_key_;
  std::string node_access_key_;
  bool on_backupd_ = false;
  std::string rsa_private_key_;
  std::string backupd_host_;
  std::uint16_t backupd_port_ = 443;
  bool backupd_ssl_ = true;
  std::vector<Standin_Pool> pools_;
  std::string catalog_dir_;
  std::string alert_sink_;
  std::string job_log_dir_;
  std::string servant_mode_;
  std::string servant_module_;
  std::string servant_host_binary_;
  std::string device_dir_;
  std::string engine_ca_file_;
  bool tls_insecure_ = false;
  unsigned engine_recv_timeout_ms_ = 0;
  std::map<std::string, std::string> extensions_;
};

#pragma GCC visibility pop

#endif
