#include "backup/rhv/api/rhv_image_io.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <utility>

#include <ace/Basic_Types.h>

#include "backup/json_spirit/extract.h"
#include "backup/scrt/check.h"
#include "backup/scrt/log.h"
#include "platform/http/json_http_session.h"
#include "platform/http/uri.h"
#include "platform/json/json_parser.h"
#include "platform/json/object_get.h"
#include "platform/json/value.h"

namespace {

// The daemon's OPTIONS answer is a small object; anything larger is not one.
const size_t MAX_OPTIONS_BODY = 64 * 1024;
// What is left of a PUT answer is read so that the connection can serve the next range.
const size_t MAX_PUT_ANSWER = 64 * 1024;

const char* const MASK = "***";

// `path` with its last non-empty segment (the ticket) replaced by the mask.
std::string mask_path(const std::string& path)
{
  size_t end = path.size();
  while (end > 0 && path[end - 1] == '/')
    --end;
  size_t begin = path.rfind('/', end == 0 ? 0 : end - 1);
  if (end == 0 || begin == std::string::npos)
    return path;
  return path.substr(0, begin + 1) + MASK + path.substr(end);
}

// A URL text that may not parse: everything after its last "/" (past the scheme's "//")
// replaced by the mask.
std::string mask_text(const std::string& url)
{
  size_t scheme = url.find("://");
  size_t from = scheme == std::string::npos ? 0 : scheme + 3;
  size_t slash = url.rfind('/');
  if (slash == std::string::npos || slash < from || slash + 1 >= url.size())
    return url;
  return url.substr(0, slash + 1) + MASK;
}

// The range [offset, offset + length - 1] as its first and last byte; false for an empty
// range or one that runs past the end of 64-bit offsets.
bool range_ends(uint64_t offset, uint64_t length, uint64_t& last)
{
  if (length == 0 || length - 1 > UINT64_MAX - offset)
    return false;
  last = offset + (length - 1);
  return true;
}

// Content-Range of a 206 answer: "bytes <first>-<last>/<size or *>".
bool parse_content_range(const char* text, uint64_t& first, uint64_t& last)
{
  if (text == nullptr)
    return false;
  unsigned long long a = 0;
  unsigned long long b = 0;
  int used = 0;
  if (std::sscanf(text, "bytes %llu-%llu/%n", &a, &b, &used) != 2 || used == 0)
    return false;
  first = a;
  last = b;
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// RHV_Image_IO

HTTP_Session_var RHV_Image_IO::create_session() const
{
  return HTTP_Session_Factory::create(host_, port_, ssl_, nullptr, 3, nullptr, false, 120, 120, 120, 0);
}

std::string RHV_Image_IO::safe_url() const
{
  if (host_.empty())
    return mask_text(url_);
  std::string out = ssl_ ? "https://" : "http://";
  out += host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
  out += ':';
  out += std::to_string(port_);
  out += mask_path(path_);
  return out;
}

std::string RHV_Image_IO::safe_url(const CGI_Request& req) const
{
  std::string out = safe_url();
  const std::string& uri = req.uri();
  // The request's own part beyond the transfer path ("/extents").
  if (uri.compare(0, path_.size(), path_) == 0)
    out += uri.substr(path_.size());
  if (!req.query_string().empty()) {
    out += '?';
    out += req.query_string();
  }
  return out;
}

bool RHV_Image_IO::init(std::string url)
{
  URI uri;
  if (!URI_Parser::parse(url, uri)) {
    RHV_LOG_ERROR("Failed to parse url '%s'\n", mask_text(url).c_str());
    return false;
  }
  url_ = std::move(url);
  host_ = uri.host;
  port_ = uri.port;
  ssl_ = uri.is_ssl;
  path_ = uri.path;
  return options();
}

bool RHV_Image_IO::options()
{
  HTTP_Session_var sess = create_session();
  if (!sess) {
    RHV_LOG_ERROR("Failed to create RHV image io session.\n");
    return false;
  }
  HTTP_Request req(HTTP_METHOD_OPTIONS);
  req.uri(path_);
  req.log_uri(mask_path(path_));
  HTTP_Connection_var conn = sess->open(req);
  if (!conn) {
    RHV_LOG_ERROR("Failed to OPTIONS '%s'.\n", safe_url(req).c_str());
    return false;
  }
  if (conn->status() != 200) {
    RHV_LOG_ERROR("Failed to OPTIONS '%s', status=%d\n", safe_url(req).c_str(), conn->status());
    return false;
  }
  std::string body;
  json_spirit::Value reply;
  if (!conn->read_body(body, MAX_OPTIONS_BODY) || !json_spirit::parse(body, reply)) {
    RHV_LOG_ERROR("Failed to parse response data from %s.\n", safe_url(req).c_str());
    return false;
  }
  try {
    const json_spirit::Object& o = reply.get_obj();
    std::string unix_socket;
    const json_spirit::Array* features = nullptr;
    uint32_t max_readers = max_readers_;
    uint32_t max_writers = max_writers_;
    json_spirit::extract_or_throw(o)("unix_socket", unix_socket)("features", features)(
        "max_readers", max_readers, json_spirit::FG_NOTHROW)("max_writers", max_writers, json_spirit::FG_NOTHROW);
    unsigned flags = flags_;
    for (const json_spirit::Value& f : *features) {
      if (f.type() != json_spirit::str_type)
        continue;
      const std::string& name = f.get_str();
      if (name == "extents")
        flags |= ENABLE_EXTENTS;
      else if (name == "zero")
        flags |= ENABLE_ZERO;
      else if (name == "flush")
        flags |= ENABLE_FLUSH;
    }
    unix_socket_ = std::move(unix_socket);
    max_readers_ = max_readers;
    max_writers_ = max_writers;
    flags_ = flags;
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Invalid RHV image io OPTIONS response format, exception: %s.\n", e.what());
    return false;
  }
  return true;
}

bool RHV_Image_IO::extents(std::vector<RHV_Extent>& extents, bool incremental) const
{
  if (!enable_extents()) {
    RHV_LOG_ERROR("Extents operation is not supported by %s.\n", safe_url().c_str());
    return false;
  }
  HTTP_Session_var sess = create_session();
  JSON_HTTP_Session jsess(HTTP_Session_var(), 5, 300);
  if (sess)
    jsess.reset(sess);
  if (!jsess) {
    RHV_LOG_ERROR("Failed to create RHV image io session.\n");
    return false;
  }
  HTTP_Request req(HTTP_METHOD_GET);
  req.uri(path_ + "/extents");
  req.log_uri(mask_path(path_) + "/extents");
  req.query_string(incremental ? "context=dirty" : "context=zero");
  HTTP_Response rsp;
  json_spirit::Value reply;
  if (!jsess.get(req, rsp, &reply)) {
    RHV_LOG_ERROR("Failed to GET '%s'.\n", safe_url(req).c_str());
    return false;
  }
  if (rsp.status() != 200) {
    RHV_LOG_ERROR("Failed to GET '%s', status=%d\n", safe_url(req).c_str(), rsp.status());
    return false;
  }
  try {
    const json_spirit::Array& items = reply.get_array();
    std::vector<RHV_Extent> found;
    found.reserve(items.size());
    const char* const mark = incremental ? "dirty" : "hole";
    for (const json_spirit::Value& item : items) {
      if (item.type() != json_spirit::obj_type)
        continue;
      const json_spirit::Object& o = item.get_obj();
      RHV_Extent e;
      e.start = json_spirit::object_get_uint64_or_throw(o, "start");
      e.length = json_spirit::object_get_uint64_or_throw(o, "length");
      if (e.length != 0 && e.length - 1 > UINT64_MAX - e.start)
        throw std::range_error("extent beyond the largest offset");
      if (json_spirit::object_get_bool_or_throw(o, "zero"))
        e.flags |= RHV_Extent::ZERO;
      if (incremental)
        e.flags |= RHV_Extent::INCREMENTAL;
      if (json_spirit::object_get_bool_or_throw(o, mark))
        e.flags |= RHV_Extent::DIRTY_OR_HOLE;
      found.push_back(e);
    }
    extents.insert(extents.end(), found.begin(), found.end());
  } catch (const std::exception& e) {
    RHV_LOG_ERROR("Invalid RHV image io EXTENTS response format, exception: %s.\n", e.what());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// RHV_Image_Reader

RHV_Image_Reader::RHV_Image_Reader(std::shared_ptr<RHV_Image_IO> io, size_t buffer_size)
  : io_(std::move(io)), buffer_size_(buffer_size), block_(buffer_size)
{
  if (io_)
    sess_ = io_->create_session();
}

bool RHV_Image_Reader::open(uint64_t offset, uint64_t length)
{
  RHV_CHECK_NOT_NULL(io_, false);
  RHV_CHECK_NOT_NULL(sess_, false);
  RHV_CHECK_GT(buffer_size_, 0, false);
  conn_.reset();
  remain_length_ = 0;
  if (io_->max_readers() == 0) {
    RHV_LOG_ERROR("Read operation is not supported by %s.\n", io_->safe_url().c_str());
    return false;
  }
  uint64_t last = 0;
  if (!range_ends(offset, length, last)) {
    RHV_LOG_ERROR("Invalid range to GET from %s: offset %Q, length %Q.\n", io_->safe_url().c_str(),
                  static_cast<ACE_UINT64>(offset), static_cast<ACE_UINT64>(length));
    return false;
  }
  if (block_.size() < buffer_size_) {
    RHV_LOG_ERROR("Failed to allocate %B bytes to GET data from %s.\n", buffer_size_, io_->safe_url().c_str());
    return false;
  }
  req_.reset();
  req_.uri(io_->path());
  req_.log_uri(mask_path(io_->path()));
  req_.range(offset, last);
  req_.method(HTTP_METHOD_GET);
  HTTP_Connection_var conn = sess_->open(req_);
  if (!conn) {
    RHV_LOG_ERROR("Failed to GET '%s'.\n", io_->safe_url(req_).c_str());
    return false;
  }
  if (conn->status() != 206) {
    RHV_LOG_ERROR("Failed to GET '%s', status=%d.\n", io_->safe_url(req_).c_str(), conn->status());
    return false;
  }
  // The answer must be the range asked for: other bytes would land elsewhere in the image.
  HTTP_Response rsp;
  if (conn->read_head(rsp) < 0) {
    RHV_LOG_ERROR("Failed to GET '%s'.\n", io_->safe_url(req_).c_str());
    return false;
  }
  uint64_t first = 0;
  uint64_t end = 0;
  const char* content_range = rsp.headers().get("Content-Range");
  if (!parse_content_range(content_range, first, end) || first != offset || end != last) {
    RHV_LOG_ERROR("Failed to GET '%s', unexpected Content-Range '%s' for bytes %Q-%Q.\n",
                  io_->safe_url(req_).c_str(), content_range != nullptr ? content_range : "",
                  static_cast<ACE_UINT64>(offset), static_cast<ACE_UINT64>(last));
    return false;
  }
  conn_ = std::move(conn);
  remain_length_ = length;
  return true;
}

bool RHV_Image_Reader::read(void*& data, long& length)
{
  RHV_CHECK_NOT_NULL(conn_, false);
  if (conn_->state() == HTTP_SOCK_STATE_CONTENT_RECEIVED) {
    if (remain_length_ != 0) {
      RHV_LOG_ERROR("Failed to GET data from %s, the response ended %Q bytes short.\n",
                    io_->safe_url(req_).c_str(), static_cast<ACE_UINT64>(remain_length_));
      conn_.reset();
      return false;
    }
    length = 0;
    return true;
  }
  block_.reset();
  ssize_t n = conn_->recv(block_);
  if (n < 0) {
    int err = conn_->error();
    errno = err;
    RHV_LOG_ERROR("Failed to GET data from %s, errno=%d, %m.\n", io_->safe_url(req_).c_str(), err);
    conn_.reset();
    return false;
  }
  if (static_cast<uint64_t>(n) > remain_length_) {
    RHV_LOG_ERROR("Failed to GET data from %s, the response runs past the range.\n", io_->safe_url(req_).c_str());
    conn_.reset();
    return false;
  }
  if (n == 0) {
    if (remain_length_ != 0) {
      RHV_LOG_ERROR("Failed to GET data from %s, the response ended %Q bytes short.\n",
                    io_->safe_url(req_).c_str(), static_cast<ACE_UINT64>(remain_length_));
      conn_.reset();
      return false;
    }
    length = 0;
    return true;
  }
  remain_length_ -= static_cast<uint64_t>(n);
  data = block_.rd_ptr();
  length = static_cast<long>(n);
  return true;
}

bool RHV_Image_Reader::close()
{
  req_.reset();
  conn_.reset();
  remain_length_ = 0;
  return true;
}

// ---------------------------------------------------------------------------
// RHV_Image_Writer

RHV_Image_Writer::RHV_Image_Writer(std::shared_ptr<RHV_Image_IO> io) : io_(std::move(io)), remain_length_(0)
{
  if (io_)
    sess_ = io_->create_session();
  if (sess_)
    sess_->upload_buffer_size(UPLOAD_BUFFER_SIZE);
}

bool RHV_Image_Writer::open(uint64_t offset, uint64_t length, bool flush)
{
  RHV_CHECK_NOT_NULL(io_, false);
  RHV_CHECK_NOT_NULL(sess_, false);
  conn_.reset();
  remain_length_ = 0;
  if (io_->max_writers() == 0) {
    RHV_LOG_ERROR("Write operation is not supported by %s.\n", io_->safe_url().c_str());
    return false;
  }
  if (flush && !io_->enable_flush()) {
    RHV_LOG_ERROR("Flush operation is not supported by %s.\n", io_->safe_url().c_str());
    return false;
  }
  uint64_t last = 0;
  if (!range_ends(offset, length, last)) {
    RHV_LOG_ERROR("Invalid range to PUT to %s: offset %Q, length %Q.\n", io_->safe_url().c_str(),
                  static_cast<ACE_UINT64>(offset), static_cast<ACE_UINT64>(length));
    return false;
  }
  char content_range[64];
  std::snprintf(content_range, sizeof content_range, "bytes %llu-%llu/*", static_cast<unsigned long long>(offset),
                static_cast<unsigned long long>(last));
  req_.reset();
  req_.uri(io_->path());
  req_.log_uri(mask_path(io_->path()));
  req_.headers().put("Content-Range", content_range, true);
  req_.content_length(length);
  req_.range(offset, last);
  req_.query_string(flush ? "flush=y" : "flush=n");
  req_.method(HTTP_METHOD_PUT);
  conn_ = sess_->open(req_);
  if (!conn_) {
    RHV_LOG_ERROR("Failed to PUT '%s'.\n", io_->safe_url(req_).c_str());
    return false;
  }
  remain_length_ = length;
  return true;
}

bool RHV_Image_Writer::write(void const* data, size_t size)
{
  RHV_CHECK_NOT_NULL(conn_, false);
  if (remain_length_ == 0) {
    RHV_LOG_ERROR("Failed to PUT data to %s, the range is complete.\n", io_->safe_url(req_).c_str());
    return false;
  }
  if (size > remain_length_) {
    RHV_LOG_ERROR("Failed to PUT data to %s, %B bytes exceed the %Q bytes left of the range.\n",
                  io_->safe_url(req_).c_str(), size, static_cast<ACE_UINT64>(remain_length_));
    return false;
  }
  if (size == 0)
    return true;
  ssize_t n = conn_->write(data, size);
  if (n < 0 || static_cast<size_t>(n) != size) {
    int err = conn_->error();
    errno = err;
    RHV_LOG_ERROR("Failed to PUT data to %s, errno=%d, %m\n", io_->safe_url(req_).c_str(), err);
    conn_.reset();
    remain_length_ = 0;
    return false;
  }
  remain_length_ -= size;
  if (remain_length_ != 0)
    return true;
  HTTP_Response rsp;
  if (conn_->recv_response(rsp) < 0) {
    int err = conn_->error();
    errno = err;
    RHV_LOG_ERROR("Failed to receive response from '%s', errno=%d, %m\n", io_->safe_url(req_).c_str(), err);
    conn_.reset();
    return false;
  }
  if (rsp.status() != 200) {
    RHV_LOG_ERROR("Failed to PUT '%s', status=%d\n", io_->safe_url(req_).c_str(), rsp.status());
    conn_.reset();
    return false;
  }
  std::string answer;
  if (!conn_->read_body(answer, MAX_PUT_ANSWER))
    conn_.reset();  // the data is written; only the connection is not reused
  return true;
}

bool RHV_Image_Writer::close()
{
  remain_length_ = 0;
  req_.reset();
  conn_.reset();
  return true;
}
