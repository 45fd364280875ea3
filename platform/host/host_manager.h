#ifndef PLATFORM_HOST_HOST_MANAGER_H
#define PLATFORM_HOST_HOST_MANAGER_H

#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <time.h>
#include <vector>

#include <openssl/evp.h>

#pragma GCC visibility push(default)

// This host's identity towards the backup server: its access keys, whether it is
// the backup server itself, and its RSA private key. Everything comes from the
// platform configuration as it is at the time of the call. Thread-safe.
class Host_Manager {
public:
  // The process-wide instance; never null.
  static Host_Manager* instance();

  // The key this host presents to the backup server.
  std::string access_key() const;
  // The key of a node on which the backup server itself runs.
  std::string node_access_key() const;
  // True when this host runs the backup server.
  bool on_backupd() const;

  // The host's RSA private key (2048 bits or more), read from the configured PEM file
  // (PKCS#8 or the older RSA form, unencrypted). The key stays owned by the manager
  // and valid until the process ends; do not free it. The file is read again when it
  // or the configured path changes. Null, with an LM_ERROR line, when the file is
  // missing, unreadable, not an RSA key or shorter than 2048 bits.
  EVP_PKEY* rsa_prvkey();

  ~Host_Manager();

private:
  Host_Manager() = default;
  Host_Manager(const Host_Manager&) = delete;
  Host_Manager& operator=(const Host_Manager&) = delete;

  struct File_Id {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0};
    bool operator==(const File_Id& o) const;
  };

  std::mutex lock_;
  EVP_PKEY* key_ = nullptr;
  File_Id key_file_;
  // Keys replaced after a change of the file: callers may still hold them.
  std::vector<EVP_PKEY*> retired_;
};

// Where the backup server is reached: host, port and whether over TLS. Read from the
// platform configuration as it is at the time of the call. Thread-safe.
class WebSocket_Options {
public:
  // The process-wide instance; never null.
  static WebSocket_Options* instance();

  std::string host() const;
  std::uint16_t port() const;
  bool ssl() const;

private:
  WebSocket_Options() = default;
};

#pragma GCC visibility pop

#endif
