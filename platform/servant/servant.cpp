#include "platform/servant/servant.h"

#include <fstream>

namespace {

std::string trim(const std::string& s)
{
  std::string::size_type b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos)
    return std::string();
  std::string::size_type e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

}  // namespace

bool Servant::reset(const char* kind, const std::string& config_path, const void*, const void*,
                    const std::string& tag)
{
  reset_ = true;
  kind_ = kind != nullptr ? kind : "";
  config_path_ = config_path;
  tag_ = tag;
  config_.clear();
  config_loaded_ = false;
  std::ifstream in(config_path);
  if (!in)
    return true;
  std::string line;
  while (std::getline(in, line)) {
    std::string t = trim(line);
    if (t.empty() || t[0] == '#')
      continue;
    std::string::size_type eq = t.find('=');
    if (eq == std::string::npos)
      continue;
    config_[trim(t.substr(0, eq))] = trim(t.substr(eq + 1));
  }
  config_loaded_ = true;
  return true;
}

void Servant::set_log_msg_callback(std::shared_ptr<ACE_Log_Msg_Callback> callback)
{
  callback_ = std::move(callback);
}

void Servant::set_flags(unsigned long flags)
{
  flags_ = flags;
}

std::string Servant::config(const std::string& key, const std::string& fallback) const
{
  auto it = config_.find(key);
  return it == config_.end() ? fallback : it->second;
}
