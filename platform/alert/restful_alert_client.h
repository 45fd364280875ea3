#ifndef PLATFORM_ALERT_RESTFUL_ALERT_CLIENT_H
#define PLATFORM_ALERT_RESTFUL_ALERT_CLIENT_H

#include <cstdint>
#include <memory>
#include <string>

#include "platform/json/value.h"

class JSON_RESTful_Client;

#pragma GCC visibility push(default)

// Sends alerts to the backup server. The local stand-in of the server's alert service
// is the alert sink file named by the platform configuration (alert_sink): each alert
// is one JSON line appended to it,
//   {"id": uint, "level": int, "code": int, "params": [...], "revision": int,
//    "uuids": {"host_uuid": str, "resource_uuid": str, "def_id": str},
//    "activity": str, "start": int, "end": int}
// (keys in that byte order as JSON_Dump writes them). Lines from several threads or
// processes never interleave.
//
// init() binds the client to the server through a JSON_RESTful_Client that the alert
// client owns. Not safe for concurrent use: use one client per alert or per thread.
class RESTful_Alert_Client {
public:
  RESTful_Alert_Client();
  ~RESTful_Alert_Client();
  RESTful_Alert_Client(const RESTful_Alert_Client&) = delete;
  RESTful_Alert_Client& operator=(const RESTful_Alert_Client&) = delete;

  // Prepares the REST client for host:port (TLS when `ssl`) with the access key as its
  // X-Access-Key header. `timeout_seconds` and `retry_seconds` (-1: the defaults) bound
  // the remote exchange. false, with an LM_ERROR line, when the client cannot be made.
  bool init(const std::string& host, std::uint16_t port, bool ssl, const std::string& access_key,
            int timeout_seconds = -1, int retry_seconds = -1);

  // Sends one alert: its 64-bit id, its parameters, the job definition's revision, the
  // host, resource and definition uuids, the job activity's id and its start and end
  // times (seconds; 0 when unknown). With `sync` non-zero the line is on disk when the
  // call returns. false, with an LM_ERROR line, before init or when the line cannot be
  // written whole.
  bool send_alert(std::uint64_t id, const json_spirit::Array& params, std::int64_t job_revision,
                  const std::string& host_uuid, const std::string& resource_uuid, const std::string& def_id,
                  const std::string& activity_id, std::int64_t start_time, std::int64_t end_time, int sync = 1);

  // The REST client, or null before init.
  JSON_RESTful_Client* rest_client() const { return client_.get(); }

private:
  std::unique_ptr<JSON_RESTful_Client> client_;
  int timeout_seconds_ = -1;
  int retry_seconds_ = -1;
};

#pragma GCC visibility pop

#endif
