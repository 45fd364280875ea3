#ifndef PLATFORM_STORAGE_CLIENT_IO_BASE_H
#define PLATFORM_STORAGE_CLIENT_IO_BASE_H

#include <cstdint>
#include <map>
#include <string>

#include "platform/json/value.h"
#include "platform/storage/compression.h"
#include "platform/storage/rate_limits.h"

#pragma GCC visibility push(default)

// How a data mover reaches the storage pool.
enum D2T_Access_Mode {
  D2T_Access_Auto = 0,
  D2T_Access_LAN_Base = 1,
  D2T_Access_RPC = 2,
};

// Ciphers of pools that encrypt on the server side.
enum Encryption_Algorithm {
  ENCRYPTION_NONE = 0,
  ENCRYPTION_AES_128_CBC = 1,
  ENCRYPTION_AES_256_CBC = 2,
};

// Modes of a stored object opened through a client.
class IO_Base {
public:
  enum Mode {
    MODE_READ = 1,
    MODE_WRITE = 2,
  };

  virtual ~IO_Base() = default;
};

class Client_IO_Base : public IO_Base {
public:
  // The options of a storage client. They are filled on the job side (from the job
  // definition, the host and the pool), travel to the servants as JSON, and are given
  // to connect(). The local-file storage carries compression, rate limits, encryption
  // and the extra options without applying them.
  struct Options {
    int compression_method = COMPR_NONE;
    int compression_level = 0;
    int max_seconds_retry = 0;
    std::uint64_t resumption_buffer_size = 0;
    Rate_Limits rate_limits;
    bool server_side_dedup = false;
    D2T_Access_Mode d2t_access_mode = D2T_Access_Auto;

    // Filled from the pool by set_options_by_pool.
    bool server_side_encryption = false;
    int cipher = ENCRYPTION_NONE;
    std::string key;
    std::string iv;
    std::string tenant_access_key;
    std::string dedup_backend_type;

    // Free name/value pairs, such as HTTP headers the client must send.
    std::map<std::string, std::string> extra_options;

    // Sets (or replaces) one extra option.
    void set_extra_option(const std::string& name, const std::string& value) { extra_options[name] = value; }

    // The JSON form, an object with one member per field:
    //   {"compression_method": int, "compression_level": int, "max_seconds_retry": int,
    //    "resumption_buffer_size": uint, "rate_limits": {"dest_rate_limits": uint,
    //    "src_rate_limits": uint}, "server_side_dedup": bool, "d2t_access_mode": 0..2,
    //    "server_side_encryption": bool, "cipher": int, "key": str, "iv": str,
    //    "tenant_access_key": str, "dedup_backend_type": str, "extra_options": {str: str}}
    json_spirit::Object dump() const;

    // Reads the JSON form. Absent members keep their defaults; unknown members are
    // ignored. false when `v` is not an object or a member has another type or is out
    // of range; *this is then unchanged and `why` (when given) names the member.
    bool load(const json_spirit::Value& v, std::string* why = nullptr);

    // A copy of a JSON form fit for a log line: every member value is replaced by
    // "******" but those of the fields known to hold nothing secret (compression, retry,
    // resumption, rate limits, dedup, access mode, encryption switch and cipher, dedup
    // back end); extra options keep their names. A value that is not an object is
    // returned as it is.
    static json_spirit::Value masked(const json_spirit::Value& v);

    bool operator==(const Options& o) const;
    bool operator!=(const Options& o) const { return !(*this == o); }
  };
};

#pragma GCC visibility pop

#endif
