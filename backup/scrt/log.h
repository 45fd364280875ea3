#ifndef BACKUP_SCRT_LOG_H
#define BACKUP_SCRT_LOG_H

// One log line through the ACE logging facility.
//
//   RHV_LOG(status, priority, format, args...)
//
// expands to the fixed four steps of ACE's own logging macros:
//   1. the caller's errno is saved with ACE_Log_Msg::last_error_adapter() before
//      anything can change it;
//   2. the calling thread's logger is taken (ACE_Log_Msg::instance());
//   3. conditional_set(__FILE__, __LINE__, status, saved errno) fills %N, %l and %m
//      and records the operation status (only when the priority is enabled);
//   4. log(priority, format, args...).
//
// Priorities in use: LM_DEBUG (steps, traces, option dumps), LM_INFO (successes,
// counts, waiting), LM_WARNING (items filtered out, tolerated failures), LM_ERROR
// (failures) and LM_EMERGENCY, which is reserved for the check macros of
// "backup/scrt/check.h".
//
// Status: most lines pass 0; a line written just before a function returns passes
// the value it is about to return (e.g. RHV_LOG(2, LM_ERROR, ...) before a result
// handler asks for a retry). The shorthands below pass 0:
//
//   RHV_LOG_DEBUG("Resolving RHV VMs.\n");
//   RHV_LOG_INFO("Total RHV VM count %B, succeeded VM count %B\n", total, ok);
//   RHV_LOG_WARNING("Filter RHV disk '%s': it is a shared disk.\n", name.c_str());
//   RHV_LOG_ERROR("Failed to memory map %s, errno=%d, %m\n", path, errno);
//
// Formats are ACE formats, not printf: every format ends in "\n"; %s takes a
// char const*, %d an int, %u an unsigned int, %c a char; use %B for size_t, %b for
// ssize_t, %Q for an unsigned and %q for a signed 64-bit integer. Never write %ld,
// %lu, %lld or %zu: ACE reads %l as the source line and %z as a wide character,
// which silently shifts every following argument. %N is the source file, %l the
// source line, %m the text of the saved errno, %? a stack trace. A line longer
// than 4095 characters is cut.
//
// The log callback that routes lines (to a job log, to a test's capture) is per
// thread: install it at the start of each thread whose lines must be routed.

#include <ace/Log_Msg.h>
#include <ace/Log_Priority.h>

#define RHV_LOG(status, priority, ...)                                            \
  do {                                                                            \
    int const rhv_log_saved_errno_ = ACE_Log_Msg::last_error_adapter();           \
    ACE_Log_Msg* const rhv_log_msg_ = ACE_Log_Msg::instance();                    \
    rhv_log_msg_->conditional_set(__FILE__, __LINE__, (status), rhv_log_saved_errno_); \
    rhv_log_msg_->log((priority), __VA_ARGS__);                                   \
  } while (0)

#define RHV_LOG_DEBUG(...) RHV_LOG(0, LM_DEBUG, __VA_ARGS__)
#define RHV_LOG_INFO(...) RHV_LOG(0, LM_INFO, __VA_ARGS__)
#define RHV_LOG_WARNING(...) RHV_LOG(0, LM_WARNING, __VA_ARGS__)
#define RHV_LOG_ERROR(...) RHV_LOG(0, LM_ERROR, __VA_ARGS__)

#endif
