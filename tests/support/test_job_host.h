#ifndef TESTS_SUPPORT_TEST_JOB_HOST_H
#define TESTS_SUPPORT_TEST_JOB_HOST_H

// A job host for tests: it plays the product's job process against the built module.
//
//   Standin_Env env;                        // private configuration and test root
//   Test_Job_Host host;                     // dlopen(RHV_MODULE_PATH)
//   ASSERT_TRUE(host.ok()) << host.error();
//   std::string error;
//   Job_Definition_var def = host.make_definition(
//       R"({"type": 1, "id": "def-1", "uid": "...", "host_id": "h-1"})",
//       R"({"id": "src-1", "entries": [...]})", R"({"parallel_vms": 2})", &error);
//   Job_var job = host.create_job(def);
//   ASSERT_TRUE(host.run_job(job));         // start_i, then wait for complete()
//   job->events(), job->activity(), job->results(), job->job_log()->text() ...
//
// Objects obtained from the module's factories are released through the destroyers the
// factories handed out, when the host is destroyed. The module stays loaded for the
// rest of the process (objects and threads of the module may outlive a host).
// Not thread-safe: use one host from the test thread.

#include <memory>
#include <string>
#include <vector>

#include "platform/job/job.h"
#include "platform/job/job_definition.h"
#include "platform/job/job_records.h"
#include "platform/json/object_creator.h"
#include "platform/json/yajl_handler.h"

class Test_Job_Host {
public:
  typedef void (*Gobble_Function)(void*);

  // Loads the module at `module_path`; empty: the RHV_MODULE_PATH environment variable.
  explicit Test_Job_Host(const std::string& module_path = std::string());
  ~Test_Job_Host();
  Test_Job_Host(const Test_Job_Host&) = delete;
  Test_Job_Host& operator=(const Test_Job_Host&) = delete;

  bool ok() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }

  // The module's exported symbol `name`, or null.
  void* symbol(const char* name) const;

  // Calls the factory `name` (a "_make_*" function) with a destroyer slot; the object is
  // released through that destroyer with the host. Null when the factory is missing or
  // failed.
  template <typename T>
  T* make(const char* name)
  {
    typedef T* (*Factory)(Gobble_Function*);
    Factory factory = reinterpret_cast<Factory>(symbol(name));
    if (factory == nullptr)
      return nullptr;
    Gobble_Function gobble = nullptr;
    T* object = factory(&gobble);
    if (object != nullptr)
      owned_.push_back(Owned{object, gobble});
    return object;
  }

  // The module's job creator (made and init()ed once).
  Job_Creator* job_creator();

  // Reads `text` through a parser made by the creator of factory `creator_factory`.
  // On a reader error returns null and sets `error` to the reader's reason.
  std::shared_ptr<Job_Source> parse_source(const char* creator_factory, const std::string& text,
                                           std::string* error = nullptr);
  std::shared_ptr<Job_Options> parse_options(const char* creator_factory,
                                             const std::string& text,
                                             std::string* error = nullptr);

  // A definition from its JSON form with its source and options documents read through
  // the module's parsers of the definition's type (backup or restore; another type
  // uses the backup parsers). An empty document leaves that record out. Null with
  // `error` set when anything does not read.
  Job_Definition_var make_definition(const std::string& definition_json,
                                     const std::string& source_doc,
                                     const std::string& options_doc,
                                     std::string* error = nullptr);

  // The module's job for the definition (empty for types it does not run).
  Job_var create_job(const Job_Definition_var& definition);

  // start_i(opts), then waits for the job's complete(): false when the start failed or
  // the run did not complete within `seconds`.
  bool run_job(const Job_var& job, const Action_Options* opts = nullptr, int seconds = 120);

  // Waits until no job is alive and every thread of the process-wide ACE thread manager
  // (detached run threads included) has ended. Call it at the end of a test that ran
  // jobs, after releasing them and stopping any ACE task of its own, so that the
  // threads' exit is ordered before the process tears ACE down. False when jobs were
  // still alive, or threads still ran, after `seconds`.
  static bool wait_threads(int seconds = 60);

private:
  struct Owned {
    void* object;
    Gobble_Function gobble;
  };

  bool parse_with(const char* creator_factory, const std::string& text, bool source,
                  std::shared_ptr<Job_Source>* src, std::shared_ptr<Job_Options>* opts,
                  std::string* error);

  void* handle_ = nullptr;
  std::string error_;
  std::vector<Owned> owned_;
  Job_Creator* job_creator_ = nullptr;
};

#endif  // TESTS_SUPPORT_TEST_JOB_HOST_H
