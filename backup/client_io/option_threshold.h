#ifndef BACKUP_CLIENT_IO_OPTION_THRESHOLD_H
#define BACKUP_CLIENT_IO_OPTION_THRESHOLD_H

#include <cstdint>
#include <limits>

#include "backup/scrt/log.h"

namespace rhv {
namespace options {

// Keys of the job options.
inline constexpr char s_job_opt_parallel_vms[] = "parallel_vms";
inline constexpr char s_job_opt_parallel_disks_per_vm[] = "parallel_disks_per_vm";
inline constexpr char s_job_opt_parallel_workers_per_disk[] = "parallel_workers_per_disk";
inline constexpr char s_job_opt_block_size[] = "block_size";
inline constexpr char s_job_opt_storage_reserved_bytes[] = "storage_reserved_bytes";
inline constexpr char s_job_opt_storage_reserved_percent[] = "storage_reserved_percent";

// The limits and default of one job option, named by its key.
template <typename T, const char* Name>
struct Option_Threshold {
  T max;
  T min;
  T default_;

  static constexpr const char* name() { return Name; }

  // True when min <= value <= max. Otherwise logs "Option <key> exceeded limits." at
  // LM_ERROR and returns false; the caller then fails the job's set-up.
  bool check(T value) const
  {
    if (min <= value && value <= max) return true;
    RHV_LOG(0, LM_ERROR, "Option %s exceeded limits.\n", Name);
    return false;
  }
};

// The option table {max, min, default}. The two storage-reserve options have no bounds
// (any value read is used as is); only their defaults matter.
inline constexpr Option_Threshold<int, s_job_opt_parallel_vms> parallel_vms{10, 1, 2};
inline constexpr Option_Threshold<int, s_job_opt_parallel_disks_per_vm> parallel_disks_per_vm{5, 1, 2};
inline constexpr Option_Threshold<int, s_job_opt_parallel_workers_per_disk> parallel_workers_per_disk{1, 1, 1};
inline constexpr Option_Threshold<int, s_job_opt_block_size> block_size{8388608, 65536, 8388608};
inline constexpr Option_Threshold<std::int64_t, s_job_opt_storage_reserved_bytes> storage_reserved_bytes{
    std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min(), 10737418240};
inline constexpr Option_Threshold<int, s_job_opt_storage_reserved_percent> storage_reserved_percent{
    std::numeric_limits<int>::max(), std::numeric_limits<int>::min(), 20};

}  // namespace options
}  // namespace rhv

#endif
