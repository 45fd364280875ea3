#ifndef TESTS_SUPPORT_RSA_KEYS_H
#define TESTS_SUPPORT_RSA_KEYS_H

#include <string>

#include <openssl/evp.h>

// An RSA key pair generated at test time (keys are never committed).
//
// Passwords travel to this host as standard Base64 of RSA-OAEP (SHA-256 for both the
// digest and MGF1) made with the host's public key; encrypt() produces exactly that.
class Test_RSA_Key {
public:
  // Generates a new key pair of `bits` bits (2048 takes a fraction of a second).
  explicit Test_RSA_Key(int bits = 2048);
  ~Test_RSA_Key();

  Test_RSA_Key(const Test_RSA_Key&) = delete;
  Test_RSA_Key& operator=(const Test_RSA_Key&) = delete;

  // One 2048-bit key per test process, made on first use; Standin_Env installs it
  // as the host's key. Thread-safe.
  static const Test_RSA_Key& shared();

  // The key pair; owned by this object.
  EVP_PKEY* pkey() const { return pkey_; }

  // The private key as PEM: PKCS#8 ("BEGIN PRIVATE KEY") or, with traditional set,
  // the older "BEGIN RSA PRIVATE KEY" form.
  std::string private_pem(bool traditional = false) const;

  // Writes private_pem() to path with mode 0600. False on failure.
  bool write_private_pem(const std::string& path, bool traditional = false) const;

  // Base64 (one line, padded) of the RSA-OAEP-SHA256 encryption of plain with the
  // public key. Empty only when OpenSSL fails (or plain is too long for the key:
  // at most 190 bytes with 2048 bits).
  std::string encrypt(const std::string& plain) const;

private:
  EVP_PKEY* pkey_ = nullptr;
};

// Encrypts plain for this host: with the public half of the private key that the
// current platform configuration names (rsa_private_key), as the host process does
// for a password it sends. Empty when that key cannot be read.
std::string rsa_encrypt_for_host(const std::string& plain);

// Standard Base64 with padding, split into lines of `line` characters (0: one line).
std::string test_base64(const std::string& bytes, std::size_t line = 0);

#endif
