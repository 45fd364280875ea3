#include "platform/job/job_log.h"

#include <ace/Log_Record.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include "backup/scrt/log.h"
#include "platform/config/standin_conf.h"
#include "platform/host/path_conf.h"

Job_Log::Job_Log(const std::string& path) : path_(path)
{
  if (path_.empty())
    return;
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd_ < 0)
    RHV_LOG(-1, LM_ERROR, "Failed to open job log %s, errno=%d, %m\n", path_.c_str(), errno);
}

Job_Log::~Job_Log()
{
  if (fd_ >= 0)
    ::close(fd_);
}

std::string Job_Log::path_for(const std::string& def_id)
{
  std::string name = def_id.empty() ? std::string("job") : def_id;
  for (char& c : name) {
    if (c == '/')
      c = '_';
  }
  if (name == "." || name == "..")
    name = "job";
  std::string dir = Standin_Conf::instance()->job_log_dir();
  if (!make_directories(dir, 0750))
    return std::string();
  return dir + "/" + name + ".log";
}

void Job_Log::log(ACE_Log_Record& record)
{
  append(static_cast<ACE_Log_Priority>(record.type()), record.msg_data());
}

void Job_Log::append(ACE_Log_Priority priority, const std::string& text)
{
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(Line{priority, text});
  if (fd_ < 0)
    return;
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  struct tm tm;
  ::localtime_r(&tv.tv_sec, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(tv.tv_usec / 1000));
  std::string line = stamp;
  line += ACE_Log_Record::priority_name(priority);
  line += ' ';
  line += text;
  if (line.empty() || line.back() != '\n')
    line.push_back('\n');
  // One write per line: O_APPEND keeps lines of several writers whole.
  ssize_t n;
  do {
    n = ::write(fd_, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
}

std::vector<Job_Log::Line> Job_Log::lines() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::string Job_Log::text() const
{
  std::string out;
  for (const Line& l : lines())
    out += l.text;
  return out;
}
