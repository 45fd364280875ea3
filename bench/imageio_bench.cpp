// Reads and writes a whole image (a sparse file in a temporary folder) through the image
// I/O client against the test imageio daemon on 127.0.0.1, and moves the same bytes with
// plain libcurl (one reused easy handle, the same ranges) in the same run, for comparison,
// in alternated rounds. Both sides use the same libcurl buffers (the client's), write the
// same bytes in the same pieces, and ask the daemon to flush after the last range only.
//
//   imageio_bench [size MiB] [range MiB] [buffer KiB] [tls] [--rounds N]
//                 (defaults 1024, 64, 4096, plain HTTP, 5 rounds; "tls" for HTTPS)

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "backup/rhv/api/rhv_image_io.h"
#include "bench/bench_rounds.h"
#include "platform/http/http_session.h"
#include "tests/support/imageio_server.h"
#include "tests/support/test_tls.h"

namespace {

const uint64_t MiB = 1 << 20;

// The whole image through RHV_Image_Reader, range by range.
bool client_read(const std::shared_ptr<RHV_Image_IO>& io, uint64_t size, uint64_t range, size_t buffer)
{
  RHV_Image_Reader reader(io, buffer);
  uint64_t total = 0;
  for (uint64_t at = 0; at < size; at += range) {
    if (!reader.open(at, std::min(range, size - at)))
      return false;
    for (;;) {
      void* data = nullptr;
      long n = 0;
      if (!reader.read(data, n))
        return false;
      if (n == 0)
        break;
      total += static_cast<uint64_t>(n);
    }
    reader.close();
  }
  return total == size;
}

// The whole image through RHV_Image_Writer, in pieces of the pattern's size.
bool client_write(const std::shared_ptr<RHV_Image_IO>& io, test_support::Imageio_Server& server, uint64_t size,
                  uint64_t range, const std::string& pattern)
{
  RHV_Image_Writer writer(io);
  for (uint64_t at = 0; at < size; at += range) {
    uint64_t n = std::min(range, size - at);
    if (!writer.open(at, n, at + n == size))
      return false;
    for (uint64_t off = 0; off < n; off += pattern.size()) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(pattern.size(), n - off));
      if (!writer.write(pattern.data(), piece))
        return false;
    }
    writer.close();
    server.http().clear_requests();  // the request log keeps bodies
  }
  return true;
}

// What a read hands over: each piece copied into a buffer of the reader's size, as the
// client's reader does.
struct Download {
  std::string buffer;
  size_t used = 0;
  uint64_t total = 0;
};

size_t take_bytes(char* data, size_t size, size_t n, void* p)
{
  Download* d = static_cast<Download*>(p);
  size_t left = size * n;
  while (left > 0) {
    if (d->used == d->buffer.size())
      d->used = 0;
    size_t k = std::min(left, d->buffer.size() - d->used);
    std::memcpy(&d->buffer[d->used], data, k);
    d->used += k;
    data += k;
    left -= k;
  }
  d->total += size * n;
  return size * n;
}

// The body of one range: the pattern over and over, as the client's pieces send it.
struct Upload {
  const std::string* pattern;
  uint64_t left;
  size_t at = 0;  // in the pattern
};

size_t send_bytes(char* out, size_t size, size_t n, void* p)
{
  Upload* u = static_cast<Upload*>(p);
  size_t want = static_cast<size_t>(std::min<uint64_t>(size * n, std::min<uint64_t>(u->left, u->pattern->size() - u->at)));
  std::memcpy(out, u->pattern->data() + u->at, want);
  u->left -= want;
  u->at = (u->at + want) % u->pattern->size();
  return want;
}

CURL* easy(const std::string& ca_file)
{
  CURL* c = curl_easy_init();
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
  if (!ca_file.empty())
    curl_easy_setopt(c, CURLOPT_CAINFO, ca_file.c_str());
  return c;
}

// The same ranges with plain libcurl GETs, with the client's libcurl receive buffer.
bool curl_read(const std::string& url, const std::string& ca_file, uint64_t size, uint64_t range, size_t buffer)
{
  CURL* c = easy(ca_file);
  Download d;
  d.buffer.resize(buffer);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, take_bytes);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &d);
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, static_cast<long>(CURL_MAX_READ_SIZE));
  bool ok = true;
  for (uint64_t at = 0; ok && at < size; at += range) {
    char r[64];
    std::snprintf(r, sizeof r, "%llu-%llu", static_cast<unsigned long long>(at),
                  static_cast<unsigned long long>(std::min(at + range, size) - 1));
    curl_easy_setopt(c, CURLOPT_RANGE, r);
    long status = 0;
    ok = curl_easy_perform(c) == CURLE_OK && curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
         status == 206;
  }
  curl_easy_cleanup(c);
  return ok && d.total == size;
}

// The same ranges with plain libcurl PUTs, with the client's upload buffer; the last one
// asks for a flush, as the client's does.
bool curl_write(const std::string& url, const std::string& ca_file, test_support::Imageio_Server& server,
                uint64_t size, uint64_t range, const std::string& pattern)
{
  CURL* c = easy(ca_file);
  curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(c, CURLOPT_READFUNCTION, send_bytes);
  curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(RHV_Image_Writer::UPLOAD_BUFFER_SIZE));
  const std::string no_flush = url + "?flush=n";
  const std::string flush = url + "?flush=y";
  bool ok = true;
  for (uint64_t at = 0; ok && at < size; at += range) {
    uint64_t n = std::min(range, size - at);
    Upload u{&pattern, n};
    char header[96];
    std::snprintf(header, sizeof header, "Content-Range: bytes %llu-%llu/*", static_cast<unsigned long long>(at),
                  static_cast<unsigned long long>(at + n - 1));
    curl_slist* headers = curl_slist_append(nullptr, header);
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(c, CURLOPT_URL, (at + n == size ? flush : no_flush).c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_READDATA, &u);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(n));
    long status = 0;
    ok = curl_easy_perform(c) == CURLE_OK && curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
         status == 200;
    curl_slist_free_all(headers);
    server.http().clear_requests();
  }
  curl_easy_cleanup(c);
  return ok;
}

}  // namespace

int main(int argc, char** argv)
{
  const std::vector<std::string> args = bench::positional(argc, argv);
  auto arg = [&args](size_t i, uint64_t fallback) {
    return args.size() > i ? std::strtoull(args[i].c_str(), nullptr, 10) : fallback;
  };
  uint64_t size = arg(0, 1024) * MiB;
  uint64_t range = arg(1, 64) * MiB;
  size_t buffer = arg(2, 4096) * 1024;
  bool tls = args.size() > 3 && args[3] == "tls";
  const int rounds = bench::rounds_option(argc, argv);
  if (size == 0 || range == 0 || buffer == 0) {
    std::fprintf(stderr, "usage: imageio_bench [size MiB] [range MiB] [buffer KiB] [tls] [--rounds N]\n");
    return 2;
  }
  curl_global_init(CURL_GLOBAL_ALL);
  test_support::Temp_Dir dir("imageio-bench");
  test_support::Tls_Files files;
  std::unique_ptr<test_support::Imageio_Server> server;
  if (tls) {
    files = test_support::make_tls_files(dir.path());
    server.reset(new test_support::Imageio_Server(files));
    HTTP_Settings settings;
    settings.ca_file = files.ca_file;
    set_http_settings(settings);
  } else {
    server.reset(new test_support::Imageio_Server());
  }
  test_support::Imageio_Ticket image;
  image.path = dir.file("image.raw");
  image.size = size;
  if (!server->add_ticket("bench-ticket", image) || !server->start()) {
    std::fprintf(stderr, "cannot start the imageio daemon\n");
    return 1;
  }
  const std::string url = server->url("bench-ticket");
  auto io = std::make_shared<RHV_Image_IO>();
  if (!io->init(url)) {
    std::fprintf(stderr, "cannot reach the imageio daemon\n");
    return 1;
  }
  std::string pattern(buffer, '\0');
  for (size_t i = 0; i < pattern.size(); ++i)
    pattern[i] = static_cast<char>(i * 131 + 7);

  std::printf("imageio_bench: image %llu MiB, ranges of %llu MiB, buffer %zu KiB, upload buffer %zu KiB, %s on "
              "127.0.0.1\n",
              static_cast<unsigned long long>(size / MiB), static_cast<unsigned long long>(range / MiB),
              buffer / 1024, RHV_Image_Writer::UPLOAD_BUFFER_SIZE / 1024, tls ? "HTTPS" : "HTTP");
  // Reads of the sparse image first, then writes that fill it, then reads of the data.
  const double mib = static_cast<double>(size) / MiB;
  auto read_sides = [&] {
    return std::vector<bench::Side>{
        {"image I/O client", bench::timed([&] { return client_read(io, size, range, buffer); })},
        {"plain libcurl", bench::timed([&] { return curl_read(url, files.ca_file, size, range, buffer); })}};
  };
  std::vector<bench::Side> sparse = read_sides();
  std::vector<bench::Side> written = read_sides();
  std::vector<bench::Side> writes = {
      {"image I/O client", bench::timed([&] { return client_write(io, *server, size, range, pattern); })},
      {"plain libcurl", bench::timed([&] { return curl_write(url, files.ca_file, *server, size, range, pattern); })}};
  bool ok = bench::compare("read (sparse image)", sparse, rounds, mib, "MiB") &&
            bench::compare("write", writes, rounds, mib, "MiB") &&
            bench::compare("read (written image)", written, rounds, mib, "MiB");
  server->stop();
  ::unlink(image.path.c_str());
  clear_http_settings();
  curl_global_cleanup();
  return ok ? 0 : 1;
}
