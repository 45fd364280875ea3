#ifndef TESTS_SUPPORT_IMAGEIO_SERVER_H
#define TESTS_SUPPORT_IMAGEIO_SERVER_H

// A test imageio daemon on the test HTTP server (127.0.0.1, ephemeral port, plain or TLS).
// It serves each ticket's image from a file, as the daemon serves a transfer:
//
//   OPTIONS /images/<ticket>          200 {"features": [...], "max_readers": n,
//                                     "max_writers": n, "unix_socket": "..."}; a ticket
//                                     that does not allow writes offers 1 writer and
//                                     neither "zero" nor "flush"; "write" implies "read"
//   GET     /images/<ticket>/extents?context=zero
//                                     200 [{"start": 0, "length": <size>, "zero": false,
//                                     "hole": false}]: as the daemon's file back end, one
//                                     data extent, holes or not
//   GET     /images/<ticket>/extents?context=dirty
//                                     200 [{"start", "length", "dirty", "zero"}, ...] from
//                                     the ticket's dirty map (404 when it has none)
//   GET     /images/<ticket>          with "Range: bytes=a-b" (or "a-"): 206 and
//                                     "Content-Range: bytes a-b/<size>"; without: 200 and
//                                     the whole image; a range outside the image: 416
//   PUT     /images/<ticket>[?flush=y|n]
//                                     "Content-Range: bytes a-b/*" (or none: from 0) and a
//                                     body of exactly b-a+1 bytes; Content-Length required
//                                     (400 without); 200 with no body; flush=y fsyncs
//   PATCH   /images/<ticket>          {"op": "zero", "offset", "size", "flush"} or
//                                     {"op": "flush"}
//
// Errors are text/plain with the daemon's statuses: 403 for an unknown ticket or an
// operation the ticket does not allow, 400 for a malformed request, 404 for an unknown
// path, 405 for another method on a known one, 416 for a range outside the image.
//
//   test_support::Imageio_Server daemon;
//   daemon.add_ticket("tk", image);           // image.path: a file in a temporary folder
//   ASSERT_TRUE(daemon.start());
//   ... the client works on daemon.url("tk") ...
//
// Faults make the next matching requests misbehave (see Imageio_Fault). Every member may
// be called from any thread while the server runs.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/test_http_server.h"
#include "tests/support/test_tls.h"

namespace test_support {

struct Imageio_Dirty_Extent {
  uint64_t start = 0;
  uint64_t length = 0;
  bool dirty = true;
  bool zero = false;
};

struct Imageio_Ticket {
  std::string path;   // the image file (made when missing, extended to `size`)
  uint64_t size = 0;  // the image size in bytes
  bool readable = true;
  bool writable = true;  // implies readable
  std::vector<std::string> features{"extents", "zero", "flush"};
  int max_readers = 8;      // < 0: not in the OPTIONS answer
  int max_writers = 8;      // < 0: not in the OPTIONS answer
  bool unix_socket = true;  // "unix_socket" in the OPTIONS answer
  bool has_dirty = false;   // the dirty map below is served
  std::vector<Imageio_Dirty_Extent> dirty;
};

// A misbehaviour for the requests of one kind.
struct Imageio_Fault {
  enum Target { options, extents, read, write };
  enum Kind {
    status,             // answer `status_code` with `body` as text/plain
    close,              // close the connection without answering
    short_body,         // GET: announce the range, send `short_by` bytes less, close
    content_range,      // GET: answer 206 with the Content-Range `body` (the data as asked)
    whole_image,        // GET: answer 200 with the whole image, ignoring the range
    custom,             // answer `status_code` with `body` as `content_type`
    long_body,          // GET: answer 206 for the range but send `short_by` bytes more
    stall,              // read the request, then send nothing until the stalls are
                        // released (Imageio_Server::release_stalls) or the server stops;
                        // then close the connection
    stall_body          // GET of a range: answer 206 and send all but the last `short_by`
                        // bytes; other requests: answer `status_code` with `body` as
                        // `content_type`, all but its last `short_by` bytes. Then as stall.
  };
  Target target = read;
  Kind kind = status;
  int status_code = 500;
  std::string body;
  std::string content_type = "text/plain";
  uint64_t short_by = 1;
  int count = 1;  // < 0: every request from now on
};

class Imageio_Server {
public:
  Imageio_Server();
  explicit Imageio_Server(const Tls_Files& tls);
  ~Imageio_Server();
  Imageio_Server(const Imageio_Server&) = delete;
  Imageio_Server& operator=(const Imageio_Server&) = delete;

  bool start();
  void stop();
  unsigned short port() const;
  // "http[s]://127.0.0.1:<port>"
  std::string base_url() const;
  // "<base url>/images/<ticket>"
  std::string url(const std::string& ticket) const;

  // Adds or replaces a ticket; makes its file (sparse) when missing and extends it to the
  // ticket's size. False when the file cannot be made.
  bool add_ticket(const std::string& ticket, const Imageio_Ticket& image);
  void remove_ticket(const std::string& ticket);

  void add_fault(const Imageio_Fault& fault);
  // Removes the faults and ends the release of stalls.
  void clear_faults();

  // Ends every stall, those under way and those to come (until clear_faults()): each
  // closes its connection at once.
  void release_stalls();
  // Waits until `count` requests in all have entered a stall since the last
  // clear_faults(); false when that has not happened within a minute or the server stops.
  bool wait_for_stalls(size_t count);

  // fsyncs done for flush requests.
  size_t flushes() const;
  // The request log and the misbehaviour hooks of the underlying server.
  Test_Http_Server& http();

  struct Impl;

private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace test_support

#endif
