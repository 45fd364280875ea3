#include "platform/http/http_connection.h"

#include <cerrno>

#include "platform/http/http_transfer.h"

HTTP_Connection::HTTP_Connection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HTTP_Connection::~HTTP_Connection() = default;

ssize_t HTTP_Connection::write(const void* data, size_t length)
{
  return impl_->write(data, length);
}

int HTTP_Connection::read_head(CGI_Response& rsp)
{
  return impl_->read_head(rsp);
}

ssize_t HTTP_Connection::recv(void* buffer, size_t length)
{
  return impl_->recv(buffer, length);
}

ssize_t HTTP_Connection::recv(ACE_Message_Block& block)
{
  ssize_t n = impl_->recv(block.wr_ptr(), block.space());
  if (n > 0)
    block.wr_ptr(static_cast<size_t>(n));
  return n;
}

bool HTTP_Connection::read_body(std::string& out, size_t max_length)
{
  return impl_->read_body(out, max_length);
}

int HTTP_Connection::status() const
{
  return impl_->status();
}

int HTTP_Connection::state() const
{
  return impl_->state();
}

int HTTP_Connection::error() const
{
  return impl_->error();
}

const std::string& HTTP_Connection::url() const
{
  return impl_->url();
}
