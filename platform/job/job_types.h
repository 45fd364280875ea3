#ifndef PLATFORM_JOB_JOB_TYPES_H
#define PLATFORM_JOB_JOB_TYPES_H

// Enumerations and small records of the job library.

#include <cstdint>
#include <ctime>
#include <string>

#pragma GCC visibility push(default)

// The state of a job, as kept in its shared activity record.
enum Job_State {
  JOB_STATE_NONE = 0,
  JOB_STATE_IDLE = 1,
  JOB_STATE_RUNNING = 3,
  JOB_STATE_PAUSING = 4,
  JOB_STATE_COMPLETING = 6,
  JOB_STATE_COMPLETED = 7,
  JOB_STATE_CANCELING = 8,
  JOB_STATE_CANCELED = 9,
  JOB_STATE_ERROR = 10,
  JOB_STATE_SKIPPED = 17,
  JOB_STATE_ABORTING = 20,
  JOB_STATE_SWITCHING = 23
};

enum Job_Definition_Type {
  JOB_DEFINITION_NONE = 0,
  JOB_DEFINITION_BACKUP = 1,
  JOB_DEFINITION_RESTORE = 2,
  JOB_DEFINITION_STANDBY = 3,
  JOB_DEFINITION_STORAGE = 4
};

enum Job_Definition_Subtype {
  JOB_DEFINITION_SUBTYPE_NONE = 0,
  JOB_DEFINITION_SUBTYPE_FULL = 1,
  JOB_DEFINITION_SUBTYPE_INCREMENTAL = 2,
  JOB_DEFINITION_SUBTYPE_DIFFERENTIAL = 3
};

// "full", "incremental", "differential"; null for any other value. `flags` is unused.
const char* job_def_subtype_to_string(int subtype, int flags = 0);
// The subtype named by `text` (exact, lower case); JOB_DEFINITION_SUBTYPE_NONE when unknown.
Job_Definition_Subtype job_def_subtype_from_string(const std::string& text);

// One VM's state in a job's progress report.
enum VM_State {
  STATE_PENDING = 0,
  STATE_RUNNING = 1,
  STATE_COMPLETED = 2,
  STATE_FAILED = 3,
  STATE_SKIPPED = 4
};

// One VM's line in a job's progress report.
struct VM_Job_Progress {
  std::string uuid;
  std::string name;
  std::string status;
  std::string title;
  uint64_t total_bytes = 0;
  uint64_t processed_bytes = 0;
  int virtual_disk_count = 0;
  int processed_virtual_disk_count = 0;
  time_t start_time = 0;
  time_t end_time = 0;
  VM_State state = STATE_PENDING;
};

#pragma GCC visibility pop

#endif  // PLATFORM_JOB_JOB_TYPES_H
