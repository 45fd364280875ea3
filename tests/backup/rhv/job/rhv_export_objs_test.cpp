// The module as a host sees it: loaded with dlopen, objects obtained through the exported
// factories by name.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "platform/job/job.h"
#include "platform/json/object_creator.h"
#include "platform/json/yajl_handler.h"
#include "platform/runtime/uuid.h"
#include "tests/support/log_capture.h"
#include "tests/support/standin_env.h"
#include "tests/support/test_job_host.h"

namespace {
std::atomic<bool> g_fail_nothrow_new{false};
}  // namespace

// Lets a test make every non-throwing allocation fail, the module's included.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
  if (g_fail_nothrow_new.load())
    return nullptr;
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

typedef void (*Gobble_Function)(void*);
typedef void* (*Factory)(Gobble_Function*);

const char* const kFactories[] = {
    "_make_RHV_Job_Creator",
    "_make_RHV_Backup_Source_Parser_Creator",
    "_make_RHV_Restore_Source_Parser_Creator",
    "_make_RHV_Backup_Options_Parser_Creator",
    "_make_RHV_Restore_Options_Parser_Creator",
};

// Records the order in which a destroyer calls into a creator.
std::vector<std::string> g_calls;

class Spy_Parser_Creator : public Object_Creator_T<YAJL_Handler> {
public:
  ~Spy_Parser_Creator() override { g_calls.push_back("destructor"); }
  int fini() override
  {
    g_calls.push_back("fini");
    return 0;
  }
  YAJL_Handler* create() override { return nullptr; }
  void destroy(YAJL_Handler*) override {}
};

class Spy_Job_Creator : public Job_Creator {
public:
  ~Spy_Job_Creator() override { g_calls.push_back("destructor"); }
  int fini() override
  {
    g_calls.push_back("fini");
    return 0;
  }
  Job_var create(Job_Definition_var) override { return Job_var(); }
};

class RHV_Export_Test : public ::testing::Test {
protected:
  void TearDown() override { EXPECT_TRUE(Test_Job_Host::wait_threads()); }

  Factory factory(const char* name)
  {
    return reinterpret_cast<Factory>(host_.symbol(name));
  }

  Standin_Env env_;
  Test_Job_Host host_;
};

TEST_F(RHV_Export_Test, OnlyTheFactoriesAreExported)
{
  ASSERT_TRUE(host_.ok()) << host_.error();
  for (const char* name : kFactories)
    EXPECT_NE(host_.symbol(name), nullptr) << name;
  const char* hidden[] = {"_gobble_RHV_Job_Creator", "_gobble_RHV_Backup_Source_Parser_Creator",
                          "_ZN21RHV_JSON_Job_SourceD0Ev", "make_nothrow"};
  for (const char* name : hidden)
    EXPECT_EQ(host_.symbol(name), nullptr) << name;
}

TEST_F(RHV_Export_Test, FactoriesWorkWithAndWithoutADestroyerSlot)
{
  ASSERT_TRUE(host_.ok()) << host_.error();
  for (const char* name : kFactories) {
    SCOPED_TRACE(name);
    Factory make = factory(name);
    ASSERT_NE(make, nullptr);
    Gobble_Function gobble = nullptr;
    void* object = make(&gobble);
    ASSERT_NE(object, nullptr);
    ASSERT_NE(gobble, nullptr);
    gobble(object);
    gobble(nullptr);  // ignored
    void* unowned = make(nullptr);  // still a working object
    ASSERT_NE(unowned, nullptr);
    Gobble_Function again = nullptr;
    void* third = make(&again);
    EXPECT_EQ(again, gobble);  // one destroyer per factory
    again(third);
    // The object made without a slot is released with the destroyer obtained before.
    gobble(unowned);
  }
}

TEST_F(RHV_Export_Test, FailedAllocationStillHandsOutTheDestroyer)
{
  ASSERT_TRUE(host_.ok()) << host_.error();
  for (const char* name : kFactories) {
    SCOPED_TRACE(name);
    Factory make = factory(name);
    ASSERT_NE(make, nullptr);
    Gobble_Function gobble = nullptr;
    errno = 0;
    g_fail_nothrow_new = true;
    void* object = make(&gobble);
    int err = errno;
    g_fail_nothrow_new = false;
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(err, ENOMEM);
    EXPECT_NE(gobble, nullptr);
  }
}

TEST_F(RHV_Export_Test, ParserCreatorDestroyersFinishBeforeDeleting)
{
  ASSERT_TRUE(host_.ok()) << host_.error();
  for (const char* name : kFactories) {
    SCOPED_TRACE(name);
    Gobble_Function gobble = nullptr;
    void* real = factory(name)(&gobble);
    gobble(real);
    g_calls.clear();
    bool parser = std::string(name) != "_make_RHV_Job_Creator";
    if (parser) {
      Object_Creator_T<YAJL_Handler>* spy = new Spy_Parser_Creator();
      gobble(static_cast<void*>(spy));
      EXPECT_EQ(g_calls, (std::vector<std::string>{"fini", "destructor"}));
    } else {
      Job_Creator* spy = new Spy_Job_Creator();
      gobble(static_cast<void*>(spy));
      EXPECT_EQ(g_calls, (std::vector<std::string>{"destructor"}));
    }
  }
}

TEST_F(RHV_Export_Test, JobsOfEachDefinitionType)
{
  ASSERT_TRUE(host_.ok()) << host_.error();
  const char* uid = "6f1e2d3c-4b5a-4968-8776-655443322110";
  for (int type = 0; type <= 4; ++type) {
    SCOPED_TRACE(type);
    std::string error;
    std::string id = "def-type-" + std::to_string(type);
    Job_Definition_var def = host_.make_definition(
        R"({"type":)" + std::to_string(type) + R"(,"id":")" + id + R"(","uid":")" + uid +
            R"(","host_id":"host-1"})",
        R"({"id":"resource-1","name":"my backup","entries":[{"type":"vm","id":"vm-1"}]})",
        R"({"parallel_vms":2})", &error);
    ASSERT_NE(def.get(), nullptr) << error;
    ASSERT_NE(def->source(), nullptr);
    EXPECT_EQ(def->source()->id(), "resource-1");
    EXPECT_EQ(def->source()->name(), "my backup");
    ASSERT_NE(def->options(), nullptr);

    errno = 4321;
    Job_var job = host_.create_job(def);
    if (type != 1 && type != 2) {
      EXPECT_EQ(job.get(), nullptr);
      EXPECT_EQ(errno, 4321);
      continue;
    }
    ASSERT_NE(job.get(), nullptr);
    EXPECT_EQ(job->ref_count(), 1);
    ASSERT_TRUE(host_.run_job(job));
    // Without an RHV host record both the backup and the restore fail at their start.
    std::vector<Job_Event> events = job->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, Job_Event::START);
    EXPECT_EQ(events[1].kind, Job_Event::FAILURE);
    EXPECT_EQ(events[1].code, -1);
    EXPECT_EQ(job->activity().state.load(), JOB_STATE_ERROR);
    EXPECT_EQ(uuid_to_string(job->activity().uid), uid);
    EXPECT_NE(job->job_log()->text().find("Failed to get RHV resource.\n"), std::string::npos)
        << job->job_log()->text();
  }
}

TEST_F(RHV_Export_Test, MalformedJobDocumentsMakeNoJob)
{
  ASSERT_TRUE(host_.ok()) << host_.error();
  struct Case {
    const char* def;
    const char* source;
    const char* options;
    const char* prefix;
  };
  const Case cases[] = {
      {R"({"type":1,"id":"d"})", R"({"id":"r",)", "", "job source: "},
      {R"({"type":1,"id":"d"})", R"({"id":"r"}})", "", "job source: "},
      {R"({"type":2,"id":"d"})", R"({"id":"r"})", R"({"parallel_vms":})", "job options: "},
      {R"({"type":2,"id":"d"})", "", "\"unterminated", "job options: "},
      {R"({"type":1,"id":)", "", "", "job definition: "},
      {R"({"type":"backup"})", "", "", "job definition key 'type'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " | " + c.options);
    std::string error;
    Job_Definition_var def = host_.make_definition(c.def, c.source, c.options, &error);
    EXPECT_EQ(def.get(), nullptr);
    EXPECT_EQ(error.rfind(c.prefix, 0), 0u) << error;
    EXPECT_GT(error.size(), std::string(c.prefix).size()) << error;  // the reader says why
  }
  EXPECT_EQ(Job::live_jobs(), 0u);
}

TEST_F(RHV_Export_Test, ControlRequestsInAnyOrder)
{
  ASSERT_TRUE(host_.ok()) << host_.error();
  std::string error;
  Job_Definition_var def =
      host_.make_definition(R"({"type":1,"id":"def-ctl"})", R"({"id":"r"})", "", &error);
  ASSERT_NE(def.get(), nullptr) << error;
  // Each order of stop, pause, resume and abort, once before and once after the start.
  int orders[][4] = {{0, 1, 2, 3}, {3, 2, 1, 0}, {1, 0, 3, 2}, {2, 3, 0, 1}, {1, 2, 0, 3}};
  for (auto& order : orders) {
    for (int before = 0; before <= 4; ++before) {
      Job_var job = host_.create_job(def);
      ASSERT_NE(job.get(), nullptr);
      auto call = [&](int op) {
        switch (op) {
        case 0:
          job->stop_i(nullptr);
          break;
        case 1:
          job->pause_i(nullptr);
          break;
        case 2:
          job->resume_i(nullptr);
          break;
        default:
          job->abort_i(nullptr);
          break;
        }
      };
      for (int i = 0; i < before; ++i)
        call(order[i]);
      ASSERT_EQ(job->start_i(nullptr), 0);
      for (int i = before; i < 4; ++i)
        call(order[i]);
      ASSERT_TRUE(job->wait_complete(60));
      std::vector<Job_Event> events = job->events();
      ASSERT_FALSE(events.empty());
      EXPECT_NE(events.back().kind, Job_Event::START);
    }
  }
}

}  // namespace
