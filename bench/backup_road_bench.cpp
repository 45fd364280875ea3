// Throughput and memory of the whole backup road and of the way back, beside `dd` copying
// the same bytes.
//
//   backup_road_bench [--disk-gib N] [--quick] [--rounds R]   (defaults: 8 GiB per disk, 5 rounds;
//                                                             --quick: 1 GiB per disk)
//
// One VM with two disks of random data is backed up by a backup job through a servant
// process (8 MiB blocks, two disks at a time) into the local pool, then restored as a new
// VM by a restore job through a servant process. Each direction runs in alternated rounds
// (see bench_rounds.h) beside two baselines on the same file system, each ending with an
// fsync of what it wrote as the road does:
//   - `dd bs=8M conv=fsync` of one disk after the other;
//   - the same `dd`s all at once (the road's parallelism: two disks at a time).
// The backup baselines copy the source disks, the restore baselines the pool pieces, each
// into new files (removed after each run). The road's figure is its transfer window, from
// the first disk plugged into the agent VM to the last one unplugged (backup: read from the
// device, image written, piece flushed and stored; restore: piece read, written to the
// device and flushed). Printed beside it: the phases of the job (before the transfer, the
// transfer, after it) and the servant processes' peak resident memory.
// Room needed at the peak: three times the two disks (48 GiB at the default size).

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/bench_rounds.h"
#include "tests/support/engine_simulator_servant_road.h"
#include "tests/support/sample_inventory.h"

namespace inv = sample_inventory;
using bench::Clock;
using bench::seconds_since;
using test_support::Backup_Road;

namespace {

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

// What one job of the road took: its phases, and the peak resident memory of its servant
// processes.
struct Run_Figures {
  bool ok = false;
  double before = 0;    // from the start to the first disk plugged into the agent VM
  double transfer = 0;  // from there to the last disk unplugged
  double after = 0;     // from there to the end of the job
  // Each disk's time on the agent VM, in the order they came, from the first one's plug.
  std::vector<std::pair<double, double>> disks;
  double servant_rss = 0;
  size_t servants = 0;
};

Run_Figures watch(Backup_Road& road, const Job_var& job, Clock::time_point t0)
{
  Run_Figures out;
  Clock::time_point first_attach{}, last_detach{};
  bool attached_seen = false;
  std::map<pid_t, double> peaks;
  std::vector<std::string> order;
  std::map<std::string, std::pair<Clock::time_point, Clock::time_point>> seen;  // disk -> first, last
  while (job->completed() == 0) {
    servant_peaks(peaks);
    bool attached = false;
    const Clock::time_point now = Clock::now();
    for (const test_support::Sim_Disk_Attachment& a : road.engine().attachments(inv::AGENT_VM_ID)) {
      if (a.agent_own)
        continue;
      attached = true;
      auto it = seen.find(a.disk_id);
      if (it == seen.end()) {
        seen[a.disk_id] = {now, now};
        order.push_back(a.disk_id);
      } else {
        it->second.second = now;
      }
    }
    if (attached && !attached_seen) {
      attached_seen = true;
      first_attach = now;
    }
    if (attached)
      last_detach = now;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (const std::string& d : order)
    out.disks.emplace_back(std::chrono::duration<double>(seen[d].first - first_attach).count(),
                           std::chrono::duration<double>(seen[d].second - first_attach).count());
  road.wait(job, "the measured run", 600);
  const double whole = seconds_since(t0);
  out.before = std::chrono::duration<double>(first_attach - t0).count();
  out.transfer = std::chrono::duration<double>(last_detach - first_attach).count();
  out.after = whole - out.before - out.transfer;
  for (const auto& p : peaks)
    out.servant_rss = std::max(out.servant_rss, p.second);
  out.servants = peaks.size();
  for (const std::string& e : Backup_Road::final_events(job))
    out.ok = out.ok || e == "SUCCESS";
  out.ok = out.ok && attached_seen;
  return out;
}

bool run(const std::string& command)
{
  return std::system(command.c_str()) == 0;
}

// `dd` of each source into a new file of `dir`, one after the other or all at once; the
// seconds, -1 on a failure. The copies are removed.
double dd_copies(const std::vector<std::string>& sources, const std::string& dir, bool at_once)
{
  std::vector<std::string> commands;
  for (size_t i = 0; i < sources.size(); ++i)
    commands.push_back("dd if='" + sources[i] + "' of='" + dir + "/copy-" + std::to_string(i) +
                       "' bs=8M conv=fsync status=none");
  Clock::time_point t0 = Clock::now();
  bool ok = true;
  if (at_once) {
    std::vector<char> done(commands.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < commands.size(); ++i)
      threads.emplace_back([&commands, &done, i] { done[i] = run(commands[i]) ? 1 : 0; });
    for (std::thread& t : threads)
      t.join();
    ok = std::count(done.begin(), done.end(), 1) == static_cast<long>(done.size());
  } else {
    for (const std::string& c : commands)
      ok = ok && run(c);
  }
  const double s = seconds_since(t0);
  run("rm -f '" + dir + "'/copy-*");
  return ok ? s : -1;
}

// Rounds of one direction of the road beside the two `dd` baselines copying `sources`.
bool compare_with_dd(const std::string& what, std::function<double()> road, const std::string& copied,
                     const std::vector<std::string>& sources, const std::string& dd_dir, int rounds, double mib)
{
  std::vector<bench::Side> sides = {
      {what + " road (transfer)", std::move(road)},
      {"dd of the " + copied + ", one at a time", [&] { return dd_copies(sources, dd_dir, false); }},
      {"dd of the " + copied + ", all at once", [&] { return dd_copies(sources, dd_dir, true); }},
  };
  return bench::compare(what, sides, rounds, mib, "MiB");
}

// Median of one phase over the rounds.
double median_phase(const std::vector<Run_Figures>& runs, double Run_Figures::*phase)
{
  std::vector<double> v;
  for (const Run_Figures& r : runs)
    v.push_back(r.*phase);
  return bench::median_of(v);
}

void print_phases(const char* what, const std::vector<Run_Figures>& runs, uint64_t block_size,
                  unsigned parallel_disks)
{
  double rss = 0;
  size_t servants = 0;
  for (const Run_Figures& r : runs) {
    rss = std::max(rss, r.servant_rss);
    servants = std::max(servants, r.servants);
  }
  std::printf("  %s job phases (medians): before transfer %.2f s, transfer %.2f s, after %.2f s\n", what,
              median_phase(runs, &Run_Figures::before), median_phase(runs, &Run_Figures::transfer),
              median_phase(runs, &Run_Figures::after));
  // When the pieces of the VM ran: the second disk's start beside the first one's end.
  std::vector<double> second_start, first_end;
  for (const Run_Figures& r : runs)
    if (r.disks.size() >= 2) {
      second_start.push_back(r.disks[1].first);
      first_end.push_back(r.disks[0].second);
    }
  if (!second_start.empty())
    std::printf("  %s pieces (medians): the second disk was plugged %.2f s after the first, which was unplugged "
                "at %.2f s\n",
                what, bench::median_of(second_start), bench::median_of(first_end));
  std::printf("  %s servant peak RSS: %.1f MiB (block size x parallel disks = %llu MiB; %zu servant process(es) "
              "per job)\n",
              what, rss, static_cast<unsigned long long>((block_size * parallel_disks) >> 20), servants);
}

}  // namespace

int main(int argc, char** argv)
{
  uint64_t disk_gib = 8;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--disk-gib") == 0 && i + 1 < argc)
      disk_gib = std::strtoull(argv[++i], nullptr, 10);
    else if (std::strcmp(argv[i], "--quick") == 0)
      disk_gib = 1;
  }
  const int rounds = bench::rounds_option(argc, argv);
  if (disk_gib == 0) {
    std::fprintf(stderr, "usage: %s [--disk-gib N] [--quick] [--rounds R]\n", argv[0]);
    return 2;
  }
  const uint64_t disk_size = disk_gib << 30;
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
  std::vector<std::string> sources;
  for (int d = 0; d < 2; ++d) {
    test_support::Sim_Disk disk;
    disk.name = "bench-01_disk" + std::to_string(d + 1);
    disk.storage_domain_id = inv::SD_EAST_NFS_ID;
    disk.provisioned_size = static_cast<int64_t>(disk_size);
    test_support::Sim_Disk_Attachment a;
    a.vm_id = vm_id;
    a.disk_id = engine.add_disk(disk);
    a.bootable = d == 0;
    if (a.disk_id.empty() || !engine.attach_disk(a) || !fill_random(engine, a.disk_id, disk_size, 7 + d) ||
        !engine.find_disk(a.disk_id, disk)) {
      std::fprintf(stderr, "cannot make the disks\n");
      return 1;
    }
    disk_ids.push_back(a.disk_id);
    sources.push_back(disk.path);
  }
  const std::string dd_dir = road.env().path("dd");
  run("mkdir -p '" + dd_dir + "'");
  const double mib = 2.0 * 1024 * static_cast<double>(disk_gib);
  std::printf("backup_road_bench: one VM, 2 disks x %llu GiB of random data, blocks of %llu MiB, %u disks at a "
              "time\n",
              static_cast<unsigned long long>(disk_gib), static_cast<unsigned long long>(block_size >> 20),
              parallel_disks);

  // The backups; each round's set replaces the one before (its pieces are removed), the
  // last one stays for the restores.
  const std::string options = R"({"storage_reserved_bytes": 0, "storage_reserved_percent": 0, "block_size": )" +
                              std::to_string(block_size) + R"(, "parallel_disks_per_vm": )" +
                              std::to_string(parallel_disks) + "}";
  std::vector<Run_Figures> backups;
  std::vector<std::string> pieces;  // files of the last set
  std::set<std::string> set_uuids;
  std::string last_set_uuid;
  bool equal = true;
  auto backup_round = [&]() -> double {
    for (const std::string& p : pieces)
      ::unlink(p.c_str());
    pieces.clear();
    Clock::time_point t0 = Clock::now();
    Job_var job = road.start("bench-" + std::to_string(backups.size() + 1), Backup_Road::source({vm_id}), options);
    if (job.get() == nullptr)
      return -1;
    backups.push_back(watch(road, job, t0));
    // This round's set: the one not seen before.
    const json_spirit::Object* set = nullptr;
    std::vector<json_spirit::Object> sets = road.catalog_sets();
    for (const json_spirit::Object& s : sets)
      if (set_uuids.insert(s.at("set_uuid").get_str()).second)
        set = &s;
    if (!backups.back().ok || set == nullptr)
      return -1;
    last_set_uuid = set->at("set_uuid").get_str();
    const std::string root = road.pool_url().substr(std::strlen("file://"));
    for (const json_spirit::Value& p : set->at("pieces").get_array()) {
      const json_spirit::Object& piece = p.get_obj();
      pieces.push_back(root + "/" + piece.at("path").get_str());
      struct stat st;
      equal = equal && ::stat(pieces.back().c_str(), &st) == 0;
      if (backups.size() == 1)  // the bytes are checked once
        equal = equal && road.image_digest(piece.at("path").get_str(), piece.at("size").get_uint64()) ==
                             engine.disk_digest(piece.at("object").get_str());
    }
    return equal ? backups.back().transfer : -1;
  };
  if (!compare_with_dd("backup", backup_round, "disks", sources, dd_dir, rounds, mib))
    return 1;
  print_phases("backup", backups, block_size, parallel_disks);
  std::printf("  pieces equal the disks: %s\n", equal ? "yes" : "NO");

  // The way back, from the last set: the VM restored as a new VM; the restored disks are
  // emptied after each round.
  const std::string restore_options = R"({"original_restore": true, "block_size": )" + std::to_string(block_size) +
                                      R"(, "parallel_disks_per_vm": )" + std::to_string(parallel_disks) + "}";
  // The catalog lists the sets in no given order: the source names the last one.
  std::string restore_source = road.restore_source({vm_id});
  const size_t uuid_at = restore_source.find(R"("catalog_uuid")");
  const size_t uuid_from = restore_source.find('"', restore_source.find(':', uuid_at) + 1) + 1;
  if (uuid_at == std::string::npos || uuid_from == 0) {
    std::fprintf(stderr, "no catalog set in the restore source\n");
    return 1;
  }
  restore_source.replace(uuid_from, restore_source.find('"', uuid_from) - uuid_from, last_set_uuid);
  std::vector<Run_Figures> restores;
  bool restored_equal = true;
  auto restore_round = [&]() -> double {
    road.mark_engine();
    Clock::time_point t0 = Clock::now();
    Job_var job =
        road.start_restore("bench-restore-" + std::to_string(restores.size() + 1), restore_source, restore_options);
    if (job.get() == nullptr)
      return -1;
    restores.push_back(watch(road, job, t0));
    if (restores.size() == 1) {
      std::vector<Backup_Road::Restored_Disk> restored = road.restored_disks();
      restored_equal = restored.size() == disk_ids.size();
      for (const Backup_Road::Restored_Disk& d : restored)
        restored_equal = restored_equal && d.equal;
    }
    for (const test_support::Sim_Disk& d : road.new_disks())
      if (::truncate(d.path.c_str(), 0) != 0)
        return -1;
    return restores.back().ok && restored_equal ? restores.back().transfer : -1;
  };
  if (!compare_with_dd("restore", restore_round, "pieces", pieces, dd_dir, rounds, mib))
    return 1;
  print_phases("restore", restores, block_size, parallel_disks);
  std::printf("  restored disks equal the sources: %s\n", restored_equal ? "yes" : "NO");
  for (const std::string& p : pieces)
    ::unlink(p.c_str());
  run("rm -rf '" + dd_dir + "'");
  return equal && restored_equal ? 0 : 1;
}
