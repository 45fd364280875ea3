#ifndef PLATFORM_HOST_PATH_CONF_H
#define PLATFORM_HOST_PATH_CONF_H

#include <string>

#include <sys/types.h>

#pragma GCC visibility push(default)

// The location of a file of the product: "<prefix>/<id>/<basename>".
//
// Every "$COMPONENT" in the three parts is replaced by the configured component and
// the configuration's root prefix is put in front, so that two processes that build
// a Path_Conf from the same arguments get the same path. Empty parts are left out
// (no doubled slashes); a null pointer counts as empty.
//
// With create set, the directory "<prefix>/<id>" is made with every missing parent;
// each directory made here gets exactly `mode` whatever the umask is, and directories
// that already exist are left as they are. A failure is logged (LM_ERROR) and shown
// by ok(); str() still gives the path, so that the caller's open fails and reports it.
//
// Examples with root prefix "/tmp/t" and component "rhv":
//   Path_Conf("/etc/opt/quillon/tessera3/$COMPONENT/servant", "rhv", false, "svc.conf", 0750)
//     -> "/tmp/t/etc/opt/quillon/tessera3/rhv/servant/rhv/svc.conf"
//   Path_Conf("/var/opt/quillon/tessera3/$COMPONENT/act/rhv", def_id, true, vm_id, 0750)
//     -> "/tmp/t/var/opt/quillon/tessera3/rhv/act/rhv/<def_id>/<vm_id>", directory made
class Path_Conf {
public:
  Path_Conf(const char* prefix, const char* id, bool create, const char* basename, mode_t mode);
  Path_Conf(const std::string& prefix, const std::string& id, bool create,
            const std::string& basename, mode_t mode);

  // The full path.
  const std::string& str() const { return path_; }
  const char* c_str() const { return path_.c_str(); }

  // The directory part, "<root><prefix>/<id>".
  const std::string& dir() const { return dir_; }

  // False when create was asked and the directory could not be made.
  bool ok() const { return ok_; }

private:
  void init(const char* prefix, const char* id, bool create, const char* basename, mode_t mode);

  std::string dir_;
  std::string path_;
  bool ok_ = true;
};

// mkdir -p: makes dir and every missing parent, each with exactly `mode` (the umask
// does not apply); existing directories are left alone. Another process making the
// same directories at the same time is not an error. On failure logs LM_ERROR
// "Failed to create directory '<dir>', errno=<n>, <text>" and returns false with
// errno set.
bool make_directories(const std::string& dir, mode_t mode);

#pragma GCC visibility pop

#endif
