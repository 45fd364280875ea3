#include "platform/host/host_manager.h"

#include "platform/config/standin_conf.h"

#include "backup/scrt/log.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <cerrno>

#include <sys/stat.h>

namespace {

// The first queued OpenSSL error as text (and the queue cleared), or fallback.
std::string openssl_error(const char* fallback)
{
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return fallback;
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

}  // namespace

bool Host_Manager::File_Id::operator==(const File_Id& o) const
{
  return path == o.path && dev == o.dev && ino == o.ino && size == o.size &&
         mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
}

Host_Manager* Host_Manager::instance()
{
  static Host_Manager manager;
  return &manager;
}

Host_Manager::~Host_Manager()
{
  EVP_PKEY_free(key_);
  for (EVP_PKEY* k : retired_) EVP_PKEY_free(k);
}

std::string Host_Manager::access_key() const
{
  return Standin_Conf::instance()->access_key();
}

std::string Host_Manager::node_access_key() const
{
  return Standin_Conf::instance()->node_access_key();
}

bool Host_Manager::on_backupd() const
{
  return Standin_Conf::instance()->on_backupd();
}

EVP_PKEY* Host_Manager::rsa_prvkey()
{
  const std::string path = Standin_Conf::instance()->rsa_private_key();

  std::lock_guard<std::mutex> guard(lock_);
  File_Id id;
  id.path = path;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    RHV_LOG_ERROR("Failed to open RSA private key file '%s', errno=%d, %m\n", path.c_str(), errno);
    return nullptr;
  }
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtime = st.st_mtim;
  if (key_ != nullptr && id == key_file_) return key_;

  BIO* bio = BIO_new_file(path.c_str(), "r");
  if (bio == nullptr) {
    RHV_LOG_ERROR("Failed to open RSA private key file '%s', errno=%d, %m\n", path.c_str(), errno);
    ERR_clear_error();
    return nullptr;
  }
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (key == nullptr) {
    RHV_LOG_ERROR("Failed to read RSA private key from '%s': %s\n", path.c_str(),
                  openssl_error("no key").c_str());
    return nullptr;
  }
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key) < 2048) {
    RHV_LOG_ERROR("Key in '%s' is not an RSA private key of 2048 bits or more.\n", path.c_str());
    EVP_PKEY_free(key);
    return nullptr;
  }
  if (key_ != nullptr) retired_.push_back(key_);
  key_ = key;
  key_file_ = id;
  return key_;
}

WebSocket_Options* WebSocket_Options::instance()
{
  static WebSocket_Options options;
  return &options;
}

std::string WebSocket_Options::host() const
{
  return Standin_Conf::instance()->backupd_host();
}

std::uint16_t WebSocket_Options::port() const
{
  return Standin_Conf::instance()->backupd_port();
}

bool WebSocket_Options::ssl() const
{
  return Standin_Conf::instance()->backupd_ssl();
}
