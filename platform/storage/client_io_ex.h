#ifndef PLATFORM_STORAGE_CLIENT_IO_EX_H
#define PLATFORM_STORAGE_CLIENT_IO_EX_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/storage/client_io_base.h"

#pragma GCC visibility push(default)

// A client of a storage pool held in a local directory ("file:///dir").
//
// connect() binds the client to a directory of the pool; open() opens one stored object
// (a path relative to that directory) for reading or writing. An object written through
// the client becomes visible under its name only when close() succeeds: the data goes to
// a hidden temporary file in the same directory, which close() flushes to disk and
// renames over the name. A client destroyed, re-opened or failing before that leaves
// nothing under the name (the temporary file is removed).
//
// Every failing call returns false (or -1), keeps errno, and describes the failure in
// error(). Not safe for concurrent use: each thread uses its own client.
class Client_IO_Ex : public Client_IO_Base {
public:
  Client_IO_Ex() = default;
  ~Client_IO_Ex() override;
  Client_IO_Ex(const Client_IO_Ex&) = delete;
  Client_IO_Ex& operator=(const Client_IO_Ex&) = delete;

  // Binds the client to the directory of `url`, which must be "file://" followed by an
  // absolute path ("file://localhost/..." is accepted too). The directory need not exist
  // yet (the first open for writing creates it), but if the path exists it must be a
  // directory. Closes (discarding) anything open.
  bool connect(const std::string& url, const Options& opts);

  // Opens `path` under the connected directory: MODE_READ (1) an existing object,
  // MODE_WRITE (2) a new version of it, creating missing directories (mode 0750).
  // The path must be relative and must not hold ".." components; leading slashes are
  // ignored. `flags` and `offset` are reserved and must be 0.
  bool open(const std::string& path, int mode, int flags = 0, std::int64_t offset = 0);

  // Reads up to n bytes; fewer only at the end of the object. -1 on failure.
  ssize_t read(void* buf, std::size_t n);

  // Writes all n bytes; returns n, or -1 on failure.
  ssize_t write(const void* buf, std::size_t n);

  // Finishes the open object. For an object opened for writing: flushes the data to the
  // disk, renames it into place and flushes the directory; false when any of this fails
  // (the object is then not stored). For reading: releases it. true when nothing is open.
  bool close();

  // Removes the object at `path` (relative as in open()). An object that does not exist
  // counts as removed. false when it cannot be removed or the path is refused.
  bool remove(const std::string& path);

  // Text of the last failure ("" when none failed).
  const char* error() const { return error_.c_str(); }

  // Bytes the pool stores for the object opened last: its size when read, the bytes
  // written so far while written, and the stored size once closed.
  std::uint64_t storage_size() const { return storage_size_; }

  bool is_connected() const { return connected_; }
  bool is_open() const { return fd_ >= 0; }

  // The directory the client is bound to, and the options given to connect().
  const std::string& directory() const { return dir_; }
  const Options& options() const { return opts_; }

private:
  bool fail(int err, const std::string& what);
  bool resolve(const std::string& path, std::string& full);
  void discard();
  // The hidden name beside `full` that a write in progress uses: "<dir>/.<name>.<tail>".
  static std::string temp_name(const std::string& full, const std::string& tail);
  // Gives the unnamed file being written a temporary name (temp_path_).
  bool link_unnamed();

  bool connected_ = false;
  std::string dir_;
  Options opts_;
  std::string error_;

  int fd_ = -1;
  int mode_ = 0;
  std::string path_;       // the object's full path
  std::string temp_path_;  // the temporary name while writing (empty: the file has no name yet)
  std::uint64_t storage_size_ = 0;
};

#pragma GCC visibility pop

#endif
