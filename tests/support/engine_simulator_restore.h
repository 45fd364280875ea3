#ifndef TESTS_SUPPORT_ENGINE_SIMULATOR_RESTORE_H
#define TESTS_SUPPORT_ENGINE_SIMULATOR_RESTORE_H

// What tests of the restore servant need around the engine simulator: a servant bed that
// first backs a VM up with the real backup worker (so that the catalog and the pool hold
// what a backup writes), the parameters a restore job sends for that VM, a restore request
// run through the restore handler in this process, and the engine objects a restore made.
//
//   Restore_Test_Bed bed;
//   const std::string set = bed.backup(sample_inventory::VM_WEB_ID);
//   RHV_Restore_Params params = bed.restore_params("rst-1", sample_inventory::VM_WEB_ID, set);
//   ASSERT_TRUE(bed.make_job_files("rst-1", params.vm_id));
//   json_spirit::Object reply = bed.run_restore(params);
//   EXPECT_TRUE(bed.restore_clean());   // after a failure: nothing the restore made is left
//
// Not thread-safe: use a bed from the test thread.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "backup/rhv/job/rhv_restore_params.h"
#include "platform/json/value.h"
#include "tests/support/engine_simulator_servant.h"

namespace test_support {

class Restore_Test_Bed : public Servant_Test_Bed {
public:
  explicit Restore_Test_Bed(unsigned size_factor = 1);
  ~Restore_Test_Bed() override;

  // Backs `vm_id` up with the backup worker (one disk at a time) and returns the uuid of
  // the catalog set it committed; "" with a test failure when the backup fails. The
  // engine's VMs and disks at that point are the ones a restore must leave alone.
  std::string backup(const std::string& vm_id);

  // The task a restore job sends to restore `vm_id` from `set_uuid` in place: every
  // backed-up disk onto its own storage domain, the new VM named "<name>_restored",
  // no NICs, no start, 1-MiB blocks, the pool left to the servant's choice.
  RHV_Restore_Params restore_params(const std::string& def_id, const std::string& vm_id, const std::string& set_uuid);

  // Runs one "rhev.restore" request through the restore handler on this thread; the
  // reply's result (empty, with a test failure, when no response came).
  json_spirit::Object run_restore(const RHV_Restore_Params& params);

  // Nothing a restore made is left: no new VM or disk, nothing plugged into the agent VM
  // but its own disks, no device.
  ::testing::AssertionResult restore_clean() const;
};

}  // namespace test_support

#endif  // TESTS_SUPPORT_ENGINE_SIMULATOR_RESTORE_H
