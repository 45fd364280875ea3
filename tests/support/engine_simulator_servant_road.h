#ifndef TESTS_SUPPORT_ENGINE_SIMULATOR_SERVANT_ROAD_H
#define TESTS_SUPPORT_ENGINE_SIMULATOR_SERVANT_ROAD_H

// The whole backup road on one machine: the built module loaded by a job host, a backup
// job made from job documents through the module's factories, its VMs dispatched to
// servants (each in a process of its own, or in this process), the servants backing up
// VMs of the engine simulator (the sample inventory) into the default pool and committing
// to the local catalog. Then the way back: a restore job from job documents restores the
// backed-up VMs as new VMs from the catalog and the pool.
//
//   Backup_Road road(RHV_MODULE_PATH, HOSTS_BIN_DIR "/servant_host");
//   Job_var job = road.run("def-1", Backup_Road::source({sample_inventory::VM_WEB_ID}));
//   job->results()["rhev"], road.catalog_sets(), road.alert_lines(), road.engine_clean() ...
//
//   road.mark_engine();
//   Job_var back = road.run_restore("rst-1", road.restore_source({sample_inventory::VM_WEB_ID}));
//   road.restored_disks(), road.new_vms(), road.new_disks() ...
//
// In-process servants run the handler given to use_inprocess_handler() (a handler of this
// program's own copy of the module code, whose pauses a test can shorten).
//
// Every wait of the road is bounded well inside the time-out of a test program, and a
// failed one names what it waited for. A job still running when the road goes (a test
// that stopped early) is cancelled, and the road waits a bounded time for it to end.

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/job/job.h"
#include "tests/support/engine_simulator_servant.h"
#include "tests/support/test_job_host.h"

namespace test_support {

class Backup_Road : public Servant_Test_Bed {
public:
  // Options of the backup job that every run gets unless it gives its own: no space
  // reserve on the storage domains.
  static const char* const DEFAULT_OPTIONS;
  // The longest wait for a job's run unless told otherwise (times the size factor), and
  // for the jobs still running when the road goes (after their cancel).
  static constexpr int WAIT_SECONDS = 120;
  static constexpr int END_SECONDS = 90;

  // `module` is the built module, `servant_host` the servant host program (process
  // servants). Disk sizes are multiplied by `size_factor`. `tls`: the engine speaks TLS.
  Backup_Road(const std::string& module, const std::string& servant_host, unsigned size_factor = 1,
              bool tls = false);
  ~Backup_Road() override;

  // Servants run in this process with `handler` (not owned) from now on; null goes back to
  // servant processes.
  void use_inprocess_handler(JSON_RPC_Handler* handler);

  Test_Job_Host& host() { return *host_; }

  // A backup definition of the simulator's RHV host into the default pool, as JSON text;
  // `extra` holds more members (", "-joined) that replace the defaults.
  std::string definition_json(const std::string& def_id, const std::string& extra = "") const;
  // A job source naming these VMs.
  static std::string source(const std::vector<std::string>& vm_ids);

  // The job for a definition with these documents, started; null (with a test failure)
  // when it cannot be made or started.
  Job_var start(const std::string& def_id, const std::string& source_doc,
                const std::string& options_doc = DEFAULT_OPTIONS, const std::string& extra = "");
  // Waits for the run of a started job to end, `seconds` at most (0: WAIT_SECONDS times the
  // size factor); a failure names `step` and holds the job log.
  ::testing::AssertionResult wait(const Job_var& job, const std::string& step = "the job's run", int seconds = 0);
  // start() and wait().
  Job_var run(const std::string& def_id, const std::string& source_doc,
              const std::string& options_doc = DEFAULT_OPTIONS, const std::string& extra = "");

  // The job's result "rhev" (an array), by VM id.
  static json_spirit::Object histories(const Job_var& job);
  // The kinds of the job's events other than progress reports ("START", "SUCCESS", ...).
  static std::vector<std::string> final_events(const Job_var& job);
  // Cancels the started job of the one VM `vm_id` once `waiting` holds; with `made_after`,
  // the engine then carries out its delayed work once that text is in the job log. Then
  // waits for the job: success when it ended cancelled with the VM's failed history and no
  // servant was killed.
  ::testing::AssertionResult cancel_when(const Job_var& job, const std::string& vm_id,
                                         const std::function<bool()>& waiting, const char* made_after = nullptr);

  // The servant configuration of the module (its svc.conf) under the test root.
  std::string servant_conf() const;

  // ---- the way back ----

  // Options of a restore job unless given: in place.
  static const char* const RESTORE_OPTIONS;

  // A restore source that restores each of these VMs from its catalog set (the last one
  // listed when there are several): the VM's cluster and every disk the set holds, each
  // from its storage domain. With `target_cluster_id` set, the entries name it and every
  // disk keeps its domain as the target (for restores that are not in place). "" with a
  // test failure when a VM has no set.
  std::string restore_source(const std::vector<std::string>& vm_ids, const std::string& target_cluster_id = "") const;

  // The same as a restore definition (type 2).
  std::string restore_definition_json(const std::string& def_id, const std::string& extra = "") const;

  // A restore job with these documents, started; then waited for.
  Job_var start_restore(const std::string& def_id, const std::string& source_doc,
                        const std::string& options_doc = RESTORE_OPTIONS, const std::string& extra = "");
  Job_var run_restore(const std::string& def_id, const std::string& source_doc,
                      const std::string& options_doc = RESTORE_OPTIONS, const std::string& extra = "");


  // A disk made since mark_engine() beside the disk it restores: a restored disk is named
  // "<source disk name>_<14-digit time>".
  struct Restored_Disk {
    Sim_Disk source;     // empty id when no source disk matches the name
    Sim_Disk restored;
    bool equal = false;  // the same bytes
  };
  std::vector<Restored_Disk> restored_disks() const;

private:
  bool write_servant_conf(const std::string& mode);
  Job_var start_definition(const std::string& definition, const std::string& source_doc,
                           const std::string& options_doc);

  std::string module_;
  std::string servant_host_;
  std::unique_ptr<Test_Job_Host> host_;
  JSON_RPC_Handler* inprocess_handler_ = nullptr;
  int wait_seconds_;
  std::vector<Job_var> started_;
};

}  // namespace test_support

#endif  // TESTS_SUPPORT_ENGINE_SIMULATOR_SERVANT_ROAD_H
