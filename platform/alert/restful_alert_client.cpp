#include "platform/alert/restful_alert_client.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "backup/scrt/log.h"
#include "platform/alert/error_id.h"
#include "platform/config/standin_conf.h"
#include "platform/http/http_headers.h"
#include "platform/http/json_restful_client.h"
#include "platform/json/json_dump.h"

using json_spirit::Object;

namespace {

int make_parent_dirs(const std::string& path)
{
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return 0;
  const std::string dir = path.substr(0, slash);
  for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    if (::mkdir(dir.substr(0, pos).c_str(), 0750) != 0 && errno != EEXIST) return -1;
  }
  return 0;
}

// Appends `line` to the file at `path` under an exclusive lock, so that lines of
// concurrent writers (threads or processes) never interleave.
bool append_line(const std::string& path, const std::string& line, bool sync)
{
  if (make_parent_dirs(path) != 0) return false;
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  bool ok = true;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ok = false;
      break;
    }
  }
  std::size_t done = 0;
  while (ok && done < line.size()) {
    ssize_t r = ::write(fd, line.data() + done, line.size() - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      if (r == 0) errno = EIO;
      ok = false;
      break;
    }
    done += static_cast<std::size_t>(r);
  }
  if (ok && sync && ::fdatasync(fd) != 0) ok = false;
  int err = errno;
  ::close(fd);  // releases the lock
  errno = err;
  return ok;
}

}  // namespace

RESTful_Alert_Client::RESTful_Alert_Client() = default;
RESTful_Alert_Client::~RESTful_Alert_Client() = default;

bool RESTful_Alert_Client::init(const std::string& host, std::uint16_t port, bool ssl, const std::string& access_key,
                                int timeout_seconds, int retry_seconds)
{
  std::unique_ptr<JSON_RESTful_Client> client(new (std::nothrow) JSON_RESTful_Client());
  if (!client) {
    RHV_LOG(-1, LM_ERROR, "Failed to allocate the alert client of %s:%d.\n", host.c_str(), int(port));
    return false;
  }
  if (!client->reset(host, port, ssl) || !client->set_header(HTTP_HEAD_X_ACCESS_KEY, access_key)) {
    RHV_LOG(-1, LM_ERROR, "Failed to prepare the alert client of %s:%d.\n", host.c_str(), int(port));
    return false;
  }
  client_ = std::move(client);
  timeout_seconds_ = timeout_seconds;
  retry_seconds_ = retry_seconds;
  return true;
}

bool RESTful_Alert_Client::send_alert(std::uint64_t id, const json_spirit::Array& params, std::int64_t job_revision,
                                      const std::string& host_uuid, const std::string& resource_uuid,
                                      const std::string& def_id, const std::string& activity_id,
                                      std::int64_t start_time, std::int64_t end_time, int sync)
{
  const Error_ID eid(id);
  if (!client_) {
    RHV_LOG(-1, LM_ERROR, "Alert level %d, code %d sent before the alert client was initialised.\n", eid.level(),
            eid.code());
    return false;
  }
  Object uuids;
  uuids["host_uuid"] = host_uuid;
  uuids["resource_uuid"] = resource_uuid;
  uuids["def_id"] = def_id;
  Object alert;
  alert["id"] = static_cast<unsigned long>(id);
  alert["level"] = eid.level();
  alert["code"] = eid.code();
  alert["params"] = params;
  alert["revision"] = static_cast<long>(job_revision);
  alert["uuids"] = std::move(uuids);
  alert["activity"] = activity_id;
  alert["start"] = static_cast<long>(start_time);
  alert["end"] = static_cast<long>(end_time);
  std::string line = JSON_Dump(alert).release();
  line += '\n';

  const std::string sink = Standin_Conf::instance()->alert_sink();
  if (!append_line(sink, line, sync != 0)) {
    RHV_LOG(-1, LM_ERROR, "Failed to write alert level %d, code %d to '%s', errno=%d, %m.\n", eid.level(), eid.code(),
            sink.c_str(), errno);
    return false;
  }
  return true;
}
