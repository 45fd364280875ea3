#include "platform/host/rsa_decoder.h"

#include "platform/host/host_manager.h"
#include "tests/support/rsa_keys.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"

#include <gtest/gtest.h>

#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

std::string decoded(const RSA_Decoder& d)
{
  return std::string(reinterpret_cast<const char*>(d.get()), d.length());
}

// Base64 of an RSA encryption of plain with the given padding and OAEP digest.
std::string encrypt_with(EVP_PKEY* key, const std::string& plain, int padding, const EVP_MD* md)
{
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr);
  std::string out;
  size_t len = 0;
  if (EVP_PKEY_encrypt_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx, padding) > 0 &&
      (md == nullptr || EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md) > 0) &&
      EVP_PKEY_encrypt(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(plain.data()), plain.size()) > 0) {
    std::string block(len, '\0');
    if (EVP_PKEY_encrypt(ctx, reinterpret_cast<unsigned char*>(&block[0]), &len,
                         reinterpret_cast<const unsigned char*>(plain.data()), plain.size()) > 0)
      out = test_base64(block.substr(0, len));
  }
  EVP_PKEY_CTX_free(ctx);
  return out;
}

TEST(RSA_Decoder, DecryptsWhatTheHostEncrypted)
{
  const Test_RSA_Key& key = Test_RSA_Key::shared();
  const std::string max_plain(190, 'm');  // the most OAEP-SHA256 carries in 2048 bits
  const std::string with_nul("a\0b", 3);
  const std::string plains[] = {"", "p", "secret password", "p\xc3\xa4sswort", with_nul, max_plain};
  for (const std::string& plain : plains) {
    SCOPED_TRACE(plain);
    const std::string text = key.encrypt(plain);
    ASSERT_FALSE(text.empty());
    ASSERT_EQ(text.find('\n'), std::string::npos);

    // The forms a host or a console may produce: one line, PEM-style lines of 64 or
    // 76 characters, CRLF line ends, a trailing newline, blanks around the text.
    std::string lines64 = text;
    for (size_t i = 64; i < lines64.size(); i += 65) lines64.insert(i, "\n");
    std::string lines76 = text;
    for (size_t i = 76; i < lines76.size(); i += 78) lines76.insert(i, "\r\n");
    const std::string forms[] = {text, lines64, lines76, text + "\n", "  " + text + " \n"};
    for (const std::string& form : forms) {
      RSA_Decoder d(form, key.pkey());
      ASSERT_TRUE(static_cast<bool>(d)) << form;
      EXPECT_EQ(d.length(), plain.size());
      EXPECT_EQ(decoded(d), plain);
    }
    // The pointer form reads exactly len bytes.
    std::string padded = text + "garbage after the text";
    RSA_Decoder p(padded.data(), text.size(), key.pkey());
    EXPECT_TRUE(static_cast<bool>(p));
    EXPECT_EQ(decoded(p), plain);
  }
}

TEST(RSA_Decoder, RefusesWhatItCannotDecryptWithoutGarbage)
{
  const Test_RSA_Key& key = Test_RSA_Key::shared();
  const Test_RSA_Key other(2048);
  const std::string good = key.encrypt("secret password");
  ASSERT_FALSE(good.empty());

  std::string random_block(256, '\0');
  ASSERT_EQ(RAND_bytes(reinterpret_cast<unsigned char*>(&random_block[0]), 256), 1);
  std::string altered_block;
  {
    // Flip one bit in the middle of the ciphertext.
    std::vector<unsigned char> bytes(300);
    EVP_ENCODE_CTX* c = EVP_ENCODE_CTX_new();
    int n = 0, t = 0;
    EVP_DecodeInit(c);
    EVP_DecodeUpdate(c, bytes.data(), &n, reinterpret_cast<const unsigned char*>(good.data()),
                     static_cast<int>(good.size()));
    EVP_DecodeFinal(c, bytes.data() + n, &t);
    EVP_ENCODE_CTX_free(c);
    bytes.resize(static_cast<size_t>(n + t));
    bytes[100] ^= 0x10;
    altered_block = test_base64(std::string(bytes.begin(), bytes.end()));
  }

  struct Case {
    const char* what;
    std::string text;
    EVP_PKEY* key;
    const char* log_prefix;
  };
  const std::string not_ours = "Failed to decrypt with RSA: error:";
  const Case cases[] = {
    {"another host's key", good, other.pkey(), not_ours.c_str()},
    {"no key", good, nullptr, "Failed to decrypt with RSA: no private key.\n"},
    {"empty text", "", key.pkey(), "Failed to decrypt with RSA: the text is not Base64.\n"},
    {"plain text", "secret password", key.pkey(), "Failed to decrypt with RSA: the text is not Base64.\n"},
    {"foreign characters", good.substr(0, 100) + "*" + good.substr(100), key.pkey(),
     "Failed to decrypt with RSA: the text is not Base64.\n"},
    {"missing padding", good.substr(0, good.size() - 1), key.pkey(),
     "Failed to decrypt with RSA: the text is not Base64.\n"},
    {"truncated", good.substr(0, 200), key.pkey(), "Failed to decrypt with RSA: block of 150 bytes, the key needs 256.\n"},
    {"doubled", good + good, key.pkey(), "Failed to decrypt with RSA: "},
    {"random block", test_base64(random_block), key.pkey(), not_ours.c_str()},
    {"altered block", altered_block, key.pkey(), not_ours.c_str()},
    {"PKCS#1 v1.5 padding", encrypt_with(key.pkey(), "secret password", RSA_PKCS1_PADDING, nullptr), key.pkey(),
     not_ours.c_str()},
    {"OAEP with SHA-1", encrypt_with(key.pkey(), "secret password", RSA_PKCS1_OAEP_PADDING, EVP_sha1()), key.pkey(),
     not_ours.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Log_Capture capture(true);
    RSA_Decoder d(c.text, c.key);
    EXPECT_FALSE(static_cast<bool>(d));
    EXPECT_EQ(d.get(), nullptr);
    EXPECT_EQ(d.length(), 0u);
    ASSERT_EQ(capture.texts().size(), 1u);
    EXPECT_EQ(capture.texts()[0].compare(0, std::string(c.log_prefix).size(), c.log_prefix), 0) << capture.texts()[0];
  }
  RSA_Decoder null_text(nullptr, 10, key.pkey());
  EXPECT_FALSE(static_cast<bool>(null_text));
}

TEST(RSA_Decoder, ManyThreadsDecryptWithTheHostKey)
{
  Standin_Env env;
  const int threads = 8;
  std::vector<std::string> texts;
  for (int i = 0; i < threads; ++i) texts.push_back(rsa_encrypt_for_host("password-" + std::to_string(i)));
  std::atomic<int> good{0};
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; ++i)
    pool.emplace_back([&, i] {
      for (int round = 0; round < 5; ++round) {
        RSA_Decoder d(texts[static_cast<size_t>(i)], Host_Manager::instance()->rsa_prvkey());
        if (d && decoded(d) == "password-" + std::to_string(i)) ++good;
      }
    });
  for (std::thread& t : pool) t.join();
  EXPECT_EQ(good.load(), threads * 5);
}

}  // namespace
