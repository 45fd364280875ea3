#ifndef PLATFORM_JOB_JOB_ACTIVITY_H
#define PLATFORM_JOB_JOB_ACTIVITY_H

// The job activity: one fixed-layout record per job definition, in a 4096-byte file
// that the job process creates and maps shared, and that the servant processes open by
// the definition id. It is the only cancel channel from a job to its servants.
//
// Layout (host byte order): uid[16] @0, id[16] @16, state @32, pad @36,
// start_time @40, last_run_time @48, size @56, set_size @64, set_storage_size @72.
// The fields written after creation are atomics of the plain integer width, so several
// threads and processes may read and write them in place.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "backup/scrt/mem_map_handle.h"

#pragma GCC visibility push(default)

struct Job_Activity {
  uint8_t uid[16];                       // the job definition's uid, raw
  uint8_t id[16];                        // this activity's id, raw
  std::atomic<int32_t> state;            // a Job_State
  int32_t pad;
  std::atomic<int64_t> start_time;       // seconds since the epoch
  std::atomic<int64_t> last_run_time;
  std::atomic<uint64_t> size;
  std::atomic<uint64_t> set_size;
  std::atomic<uint64_t> set_storage_size;
};

static_assert(std::atomic<int32_t>::is_always_lock_free &&
                  std::atomic<int64_t>::is_always_lock_free &&
                  std::atomic<uint64_t>::is_always_lock_free,
              "the shared record needs address-free atomics");
static_assert(sizeof(std::atomic<int32_t>) == 4 && sizeof(std::atomic<int64_t>) == 8,
              "atomics must keep the plain integer layout");
static_assert(offsetof(Job_Activity, id) == 16 && offsetof(Job_Activity, state) == 32 &&
                  offsetof(Job_Activity, start_time) == 40 &&
                  offsetof(Job_Activity, last_run_time) == 48 &&
                  offsetof(Job_Activity, size) == 56 && offsetof(Job_Activity, set_size) == 64 &&
                  offsetof(Job_Activity, set_storage_size) == 72 && sizeof(Job_Activity) == 80,
              "the activity layout is shared with other processes");
static_assert(sizeof(Job_Activity) <= 4096, "the activity must fit its file");

// Activity files live in <root>/var/opt/quillon/tessera3/$COMPONENT/act/job/<def id>.
struct Job_Activity_Path_Conf {
  static const char* prefix() { return "/var/opt/quillon/tessera3/$COMPONENT/act"; }
  static const char* group() { return "job"; }
};

typedef Mem_Map_Handle<Job_Activity, Job_Activity_Path_Conf, 4096> Job_Activity_Handle;

#pragma GCC visibility pop

#endif  // PLATFORM_JOB_JOB_ACTIVITY_H
