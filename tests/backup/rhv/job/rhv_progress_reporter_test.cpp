// The job side of the VM progress files: files made at activation with the exact shared
// layout, figures written by another process read back, the final report's failed states,
// files of an earlier run reset, and ids that would leave the progress directory refused.

#include "backup/rhv/job/rhv_progress_reporter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/job/job.h"
#include "platform/job/job_definition.h"
#include "platform/job/job_services.h"
#include "platform/json/json_parser.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"

namespace {

const char* const DEF_ID = "def-progress";

struct Reporter_Fixture {
  Standin_Env env;
  Job_var job;
  std::unique_ptr<Job_Event_Handler> handler;
  std::unique_ptr<RHV_Progress_Reporter> reporter;

  Reporter_Fixture()
  {
    json_spirit::Value doc;
    EXPECT_TRUE(json_spirit::parse(std::string("{\"type\": 1, \"id\": \"") + DEF_ID + "\", \"host_id\": \"h-1\"}", doc));
    Job_Definition_var def(new Job_Definition());
    EXPECT_TRUE(def->load(doc));
    job = Job_var(new Job(def), false);
    handler.reset(new Job_Event_Handler(*job.get()));
    reporter.reset(new RHV_Progress_Reporter(*handler, job->activity()));
  }

  std::string dir() const { return env.root() + "/var/opt/quillon/tessera3/rhv/act/rhv/" + DEF_ID; }
  std::string file(const std::string& vm_id) const { return dir() + "/" + vm_id; }

  // The progress lists handed to the event handler, in order.
  std::vector<Job_Event> reports() const
  {
    std::vector<Job_Event> out;
    for (const Job_Event& e : job->events())
      if (e.kind == Job_Event::VM_PROGRESS)
        out.push_back(e);
    return out;
  }
};

// What a servant process writes into a VM's file, at the record's byte offsets.
struct Raw_Progress {
  int32_t state;
  int32_t disks;
  int32_t disks_done;
  int64_t start;
  int64_t end;
  uint64_t total;
  uint64_t done;
};

// Writes `p` into the file at `path` from a child process, through a mapping of its own,
// and checks the file's size there. True when the child succeeded.
bool write_from_other_process(const std::string& path, const Raw_Progress& p)
{
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size != 4096)
      ::_exit(2);
    char* base = static_cast<char*>(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (base == MAP_FAILED)
      ::_exit(3);
    std::memcpy(base + 0, &p.state, 4);
    std::memcpy(base + 4, &p.disks, 4);
    std::memcpy(base + 8, &p.disks_done, 4);
    std::memcpy(base + 16, &p.start, 8);
    std::memcpy(base + 24, &p.end, 8);
    std::memcpy(base + 32, &p.total, 8);
    std::memcpy(base + 40, &p.done, 8);
    ::munmap(base, 4096);
    ::close(fd);
    ::_exit(0);
  }
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The first 48 bytes of a file.
std::vector<unsigned char> head(const std::string& path)
{
  std::vector<unsigned char> bytes(48, 0xee);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), 48);
    ::close(fd);
  }
  return bytes;
}

}  // namespace

TEST(RHV_Progress_Reporter, activation_with_no_vm_makes_no_directory)
{
  Reporter_Fixture f;
  EXPECT_TRUE(f.reporter->activate(DEF_ID));
  struct stat st;
  EXPECT_NE(::stat(f.dir().c_str(), &st), 0);
  EXPECT_TRUE(f.reporter->report(true));
  ASSERT_EQ(f.reports().size(), 1u);
  EXPECT_TRUE(f.reports()[0].progress.empty());
}

TEST(RHV_Progress_Reporter, files_shared_with_another_process_feed_the_reports)
{
  Reporter_Fixture f;
  ASSERT_TRUE(f.reporter->add("vm-done", "done"));
  ASSERT_TRUE(f.reporter->add("vm-running", "running"));
  ASSERT_TRUE(f.reporter->add("vm-never", "never"));
  ASSERT_TRUE(f.reporter->activate(DEF_ID));

  // Made pending, zeroed, with the modes the servants' user relies on.
  for (const char* vm : {"vm-done", "vm-running", "vm-never"}) {
    struct stat st;
    ASSERT_EQ(::stat(f.file(vm).c_str(), &st), 0) << vm;
    EXPECT_EQ(st.st_size, 4096);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(head(f.file(vm)), std::vector<unsigned char>(48, 0)) << vm;
  }
  struct stat dir_st;
  ASSERT_EQ(::stat(f.dir().c_str(), &dir_st), 0);
  EXPECT_EQ(dir_st.st_mode & 0777, 0750u);

  ASSERT_TRUE(write_from_other_process(f.file("vm-done"), {2, 3, 3, 1700000000, 1700000100, 3 << 20, 3 << 20}));
  ASSERT_TRUE(write_from_other_process(f.file("vm-running"), {1, 2, 1, 1700000005, 0, 8 << 20, 5 << 20}));

  ASSERT_TRUE(f.reporter->report(false));
  ASSERT_TRUE(f.reporter->report(true));
  std::vector<Job_Event> reports = f.reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_FALSE(reports[0].finished);
  EXPECT_TRUE(reports[1].finished);

  struct Expected {
    const char* uuid;
    const char* name;
    VM_State periodic;
    VM_State final_state;
    int disks, disks_done;
    time_t start, end;
    uint64_t total, done;
  } expected[] = {
      {"vm-done", "done", STATE_COMPLETED, STATE_COMPLETED, 3, 3, 1700000000, 1700000100, 3 << 20, 3 << 20},
      {"vm-running", "running", STATE_RUNNING, STATE_FAILED, 2, 1, 1700000005, 0, 8 << 20, 5 << 20},
      {"vm-never", "never", STATE_PENDING, STATE_FAILED, 0, 0, 0, 0, 0, 0},
  };
  for (int r = 0; r < 2; ++r) {
    ASSERT_EQ(reports[r].progress.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      const VM_Job_Progress& p = reports[r].progress[i];
      const Expected& e = expected[i];
      SCOPED_TRACE(std::string(e.uuid) + (r == 0 ? " periodic" : " final"));
      EXPECT_EQ(p.uuid, e.uuid);
      EXPECT_EQ(p.name, e.name);
      EXPECT_EQ(p.state, r == 0 ? e.periodic : e.final_state);
      EXPECT_EQ(p.virtual_disk_count, e.disks);
      EXPECT_EQ(p.processed_virtual_disk_count, e.disks_done);
      EXPECT_EQ(p.start_time, e.start);
      EXPECT_EQ(p.end_time, e.end);
      EXPECT_EQ(p.total_bytes, e.total);
      EXPECT_EQ(p.processed_bytes, e.done);
    }
  }
  // The job side never writes a file after activation.
  std::vector<unsigned char> never = head(f.file("vm-never"));
  EXPECT_EQ(never, std::vector<unsigned char>(48, 0));
}

TEST(RHV_Progress_Reporter, a_file_left_by_an_earlier_run_is_reset)
{
  Reporter_Fixture f;
  {
    RHV_Progress_Reporter earlier(*f.handler, f.job->activity());
    ASSERT_TRUE(earlier.add("vm-1", "one"));
    ASSERT_TRUE(earlier.activate(DEF_ID));
  }
  ASSERT_TRUE(write_from_other_process(f.file("vm-1"), {2, 4, 4, 1600000000, 1600000500, 1 << 30, 1 << 30}));

  ASSERT_TRUE(f.reporter->add("vm-1", "one"));
  ASSERT_TRUE(f.reporter->activate(DEF_ID));
  EXPECT_EQ(head(f.file("vm-1")), std::vector<unsigned char>(48, 0));
  ASSERT_TRUE(f.reporter->report(true));
  EXPECT_EQ(f.reports().back().progress.at(0).state, STATE_FAILED);
  EXPECT_EQ(f.reports().back().progress.at(0).total_bytes, 0u);
}

TEST(RHV_Progress_Reporter, refuses_empty_names_and_ids_that_leave_the_directory)
{
  Reporter_Fixture f;
  Log_Capture log(true);
  EXPECT_FALSE(f.reporter->add("", "nameless-id"));
  EXPECT_FALSE(f.reporter->add("vm-1", ""));
  std::vector<std::string> lines = log.texts(LM_EMERGENCY);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("Unexpected error in backup/rhv/job/rhv_progress_reporter.cpp:", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(", inst_id is empty:\n"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(", inst_name is empty:\n"), std::string::npos) << lines[1];
  EXPECT_TRUE(f.job->events().empty());

  // An id holding "/" or ".." would make the job create a file outside its directory.
  for (const char* bad : {"..", "../../../escaped", "a/b"}) {
    Reporter_Fixture g;
    ASSERT_TRUE(g.reporter->add("vm-ok", "ok"));
    ASSERT_TRUE(g.reporter->add(bad, "bad"));
    ASSERT_TRUE(g.reporter->add("vm-after", "after"));
    {
      Log_Capture quiet(true);
      EXPECT_FALSE(g.reporter->activate(DEF_ID)) << bad;
    }
    struct stat st;
    EXPECT_EQ(::stat(g.file("vm-ok").c_str(), &st), 0) << bad;
    EXPECT_NE(::stat((g.env.root() + "/escaped").c_str(), &st), 0) << bad;
    EXPECT_NE(::stat((g.env.root() + "/var/opt/quillon/tessera3/escaped").c_str(), &st), 0) << bad;
    EXPECT_NE(::stat(g.file("vm-after").c_str(), &st), 0) << bad;

    // VMs without a file stay pending until the final report fails them.
    ASSERT_TRUE(g.reporter->report(false));
    ASSERT_TRUE(g.reporter->report(true));
    std::vector<Job_Event> reports = g.reports();
    ASSERT_EQ(reports.size(), 2u);
    ASSERT_EQ(reports[0].progress.size(), 3u);
    for (const VM_Job_Progress& p : reports[0].progress)
      EXPECT_EQ(p.state, STATE_PENDING) << p.uuid;
    for (const VM_Job_Progress& p : reports[1].progress)
      EXPECT_EQ(p.state, STATE_FAILED) << p.uuid;
  }
}
