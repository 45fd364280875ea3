#ifndef PLATFORM_JOB_JOB_LOG_H
#define PLATFORM_JOB_JOB_LOG_H

// The log of one job: an ACE log callback that appends each line to the job's log file
// (<job log dir>/<definition id>.log, from the platform configuration) and keeps it in
// memory for the host. Safe for concurrent use by several threads.

#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Priority.h>

#include <mutex>
#include <string>
#include <vector>

#pragma GCC visibility push(default)

class Job_Log : public ACE_Log_Msg_Callback {
public:
  struct Line {
    ACE_Log_Priority priority;
    std::string text;  // the formatted message, as logged (ends in "\n" when it did)
  };

  // Appends to the file at `path`; an empty path keeps the lines in memory only. A file
  // that cannot be opened is reported once (LM_ERROR) and the lines stay in memory.
  explicit Job_Log(const std::string& path);
  ~Job_Log() override;

  // The log file of the job definition `def_id` in the configured job log directory
  // (made when missing).
  static std::string path_for(const std::string& def_id);

  void log(ACE_Log_Record& record) override;

  // Adds one line as if it had been logged.
  void append(ACE_Log_Priority priority, const std::string& text);

  std::vector<Line> lines() const;
  // The lines' texts joined.
  std::string text() const;
  const std::string& path() const { return path_; }

private:
  std::string path_;
  int fd_ = -1;
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

#pragma GCC visibility pop

#endif  // PLATFORM_JOB_JOB_LOG_H
