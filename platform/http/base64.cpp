#include "platform/http/base64.h"

#include <openssl/evp.h>

Base64_Encoder::Base64_Encoder(const void* data, size_t length, bool wrap_lines)
{
  if (data == nullptr && length != 0)
    return;
  const unsigned char* in = static_cast<const unsigned char*>(data);
  // EVP_EncodeBlock takes an int length: encode in pieces of a multiple of 3 bytes.
  const size_t piece = 3u << 20;
  secure_string out;
  out.reserve((length + 2) / 3 * 4 + (wrap_lines ? length / 48 + 1 : 0));
  secure_string buf;
  buf.resize(((length < piece ? length : piece) + 2) / 3 * 4 + 1);
  for (size_t off = 0; off < length; off += piece) {
    size_t n = length - off < piece ? length - off : piece;
    int m = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&buf[0]), in + off, static_cast<int>(n));
    if (m < 0)
      return;
    out.append(buf.data(), static_cast<size_t>(m));
  }
  if (wrap_lines && !out.empty()) {
    secure_string wrapped;
    wrapped.reserve(out.size() + out.size() / 64 + 1);
    for (size_t off = 0; off < out.size(); off += 64) {
      wrapped.append(out, off, 64);
      wrapped += '\n';
    }
    out.swap(wrapped);
  }
  text_.swap(out);
  ok_ = true;
}
