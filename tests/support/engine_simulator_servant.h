#ifndef TESTS_SUPPORT_ENGINE_SIMULATOR_SERVANT_H
#define TESTS_SUPPORT_ENGINE_SIMULATOR_SERVANT_H

// What tests of the backup servant need around the engine simulator: a bed with a private
// platform configuration, the simulator holding the sample inventory, the task parameters
// a job would send for a VM and the files a job would make; the agent VM's devices made by
// hand; short pauses; and readers of what a backup leaves behind (pool pieces as images,
// catalog sets, alerts, progress records).
//
//   Servant_Test_Bed bed;
//   RHV_Backup_Params params = bed.backup_params("def-1", sample_inventory::VM_WEB_ID);
//   ASSERT_TRUE(bed.make_job_files("def-1", params.vm_id));
//   RHV_Backup_Servant_Handler handler;
//   JSON_RPC_Object_var reply = bed.call(handler, "rhev.backup", json_spirit::Value(params.dump()));
//   EXPECT_TRUE(bed.engine_clean());
//
// Not thread-safe: use a bed from the test thread (the inspection functions may be called
// while servants run).

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "backup/rhv/job/rhv_backup_params.h"
#include "backup/rhv/job/rhv_progress_reporter.h"
#include "platform/job/job_activity.h"
#include "platform/json/value.h"
#include "platform/jsonrpc/json_rpc_handler.h"
#include "platform/jsonrpc/json_rpc_object.h"
#include "tests/support/engine_simulator.h"
#include "tests/support/standin_env.h"

namespace test_support {

// ---- the agent VM's devices, made by hand ----
//
// With set_devices_appear(false) the simulator makes no device for a disk plugged into the
// agent VM; a test then plays the agent's kernel itself.

// Polls `done` until it is true; false after `seconds` (a guard against hangs, not a timing).
bool wait_until(const std::function<bool()>& done, int seconds = 120);

// Polls the simulator until a disk other than the agent's own is attached to the agent VM;
// false after `seconds` (a guard against hangs, not a timing).
bool wait_agent_attachment(const Engine_Simulator& engine, Sim_Disk_Attachment& out, int seconds = 120);

// The file holding the data of an attached disk (the snapshot's copy for a snapshot disk);
// "" when unknown.
std::string attached_disk_file(const Engine_Simulator& engine, const Sim_Disk_Attachment& attachment);

// Makes the by-id device of an attached disk as a regular file holding the first `length`
// bytes of the disk's data (all of it when negative). False when it cannot.
bool make_device(const Engine_Simulator& engine, const Sim_Disk_Attachment& attachment, int64_t length = -1);

// ---- pauses ----

// While it lives, the servant workers of this process pause for a millisecond per request
// instead of the seconds asked, and every pause is recorded; `on_pause` (optional) runs
// on the pausing thread with the pause's number (from 1) and the seconds asked.
class Servant_Pauses {
public:
  explicit Servant_Pauses(std::function<void(size_t n, unsigned seconds)> on_pause = nullptr);
  ~Servant_Pauses();
  Servant_Pauses(const Servant_Pauses&) = delete;
  Servant_Pauses& operator=(const Servant_Pauses&) = delete;

  // The seconds of each pause asked so far, in order.
  std::vector<unsigned> seconds() const;
};

// ---- reading what a backup left ----

// The progress record of a VM, read once.
struct Progress_Snapshot {
  bool present = false;
  int32_t state = 0;
  int32_t virtual_disk_count = 0;
  int32_t processed_virtual_disk_count = 0;
  int64_t start_time = 0;
  int64_t end_time = 0;
  uint64_t total_bytes = 0;
  uint64_t processed_bytes = 0;
};

class Servant_Test_Bed {
public:
  static const char* const HOST_RECORD_ID;

  // A private configuration (Standin_Env with `settings`), the simulator with the sample
  // inventory (disk sizes times `size_factor`) and the host's "rhev.query" answering the
  // RHV host record of the simulator. With `tls` the simulator speaks TLS, the record says
  // so and the configuration trusts the simulator's CA.
  explicit Servant_Test_Bed(std::initializer_list<std::pair<std::string, std::string>> settings = {},
                            unsigned size_factor = 1, bool tls = false);
  virtual ~Servant_Test_Bed();
  Servant_Test_Bed(const Servant_Test_Bed&) = delete;
  Servant_Test_Bed& operator=(const Servant_Test_Bed&) = delete;

  Standin_Env& env() { return *env_; }
  const Standin_Env& env() const { return *env_; }
  Engine_Simulator& engine() { return *engine_; }
  const Engine_Simulator& engine() const { return *engine_; }

  // The pool the backups write into: the default pool's url and "<url>/<host record>".
  std::string pool_url() const;
  std::string pool_dir() const;

  // The parameters a backup job sends for one VM: its disk attachments as the engine
  // lists them (shareable disks left out), the host record with the password in clear,
  // the default pool and 1-MiB blocks.
  RHV_Backup_Params backup_params(const std::string& def_id, const std::string& vm_id);

  // The files the job side makes before dispatching: the job activity of `def_id`
  // (running, with fixed uid and id) and the VM's progress file (pending). False on failure.
  bool make_job_files(const std::string& def_id, const std::string& vm_id);
  // The activity made by make_job_files(), or null.
  Job_Activity* activity() const;

  // Sends one request to `handler` on this thread and returns what it sent (null when
  // nothing); `rc` receives handle_object()'s result.
  JSON_RPC_Object_var call(JSON_RPC_Handler& handler, const std::string& method, const json_spirit::Value& params,
                           int* rc = nullptr);

  // The alert sink's lines, and "<level>/<code> <params>" for each.
  std::vector<json_spirit::Object> alerts() const;
  std::vector<std::string> alert_lines() const;
  // The committed catalog sets.
  std::vector<json_spirit::Object> catalog_sets() const;
  // Every file under the pool's directory, relative to it, sorted (hidden files too).
  std::vector<std::string> pool_files() const;
  // SHA-256 (hex) of the image at `remote_path` of pool_url(), rebuilt as `size` bytes
  // (runs in order, holes as zeros); "" when it cannot be read or does not fit.
  std::string image_digest(const std::string& remote_path, uint64_t size) const;
  // The progress record of the VM.
  Progress_Snapshot progress(const std::string& def_id, const std::string& vm_id) const;

  // Nothing of a backup is left on the engine: no snapshot, no disk attached to the agent
  // VM but its own, no device.
  ::testing::AssertionResult engine_clean() const;

  // Remembers the engine's VMs and disks; new_vms() and new_disks() list what came since
  // (snapshot disks left out).
  void mark_engine();
  std::vector<Sim_VM> new_vms() const;
  std::vector<Sim_Disk> new_disks() const;

protected:
  std::set<std::string> vms_before_;
  std::set<std::string> disks_before_;

private:
  std::unique_ptr<Standin_Env> env_;
  std::unique_ptr<Engine_Simulator> engine_;
  std::unique_ptr<Job_Activity_Handle> activity_;
};

// A servant worker whose progress record is the one make_job_files() made for `vm_id`
// of `def_id`, so that a test can drive the worker's progress steps directly.
template <class Worker>
struct Progress_Worker : Worker {
  bool map_progress(const std::string& def_id, const std::string& vm_id)
  {
    this->progress_.reset(new RHV_VM_Progress_Handle());
    return this->progress_->open(def_id.c_str(), vm_id.c_str(), false, true, 0750) == 0;
  }
};

// Runs `step` `times` times on each of `threads` threads that start together, as the
// pieces of a VM do, and returns once every thread has ended.
void run_at_once(unsigned threads, unsigned times, const std::function<void()>& step);

// Gives a Progress_Worker `W` the progress record of a VM of the bed and has eight
// threads run step(worker), which adds `bytes` to the record, two million times each,
// all at once. Returns how many bytes the record lost on the way.
template <class W>
uint64_t bytes_lost_at_once(Servant_Test_Bed& bed, uint64_t bytes, const std::function<void(W&)>& step)
{
  const unsigned threads = 8, times = 2000000;
  W worker;
  if (!bed.make_job_files("def-at-once", "vm-at-once") || !worker.map_progress("def-at-once", "vm-at-once"))
    return UINT64_MAX;
  run_at_once(threads, times, [&worker, &step] { step(worker); });
  return uint64_t{threads} * times * bytes - bed.progress("def-at-once", "vm-at-once").processed_bytes;
}

}  // namespace test_support

#endif  // TESTS_SUPPORT_ENGINE_SIMULATOR_SERVANT_H
