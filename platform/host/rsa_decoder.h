#ifndef PLATFORM_HOST_RSA_DECODER_H
#define PLATFORM_HOST_RSA_DECODER_H

#include <cstddef>
#include <string>

#include <openssl/evp.h>

#include "platform/runtime/codec.h"

#pragma GCC visibility push(default)

// Decrypts a secret that was encrypted with this host's RSA public key.
//
// The text is standard Base64 (padding required; line breaks and other blanks are
// ignored) of one RSA-OAEP block made with SHA-256 as the digest and for MGF1. On
// success the object holds the plain bytes (operator bool true, get(), length());
// the buffer is wiped when the decoder is destroyed. On failure it holds nothing and
// an LM_ERROR line says why: no key, text that is not Base64, a block whose size is
// not the key's, or a block that does not decrypt with this key (a wrong key or
// altered text is detected by the padding check, never returned as garbage).
// The key is not taken over: the caller keeps it alive during the construction.
class RSA_Decoder : public Codec_Impl_T<unsigned char> {
public:
  RSA_Decoder(const void* text, std::size_t len, EVP_PKEY* key);
  RSA_Decoder(const std::string& text, EVP_PKEY* key);

private:
  void decode(const unsigned char* text, std::size_t len, EVP_PKEY* key);
};

#pragma GCC visibility pop

#endif
