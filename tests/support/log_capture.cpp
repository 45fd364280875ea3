#include "tests/support/log_capture.h"

#include <ace/Log_Msg.h>
#include <ace/Log_Record.h>

Log_Capture::Log_Capture(bool quiet)
  : previous_callback_(nullptr), had_callback_flag_(false), had_stderr_flag_(false), quiet_(quiet)
{
  ACE_Log_Msg* msg = ACE_Log_Msg::instance();
  had_callback_flag_ = (msg->flags() & ACE_Log_Msg::MSG_CALLBACK) != 0;
  had_stderr_flag_ = (msg->flags() & ACE_Log_Msg::STDERR) != 0;
  previous_callback_ = attach_current_thread();
  msg->set_flags(ACE_Log_Msg::MSG_CALLBACK);
  if (quiet_) msg->clr_flags(ACE_Log_Msg::STDERR);
}

Log_Capture::~Log_Capture()
{
  ACE_Log_Msg* msg = ACE_Log_Msg::instance();
  detach_current_thread(previous_callback_);
  if (!had_callback_flag_) msg->clr_flags(ACE_Log_Msg::MSG_CALLBACK);
  if (quiet_ && had_stderr_flag_) msg->set_flags(ACE_Log_Msg::STDERR);
}

ACE_Log_Msg_Callback* Log_Capture::attach_current_thread()
{
  return ACE_Log_Msg::instance()->msg_callback(this);
}

void Log_Capture::detach_current_thread(ACE_Log_Msg_Callback* previous)
{
  ACE_Log_Msg::instance()->msg_callback(previous);
}

void Log_Capture::log(ACE_Log_Record& record)
{
  // Called on the logging thread, so its logger still holds the line's status.
  ACE_Log_Msg* msg = ACE_Log_Msg::instance();
  Line line{static_cast<ACE_Log_Priority>(record.type()), record.msg_data(), msg->op_status(),
            msg->errnum()};
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(std::move(line));
}

std::vector<Log_Capture::Line> Log_Capture::lines() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> Log_Capture::texts() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const Line& l : lines_) out.push_back(l.text);
  return out;
}

std::vector<std::string> Log_Capture::texts(ACE_Log_Priority priority) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const Line& l : lines_)
    if (l.priority == priority) out.push_back(l.text);
  return out;
}

std::size_t Log_Capture::count(const std::string& fragment) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t n = 0;
  for (const Line& l : lines_)
    if (l.text.find(fragment) != std::string::npos) ++n;
  return n;
}

std::string Log_Capture::dump() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  for (const Line& l : lines_) out += l.text;
  return out;
}

void Log_Capture::clear()
{
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}
