// The sample of the whole backup road and the way back, on one machine, with nothing to
// set up.
//
//   sample_road [--size-factor N] [--keep]
//
// It plays the product's job host: it loads the built module, reads a backup job's
// documents through the module's parsers, creates the job through _make_RHV_Job_Creator
// and runs it. The job backs up VMs of an engine simulator (the built-in sample
// inventory, on 127.0.0.1) through servant processes (svc.conf mode=process, each VM in
// a servant_host process that loads the module too) into a local storage pool and
// catalog. It then prints the job's result and where the backup went, and checks every
// stored piece against its source disk.
//
// Then a restore job, made the same way from its own job documents, restores the
// backed-up VMs as new VMs from the catalog and the pool, through servant processes. It
// prints the restore job's result and checks every restored disk against its source disk.
//
// Everything lives in a fresh folder under /tmp, which is kept (its path is printed) so
// that the pool, the catalog, the alerts and the logs can be looked at afterwards.
// Exit status: 0 when both jobs succeeded, every piece equals its disk and every restored
// disk equals its source.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/json/json_dump.h"
#include "tests/support/engine_simulator_servant_road.h"
#include "tests/support/sample_inventory.h"

namespace inv = sample_inventory;
using test_support::Backup_Road;

namespace {

// The folder this program lives in (servant_host is built next to it).
std::string own_folder()
{
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0)
    return ".";
  path[n] = '\0';
  std::string p(path);
  return p.substr(0, p.rfind('/'));
}

void print_section(const char* title)
{
  std::printf("\n== %s ==\n", title);
}

// Prints the job's events, result and totals; true when it succeeded.
bool print_job(const Job_var& job)
{
  bool succeeded = false;
  std::printf("events:          ");
  for (const std::string& e : Backup_Road::final_events(job)) {
    std::printf("%s ", e.c_str());
    succeeded = succeeded || e == "SUCCESS";
  }
  std::printf("\nresult \"rhev\":   %s\n", JSON_Dump(job->results()["rhev"]).c_str());
  std::printf("activity:        source %llu bytes, set %llu bytes, stored %llu bytes\n",
              static_cast<unsigned long long>(job->activity().size.load()),
              static_cast<unsigned long long>(job->activity().set_size.load()),
              static_cast<unsigned long long>(job->activity().set_storage_size.load()));
  return succeeded;
}

}  // namespace

int main(int argc, char** argv)
{
  unsigned size_factor = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--size-factor") == 0 && i + 1 < argc)
      size_factor = static_cast<unsigned>(std::atoi(argv[++i]));
    else if (std::strcmp(argv[i], "--keep") == 0)
      ;  // the folder is always kept
    else {
      std::fprintf(stderr, "usage: %s [--size-factor N]\n", argv[0]);
      return 2;
    }
  }
  if (size_factor == 0)
    size_factor = 1;
  ::setenv("TESSERA3_KEEP_TEST_ROOT", "1", 1);

  Backup_Road road(RHV_MODULE_PATH, own_folder() + "/servant_host", size_factor);
  const std::string def_id = "sample-backup";
  const std::string definition = road.definition_json(def_id);
  const std::string source = Backup_Road::source({inv::VM_WEB_ID, inv::VM_DB_ID, inv::VM_APP_ID});
  const std::string options =
      R"({"storage_reserved_bytes": 0, "storage_reserved_percent": 0, "parallel_vms": 2, "parallel_disks_per_vm": 2})";

  print_section("setting");
  std::printf("module:          %s\n", RHV_MODULE_PATH);
  std::printf("engine:          %s (sample inventory, agent VM %s)\n", road.engine().url("/ovirt-engine/api").c_str(),
              inv::AGENT_VM_NAME);
  std::printf("servants:        processes, configured by %s\n", road.servant_conf().c_str());
  print_section("job documents");
  std::printf("definition: %s\nsource:     %s\noptions:    %s\n", definition.c_str(), source.c_str(), options.c_str());

  Job_var job = road.run(def_id, source, options);
  if (job.get() == nullptr) {
    std::fprintf(stderr, "The job could not be run.\n");
    return 1;
  }

  print_section("backup job");
  const bool succeeded = print_job(job);

  print_section("where the backup went");
  std::printf("pool:            %s\n", road.pool_url().c_str());
  std::printf("catalog:         %s\n", road.env().catalog_dir().c_str());
  int pieces = 0, equal = 0;
  for (const json_spirit::Object& set : road.catalog_sets()) {
    std::printf("set %s  VM %s  %llu bytes\n", set.at("set_uuid").get_str().c_str(), set.at("vm_name").get_str().c_str(),
                static_cast<unsigned long long>(set.at("source_size").get_uint64()));
    for (const json_spirit::Value& p : set.at("pieces").get_array()) {
      const json_spirit::Object& piece = p.get_obj();
      const std::string& path = piece.at("path").get_str();
      const bool same = road.image_digest(path, piece.at("size").get_uint64()) ==
                        road.engine().disk_digest(piece.at("object").get_str());
      ++pieces;
      equal += same ? 1 : 0;
      std::printf("  %s  %s\n", path.c_str(), same ? "equals its disk" : "DIFFERS FROM ITS DISK");
    }
  }
  const bool backup_ok = succeeded && pieces > 0 && equal == pieces;

  // The way back: every backed-up VM restored as a new VM, from job documents as well.
  road.mark_engine();
  const std::string restore_def_id = "sample-restore";
  const std::string restore_definition = road.restore_definition_json(restore_def_id);
  const std::string restore_source = road.restore_source({inv::VM_WEB_ID, inv::VM_DB_ID, inv::VM_APP_ID});
  const std::string restore_options = R"({"original_restore": true, "parallel_vms": 2, "parallel_disks_per_vm": 2})";
  print_section("restore job documents");
  std::printf("definition: %s\nsource:     %s\noptions:    %s\n", restore_definition.c_str(), restore_source.c_str(),
              restore_options.c_str());
  Job_var restore = road.run_restore(restore_def_id, restore_source, restore_options);
  if (restore.get() == nullptr) {
    std::fprintf(stderr, "The restore job could not be run.\n");
    return 1;
  }
  print_section("restore job");
  const bool restored = print_job(restore);

  print_section("restored VMs");
  for (const test_support::Sim_VM& vm : road.new_vms())
    std::printf("VM %s  (id %s, cluster %s, %zu disks)\n", vm.name.c_str(), vm.id.c_str(), vm.cluster_id.c_str(),
                road.engine().attachments(vm.id).size());
  int restored_disks = 0, restored_equal = 0;
  for (const Backup_Road::Restored_Disk& d : road.restored_disks()) {
    ++restored_disks;
    restored_equal += d.equal ? 1 : 0;
    std::printf("  disk %s  from %s  %s\n", d.restored.name.c_str(),
                d.source.id.empty() ? "(no source)" : d.source.name.c_str(),
                d.equal ? "equals its source" : "DIFFERS FROM ITS SOURCE");
  }
  const bool restore_ok = restored && restored_disks == pieces && restored_equal == restored_disks;

  print_section("alerts");
  for (const std::string& a : road.alert_lines())
    std::printf("%s\n", a.c_str());
  print_section("left on the engine");
  ::testing::AssertionResult clean = road.engine_clean();
  std::printf("%s\n", clean ? "nothing: no snapshot, no attached disk, no device" : clean.message());
  std::printf("\nAll files of the run: %s (job log in %s)\n", road.env().root().c_str(),
              road.env().job_log_dir().c_str());

  std::printf("\n%s\n%s\n", backup_ok ? "Backup complete." : "Backup FAILED.",
              restore_ok ? "Restore complete: every restored disk equals its source." : "Restore FAILED.");
  return backup_ok && restore_ok && static_cast<bool>(clean) ? 0 : 1;
}
