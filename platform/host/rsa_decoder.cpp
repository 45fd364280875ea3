#include "platform/host/rsa_decoder.h"

#include "platform/runtime/secure_memset.h"

#include "backup/scrt/log.h"

#include <openssl/err.h>
#include <openssl/rsa.h>

#include <climits>
#include <memory>
#include <vector>

namespace {

struct Ctx_Free { void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); } };
struct Encode_Ctx_Free { void operator()(EVP_ENCODE_CTX* c) const { EVP_ENCODE_CTX_free(c); } };

std::string openssl_error()
{
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

// Standard Base64 to bytes; blanks and line breaks are skipped. False when the text
// holds anything else, or ends in the middle of a group.
bool base64_decode(const unsigned char* text, std::size_t len, std::vector<unsigned char>& out)
{
  if (len > static_cast<std::size_t>(INT_MAX)) return false;
  std::unique_ptr<EVP_ENCODE_CTX, Encode_Ctx_Free> ctx(EVP_ENCODE_CTX_new());
  if (!ctx) return false;
  out.assign(len / 4 * 3 + 3, 0);
  EVP_DecodeInit(ctx.get());
  int n = 0;
  if (EVP_DecodeUpdate(ctx.get(), out.data(), &n, text, static_cast<int>(len)) < 0) return false;
  int tail = 0;
  if (EVP_DecodeFinal(ctx.get(), out.data() + n, &tail) != 1) return false;
  out.resize(static_cast<std::size_t>(n + tail));
  return true;
}

}  // namespace

RSA_Decoder::RSA_Decoder(const void* text, std::size_t len, EVP_PKEY* key)
{
  decode(static_cast<const unsigned char*>(text), text == nullptr ? 0 : len, key);
}

RSA_Decoder::RSA_Decoder(const std::string& text, EVP_PKEY* key)
{
  decode(reinterpret_cast<const unsigned char*>(text.data()), text.size(), key);
}

void RSA_Decoder::decode(const unsigned char* text, std::size_t len, EVP_PKEY* key)
{
  if (key == nullptr) {
    RHV_LOG_ERROR("Failed to decrypt with RSA: no private key.\n");
    return;
  }
  std::vector<unsigned char> block;
  if (len == 0 || !base64_decode(text, len, block)) {
    RHV_LOG_ERROR("Failed to decrypt with RSA: the text is not Base64.\n");
    ERR_clear_error();
    return;
  }
  const int key_size = EVP_PKEY_get_size(key);
  if (key_size <= 0 || block.size() != static_cast<std::size_t>(key_size)) {
    RHV_LOG_ERROR("Failed to decrypt with RSA: block of %B bytes, the key needs %d.\n",
                  block.size(), key_size);
    return;
  }

  std::unique_ptr<EVP_PKEY_CTX, Ctx_Free> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
      EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha256()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), EVP_sha256()) <= 0) {
    RHV_LOG_ERROR("Failed to decrypt with RSA: %s\n", openssl_error().c_str());
    return;
  }
  // The plain text is written straight into the output, which is wiped on release.
  unsigned char* out = allocate(static_cast<std::size_t>(key_size));
  if (out == nullptr) {
    RHV_LOG_ERROR("Failed to decrypt with RSA: out of memory.\n");
    return;
  }
  std::size_t plain_len = static_cast<std::size_t>(key_size);
  if (EVP_PKEY_decrypt(ctx.get(), out, &plain_len, block.data(), block.size()) <= 0) {
    clear();
    RHV_LOG_ERROR("Failed to decrypt with RSA: %s\n", openssl_error().c_str());
    return;
  }
  truncate(plain_len);
}
