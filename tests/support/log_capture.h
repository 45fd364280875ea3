#ifndef TESTS_SUPPORT_LOG_CAPTURE_H
#define TESTS_SUPPORT_LOG_CAPTURE_H

#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Priority.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// Collects the ACE log lines of the current thread, for tests that assert exact
// log texts.
//
//   Log_Capture log;                 // installed on this thread from here on
//   run_the_code_under_test();
//   EXPECT_EQ(log.texts(LM_ERROR), (std::vector<std::string>{"Failed to ...\n"}));
//
// The constructor installs the capture as the calling thread's ACE log callback
// and turns on the process-wide MSG_CALLBACK flag; the destructor puts back the
// thread's previous callback and the flag as it was. Each line is the formatted
// message text exactly as ACE passes it to a callback (%N, %l, %m and %? already
// expanded, no time or priority prefix), with its priority and the status and
// errno that conditional_set recorded for it.
//
// ACE log callbacks are per thread and not inherited: lines logged by other
// threads are collected only after attach_current_thread() on each of them, and
// such a thread must call detach_current_thread() (or end) before the capture is
// destroyed. Reading the lines is safe while other attached threads log.
//
// quiet = true also turns off the process-wide STDERR flag while the capture
// lives, so expected failures do not clutter the test output.
class Log_Capture : public ACE_Log_Msg_Callback {
public:
  struct Line {
    ACE_Log_Priority priority;
    std::string text;
    int status;  // op_status of the line
    int errnum;  // saved errno of the line
  };

  explicit Log_Capture(bool quiet = false);
  ~Log_Capture() override;
  Log_Capture(const Log_Capture&) = delete;
  Log_Capture& operator=(const Log_Capture&) = delete;

  // Installs the capture on the calling thread; returns its previous callback.
  ACE_Log_Msg_Callback* attach_current_thread();
  // Puts `previous` back as the calling thread's callback.
  void detach_current_thread(ACE_Log_Msg_Callback* previous = nullptr);

  std::vector<Line> lines() const;
  // The texts of all lines, or of the lines of one priority, in logging order.
  std::vector<std::string> texts() const;
  std::vector<std::string> texts(ACE_Log_Priority priority) const;
  // How many lines contain `fragment`.
  std::size_t count(const std::string& fragment) const;
  bool contains(const std::string& fragment) const { return count(fragment) != 0; }
  // All texts joined, for failure messages.
  std::string dump() const;
  void clear();

  void log(ACE_Log_Record& record) override;

private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
  ACE_Log_Msg_Callback* previous_callback_;
  bool had_callback_flag_;
  bool had_stderr_flag_;
  bool quiet_;
};

#endif
