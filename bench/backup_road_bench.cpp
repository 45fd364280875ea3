// Throughput and memory of the whole backup road and of the way back.
//
//   backup_road_bench [--disk-mib N]   (default 1024)
//
// One VM with two disks of N MiB of random data is backed up by a backup job through a
// servant process (8 MiB blocks, two disks at a time) into the local pool, then restored
// as a new VM by a restore job through a servant process. Printed for each direction:
//   - the transfer time, from the first disk plugged into the agent VM to the last one
//     unplugged (backup: read from the device, image written, piece flushed and stored;
//     restore: piece read, written to the device), and its throughput; the whole job's
//     time (login, snapshot or disk and VM creation, dispatch included) beside it;
//   - the throughput of `dd bs=8M conv=fsync` copying the same two source files on the
//     same file system, in the same run, and the ratio of the two;
//   - the servant process's peak resident memory, beside block size x parallel disks.

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/engine_simulator_servant_road.h"
#include "tests/support/sample_inventory.h"

namespace inv = sample_inventory;
using Clock = std::chrono::steady_clock;
using test_support::Backup_Road;

namespace {

double seconds_since(Clock::time_point t0)
{
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Peak resident set of the reaped child processes, in MiB.
double children_peak_rss_mib()
{
  struct rusage ru;
  ::getrusage(RUSAGE_CHILDREN, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

// The peak resident set (VmHWM, MiB) of each servant process of this process running now.
void servant_peaks(std::map<pid_t, double>& peaks)
{
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr)
    return;
  while (dirent* e = ::readdir(proc)) {
    pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0)
      continue;
    std::ifstream in("/proc/" + std::string(e->d_name) + "/status");
    std::string line, name;
    pid_t ppid = 0;
    double hwm = -1;
    while (std::getline(in, line)) {
      if (line.compare(0, 5, "Name:") == 0)
        name = line.substr(line.find_first_not_of(" \t", 5));
      else if (line.compare(0, 5, "PPid:") == 0)
        ppid = static_cast<pid_t>(std::atoi(line.c_str() + 5));
      else if (line.compare(0, 6, "VmHWM:") == 0)
        hwm = std::atof(line.c_str() + 6) / 1024.0;
    }
    if (name == "servant_host" && ppid == ::getpid() && hwm > peaks[pid])
      peaks[pid] = hwm;
  }
  ::closedir(proc);
}

// Fills a disk with random bytes, 8 MiB at a time.
bool fill_random(test_support::Engine_Simulator& engine, const std::string& disk_id, uint64_t size, uint64_t seed)
{
  std::mt19937_64 rng(seed);
  std::string chunk(8 << 20, '\0');
  for (uint64_t offset = 0; offset < size; offset += chunk.size()) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - offset));
    for (size_t i = 0; i + 8 <= n; i += 8) {
      uint64_t v = rng();
      std::memcpy(&chunk[i], &v, 8);
    }
    if (!engine.write_disk(disk_id, offset, chunk.substr(0, n)))
      return false;
  }
  return true;
}

// What one job of the road took: its whole time, the transfer window on the agent VM and
// the peak resident memory of its servant processes.
struct Run_Figures {
  bool ok = false;
  double job_seconds = 0;
  double transfer_seconds = 0;
  double servant_rss = 0;
  size_t servants = 0;
};

Run_Figures watch(Backup_Road& road, const Job_var& job, Clock::time_point t0)
{
  Run_Figures out;
  Clock::time_point first_attach{}, last_detach{};
  bool attached_seen = false;
  std::map<pid_t, double> peaks;
  while (job->completed() == 0) {
    servant_peaks(peaks);
    bool attached = false;
    for (const test_support::Sim_Disk_Attachment& a : road.engine().attachments(inv::AGENT_VM_ID))
      attached = attached || !a.agent_own;
    if (attached && !attached_seen) {
      attached_seen = true;
      first_attach = Clock::now();
    }
    if (attached)
      last_detach = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  road.wait(job);
  out.job_seconds = seconds_since(t0);
  out.transfer_seconds = std::chrono::duration<double>(last_detach - first_attach).count();
  for (const auto& p : peaks)
    out.servant_rss = std::max(out.servant_rss, p.second);
  out.servants = peaks.size();
  for (const std::string& e : Backup_Road::final_events(job))
    out.ok = out.ok || e == "SUCCESS";
  return out;
}

void print_figures(const char* what, const Run_Figures& f, double total_mib, double dd_rate, uint64_t block_size,
                   unsigned parallel_disks, double dd_rss)
{
  const double rate = f.transfer_seconds > 0 ? total_mib / f.transfer_seconds : 0;
  std::printf("  %s transfer (attach..detach): %8.2f s  %8.1f MiB/s\n", what, f.transfer_seconds, rate);
  std::printf("  %s whole job:                 %8.2f s  %8.1f MiB/s\n", what, f.job_seconds,
              total_mib / f.job_seconds);
  std::printf("  %s / dd:                      %8.0f %%\n", what, dd_rate > 0 ? 100.0 * rate / dd_rate : 0.0);
  std::printf("  %s servant peak RSS:          %8.1f MiB (block size x parallel disks = %llu MiB; dd peaked at "
              "%.1f MiB; %zu servant process(es) seen)\n",
              what, f.servant_rss, static_cast<unsigned long long>((block_size * parallel_disks) >> 20), dd_rss,
              f.servants);
}

}  // namespace

int main(int argc, char** argv)
{
  uint64_t disk_mib = 1024;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--disk-mib") == 0 && i + 1 < argc)
      disk_mib = std::strtoull(argv[++i], nullptr, 10);
  const uint64_t disk_size = disk_mib << 20;
  const uint64_t block_size = 8 << 20;
  const unsigned parallel_disks = 2;

  Backup_Road road(RHV_MODULE_PATH, HOSTS_BIN_DIR "/servant_host");
  test_support::Engine_Simulator& engine = road.engine();

  // The VM: two disks of random data.
  test_support::Sim_VM vm;
  vm.name = "bench-01";
  vm.cluster_id = inv::CLUSTER_EAST_PROD_ID;
  vm.status = "up";
  const std::string vm_id = engine.add_vm(vm);
  std::vector<std::string> disk_ids;
  for (int d = 0; d < 2; ++d) {
    test_support::Sim_Disk disk;
    disk.name = "bench-01_disk" + std::to_string(d + 1);
    disk.storage_domain_id = inv::SD_EAST_NFS_ID;
    disk.provisioned_size = static_cast<int64_t>(disk_size);
    test_support::Sim_Disk_Attachment a;
    a.vm_id = vm_id;
    a.disk_id = engine.add_disk(disk);
    a.bootable = d == 0;
    if (a.disk_id.empty() || !engine.attach_disk(a) || !fill_random(engine, a.disk_id, disk_size, 7 + d)) {
      std::fprintf(stderr, "cannot make the disks\n");
      return 1;
    }
    disk_ids.push_back(a.disk_id);
  }

  // dd over the same files, same file system.
  const std::string dd_dir = road.env().path("dd");
  std::system(("mkdir -p '" + dd_dir + "'").c_str());
  Clock::time_point t0 = Clock::now();
  for (const std::string& id : disk_ids) {
    test_support::Sim_Disk disk;
    engine.find_disk(id, disk);
    std::string cmd = "dd if='" + disk.path + "' of='" + dd_dir + "/" + id + "' bs=8M conv=fsync status=none";
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "dd failed\n");
      return 1;
    }
  }
  const double dd_seconds = seconds_since(t0);
  std::system(("rm -rf '" + dd_dir + "'").c_str());
  const double dd_rss = children_peak_rss_mib();

  // The backup, watching the agent VM for the transfer window.
  const std::string options = R"({"storage_reserved_bytes": 0, "storage_reserved_percent": 0, "block_size": )" +
                              std::to_string(block_size) + R"(, "parallel_disks_per_vm": )" +
                              std::to_string(parallel_disks) + "}";
  t0 = Clock::now();
  Job_var job = road.start("bench", Backup_Road::source({vm_id}), options);
  if (job.get() == nullptr)
    return 1;
  const Run_Figures backup = watch(road, job, t0);
  bool equal = backup.ok;
  std::vector<json_spirit::Object> sets = road.catalog_sets();
  for (const json_spirit::Object& set : sets)
    for (const json_spirit::Value& p : set.at("pieces").get_array())
      equal = equal && road.image_digest(p.get_obj().at("path").get_str(), p.get_obj().at("size").get_uint64()) ==
                           engine.disk_digest(p.get_obj().at("object").get_str());

  // The way back: the VM restored as a new VM, in place.
  road.mark_engine();
  const std::string restore_options = R"({"original_restore": true, "block_size": )" + std::to_string(block_size) +
                                      R"(, "parallel_disks_per_vm": )" + std::to_string(parallel_disks) + "}";
  t0 = Clock::now();
  Job_var restore_job = road.start_restore("bench-restore", road.restore_source({vm_id}), restore_options);
  if (restore_job.get() == nullptr)
    return 1;
  const Run_Figures restore = watch(road, restore_job, t0);
  std::vector<Backup_Road::Restored_Disk> restored = road.restored_disks();
  bool restored_equal = restore.ok && restored.size() == disk_ids.size();
  for (const Backup_Road::Restored_Disk& d : restored)
    restored_equal = restored_equal && d.equal;

  const double total_mib = 2.0 * static_cast<double>(disk_mib);
  const double dd_rate = total_mib / dd_seconds;
  std::printf("backup road: one VM, 2 disks x %llu MiB of random data, blocks of %llu MiB, %u disks at a time\n",
              static_cast<unsigned long long>(disk_mib), static_cast<unsigned long long>(block_size >> 20),
              parallel_disks);
  std::printf("  backup job:  %s; pieces equal the disks: %s\n", backup.ok ? "success" : "FAILURE",
              equal ? "yes" : "NO");
  std::printf("  restore job: %s; restored disks equal the sources: %s\n", restore.ok ? "success" : "FAILURE",
              restored_equal ? "yes" : "NO");
  std::printf("  dd bs=8M conv=fsync:               %8.2f s  %8.1f MiB/s\n", dd_seconds, dd_rate);
  print_figures("backup ", backup, total_mib, dd_rate, block_size, parallel_disks, dd_rss);
  print_figures("restore", restore, total_mib, dd_rate, block_size, parallel_disks, dd_rss);
  return backup.ok && equal && restore.ok && restored_equal ? 0 : 1;
}
