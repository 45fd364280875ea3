#include "platform/catalog/restful_catalog_operator.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "backup/scrt/log.h"
#include "platform/config/standin_conf.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"

using json_spirit::Array;
using json_spirit::Object;
using json_spirit::Value;

namespace {

const char k_suffix[] = ".json";

bool plain_name(const std::string& s)
{
  if (s.empty() || s == "." || s == "..") return false;
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
  });
}

int make_dirs(const std::string& dir, mode_t mode)
{
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    std::string cur = dir.substr(0, pos);
    if (::mkdir(cur.c_str(), mode) != 0 && errno != EEXIST) return -1;
  }
  return 0;
}

bool write_all(int fd, const std::string& text)
{
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t r = ::write(fd, text.data() + done, text.size() - done);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(r);
  }
  return true;
}

int sync_dir(const std::string& dir)
{
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = ::fsync(fd);
  int err = errno;
  ::close(fd);
  errno = err;
  return rc;
}

bool read_text(const std::string& path, std::string& text)
{
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text.clear();
  char buf[65536];
  for (;;) {
    ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      errno = err;
      return false;
    }
    if (r == 0) break;
    text.append(buf, static_cast<std::size_t>(r));
  }
  ::close(fd);
  return true;
}

// The "rhev"/"restore" element of one set.
Object restore_element(const RHV_Backup_Set& s)
{
  Object e;
  e["vm_profile"] = s.vm();
  e["disks_profile"] = s.disk_attachments();
  e["storages"] = s.storages();
  e["uri"] = s.uri();
  Array pieces;
  pieces.reserve(s.pieces().size());
  for (const Backup_Piece& p : s.pieces()) pieces.push_back(p.dump());
  e["pieces"] = std::move(pieces);
  e["source_size"] = s.source_size();
  e["set_uuid"] = s.set_uuid();
  e["name"] = s.name();
  e["vm_id"] = s.vm_id();
  e["vm_name"] = s.vm_name();
  e["resource_uuid"] = s.resource_uuid();
  e["host_uuid"] = s.host_uuid();
  e["subtype"] = s.subtype();
  e["start_time"] = s.start_time();
  e["end_time"] = s.end_time();
  e["set_size"] = s.set_size();
  return e;
}

bool matches(const Object& stored, const Object& filter)
{
  for (const auto& kv : filter) {
    auto it = stored.find(kv.first);
    if (it == stored.end() || it->second != kv.second) return false;
  }
  return true;
}

}  // namespace

RESTful_Catalog_Operator::RESTful_Catalog_Operator(const std::string& host, std::uint16_t port, bool ssl,
                                                   const std::string& access_key, int timeout_seconds,
                                                   int retry_seconds)
  : host_(host), port_(port), ssl_(ssl), access_key_(access_key), timeout_seconds_(timeout_seconds),
    retry_seconds_(retry_seconds)
{
}

bool RESTful_Catalog_Operator::commit(const Backup_Set& set, bool overwrite)
{
  const std::string& uuid = set.set_uuid();
  if (!plain_name(uuid)) {
    errno = EINVAL;
    RHV_LOG(-1, LM_ERROR, "Invalid backup set uuid '%s' for the catalog.\n", uuid.c_str());
    return false;
  }
  const std::string dir = Standin_Conf::instance()->catalog_dir();
  if (make_dirs(dir, 0750) != 0) {
    RHV_LOG(-1, LM_ERROR, "Failed to create catalog directory '%s', errno=%d, %m.\n", dir.c_str(), errno);
    return false;
  }
  const std::string final_path = dir + "/" + uuid + k_suffix;
  std::string text = JSON_Dump(set.dump()).release();
  text += '\n';

  std::vector<char> templ;
  const std::string t = dir + "/." + uuid + k_suffix + ".XXXXXX";
  templ.assign(t.begin(), t.end());
  templ.push_back('\0');
  int fd = ::mkostemp(templ.data(), O_CLOEXEC);
  if (fd < 0) {
    RHV_LOG(-1, LM_ERROR, "Failed to create a catalog file in '%s', errno=%d, %m.\n", dir.c_str(), errno);
    return false;
  }
  const std::string temp_path = templ.data();
  const char* step = nullptr;
  if (::fchmod(fd, 0640) != 0)
    step = "set the mode of";
  else if (!write_all(fd, text))
    step = "write";
  else if (::fsync(fd) != 0)
    step = "flush";
  int err = errno;
  if (::close(fd) != 0 && step == nullptr) {
    step = "close";
    err = errno;
  }
  if (step == nullptr) {
    int rc = overwrite ? ::rename(temp_path.c_str(), final_path.c_str()) : ::link(temp_path.c_str(), final_path.c_str());
    if (rc != 0) {
      step = overwrite ? "rename" : "link";
      err = errno;
    }
  }
  if (step != nullptr || !overwrite) ::unlink(temp_path.c_str());
  if (step != nullptr) {
    errno = err;
    RHV_LOG(-1, LM_ERROR, "Failed to %s catalog file of backup set '%s', errno=%d, %m.\n", step, uuid.c_str(), err);
    return false;
  }
  if (sync_dir(dir) != 0) {
    RHV_LOG(-1, LM_ERROR, "Failed to flush catalog directory '%s', errno=%d, %m.\n", dir.c_str(), errno);
    return false;
  }
  return true;
}

bool RESTful_Catalog_Operator::get_view(const std::string& app, const std::string& view,
                                        const json_spirit::Object& filter, json_spirit::Value& result)
{
  if (app != RHV_Backup_Set::APP || view != "restore") {
    RHV_LOG(-1, LM_ERROR, "Unknown catalog view '%s/%s'.\n", app.c_str(), view.c_str());
    return false;
  }
  const std::string dir = Standin_Conf::instance()->catalog_dir();
  std::vector<RHV_Backup_Set> sets;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    if (errno == ENOENT) {
      result = Array();
      return true;
    }
    RHV_LOG(-1, LM_ERROR, "Failed to open catalog directory '%s', errno=%d, %m.\n", dir.c_str(), errno);
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    const std::size_t n = sizeof k_suffix - 1;
    if (name.empty() || name[0] == '.' || name.size() <= n || name.compare(name.size() - n, n, k_suffix) != 0)
      continue;
    names.push_back(name);
  }
  ::closedir(d);

  for (const std::string& name : names) {
    const std::string path = dir + "/" + name;
    std::string text, why;
    Value v;
    if (!read_text(path, text)) {
      // Removed since the directory was listed.
      if (errno != ENOENT) RHV_LOG(0, LM_WARNING, "Failed to read catalog file '%s'.\n", path.c_str());
      continue;
    }
    if (!json_spirit::parse(text, v, &why)) {
      RHV_LOG(0, LM_WARNING, "Skipping catalog file '%s': %s.\n", path.c_str(), why.c_str());
      continue;
    }
    if (v.type() != json_spirit::obj_type || !matches(v.get_obj(), filter)) continue;
    RHV_Backup_Set s;
    if (!s.load(v)) {
      // Another application's set, or a damaged one.
      auto it = v.get_obj().find("app");
      if (it != v.get_obj().end() && it->second == Value(RHV_Backup_Set::APP))
        RHV_LOG(0, LM_WARNING, "Skipping catalog file '%s': not a valid backup set.\n", path.c_str());
      continue;
    }
    sets.push_back(std::move(s));
  }

  std::sort(sets.begin(), sets.end(), [](const RHV_Backup_Set& a, const RHV_Backup_Set& b) {
    if (a.end_time() != b.end_time()) return a.end_time() > b.end_time();
    if (a.start_time() != b.start_time()) return a.start_time() > b.start_time();
    return a.set_uuid() < b.set_uuid();
  });
  Array out;
  out.reserve(sets.size());
  for (const RHV_Backup_Set& s : sets) out.push_back(restore_element(s));
  result = std::move(out);
  return true;
}
