#include "platform/host/path_conf.h"

#include "platform/config/standin_conf.h"

#include "backup/scrt/log.h"

#include <cerrno>

#include <sys/stat.h>

namespace {

void append_part(std::string& path, const std::string& part)
{
  if (part.empty()) return;
  if (path.empty()) {
    path = part;
    return;
  }
  if (path.back() != '/') {
    if (part.front() != '/') path += '/';
  } else if (part.front() == '/') {
    path.append(part, 1, std::string::npos);
    return;
  }
  path += part;
}

bool is_directory(const std::string& p)
{
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool make_one(const std::string& p, mode_t mode)
{
  if (::mkdir(p.c_str(), mode) == 0) {
    // mkdir applies the umask; the caller asked for this exact mode.
    if (::chmod(p.c_str(), mode) != 0) return false;
    return true;
  }
  if (errno == EEXIST) {
    if (is_directory(p)) return true;
    errno = ENOTDIR;
  }
  return false;
}

}  // namespace

bool make_directories(const std::string& dir, mode_t mode)
{
  mode &= 07777;
  bool ok = true;
  if (!dir.empty() && !is_directory(dir)) {
    // Make each missing component from the top down.
    std::string::size_type pos = 0;
    while (ok) {
      pos = dir.find('/', pos + 1);
      std::string part = dir.substr(0, pos);
      if (!part.empty() && part.back() != '/' && !is_directory(part)) ok = make_one(part, mode);
      if (pos == std::string::npos) break;
    }
  }
  if (!ok) {
    int err = errno;
    RHV_LOG_ERROR("Failed to create directory '%s', errno=%d, %m\n", dir.c_str(), err);
    errno = err;
  }
  return ok;
}

Path_Conf::Path_Conf(const char* prefix, const char* id, bool create, const char* basename, mode_t mode)
{
  init(prefix, id, create, basename, mode);
}

Path_Conf::Path_Conf(const std::string& prefix, const std::string& id, bool create,
                     const std::string& basename, mode_t mode)
{
  init(prefix.c_str(), id.c_str(), create, basename.c_str(), mode);
}

void Path_Conf::init(const char* prefix, const char* id, bool create, const char* basename, mode_t mode)
{
  std::shared_ptr<const Standin_Conf> conf = Standin_Conf::instance();
  dir_ = conf->root_prefix();
  append_part(dir_, conf->expand(prefix ? prefix : ""));
  append_part(dir_, conf->expand(id ? id : ""));
  path_ = dir_;
  append_part(path_, conf->expand(basename ? basename : ""));
  if (create) ok_ = make_directories(dir_, mode);
}
