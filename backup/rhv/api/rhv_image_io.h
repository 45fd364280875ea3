#ifndef BACKUP_RHV_API_RHV_IMAGE_IO_H
#define BACKUP_RHV_API_RHV_IMAGE_IO_H

// Client of the imageio daemon, which serves the disk image of an image transfer
// (rhv_backup_service.h) at the transfer's URL, "https://<host>:54322/images/<ticket>":
//
//   OPTIONS <path>                    capabilities: {"features": [...], "max_readers",
//                                     "max_writers", "unix_socket"}
//   GET     <path>/extents?context=   the allocation map ("zero") or, for an incremental
//                                     backup, the map of changes ("dirty")
//   GET     <path> with Range         bytes of the image; 206 with Content-Range
//   PUT     <path>?flush=y|n          bytes of the image at Content-Range; 200
//
//   auto io = std::make_shared<RHV_Image_IO>();
//   if (!io->init(transfer.transfer_url)) ...
//   RHV_Image_Reader reader(io, 4 << 20);
//   reader.open(offset, length);
//   void* data; long n;
//   while (reader.read(data, n) && n > 0) ... consume n bytes at data ...
//   reader.close();
//
// The ticket in the URL grants access to the disk: log lines name the transfer by its URL
// with the ticket replaced by "***".
//
// Every failure is logged once where it happens (LM_ERROR, or LM_EMERGENCY for a broken
// precondition) and reported as false; nothing is retried here beyond what the JSON
// session does for the extents GET. Whatever the daemon answers (status, headers, body)
// ends in a logged failure when it is not what the protocol says, never in bytes outside
// the requested range.
//
// RHV_Image_IO is read-only after init(), so readers and writers on several threads may
// share it; one reader or writer belongs to one thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <ace/Message_Block.h>

#include "backup/http/http_request.h"
#include "platform/http/http_connection.h"
#include "platform/http/http_session.h"

// One range of the image in the allocation or change map.
struct RHV_Extent {
  enum Flags {
    ZERO = 1,           // the range reads as zeros
    INCREMENTAL = 2,    // the extent came from an incremental (dirty) query
    DIRTY_OR_HOLE = 4   // incremental: changed since the checkpoint; otherwise: a hole
  };

  uint64_t start = 0;   // byte offset
  uint64_t length = 0;  // bytes
  unsigned flags = 0;

  bool zero() const { return (flags & ZERO) != 0; }
  bool incremental() const { return (flags & INCREMENTAL) != 0; }
  bool dirty() const { return incremental() && (flags & DIRTY_OR_HOLE) != 0; }
  bool hole() const { return !incremental() && (flags & DIRTY_OR_HOLE) != 0; }
};

// One transfer endpoint of the imageio daemon and what it offers.
class RHV_Image_IO {
public:
  enum Flags { ENABLE_EXTENTS = 1, ENABLE_ZERO = 2, ENABLE_FLUSH = 4 };

  // Parses the transfer URL, then asks the daemon for its capabilities (options()).
  bool init(std::string url);
  // OPTIONS: "unix_socket" and "features" are required; "max_readers" and "max_writers"
  // change the limits only when present. Feature bits are only ever added. On failure
  // nothing changes.
  bool options();
  // The allocation map ("zero": extents flagged ZERO and hole) or the change map since
  // the backup's checkpoint ("dirty"), appended to `extents` in the daemon's order; on
  // failure `extents` is left as it was.
  bool extents(std::vector<RHV_Extent>& extents, bool incremental) const;

  const std::string& url() const { return url_; }
  const std::string& host() const { return host_; }
  uint16_t port() const { return port_; }
  bool ssl() const { return ssl_; }
  const std::string& path() const { return path_; }
  const std::string& unix_socket() const { return unix_socket_; }
  // How many readers and writers may work at once; 0: the operation is not offered. Both
  // are 1 until the daemon tells otherwise (a daemon that states no limit serves one
  // connection at a time).
  uint32_t max_readers() const { return max_readers_; }
  uint32_t max_writers() const { return max_writers_; }
  bool enable_extents() const { return (flags_ & ENABLE_EXTENTS) != 0; }
  bool enable_zero() const { return (flags_ & ENABLE_ZERO) != 0; }
  bool enable_flush() const { return (flags_ & ENABLE_FLUSH) != 0; }

  // A new HTTP session for the endpoint; empty (logged by the library) on failure.
  HTTP_Session_var create_session() const;
  // The transfer URL with its ticket masked, for log lines.
  std::string safe_url() const;
  // The URL of `req` on this endpoint, ticket masked: "scheme://host:port<path>?<query>".
  std::string safe_url(const CGI_Request& req) const;

private:
  std::string url_;
  std::string host_;
  uint16_t port_ = 0;
  bool ssl_ = false;
  std::string path_;
  std::string unix_socket_;
  unsigned flags_ = 0;
  uint32_t max_readers_ = 1;
  uint32_t max_writers_ = 1;
};

// Reads ranges of the image with ranged GETs, `buffer_size` bytes at most per read().
class RHV_Image_Reader {
public:
  RHV_Image_Reader(std::shared_ptr<RHV_Image_IO> io, size_t buffer_size);
  RHV_Image_Reader(const RHV_Image_Reader&) = delete;
  RHV_Image_Reader& operator=(const RHV_Image_Reader&) = delete;

  // Asks for `length` bytes (not 0) from `offset`; true once the daemon answered 206 for
  // exactly that range. Drops the range open before.
  bool open(uint64_t offset, uint64_t length);
  // The next part of the range: `data` points at `length` bytes (valid until the next
  // read() or close()); `length` 0 once the range has been read whole. A range that ends
  // short, or a body longer than the range, fails.
  bool read(void*& data, long& length);
  bool close();

private:
  std::shared_ptr<RHV_Image_IO> io_;
  size_t buffer_size_;
  HTTP_Session_var sess_;
  HTTP_Request req_;
  HTTP_Connection_var conn_;
  ACE_Message_Block block_;
  uint64_t remain_length_ = 0;  // bytes of the open range not yet delivered
};

// Writes ranges of the image with PUTs.
class RHV_Image_Writer {
public:
  // libcurl's buffer for the body of a PUT: the pieces handed to write() are large (a
  // block), and libcurl's default buffer would send them 64 KiB at a time.
  static constexpr size_t UPLOAD_BUFFER_SIZE = 2u << 20;

  explicit RHV_Image_Writer(std::shared_ptr<RHV_Image_IO> io);
  RHV_Image_Writer(const RHV_Image_Writer&) = delete;
  RHV_Image_Writer& operator=(const RHV_Image_Writer&) = delete;

  // Starts a PUT of `length` bytes (not 0) at `offset`; `flush`: the daemon flushes the
  // image to storage once the range is written (needs the "flush" feature). Drops the
  // range open before.
  bool open(uint64_t offset, uint64_t length, bool flush);
  // Sends the next piece of the range. The pieces must add up to exactly the announced
  // length: a piece larger than what is left is refused (nothing sent), and so is a write
  // when no range is open or the range is complete. A piece of 0 bytes changes nothing.
  // The piece that completes the range also reads the daemon's answer (200 expected).
  bool write(void const* data, size_t size);
  bool close();

private:
  std::shared_ptr<RHV_Image_IO> io_;
  HTTP_Session_var sess_;
  HTTP_Request req_;
  HTTP_Connection_var conn_;
  uint64_t remain_length_;  // bytes of the open range still to send
};

#endif
