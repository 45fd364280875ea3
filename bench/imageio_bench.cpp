// Reads and writes a whole image (a sparse file in a temporary folder) through the image
// I/O client against the test imageio daemon on 127.0.0.1, and moves the same bytes with
// plain libcurl (one reused easy handle, the same ranges) in the same run, for comparison.
//
//   imageio_bench [size MiB] [range MiB] [buffer KiB] [tls]
//                 (defaults 1024, 64, 4096, plain HTTP; "tls" for HTTPS)

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
#include "platform/http/http_session.h"
#include "tests/support/imageio_server.h"
#include "tests/support/test_tls.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint64_t MiB = 1 << 20;

double mib_per_s(uint64_t bytes, Clock::time_point start)
{
  double s = std::chrono::duration<double>(Clock::now() - start).count();
  return s > 0 ? static_cast<double>(bytes) / MiB / s : 0;
}

// The whole image through RHV_Image_Reader, range by range; -1 on a failure.
double client_read(const std::shared_ptr<RHV_Image_IO>& io, uint64_t size, uint64_t range, size_t buffer)
{
  RHV_Image_Reader reader(io, buffer);
  uint64_t total = 0;
  Clock::time_point start = Clock::now();
  for (uint64_t at = 0; at < size; at += range) {
    if (!reader.open(at, std::min(range, size - at)))
      return -1;
    for (;;) {
      void* data = nullptr;
      long n = 0;
      if (!reader.read(data, n))
        return -1;
      if (n == 0)
        break;
      total += static_cast<uint64_t>(n);
    }
    reader.close();
  }
  return total == size ? mib_per_s(total, start) : -1;
}

// The whole image through RHV_Image_Writer, in pieces of `buffer` bytes; -1 on a failure.
double client_write(const std::shared_ptr<RHV_Image_IO>& io, test_support::Imageio_Server& server, uint64_t size,
                    uint64_t range, const std::string& pattern)
{
  RHV_Image_Writer writer(io);
  Clock::time_point start = Clock::now();
  for (uint64_t at = 0; at < size; at += range) {
    uint64_t n = std::min(range, size - at);
    if (!writer.open(at, n, at + n == size))
      return -1;
    for (uint64_t off = 0; off < n; off += pattern.size()) {
      size_t piece = static_cast<size_t>(std::min<uint64_t>(pattern.size(), n - off));
      if (!writer.write(pattern.data(), piece))
        return -1;
    }
    writer.close();
    server.http().clear_requests();  // the request log keeps bodies
  }
  return mib_per_s(size, start);
}

size_t count_bytes(char*, size_t size, size_t n, void* total)
{
  *static_cast<uint64_t*>(total) += size * n;
  return size * n;
}

struct Upload {
  const std::string* pattern;
  uint64_t left;
};

size_t send_bytes(char* out, size_t size, size_t n, void* p)
{
  Upload* u = static_cast<Upload*>(p);
  size_t want = static_cast<size_t>(std::min<uint64_t>(size * n, std::min<uint64_t>(u->left, u->pattern->size())));
  std::memcpy(out, u->pattern->data(), want);
  u->left -= want;
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

// The same ranges with plain libcurl GETs; -1 on a failure.
double curl_read(const std::string& url, const std::string& ca_file, uint64_t size, uint64_t range, size_t buffer)
{
  CURL* c = easy(ca_file);
  uint64_t total = 0;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, count_bytes);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &total);
  curl_easy_setopt(c, CURLOPT_BUFFERSIZE, static_cast<long>(std::min<size_t>(buffer, CURL_MAX_READ_SIZE)));
  Clock::time_point start = Clock::now();
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
  double rate = ok && total == size ? mib_per_s(total, start) : -1;
  curl_easy_cleanup(c);
  return rate;
}

// The same ranges with plain libcurl PUTs; -1 on a failure.
double curl_write(const std::string& url, const std::string& ca_file, test_support::Imageio_Server& server,
                  uint64_t size, uint64_t range, const std::string& pattern)
{
  CURL* c = easy(ca_file);
  curl_easy_setopt(c, CURLOPT_URL, (url + "?flush=n").c_str());
  curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(c, CURLOPT_READFUNCTION, send_bytes);
  curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, static_cast<long>(std::min<size_t>(pattern.size(), 2 * MiB)));
  Clock::time_point start = Clock::now();
  bool ok = true;
  for (uint64_t at = 0; ok && at < size; at += range) {
    uint64_t n = std::min(range, size - at);
    Upload u{&pattern, n};
    char header[96];
    std::snprintf(header, sizeof header, "Content-Range: bytes %llu-%llu/*", static_cast<unsigned long long>(at),
                  static_cast<unsigned long long>(at + n - 1));
    curl_slist* headers = curl_slist_append(nullptr, header);
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_READDATA, &u);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(n));
    long status = 0;
    ok = curl_easy_perform(c) == CURLE_OK && curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
         status == 200;
    curl_slist_free_all(headers);
    server.http().clear_requests();
  }
  double rate = ok ? mib_per_s(size, start) : -1;
  curl_easy_cleanup(c);
  return rate;
}

}  // namespace

int main(int argc, char** argv)
{
  uint64_t size = (argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024) * MiB;
  uint64_t range = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 64) * MiB;
  size_t buffer = (argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 4096) * 1024;
  bool tls = argc > 4 && std::strcmp(argv[4], "tls") == 0;
  if (size == 0 || range == 0 || buffer == 0) {
    std::fprintf(stderr, "usage: imageio_bench [size MiB] [range MiB] [buffer KiB] [tls]\n");
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

  std::printf("image %llu MiB, ranges of %llu MiB, buffer %zu KiB, %s on 127.0.0.1\n",
              static_cast<unsigned long long>(size / MiB), static_cast<unsigned long long>(range / MiB),
              buffer / 1024, tls ? "HTTPS" : "HTTP");
  // Reads of the sparse image first, then writes that fill it, then reads of the data.
  // Each read is the best of three, taken in turns, so that warming up (the daemon's
  // threads, the page cache) counts for neither side.
  // A failed run (-1) stays a failure.
  auto best = [](double a, double b) { return a < 0 || b < 0 ? -1.0 : std::max(a, b); };
  double r1 = 0, c1 = 0, r2 = 0, c2 = 0;
  for (int i = 0; i < 3; ++i) {
    r1 = best(r1, client_read(io, size, range, buffer));
    c1 = best(c1, curl_read(url, files.ca_file, size, range, buffer));
  }
  double w = client_write(io, *server, size, range, pattern);
  double cw = curl_write(url, files.ca_file, *server, size, range, pattern);
  for (int i = 0; i < 3; ++i) {
    r2 = best(r2, client_read(io, size, range, buffer));
    c2 = best(c2, curl_read(url, files.ca_file, size, range, buffer));
  }
  std::printf("%-24s %12s %12s\n", "MiB/s", "client", "libcurl");
  std::printf("%-24s %12.1f %12.1f\n", "read (sparse image)", r1, c1);
  std::printf("%-24s %12.1f %12.1f\n", "write", w, cw);
  std::printf("%-24s %12.1f %12.1f\n", "read (written image)", r2, c2);
  server->stop();
  ::unlink(image.path.c_str());
  clear_http_settings();
  curl_global_cleanup();
  return r1 < 0 || c1 < 0 || w < 0 || cw < 0 || r2 < 0 || c2 < 0 ? 1 : 0;
}
