#ifndef TESTS_SUPPORT_TEST_TLS_H
#define TESTS_SUPPORT_TEST_TLS_H

// Test-time TLS material: a private certificate authority and server certificates it
// signs, generated with OpenSSL when a test runs. Nothing is ever committed to the
// repository; PEM files go into a temporary folder that the test owns.
//
// Typical use, with the test HTTP server and an HTTP client that trusts the CA:
//
//   test_support::Temp_Dir dir;
//   test_support::Tls_Files tls = test_support::make_tls_files(dir.path());
//   test_support::Test_Http_Server server(tls);          // TLS on 127.0.0.1
//   ... client with CA file tls.ca_file connects to server.url("/") ...
//
// Keys are EC P-256 (fast to generate); certificates use SHA-256, are valid from one
// hour ago for 30 days, and the server certificate names 127.0.0.1 and localhost in its
// subjectAltName unless other names are given. Failures throw std::runtime_error,
// so a broken setup stops the test at once.

#include <string>
#include <vector>

namespace test_support {

// A folder made with mkdtemp under /tmp; removed with everything in it on destruction.
class Temp_Dir {
public:
  explicit Temp_Dir(const std::string& prefix = "t3test");
  ~Temp_Dir();
  Temp_Dir(const Temp_Dir&) = delete;
  Temp_Dir& operator=(const Temp_Dir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

private:
  std::string path_;
};

// Writes text to path (mode 0600), replacing the file. Throws on failure.
void write_text_file(const std::string& path, const std::string& text);

// A certificate and its private key, both PEM.
struct Test_Certificate {
  std::string cert_pem;
  std::string key_pem;

  // Writes both PEMs (mode 0600). Throws on failure.
  void write(const std::string& cert_path, const std::string& key_path) const;
};

// A self-signed certificate authority that issues server certificates.
// Each instance has a fresh key, so two instances never trust each other's certificates.
class Test_CA {
public:
  explicit Test_CA(const std::string& common_name = "tessera3 test CA");
  ~Test_CA();
  Test_CA(const Test_CA&) = delete;
  Test_CA& operator=(const Test_CA&) = delete;

  const std::string& cert_pem() const { return cert_pem_; }

  // A server certificate signed by this CA. Each name that parses as an IPv4 or IPv6
  // address becomes an IP entry of subjectAltName, any other a DNS entry; the first
  // name is also the subject's common name.
  Test_Certificate issue_server(const std::vector<std::string>& names = {"127.0.0.1", "localhost"}) const;

private:
  void* key_;   // EVP_PKEY*
  void* cert_;  // X509*
  std::string cert_pem_;
};

// The files of one TLS setup: the CA certificate a client trusts, and the server's
// certificate and key.
struct Tls_Files {
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
};

// A new CA and a server certificate for `names`, written into dir as
// <prefix>ca.pem, <prefix>server.pem and <prefix>server.key.
Tls_Files make_tls_files(const std::string& dir, const std::string& prefix = "",
                         const std::vector<std::string>& names = {"127.0.0.1", "localhost"});

}  // namespace test_support

#endif
