#ifndef PLATFORM_SERVANT_SERVANT_H
#define PLATFORM_SERVANT_SERVANT_H

// A handle on one servant: the helper process (or in-process endpoint) that runs one
// task for a job. The task scheduler creates a fresh handle per task; the job module's
// init callback configures it with reset(), then routes its log lines with
// set_log_msg_callback(). The handle only holds the settings; starting the servant is
// the scheduler's business.
//
// The configuration file named in reset() is a text file of "key=value" lines
// ('#' starts a comment line): "mode" ("process" or "inprocess"), "module" (the module
// to load) and "host_binary" (the servant host program for process mode).

#include <ace/Log_Msg_Callback.h>

#include <map>
#include <memory>
#include <string>

#pragma GCC visibility push(default)

class Servant {
public:
  Servant() = default;

  // Sets up the handle: the servant `kind` (e.g. "starter"), its configuration file,
  // and a `tag` naming the work it does (the VM id). `arg` and `extra` are reserved
  // (pass null). The configuration is read now; a missing or unreadable file leaves it
  // empty, which the scheduler reports when it starts the servant. Returns true.
  bool reset(const char* kind, const std::string& config_path, const void* arg,
             const void* extra, const std::string& tag);

  // Where the servant's log lines go.
  void set_log_msg_callback(std::shared_ptr<ACE_Log_Msg_Callback> callback);
  void set_flags(unsigned long flags);

  const std::string& kind() const { return kind_; }
  const std::string& config_path() const { return config_path_; }
  const std::string& tag() const { return tag_; }
  const std::shared_ptr<ACE_Log_Msg_Callback>& log_msg_callback() const { return callback_; }
  unsigned long flags() const { return flags_; }
  bool is_reset() const { return reset_; }

  // The configuration's value of `key`, or `fallback`.
  std::string config(const std::string& key, const std::string& fallback = std::string()) const;
  // False when the configuration file could not be read.
  bool config_loaded() const { return config_loaded_; }

private:
  bool reset_ = false;
  std::string kind_;
  std::string config_path_;
  std::string tag_;
  std::shared_ptr<ACE_Log_Msg_Callback> callback_;
  unsigned long flags_ = 0;
  bool config_loaded_ = false;
  std::map<std::string, std::string> config_;
};

#pragma GCC visibility pop

#endif  // PLATFORM_SERVANT_SERVANT_H
