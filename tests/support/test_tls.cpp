#include "tests/support/test_tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace test_support {

namespace {

[[noreturn]] void fail(const std::string& what)
{
  char buf[256] = "";
  unsigned long e = ERR_get_error();
  if (e != 0)
    ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  throw std::runtime_error("test TLS: " + what + (e != 0 ? std::string(": ") + buf : std::string()));
}

struct Bio_Free { void operator()(BIO* b) const { BIO_free(b); } };
struct X509_Free { void operator()(X509* x) const { X509_free(x); } };
struct Pkey_Free { void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); } };
using Bio_Ptr = std::unique_ptr<BIO, Bio_Free>;
using X509_Ptr = std::unique_ptr<X509, X509_Free>;
using Pkey_Ptr = std::unique_ptr<EVP_PKEY, Pkey_Free>;

Pkey_Ptr new_key()
{
  Pkey_Ptr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key)
    fail("key generation failed");
  return key;
}

std::string bio_text(BIO* bio)
{
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return std::string(data, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string cert_to_pem(X509* cert)
{
  Bio_Ptr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1)
    fail("cannot write certificate PEM");
  return bio_text(bio.get());
}

std::string key_to_pem(EVP_PKEY* key)
{
  Bio_Ptr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    fail("cannot write key PEM");
  return bio_text(bio.get());
}

void add_ext(X509* cert, X509* issuer, int nid, const std::string& value)
{
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr)
    fail("bad certificate extension '" + value + "'");
  int ok = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  if (ok != 1)
    fail("cannot add certificate extension");
}

// A certificate for `key`, named `cn`, ready for extensions and signing.
X509_Ptr new_cert(EVP_PKEY* key, const std::string& cn)
{
  X509_Ptr cert(X509_new());
  if (!cert)
    fail("X509_new failed");
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1)
    fail("RAND_bytes failed");
  serial[0] &= 0x7f;  // positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  if (bn == nullptr || BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) == nullptr)
    fail("cannot set serial number");
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600);
  if (X509_set_pubkey(cert.get(), key) != 1)
    fail("cannot set public key");
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("tessera3 tests"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  return cert;
}

bool is_ip_address(const std::string& name)
{
  unsigned char buf[sizeof(struct in6_addr)];
  return inet_pton(AF_INET, name.c_str(), buf) == 1 || inet_pton(AF_INET6, name.c_str(), buf) == 1;
}

}  // namespace

Temp_Dir::Temp_Dir(const std::string& prefix)
{
  std::string templ = "/tmp/" + prefix + ".XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
  path_ = buf.data();
}

Temp_Dir::~Temp_Dir()
{
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string Temp_Dir::file(const std::string& name) const
{
  return path_ + "/" + name;
}

void write_text_file(const std::string& path, const std::string& text)
{
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0)
    throw std::runtime_error("cannot create '" + path + "': " + std::strerror(errno));
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      int e = errno;
      ::close(fd);
      throw std::runtime_error("cannot write '" + path + "': " + std::strerror(e));
    }
    done += static_cast<size_t>(n);
  }
  if (::close(fd) != 0)
    throw std::runtime_error("cannot close '" + path + "': " + std::strerror(errno));
}

void Test_Certificate::write(const std::string& cert_path, const std::string& key_path) const
{
  write_text_file(cert_path, cert_pem);
  write_text_file(key_path, key_pem);
}

Test_CA::Test_CA(const std::string& common_name)
{
  Pkey_Ptr key = new_key();
  X509_Ptr cert = new_cert(key.get(), common_name);
  X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
  add_ext(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE");
  add_ext(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  add_ext(cert.get(), cert.get(), NID_subject_key_identifier, "hash");
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
    fail("cannot sign the CA certificate");
  cert_pem_ = cert_to_pem(cert.get());
  key_ = key.release();
  cert_ = cert.release();
}

Test_CA::~Test_CA()
{
  EVP_PKEY_free(static_cast<EVP_PKEY*>(key_));
  X509_free(static_cast<X509*>(cert_));
}

Test_Certificate Test_CA::issue_server(const std::vector<std::string>& names) const
{
  if (names.empty())
    throw std::runtime_error("test TLS: a server certificate needs at least one name");
  X509* ca = static_cast<X509*>(cert_);
  Pkey_Ptr key = new_key();
  X509_Ptr cert = new_cert(key.get(), names.front());
  X509_set_issuer_name(cert.get(), X509_get_subject_name(ca));
  std::string san;
  for (const std::string& n : names) {
    if (!san.empty())
      san += ",";
    san += (is_ip_address(n) ? "IP:" : "DNS:") + n;
  }
  add_ext(cert.get(), ca, NID_basic_constraints, "critical,CA:FALSE");
  add_ext(cert.get(), ca, NID_key_usage, "critical,digitalSignature,keyAgreement");
  add_ext(cert.get(), ca, NID_ext_key_usage, "serverAuth");
  add_ext(cert.get(), ca, NID_subject_key_identifier, "hash");
  add_ext(cert.get(), ca, NID_authority_key_identifier, "keyid:always");
  add_ext(cert.get(), ca, NID_subject_alt_name, san);
  if (X509_sign(cert.get(), static_cast<EVP_PKEY*>(key_), EVP_sha256()) == 0)
    fail("cannot sign the server certificate");
  return Test_Certificate{cert_to_pem(cert.get()), key_to_pem(key.get())};
}

Tls_Files make_tls_files(const std::string& dir, const std::string& prefix,
                         const std::vector<std::string>& names)
{
  Tls_Files files{dir + "/" + prefix + "ca.pem", dir + "/" + prefix + "server.pem",
                  dir + "/" + prefix + "server.key"};
  Test_CA ca;
  write_text_file(files.ca_file, ca.cert_pem());
  ca.issue_server(names).write(files.cert_file, files.key_file);
  return files;
}

}  // namespace test_support
