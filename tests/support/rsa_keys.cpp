#include "tests/support/rsa_keys.h"

#include "platform/config/standin_conf.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Bio_Free { void operator()(BIO* b) const { BIO_free(b); } };
struct Ctx_Free { void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); } };
struct Key_Free { void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); } };

std::string oaep_encrypt(EVP_PKEY* key, const std::string& plain)
{
  std::unique_ptr<EVP_PKEY_CTX, Ctx_Free> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) <= 0)
    return std::string();
  const unsigned char* in = reinterpret_cast<const unsigned char*>(plain.data());
  size_t len = 0;
  if (EVP_PKEY_encrypt(ctx.get(), nullptr, &len, in, plain.size()) <= 0) return std::string();
  std::vector<unsigned char> out(len);
  if (EVP_PKEY_encrypt(ctx.get(), out.data(), &len, in, plain.size()) <= 0) return std::string();
  return test_base64(std::string(reinterpret_cast<const char*>(out.data()), len));
}

}  // namespace

std::string test_base64(const std::string& bytes, std::size_t line)
{
  std::vector<unsigned char> buf(4 * ((bytes.size() + 2) / 3) + 1);
  int n = EVP_EncodeBlock(buf.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<int>(bytes.size()));
  std::string one(reinterpret_cast<const char*>(buf.data()), n < 0 ? 0 : static_cast<size_t>(n));
  if (line == 0) return one;
  std::string out;
  for (size_t i = 0; i < one.size(); i += line) {
    if (i != 0) out += '\n';
    out.append(one, i, line);
  }
  return out;
}

Test_RSA_Key::Test_RSA_Key(int bits)
{
  pkey_ = EVP_RSA_gen(static_cast<unsigned int>(bits));
  if (pkey_ == nullptr) throw std::runtime_error("RSA key generation failed");
}

Test_RSA_Key::~Test_RSA_Key()
{
  EVP_PKEY_free(pkey_);
}

const Test_RSA_Key& Test_RSA_Key::shared()
{
  static const Test_RSA_Key key(2048);
  return key;
}

std::string Test_RSA_Key::private_pem(bool traditional) const
{
  std::unique_ptr<BIO, Bio_Free> bio(BIO_new(BIO_s_mem()));
  if (!bio) return std::string();
  int ok = traditional
             ? PEM_write_bio_PrivateKey_traditional(bio.get(), pkey_, nullptr, nullptr, 0, nullptr, nullptr)
             : PEM_write_bio_PrivateKey(bio.get(), pkey_, nullptr, nullptr, 0, nullptr, nullptr);
  if (ok != 1) return std::string();
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, n < 0 ? 0 : static_cast<size_t>(n));
}

bool Test_RSA_Key::write_private_pem(const std::string& path, bool traditional) const
{
  std::string pem = private_pem(traditional);
  if (pem.empty()) return false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::write(fd, pem.data(), pem.size()) == static_cast<ssize_t>(pem.size());
  return ::close(fd) == 0 && ok;
}

std::string Test_RSA_Key::encrypt(const std::string& plain) const
{
  return oaep_encrypt(pkey_, plain);
}

std::string rsa_encrypt_for_host(const std::string& plain)
{
  std::shared_ptr<const Standin_Conf> conf = Standin_Conf::instance();
  std::unique_ptr<BIO, Bio_Free> bio(BIO_new_file(conf->rsa_private_key().c_str(), "r"));
  if (!bio) return std::string();
  std::unique_ptr<EVP_PKEY, Key_Free> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key) return std::string();
  return oaep_encrypt(key.get(), plain);
}
