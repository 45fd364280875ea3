#ifndef BACKUP_SCRT_MEM_MAP_HANDLE_H
#define BACKUP_SCRT_MEM_MAP_HANDLE_H

// A fixed-layout record shared between processes through a small file that every
// party maps read-write and shared (ACE_MAP_SHARED): the job process creates the file,
// the servant processes open the same file by the same id and base name, and all of
// them read and write the record in place without locks.
//
// `Conf` supplies the directory: `static const char* prefix()`. Records named by one id
// alone (the job activity) also need `static const char* group()`, the directory under
// the prefix that holds them; see the four-argument open().
//
// The record type must be a plain fixed-size layout that fits in `Size` bytes; readers
// must tolerate a record written concurrently by another process.

#include <ace/Mem_Map.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_sys_stat.h>
#include <ace/OS_NS_unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "platform/host/path_conf.h"

namespace scrt_detail {

// True for a text that names one entry of a directory: not "." or "..", no "/".
inline bool is_plain_path_component(const char* s)
{
  return std::strchr(s, '/') == nullptr && std::strcmp(s, ".") != 0 &&
         std::strcmp(s, "..") != 0;
}

}  // namespace scrt_detail

// Fails the calling function with `ret` when the text `s` does not name one plain
// directory entry (it holds "/" or is "." or ".."): such an id would address a file
// outside the record directory.
#define RHV_CHECK_PLAIN_NAME(s, ret)                                                   \
  do {                                                                                 \
    if (!scrt_detail::is_plain_path_component(s)) {                                    \
      RHV_LOG(-1, LM_EMERGENCY,                                                        \
              "Unexpected error in %N:%l, " #s " is not a plain file name:\n%?\n");    \
      return ret;                                                                      \
    }                                                                                  \
  } while (0)

template <typename T, typename Conf, size_t Size = 4096>
class Mem_Map_Handle {
  static_assert(sizeof(T) <= Size, "the record must fit in the mapped file");

public:
  Mem_Map_Handle() = default;
  ~Mem_Map_Handle() { close(); }
  Mem_Map_Handle(const Mem_Map_Handle&) = delete;
  Mem_Map_Handle& operator=(const Mem_Map_Handle&) = delete;

  // Maps <prefix>/<id>/<basename>. With `create` the missing directories are made with
  // `mode`, a new file gets mode 0640 and the file is extended to `Size` bytes; without
  // it the file must already exist and hold at least one whole record. `id` and
  // `basename` must each name one plain directory entry. Returns 0, or -1 with the
  // handle left unmapped.
  int open(const char* id, const char* basename, bool create, bool cloexec, mode_t mode)
  {
    RHV_CHECK_NOT_NULL_OR_EMPTY(id, -1);
    RHV_CHECK_NOT_NULL_OR_EMPTY(basename, -1);
    RHV_CHECK_PLAIN_NAME(id, -1);
    RHV_CHECK_PLAIN_NAME(basename, -1);
    return map_i(Conf::prefix(), id, basename, create, cloexec, mode);
  }

  // Maps <prefix>/<group>/<id>: the form used for records named by one id.
  // Returns true on success.
  bool open(const char* id, bool create, bool cloexec, mode_t mode)
  {
    RHV_CHECK_NOT_NULL_OR_EMPTY(id, false);
    RHV_CHECK_PLAIN_NAME(id, false);
    return map_i(Conf::prefix(), Conf::group(), id, create, cloexec, mode) == 0;
  }

  explicit operator bool() const { return map_.addr() != MAP_FAILED && map_.addr() != nullptr; }
  T* get() const { return *this ? static_cast<T*>(map_.addr()) : nullptr; }
  T* operator->() const { return get(); }

  // Unmaps and closes the file; the result of the underlying close.
  int close() { return map_.close(); }

  // Schedules the write-back of the mapped pages to the file (MS_ASYNC by default:
  // other processes see the record through the shared mapping at once anyway).
  int sync(int flags = MS_ASYNC) { return *this ? map_.sync(flags) : -1; }

private:
  int map_i(const char* prefix, const char* dir, const char* name, bool create, bool cloexec,
            mode_t mode)
  {
    close();
    int flags = O_RDWR;
    if (create)
      flags |= O_CREAT;
    if (cloexec)
      flags |= O_CLOEXEC;  // set at open time, so no exec can inherit the descriptor
    std::string path = Path_Conf(prefix, dir, create, name, mode).str();
    size_t length = create ? Size : static_cast<size_t>(-1);
    if (!create) {
      // Mapping a file shorter than one record would let the record run off the end
      // of the mapping; refuse it before mapping.
      ACE_stat st;
      if (ACE_OS::stat(path.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) < sizeof(T))
        return fail_i(path, EINVAL);
    }
    if (map_.map(path.c_str(), length, flags, 0640, PROT_RDWR, ACE_MAP_SHARED) != 0)
      return fail_i(path, errno);
    if (create)
      ::fchmod(map_.handle(), 0640);  // the umask must not narrow the mode
    if (map_.size() < sizeof(T))
      return fail_i(path, EINVAL);
    return 0;
  }

  int fail_i(const std::string& path, int err)
  {
    map_.close();
    errno = err;
    RHV_LOG(-1, LM_ERROR, "Failed to memory map %s, errno=%d, %m\n", path.c_str(), err);
    errno = err;
    return -1;
  }

  ACE_Mem_Map map_;
};

#endif  // BACKUP_SCRT_MEM_MAP_HANDLE_H
