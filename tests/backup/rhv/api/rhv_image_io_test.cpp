// The image I/O client against the test imageio daemon: capabilities, extents, whole
// images read and written byte for byte over HTTP and HTTPS, the exact requests, every
// failure path and the range rules of readers and writers.

#include "backup/rhv/api/rhv_image_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/http/http_session.h"
#include "platform/json/json_parser.h"
#include "platform/json/value.h"
#include "tests/support/imageio_server.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_tls.h"

using test_support::Imageio_Fault;
using test_support::Imageio_Server;
using test_support::Imageio_Ticket;
using Lines = std::vector<std::string>;

namespace {

const std::string TICKET = "0a1b2c3d-0000-4000-8000-5ec7e7000001";
const uint64_t MiB = 1 << 20;

std::string read_file(const std::string& path)
{
  std::string out;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return out;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0)
    out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return out;
}

void write_at(const std::string& path, uint64_t offset, const std::string& bytes)
{
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

std::string random_bytes(size_t n, unsigned seed)
{
  std::mt19937 gen(seed);
  std::string out(n, '\0');
  for (char& c : out)
    c = static_cast<char>(gen());
  return out;
}

// A daemon serving one sparse image: data at the start, in the middle and at the end.
struct Daemon {
  explicit Daemon(bool tls = false, Imageio_Ticket image = Imageio_Ticket())
  {
    if (tls) {
      files = test_support::make_tls_files(dir.path());
      server.reset(new Imageio_Server(files));
      HTTP_Settings s;
      s.ca_file = files.ca_file;
      set_http_settings(s);
    } else {
      server.reset(new Imageio_Server());
    }
    image.path = dir.file("image.raw");
    if (image.size == 0)
      image.size = 5 * MiB + 123;
    ticket = image;
    EXPECT_TRUE(server->add_ticket(TICKET, image));
    if (image.size == 5 * MiB + 123) {
      write_at(image.path, 0, random_bytes(64 * 1024, 1));
      write_at(image.path, MiB + 7, random_bytes(300 * 1024, 2));
      write_at(image.path, 4 * MiB, random_bytes(MiB + 123, 3));
    }
    EXPECT_TRUE(server->start());
  }
  ~Daemon() { clear_http_settings(); }

  std::string url() const { return server->url(TICKET); }
  // The URL as log lines print it.
  std::string safe(const std::string& suffix = "") const { return server->base_url() + "/images/***" + suffix; }

  std::shared_ptr<RHV_Image_IO> io()
  {
    auto io = std::make_shared<RHV_Image_IO>();
    EXPECT_TRUE(io->init(url()));
    return io;
  }

  test_support::Temp_Dir dir{"imageio-test"};
  test_support::Tls_Files files;
  std::unique_ptr<Imageio_Server> server;
  Imageio_Ticket ticket;
};

// Reads [offset, offset + length) through a reader; false when any step fails.
bool read_range(RHV_Image_Reader& reader, uint64_t offset, uint64_t length, std::string& out)
{
  if (!reader.open(offset, length))
    return false;
  for (;;) {
    void* data = nullptr;
    long n = -1;
    if (!reader.read(data, n))
      return false;
    if (n == 0)
      break;
    out.append(static_cast<const char*>(data), static_cast<size_t>(n));
  }
  return reader.close();
}

// Runs `call` and returns what it logged at LM_ERROR and LM_EMERGENCY.
Lines failure_lines(const std::function<bool()>& call, bool& result)
{
  Log_Capture log(true);
  result = call();
  Lines out = log.texts(LM_ERROR);
  for (const std::string& line : log.texts(LM_EMERGENCY))
    out.push_back(line);
  return out;
}

// One request written to 127.0.0.1:`port` as it is, and everything the peer sends until
// it closes (the request should say "Connection: close").
std::string raw_exchange(unsigned short port, const std::string& request)
{
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return "";
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string out;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
      out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

// The parts of a raw answer.
struct Raw_Answer {
  explicit Raw_Answer(const std::string& text)
  {
    size_t end = text.find("\r\n\r\n");
    std::string head = text.substr(0, end);
    body = end == std::string::npos ? "" : text.substr(end + 4);
    if (head.compare(0, 9, "HTTP/1.1 ") == 0)
      status = std::atoi(head.c_str() + 9);
    size_t at = head.find("\r\n");
    while (at != std::string::npos) {
      size_t next = head.find("\r\n", at + 2);
      std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
      size_t colon = line.find(':');
      std::string name = line.substr(0, colon);
      for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (colon != std::string::npos && name == "content-type")
        content_type = line.substr(line.find_first_not_of(' ', colon + 1));
      at = next;
    }
  }
  int status = 0;
  std::string content_type;
  std::string body;  // as sent: possibly in chunks
};

}  // namespace

// ---------------------------------------------------------------------------------------
// The test daemon where the client does not take it

TEST(Imageio_Daemon, errors_are_text_with_the_daemons_statuses)
{
  Daemon d;
  const std::string image = read_file(d.ticket.path);
  const std::string T = "/images/" + TICKET;
  const std::string host = "Host: 127.0.0.1\r\nConnection: close\r\n";
  struct Row {
    const char* what;
    std::string request;
    int status;
  } const rows[] = {
    // The body in chunks, its length untold.
    {"put without Content-Length",
     "PUT " + T + " HTTP/1.1\r\n" + host + "Content-Range: bytes 0-3/*\r\nTransfer-Encoding: chunked\r\n\r\n" +
         "4\r\nabcd\r\n0\r\n\r\n",
     400},
    {"unknown ticket", "GET /images/no-such-ticket HTTP/1.1\r\n" + host + "Range: bytes=0-9\r\n\r\n", 403},
    {"options of an unknown ticket", "OPTIONS /images/no-such-ticket HTTP/1.1\r\n" + host + "\r\n", 403},
    {"another method", "DELETE " + T + " HTTP/1.1\r\n" + host + "\r\n", 405},
    {"another method on the extents", "POST " + T + "/extents HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n",
     405},
    {"unknown path under the ticket", "GET " + T + "/checksum HTTP/1.1\r\n" + host + "\r\n", 404},
    {"unknown path", "GET /info HTTP/1.1\r\n" + host + "\r\n", 404},
    {"range past the end", "GET " + T + " HTTP/1.1\r\n" + host + "Range: bytes=5243003-5243010\r\n\r\n", 416},
    {"suffix range", "GET " + T + " HTTP/1.1\r\n" + host + "Range: bytes=-5\r\n\r\n", 400},
    {"unknown extents context", "GET " + T + "/extents?context=all HTTP/1.1\r\n" + host + "\r\n", 400},
    {"no dirty map", "GET " + T + "/extents?context=dirty HTTP/1.1\r\n" + host + "\r\n", 404},
    {"garbled Content-Range", "PUT " + T + " HTTP/1.1\r\n" + host + "Content-Range: 0-3\r\nContent-Length: 4\r\n\r\nabcd",
     400},
    {"put past the end", "PUT " + T + " HTTP/1.1\r\n" + host +
         "Content-Range: bytes 5243002-5243003/*\r\nContent-Length: 2\r\n\r\nab", 416},
    {"patch that is no JSON", "PATCH " + T + " HTTP/1.1\r\n" + host + "Content-Length: 4\r\n\r\nzero", 400},
  };
  for (const Row& r : rows) {
    Raw_Answer a(raw_exchange(d.server->port(), r.request));
    EXPECT_EQ(a.status, r.status) << r.what;
    EXPECT_EQ(a.content_type, "text/plain") << r.what;
    EXPECT_FALSE(a.body.empty()) << r.what;
  }
  // None of them changed the image.
  EXPECT_TRUE(read_file(d.ticket.path) == image);
}

TEST(Imageio_Daemon, options_without_unix_socket_are_refused_by_the_client)
{
  Imageio_Ticket t;
  t.unix_socket = false;
  Daemon d(false, t);
  const std::string request =
      "OPTIONS /images/" + TICKET + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  Raw_Answer a(raw_exchange(d.server->port(), request));
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.content_type, "application/json");
  json_spirit::Value v;
  ASSERT_TRUE(json_spirit::parse(a.body, v)) << a.body;
  ASSERT_EQ(v.type(), json_spirit::obj_type);
  EXPECT_EQ(v.get_obj().count("unix_socket"), 0u);
  EXPECT_EQ(v.get_obj().count("features"), 1u);

  RHV_Image_IO io;
  bool ok = true;
  Lines lines = failure_lines([&] { return io.init(d.url()); }, ok);
  EXPECT_FALSE(ok);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Invalid RHV image io OPTIONS response format, exception: ", 0), 0u) << lines[0];
  EXPECT_FALSE(io.enable_extents());

  // With the socket named, the same daemon is taken.
  t = d.ticket;
  t.unix_socket = true;
  ASSERT_TRUE(d.server->add_ticket(TICKET, t));
  Raw_Answer named(raw_exchange(d.server->port(), request));
  EXPECT_NE(named.body.find("\"unix_socket\":\"\\u0000/org/ovirt/imageio\""), std::string::npos) << named.body;
  EXPECT_TRUE(io.options());
  EXPECT_TRUE(io.enable_extents());
}

// ---------------------------------------------------------------------------------------
// Capabilities

TEST(Image_IO, init_takes_the_url_apart_and_reads_the_capabilities)
{
  for (bool tls : {false, true}) {
    Daemon d(tls);
    RHV_Image_IO io;
    ASSERT_TRUE(io.init(d.url())) << tls;
    EXPECT_EQ(io.url(), d.url());
    EXPECT_EQ(io.host(), "127.0.0.1");
    EXPECT_EQ(io.port(), d.server->port());
    EXPECT_EQ(io.ssl(), tls);
    EXPECT_EQ(io.path(), "/images/" + TICKET);
    EXPECT_EQ(io.unix_socket(), std::string("\0/org/ovirt/imageio", 19));
    EXPECT_TRUE(io.enable_extents());
    EXPECT_TRUE(io.enable_zero());
    EXPECT_TRUE(io.enable_flush());
    EXPECT_EQ(io.max_readers(), 8u);
    EXPECT_EQ(io.max_writers(), 8u);
    std::vector<test_support::Logged_Request> sent = d.server->http().requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].method, "OPTIONS");
    EXPECT_EQ(sent[0].target, "/images/" + TICKET);
  }
}

TEST(Image_IO, options_answers_decide_features_and_limits)
{
  struct Row {
    const char* what;
    std::vector<std::string> features;
    int max_readers;
    int max_writers;
    bool extents, zero, flush;
    uint32_t readers, writers;
  } const rows[] = {
    {"all", {"extents", "zero", "flush"}, 4, 2, true, true, true, 4, 2},
    {"none", {}, 0, 0, false, false, false, 0, 0},
    {"others ignored", {"extents", "checksum", "EXTENTS"}, 1, 1, true, false, false, 1, 1},
    {"limits absent", {"flush"}, -1, -1, false, false, true, 1, 1},
  };
  for (const Row& r : rows) {
    Imageio_Ticket t;
    t.features = r.features;
    t.max_readers = r.max_readers;
    t.max_writers = r.max_writers;
    Daemon d(false, t);
    RHV_Image_IO io;
    ASSERT_TRUE(io.init(d.url())) << r.what;
    EXPECT_EQ(io.enable_extents(), r.extents) << r.what;
    EXPECT_EQ(io.enable_zero(), r.zero) << r.what;
    EXPECT_EQ(io.enable_flush(), r.flush) << r.what;
    EXPECT_EQ(io.max_readers(), r.readers) << r.what;
    EXPECT_EQ(io.max_writers(), r.writers) << r.what;
  }
}

TEST(Image_IO, a_second_options_only_adds_features_and_keeps_limits_the_daemon_leaves_out)
{
  Daemon d;
  RHV_Image_IO io;
  ASSERT_TRUE(io.init(d.url()));
  Imageio_Ticket t = d.ticket;
  t.features = {"zero"};
  t.max_readers = -1;
  t.max_writers = 3;
  ASSERT_TRUE(d.server->add_ticket(TICKET, t));
  ASSERT_TRUE(io.options());
  EXPECT_TRUE(io.enable_extents());
  EXPECT_TRUE(io.enable_flush());
  EXPECT_EQ(io.max_readers(), 8u);
  EXPECT_EQ(io.max_writers(), 3u);
}

TEST(Image_IO, failed_options_log_one_line_and_change_nothing)
{
  Daemon d;
  const std::string url = d.url();
  struct Row {
    const char* what;
    Imageio_Fault fault;
    std::string line;
  };
  std::vector<Row> rows;
  Imageio_Fault f;
  f.target = Imageio_Fault::options;
  f.kind = Imageio_Fault::status, f.status_code = 403, f.body = "You are not allowed to access this resource";
  rows.push_back({"status", f, "Failed to OPTIONS '" + d.safe() + "', status=403\n"});
  f.kind = Imageio_Fault::custom, f.status_code = 200, f.content_type = "application/json", f.body = "{\"features\": [";
  rows.push_back({"not JSON", f, "Failed to parse response data from " + d.safe() + ".\n"});
  f.body = R"({"features": ["extents"], "max_readers": 1})";
  rows.push_back({"no unix_socket", f, ""});
  f.body = R"({"unix_socket": "s", "features": "extents"})";
  rows.push_back({"features not an array", f, ""});
  f.body = R"(["extents"])";
  rows.push_back({"not an object", f, ""});
  f.kind = Imageio_Fault::close, f.count = -1;
  rows.push_back({"closed", f, "Failed to OPTIONS '" + d.safe() + "'.\n"});
  for (const Row& r : rows) {
    RHV_Image_IO io;
    ASSERT_TRUE(io.init(url)) << r.what;
    d.server->clear_faults();
    d.server->add_fault(r.fault);
    bool ok = true;
    Lines lines = failure_lines([&] { return io.options(); }, ok);
    d.server->clear_faults();
    EXPECT_FALSE(ok) << r.what;
    ASSERT_EQ(lines.size(), 1u) << r.what;
    if (r.line.empty())
      EXPECT_EQ(lines[0].rfind("Invalid RHV image io OPTIONS response format, exception: ", 0), 0u) << lines[0];
    else
      EXPECT_EQ(lines[0], r.line) << r.what;
    EXPECT_EQ(io.max_readers(), 8u) << r.what;
    EXPECT_EQ(io.unix_socket().size(), 19u) << r.what;
  }
}

TEST(Image_IO, init_refuses_urls_it_cannot_take_apart_without_printing_the_ticket)
{
  struct Row {
    std::string url;
    std::string line;
  } const rows[] = {
    {"ftp://127.0.0.1/images/secret-ticket", "Failed to parse url 'ftp://127.0.0.1/images/***'\n"},
    {"images/secret-ticket", "Failed to parse url 'images/***'\n"},
    {"", "Failed to parse url ''\n"},
  };
  for (const Row& r : rows) {
    RHV_Image_IO io;
    bool ok = true;
    Lines lines = failure_lines([&] { return io.init(r.url); }, ok);
    EXPECT_FALSE(ok) << r.url;
    EXPECT_EQ(lines, Lines{r.line});
    EXPECT_EQ(io.url(), "");
  }
}

// ---------------------------------------------------------------------------------------
// Extents

// The daemon's file back end reports the whole image as one data extent.
TEST(Image_IO, zero_extents_of_a_file_image_are_one_data_extent)
{
  Daemon d;
  auto io = d.io();
  std::vector<RHV_Extent> extents(1);  // appended after what is there
  ASSERT_TRUE(io->extents(extents, false));
  ASSERT_EQ(extents.size(), 2u);
  EXPECT_EQ(extents[0].length, 0u);
  EXPECT_EQ(extents[1].start, 0u);
  EXPECT_EQ(extents[1].length, d.ticket.size);
  EXPECT_EQ(extents[1].flags, 0u);
  std::vector<test_support::Logged_Request> sent = d.server->http().requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].method, "GET");
  EXPECT_EQ(sent[1].target, "/images/" + TICKET + "/extents?context=zero");
}

TEST(Image_IO, dirty_extents_come_from_the_change_map)
{
  Imageio_Ticket t;
  t.has_dirty = true;
  t.dirty = {{0, MiB, false, false}, {MiB, 2 * MiB, true, false}, {3 * MiB, 2 * MiB + 123, true, true}};
  Daemon d(false, t);
  auto io = d.io();
  std::vector<RHV_Extent> extents;
  ASSERT_TRUE(io->extents(extents, true));
  ASSERT_EQ(extents.size(), 3u);
  const unsigned flags[] = {RHV_Extent::INCREMENTAL, RHV_Extent::INCREMENTAL | RHV_Extent::DIRTY_OR_HOLE,
                            RHV_Extent::INCREMENTAL | RHV_Extent::DIRTY_OR_HOLE | RHV_Extent::ZERO};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(extents[i].start, t.dirty[i].start);
    EXPECT_EQ(extents[i].length, t.dirty[i].length);
    EXPECT_EQ(extents[i].flags, flags[i]);
    EXPECT_EQ(extents[i].dirty(), t.dirty[i].dirty);
    EXPECT_FALSE(extents[i].hole());
  }
  EXPECT_EQ(d.server->http().requests().back().query, "context=dirty");
}

TEST(Image_IO, bad_extents_answers_fail_and_leave_the_list_alone)
{
  Daemon d;
  auto io = d.io();
  const std::string url = d.safe("/extents?context=zero");
  const std::string format = "Invalid RHV image io EXTENTS response format, exception: ";
  struct Row {
    const char* what;
    Imageio_Fault::Kind kind;
    int status;
    std::string body;
    std::string line;  // a prefix when it ends in ": "
  } const rows[] = {
    {"status", Imageio_Fault::status, 404, "No extents", "Failed to GET '" + url + "', status=404\n"},
    // Every attempt of the GET broken off: the JSON session gives up after its retries.
    {"closed", Imageio_Fault::close, 0, "", "Failed to GET '" + url + "'.\n"},
    {"not an array", Imageio_Fault::custom, 200, R"({"start": 0})", format},
    {"not JSON", Imageio_Fault::custom, 200, "[{", format},
    {"no hole", Imageio_Fault::custom, 200, R"([{"start": 0, "length": 5, "zero": true}])", format},
    {"length as text", Imageio_Fault::custom, 200, R"([{"start": 0, "length": "5", "zero": true, "hole": true}])",
     format},
    {"negative start", Imageio_Fault::custom, 200, R"([{"start": -1, "length": 5, "zero": true, "hole": true}])",
     format},
    {"zero not a boolean", Imageio_Fault::custom, 200, R"([{"start": 0, "length": 5, "zero": 1, "hole": true}])",
     format},
    {"past 2^64", Imageio_Fault::custom, 200,
     R"([{"start": 18446744073709551615, "length": 2, "zero": false, "hole": false}])", format},
  };
  for (const Row& r : rows) {
    Imageio_Fault f;
    f.target = Imageio_Fault::extents;
    f.kind = r.kind;
    f.status_code = r.status;
    f.body = r.body;
    f.content_type = "application/json";
    f.count = r.kind == Imageio_Fault::close ? -1 : 1;
    d.server->add_fault(f);
    std::vector<RHV_Extent> extents(2);
    bool ok = true;
    Lines lines = failure_lines([&] { return io->extents(extents, false); }, ok);
    d.server->clear_faults();
    EXPECT_FALSE(ok) << r.what;
    EXPECT_EQ(extents.size(), 2u) << r.what;
    ASSERT_EQ(lines.size(), 1u) << r.what;
    EXPECT_EQ(lines[0].compare(0, r.line.size(), r.line), 0) << r.what << ": " << lines[0];
  }

  // Elements that are not objects are skipped; a last extent may end at 2^64.
  Imageio_Fault f;
  f.target = Imageio_Fault::extents;
  f.kind = Imageio_Fault::custom;
  f.status_code = 200;
  f.content_type = "application/json";
  f.body = R"([1, {"start": 0, "length": 7, "zero": false, "hole": false}, "x", null,
              {"start": 18446744073709551615, "length": 1, "zero": true, "hole": false}])";
  d.server->add_fault(f);
  std::vector<RHV_Extent> extents;
  ASSERT_TRUE(io->extents(extents, false));
  ASSERT_EQ(extents.size(), 2u);
  EXPECT_EQ(extents[0].length, 7u);
  EXPECT_EQ(extents[1].flags, unsigned(RHV_Extent::ZERO));
}

TEST(Image_IO, extents_without_the_feature_fail_before_any_request)
{
  Imageio_Ticket t;
  t.features = {"zero", "flush"};
  Daemon d(false, t);
  auto io = d.io();
  d.server->http().clear_requests();
  std::vector<RHV_Extent> extents;
  bool ok = true;
  Lines lines = failure_lines([&] { return io->extents(extents, true); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines, Lines{"Extents operation is not supported by " + d.safe() + ".\n"});
  EXPECT_EQ(d.server->http().request_count(), 0u);
}

// ---------------------------------------------------------------------------------------
// Whole images

TEST(Image_IO, whole_images_read_and_written_byte_for_byte)
{
  for (bool tls : {false, true}) {
    Daemon d(tls);
    auto io = d.io();
    const std::string original = read_file(d.ticket.path);
    ASSERT_EQ(original.size(), d.ticket.size);

    // Download by the allocation map: data extents read in ranges of at most 1 MiB,
    // holes taken as zeros.
    std::vector<RHV_Extent> extents;
    ASSERT_TRUE(io->extents(extents, false));
    std::string copy(original.size(), '\x55');
    RHV_Image_Reader reader(io, 100000);
    for (const RHV_Extent& e : extents) {
      if (e.zero()) {
        copy.replace(e.start, e.length, e.length, '\0');
        continue;
      }
      for (uint64_t at = e.start; at < e.start + e.length; at += MiB) {
        uint64_t n = std::min<uint64_t>(MiB, e.start + e.length - at);
        std::string part;
        ASSERT_TRUE(read_range(reader, at, n, part)) << tls;
        ASSERT_EQ(part.size(), n);
        copy.replace(at, n, part);
      }
    }
    EXPECT_TRUE(copy == original) << "download differs, tls " << tls;

    // The whole image as one range, in reads of an odd size.
    RHV_Image_Reader odd(io, 4099);
    std::string whole;
    ASSERT_TRUE(read_range(odd, 0, d.ticket.size, whole));
    EXPECT_TRUE(whole == original);

    // Upload a new image in ranges of 1 MiB and pieces of 100000 bytes; flush at the end.
    const std::string upload = random_bytes(d.ticket.size, tls ? 11 : 12);
    RHV_Image_Writer writer(io);
    for (uint64_t at = 0; at < upload.size(); at += MiB) {
      uint64_t n = std::min<uint64_t>(MiB, upload.size() - at);
      bool last = at + n == upload.size();
      ASSERT_TRUE(writer.open(at, n, last));
      for (uint64_t off = 0; off < n; off += 100000) {
        size_t piece = static_cast<size_t>(std::min<uint64_t>(100000, n - off));
        ASSERT_TRUE(writer.write(upload.data() + at + off, piece)) << at << "+" << off;
      }
      ASSERT_TRUE(writer.close());
    }
    EXPECT_TRUE(read_file(d.ticket.path) == upload) << "upload differs, tls " << tls;
    EXPECT_EQ(d.server->flushes(), 1u);
    std::string back;
    ASSERT_TRUE(read_range(reader, 0, d.ticket.size, back));
    EXPECT_TRUE(back == upload);
  }
}

TEST(Image_IO, readers_and_writers_send_their_exact_requests)
{
  Daemon d;
  auto io = d.io();
  RHV_Image_Reader reader(io, 4096);
  std::string part;
  ASSERT_TRUE(read_range(reader, MiB + 7, 10, part));
  EXPECT_EQ(part, read_file(d.ticket.path).substr(MiB + 7, 10));
  ASSERT_TRUE(read_range(reader, 0, 1, part));

  RHV_Image_Writer writer(io);
  d.server->http().clear_requests();
  ASSERT_TRUE(writer.open(100, 10, false));
  ASSERT_TRUE(writer.write("abcd", 4));
  ASSERT_TRUE(writer.write("", 0));  // changes nothing
  ASSERT_TRUE(writer.write("efgh", 4));
  // The daemon has not answered yet: its answer is read with the last piece.
  EXPECT_EQ(d.server->http().request_count(), 0u);
  ASSERT_TRUE(writer.write("ij", 2));
  ASSERT_EQ(d.server->http().request_count(), 1u);
  EXPECT_EQ(read_file(d.ticket.path).substr(100, 10), "abcdefghij");
  ASSERT_TRUE(writer.open(4 * MiB, 3, true));
  ASSERT_TRUE(writer.write("xyz", 3));
  ASSERT_TRUE(writer.close());

  std::vector<test_support::Logged_Request> sent = d.server->http().requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].method, "PUT");
  EXPECT_EQ(sent[0].target, "/images/" + TICKET + "?flush=n");
  EXPECT_EQ(sent[0].header("Content-Range"), "bytes 100-109/*");
  EXPECT_EQ(sent[0].header("Content-Length"), "10");
  EXPECT_EQ(sent[0].header("Range"), "bytes=100-109");
  EXPECT_EQ(sent[0].body, "abcdefghij");
  EXPECT_EQ(sent[1].target, "/images/" + TICKET + "?flush=y");
  EXPECT_EQ(sent[1].header("Content-Range"), "bytes 4194304-4194306/*");
  EXPECT_EQ(d.server->flushes(), 1u);
}

TEST(Image_IO, reads_of_ranges_ask_for_the_exact_bytes)
{
  Daemon d;
  auto io = d.io();
  RHV_Image_Reader reader(io, 1 << 16);
  d.server->http().clear_requests();
  std::string part;
  ASSERT_TRUE(read_range(reader, d.ticket.size - 5, 5, part));
  ASSERT_TRUE(read_range(reader, 0, MiB, part));
  std::vector<test_support::Logged_Request> sent = d.server->http().requests();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].method, "GET");
  EXPECT_EQ(sent[0].target, "/images/" + TICKET);
  EXPECT_EQ(sent[0].header("Range"), "bytes=5242998-5243002");
  EXPECT_EQ(sent[1].header("Range"), "bytes=0-1048575");
  // The connection is kept from range to range.
  EXPECT_EQ(sent[0].remote_port, sent[1].remote_port);
}

// ---------------------------------------------------------------------------------------
// Reader failures

TEST(Image_IO, reader_failures_log_one_line_and_deliver_nothing_outside_the_range)
{
  Daemon d;
  auto io = d.io();
  const std::string get = "Failed to GET '" + d.safe() + "'";
  struct Row {
    const char* what;
    Imageio_Fault::Kind kind;
    int status;
    std::string body;
    bool open_fails;
    std::string line;  // a prefix
  } const rows[] = {
    {"forbidden", Imageio_Fault::status, 403, "No such ticket", true, get + ", status=403.\n"},
    {"server error", Imageio_Fault::status, 500, "Internal error", true, get + ", status=500.\n"},
    {"whole image", Imageio_Fault::whole_image, 0, "", true, get + ", status=200.\n"},
    {"other range", Imageio_Fault::content_range, 0, "bytes 0-99/5243003", true,
     get + ", unexpected Content-Range 'bytes 0-99/5243003' for bytes 100-199.\n"},
    {"garbled range", Imageio_Fault::content_range, 0, "bytes=100-199", true,
     get + ", unexpected Content-Range 'bytes=100-199' for bytes 100-199.\n"},
    {"closed", Imageio_Fault::close, 0, "", true, get + ".\n"},
    {"short body", Imageio_Fault::short_body, 0, "", false, "Failed to GET data from " + d.safe() + ", errno="},
    {"long body", Imageio_Fault::long_body, 0, "", false,
     "Failed to GET data from " + d.safe() + ", the response runs past the range.\n"},
  };
  for (const Row& r : rows) {
    Imageio_Fault f;
    f.target = Imageio_Fault::read;
    f.kind = r.kind;
    f.status_code = r.status;
    f.body = r.body;
    f.short_by = 40;
    f.count = r.kind == Imageio_Fault::close ? -1 : 1;
    d.server->add_fault(f);
    RHV_Image_Reader reader(io, 64);
    std::string got;
    bool ok = true;
    Lines lines = failure_lines([&] { return read_range(reader, 100, 100, got); }, ok);
    d.server->clear_faults();
    EXPECT_FALSE(ok) << r.what;
    EXPECT_LE(got.size(), 100u) << r.what;
    ASSERT_EQ(lines.size(), 1u) << r.what << ": " << testing::PrintToString(lines);
    EXPECT_EQ(lines[0].compare(0, r.line.size(), r.line), 0) << r.what << ": " << lines[0];
    // A failed range leaves no connection behind.
    void* data = nullptr;
    long n = 0;
    Lines after = failure_lines([&] { return reader.read(data, n); }, ok);
    EXPECT_FALSE(ok) << r.what;
    ASSERT_EQ(after.size(), 1u) << r.what;
    EXPECT_NE(after[0].find("conn_ is NULL"), std::string::npos) << after[0];
    // The reader still works for the next range.
    got.clear();
    ASSERT_TRUE(read_range(reader, 100, 100, got)) << r.what;
    EXPECT_EQ(got, read_file(d.ticket.path).substr(100, 100));
  }
}

TEST(Image_IO, reader_refuses_empty_and_impossible_ranges_without_a_request)
{
  Daemon d;
  auto io = d.io();
  RHV_Image_Reader reader(io, 64);
  d.server->http().clear_requests();
  const struct {
    uint64_t offset, length;
    std::string line;
  } rows[] = {
    {0, 0, "Invalid range to GET from " + d.safe() + ": offset 0, length 0.\n"},
    {4096, 0, "Invalid range to GET from " + d.safe() + ": offset 4096, length 0.\n"},
    {UINT64_MAX, 2, "Invalid range to GET from " + d.safe() + ": offset 18446744073709551615, length 2.\n"},
  };
  for (const auto& r : rows) {
    bool ok = true;
    Lines lines = failure_lines([&] { return reader.open(r.offset, r.length); }, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(lines, Lines{r.line});
  }
  EXPECT_EQ(d.server->http().request_count(), 0u);
  // A range past the image's end is the daemon's to refuse.
  bool ok = true;
  Lines lines = failure_lines([&] { return reader.open(d.ticket.size, 1); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines, Lines{"Failed to GET '" + d.safe() + "', status=416.\n"});
}

TEST(Image_IO, readers_and_writers_check_what_they_were_made_with)
{
  Imageio_Ticket t;
  t.max_readers = 0;
  t.max_writers = 0;
  t.features = {"extents"};
  Daemon d(false, t);
  auto io = d.io();
  d.server->http().clear_requests();
  bool ok = true;

  RHV_Image_Reader no_io(nullptr, 64);
  Lines lines = failure_lines([&] { return no_io.open(0, 1); }, ok);
  EXPECT_FALSE(ok);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("Unexpected error in backup/rhv/api/rhv_image_io.cpp:", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(", io_ is NULL:\n"), std::string::npos) << lines[0];

  RHV_Image_Reader no_buffer(io, 0);
  lines = failure_lines([&] { return no_buffer.open(0, 1); }, ok);
  EXPECT_FALSE(ok);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(", buffer_size_(0) <= 0:\n"), std::string::npos) << lines[0];

  RHV_Image_Reader reader(io, 64);
  lines = failure_lines([&] { return reader.open(0, 1); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines, Lines{"Read operation is not supported by " + d.safe() + ".\n"});

  RHV_Image_Writer no_writer_io(nullptr);
  lines = failure_lines([&] { return no_writer_io.open(0, 1, false); }, ok);
  EXPECT_FALSE(ok);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(", io_ is NULL:\n"), std::string::npos) << lines[0];

  RHV_Image_Writer writer(io);
  lines = failure_lines([&] { return writer.open(0, 1, false); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines, Lines{"Write operation is not supported by " + d.safe() + ".\n"});
  EXPECT_EQ(d.server->http().request_count(), 0u);

  // An endpoint that was never given a URL has no address to make a session for.
  auto nowhere = std::make_shared<RHV_Image_IO>();
  lines = failure_lines([&] { return nowhere->options(); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines, (Lines{"Invalid HTTP session address ':0'.\n", "Failed to create RHV image io session.\n"}));
  std::unique_ptr<RHV_Image_Reader> reader_nowhere;
  std::unique_ptr<RHV_Image_Writer> writer_nowhere;
  lines = failure_lines(
      [&] {
        reader_nowhere.reset(new RHV_Image_Reader(nowhere, 64));
        writer_nowhere.reset(new RHV_Image_Writer(nowhere));
        return true;
      },
      ok);
  EXPECT_EQ(lines, (Lines{"Invalid HTTP session address ':0'.\n", "Invalid HTTP session address ':0'.\n"}));
  lines = failure_lines([&] { return reader_nowhere->open(0, 1); }, ok);
  EXPECT_FALSE(ok);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(", sess_ is NULL:\n"), std::string::npos) << lines[0];
  lines = failure_lines([&] { return writer_nowhere->open(0, 1, false); }, ok);
  EXPECT_FALSE(ok);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(", sess_ is NULL:\n"), std::string::npos) << lines[0];
}

// ---------------------------------------------------------------------------------------
// Writer failures and range rules

TEST(Image_IO, writer_keeps_to_the_announced_range)
{
  Daemon d;
  auto io = d.io();
  RHV_Image_Writer writer(io);
  bool ok = true;

  // No range open.
  Lines lines = failure_lines([&] { return writer.write("abc", 3); }, ok);
  EXPECT_FALSE(ok);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(", conn_ is NULL:\n"), std::string::npos) << lines[0];

  // Empty and impossible ranges are refused before any request.
  d.server->http().clear_requests();
  lines = failure_lines([&] { return writer.open(10, 0, false); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines, Lines{"Invalid range to PUT to " + d.safe() + ": offset 10, length 0.\n"});
  lines = failure_lines([&] { return writer.open(UINT64_MAX - 1, 3, false); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(d.server->http().request_count(), 0u);

  // A piece larger than what is left is refused whole; the range still completes.
  ASSERT_TRUE(writer.open(0, 6, false));
  ASSERT_TRUE(writer.write("12", 2));
  lines = failure_lines([&] { return writer.write("34567", 5); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines, Lines{"Failed to PUT data to " + d.safe("?flush=n") +
                         ", 5 bytes exceed the 4 bytes left of the range.\n"});
  ASSERT_TRUE(writer.write("3456", 4));
  EXPECT_EQ(read_file(d.ticket.path).substr(0, 6), "123456");

  // Writing on after the range is complete fails and sends nothing.
  d.server->http().clear_requests();
  lines = failure_lines([&] { return writer.write("7", 1); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines, Lines{"Failed to PUT data to " + d.safe("?flush=n") + ", the range is complete.\n"});
  lines = failure_lines([&] { return writer.write("", 0); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(read_file(d.ticket.path).substr(0, 7), std::string("123456") + read_file(d.ticket.path)[6]);
  ASSERT_TRUE(writer.close());
  EXPECT_EQ(d.server->http().request_count(), 0u);

  // A range given up half way is not written.
  ASSERT_TRUE(writer.open(200, 4, false));
  ASSERT_TRUE(writer.write("ab", 2));
  ASSERT_TRUE(writer.close());
  EXPECT_NE(read_file(d.ticket.path).substr(200, 2), "ab");
  ASSERT_TRUE(writer.open(200, 4, false));
  ASSERT_TRUE(writer.write("wxyz", 4));
  EXPECT_EQ(read_file(d.ticket.path).substr(200, 4), "wxyz");
}

TEST(Image_IO, writer_failures_log_one_line)
{
  Daemon d;
  auto io = d.io();
  const std::string put = d.safe("?flush=n");
  struct Row {
    const char* what;
    Imageio_Fault::Kind kind;
    int status;
    std::string line;
  } const rows[] = {
    {"forbidden", Imageio_Fault::status, 403, "Failed to PUT '" + put + "', status=403\n"},
    {"no content", Imageio_Fault::custom, 204, "Failed to PUT '" + put + "', status=204\n"},
    // The body is taken whole, then the connection closed without an answer.
    {"closed", Imageio_Fault::close, 0,
     "Failed to receive response from '" + put + "', errno=" + std::to_string(ECONNRESET) + ", " +
         std::strerror(ECONNRESET) + "\n"},
  };
  for (const Row& r : rows) {
    Imageio_Fault f;
    f.target = Imageio_Fault::write;
    f.kind = r.kind;
    f.status_code = r.status;
    f.count = r.kind == Imageio_Fault::close ? -1 : 1;
    d.server->add_fault(f);
    RHV_Image_Writer writer(io);
    const std::string data(3000, 'q');
    bool ok = true;
    Lines lines = failure_lines(
        [&] {
          if (!writer.open(0, data.size(), false))
            return false;
          return writer.write(data.data(), 1000) && writer.write(data.data() + 1000, 2000);
        },
        ok);
    d.server->clear_faults();
    EXPECT_FALSE(ok) << r.what;
    EXPECT_EQ(lines, Lines{r.line}) << r.what;
    ASSERT_TRUE(writer.open(0, 3, false)) << r.what;
    ASSERT_TRUE(writer.write("ok!", 3)) << r.what;
  }
  // A flush that the daemon does not offer.
  Imageio_Ticket t = d.ticket;
  t.features = {"extents"};
  ASSERT_TRUE(d.server->add_ticket(TICKET, t));
  RHV_Image_IO plain;
  ASSERT_TRUE(plain.init(d.url()));
  RHV_Image_Writer writer(std::make_shared<RHV_Image_IO>(plain));
  bool ok = true;
  Lines lines = failure_lines([&] { return writer.open(0, 3, true); }, ok);
  EXPECT_FALSE(ok);
  EXPECT_EQ(lines, Lines{"Flush operation is not supported by " + d.safe() + ".\n"});
}

TEST(Image_IO, a_daemon_that_goes_away_fails_the_writer_with_its_line)
{
  const std::string large(4 * MiB, 'w');
  struct Row {
    const char* what;
    bool stop_before_open;
    Lines line;  // the whole line, or before the errno when it ends in "errno="
  } const rows[] = {
    {"before the request", true, {"Failed to PUT '", "?flush=n'.\n"}},
    {"in the middle of the body", false, {"Failed to PUT data to ", "?flush=n, errno="}},
  };
  for (const Row& r : rows) {
    Daemon d;
    HTTP_Settings quick;
    quick.connect_retry_delay_ms = 1;
    set_http_settings(quick);
    auto io = d.io();
    RHV_Image_Writer writer(io);
    const std::string expected = r.line[0] + d.safe() + r.line[1];
    bool ok = true;
    Lines lines = failure_lines(
        [&] {
          if (r.stop_before_open)
            d.server->stop();
          if (!writer.open(0, large.size(), false))
            return false;
          if (!writer.write(large.data(), 1000))
            return false;
          d.server->stop();
          return writer.write(large.data() + 1000, large.size() - 1000);
        },
        ok);
    EXPECT_FALSE(ok) << r.what;
    ASSERT_EQ(lines.size(), 1u) << r.what << ": " << testing::PrintToString(lines);
    if (expected.size() >= 6 && expected.compare(expected.size() - 6, 6, "errno=") == 0) {
      EXPECT_EQ(lines[0].compare(0, expected.size(), expected), 0) << r.what << ": " << lines[0];
      int err = std::atoi(lines[0].c_str() + expected.size());
      EXPECT_NE(err, 0) << lines[0];
      EXPECT_EQ(lines[0].substr(expected.size()), std::to_string(err) + ", " + std::strerror(err) + "\n");
    } else {
      EXPECT_EQ(lines[0], expected) << r.what;
    }
    // Nothing is left open: the next write finds no range.
    lines = failure_lines([&] { return writer.write("x", 1); }, ok);
    EXPECT_FALSE(ok) << r.what;
    ASSERT_EQ(lines.size(), 1u) << r.what;
    EXPECT_NE(lines[0].find(", conn_ is NULL:\n"), std::string::npos) << lines[0];
  }
}

// A daemon that takes a request and then sends nothing more: the client waits in its
// receive until the connection ends, and the call ends in its failure line. The
// daemon's stall is ended from here once the request is held in it; no call may hang.
TEST(Image_IO, a_daemon_that_stalls_ends_every_call_in_its_failure_line)
{
  Daemon d;
  auto io = d.io();
  const std::string get = "Failed to GET '" + d.safe() + "'";
  const std::string extents = "Failed to GET '" + d.safe("/extents?context=zero") + "'.\n";
  const std::string options_body = R"({"unix_socket": "s", "features": ["extents"], "max_readers": 4})";
  const std::string extents_body = R"([{"start": 0, "length": 5243003, "zero": false, "hole": false}])";
  RHV_Image_Reader reader(io, 4096);
  RHV_Image_Writer writer(io);
  std::vector<RHV_Extent> found;
  std::string got;
  const std::string data(100000, 'z');
  struct Row {
    const char* what;
    Imageio_Fault::Target target;
    Imageio_Fault::Kind kind;
    std::string body;
    std::function<bool()> call;
    std::string line;  // a prefix when it ends in "errno="
  } const rows[] = {
    {"options, no answer", Imageio_Fault::options, Imageio_Fault::stall, "", [&] { return io->options(); },
     "Failed to OPTIONS '" + d.safe() + "'.\n"},
    {"options, half a body", Imageio_Fault::options, Imageio_Fault::stall_body, options_body,
     [&] { return io->options(); }, "Failed to parse response data from " + d.safe() + ".\n"},
    {"extents, no answer", Imageio_Fault::extents, Imageio_Fault::stall, "",
     [&] { return io->extents(found, false); }, extents},
    {"extents, half a body", Imageio_Fault::extents, Imageio_Fault::stall_body, extents_body,
     [&] { return io->extents(found, false); }, extents},
    {"range, no answer", Imageio_Fault::read, Imageio_Fault::stall, "",
     [&] { return read_range(reader, 100, 200000, got); }, get + ".\n"},
    {"range, part of the body", Imageio_Fault::read, Imageio_Fault::stall_body, "",
     [&] { return read_range(reader, 100, 200000, got); }, "Failed to GET data from " + d.safe() + ", errno="},
    {"put, no answer", Imageio_Fault::write, Imageio_Fault::stall, "",
     [&] { return writer.open(0, data.size(), false) && writer.write(data.data(), data.size()); },
     "Failed to receive response from '" + d.safe("?flush=n") + "', errno=" + std::to_string(ECONNRESET) + ", " +
         std::strerror(ECONNRESET) + "\n"},
  };
  for (const Row& r : rows) {
    d.server->clear_faults();
    Imageio_Fault f;
    f.target = r.target;
    f.kind = r.kind;
    f.status_code = 200;
    f.content_type = "application/json";
    f.body = r.body;
    f.short_by = r.body.empty() ? 1000 : r.body.size() / 2;
    f.count = -1;
    d.server->add_fault(f);
    bool stalled = false;
    std::thread release([&] {
      stalled = d.server->wait_for_stalls(1);
      d.server->release_stalls();
    });
    found.clear();
    got.clear();
    bool ok = true;
    Lines lines = failure_lines(r.call, ok);
    release.join();
    EXPECT_TRUE(stalled) << r.what;
    EXPECT_FALSE(ok) << r.what;
    EXPECT_TRUE(found.empty()) << r.what;
    EXPECT_LT(got.size(), 200000u) << r.what;
    ASSERT_EQ(lines.size(), 1u) << r.what << ": " << testing::PrintToString(lines);
    if (r.line.size() >= 6 && r.line.compare(r.line.size() - 6, 6, "errno=") == 0)
      EXPECT_EQ(lines[0].compare(0, r.line.size(), r.line), 0) << r.what << ": " << lines[0];
    else
      EXPECT_EQ(lines[0], r.line) << r.what;
  }
  // Once the daemon answers again, so does the client.
  d.server->clear_faults();
  EXPECT_TRUE(io->options());
  EXPECT_TRUE(read_range(reader, 100, 10, got));
  EXPECT_TRUE(writer.open(0, 3, false) && writer.write("abc", 3));
}

TEST(Image_IO, no_line_of_any_failure_names_the_ticket)
{
  Daemon d;
  auto io = d.io();
  Log_Capture log(true);
  Imageio_Fault f;
  for (Imageio_Fault::Target target :
       {Imageio_Fault::options, Imageio_Fault::extents, Imageio_Fault::read, Imageio_Fault::write}) {
    f.target = target;
    f.kind = Imageio_Fault::close;
    f.count = -1;
    d.server->add_fault(f);
  }
  std::vector<RHV_Extent> extents;
  EXPECT_FALSE(io->options());
  EXPECT_FALSE(io->extents(extents, false));
  RHV_Image_Reader reader(io, 64);
  EXPECT_FALSE(reader.open(0, 10));
  RHV_Image_Writer writer(io);
  if (writer.open(0, 10, false)) {
    EXPECT_FALSE(writer.write("0123456789", 10));
  }
  d.server->stop();
  RHV_Image_IO gone;
  EXPECT_FALSE(gone.init(d.url()));
  EXPECT_GE(log.lines().size(), 5u);
  for (const Log_Capture::Line& line : log.lines())
    EXPECT_EQ(line.text.find(TICKET), std::string::npos) << line.text;
}
