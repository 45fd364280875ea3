#include "tests/support/test_job_host.h"

#include <ace/OS_NS_sys_time.h>
#include <ace/Thread_Manager.h>

#include <cstdlib>
#include <dlfcn.h>

#include "platform/json/json_parser.h"

Test_Job_Host::Test_Job_Host(const std::string& module_path)
{
  std::string path = module_path;
  if (path.empty()) {
    const char* env = std::getenv("RHV_MODULE_PATH");
    if (env != nullptr)
      path = env;
  }
  if (path.empty()) {
    error_ = "no module path (RHV_MODULE_PATH is not set)";
    return;
  }
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    error_ = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
  }
}

Test_Job_Host::~Test_Job_Host()
{
  for (auto it = owned_.rbegin(); it != owned_.rend(); ++it) {
    if (it->gobble != nullptr)
      it->gobble(it->object);
  }
  // The module stays loaded: jobs and threads it made may still be finishing.
}

void* Test_Job_Host::symbol(const char* name) const
{
  if (handle_ == nullptr)
    return nullptr;
  return ::dlsym(handle_, name);
}

Job_Creator* Test_Job_Host::job_creator()
{
  if (job_creator_ == nullptr) {
    job_creator_ = make<Job_Creator>("_make_RHV_Job_Creator");
    if (job_creator_ != nullptr)
      job_creator_->init(0, nullptr);
  }
  return job_creator_;
}

bool Test_Job_Host::parse_with(const char* creator_factory, const std::string& text, bool source,
                               std::shared_ptr<Job_Source>* src,
                               std::shared_ptr<Job_Options>* opts, std::string* error)
{
  auto fail = [&](const std::string& why) {
    if (error != nullptr)
      *error = why;
    return false;
  };
  Object_Creator_T<YAJL_Handler>* creator = make<Object_Creator_T<YAJL_Handler>>(creator_factory);
  if (creator == nullptr)
    return fail(std::string("no parser creator ") + creator_factory);
  if (creator->init(0, nullptr) != 0)
    return fail("the parser creator did not initialise");
  YAJL_Handler* handler = creator->create();
  if (handler == nullptr)
    return fail("the parser creator made no parser");
  std::string why;
  bool parsed = parse_with_handler(text, *handler, &why);
  Job_Record_Parser* records = dynamic_cast<Job_Record_Parser*>(handler);
  if (parsed && records != nullptr) {
    if (source)
      *src = records->job_source();
    else
      *opts = records->job_options();
  }
  creator->destroy(handler);
  if (!parsed)
    return fail(why);
  if (records == nullptr)
    return fail("the parser yields no job record");
  if (source ? !*src : !*opts)
    return fail("the parser yields no record of this kind");
  return true;
}

std::shared_ptr<Job_Source> Test_Job_Host::parse_source(const char* creator_factory,
                                                        const std::string& text,
                                                        std::string* error)
{
  std::shared_ptr<Job_Source> src;
  if (!parse_with(creator_factory, text, true, &src, nullptr, error))
    return nullptr;
  return src;
}

std::shared_ptr<Job_Options> Test_Job_Host::parse_options(const char* creator_factory,
                                                          const std::string& text,
                                                          std::string* error)
{
  std::shared_ptr<Job_Options> opts;
  if (!parse_with(creator_factory, text, false, nullptr, &opts, error))
    return nullptr;
  return opts;
}

Job_Definition_var Test_Job_Host::make_definition(const std::string& definition_json,
                                                  const std::string& source_doc,
                                                  const std::string& options_doc,
                                                  std::string* error)
{
  json_spirit::Value doc;
  std::string why;
  if (!json_spirit::parse(definition_json, doc, &why)) {
    if (error != nullptr)
      *error = "job definition: " + why;
    return Job_Definition_var();
  }
  Job_Definition_var def(new Job_Definition());
  if (!def->load(doc, &why)) {
    if (error != nullptr)
      *error = why;
    return Job_Definition_var();
  }
  bool restore = def->type() == JOB_DEFINITION_RESTORE;
  if (!source_doc.empty()) {
    std::shared_ptr<Job_Source> src =
        parse_source(restore ? "_make_RHV_Restore_Source_Parser_Creator"
                             : "_make_RHV_Backup_Source_Parser_Creator",
                     source_doc, &why);
    if (!src) {
      if (error != nullptr)
        *error = "job source: " + why;
      return Job_Definition_var();
    }
    def->source(src);
  }
  if (!options_doc.empty()) {
    std::shared_ptr<Job_Options> opts =
        parse_options(restore ? "_make_RHV_Restore_Options_Parser_Creator"
                              : "_make_RHV_Backup_Options_Parser_Creator",
                      options_doc, &why);
    if (!opts) {
      if (error != nullptr)
        *error = "job options: " + why;
      return Job_Definition_var();
    }
    def->options(opts);
  }
  return def;
}

Job_var Test_Job_Host::create_job(const Job_Definition_var& definition)
{
  Job_Creator* creator = job_creator();
  if (creator == nullptr)
    return Job_var();
  return creator->create(definition);
}

bool Test_Job_Host::run_job(const Job_var& job, const Action_Options* opts, int seconds)
{
  if (job.get() == nullptr)
    return false;
  int runs = job->completed() + 1;
  if (job->start_i(opts) != 0)
    return false;
  return job->wait_complete(seconds, runs);
}

bool Test_Job_Host::wait_threads(int seconds)
{
  const ACE_Time_Value deadline = ACE_OS::gettimeofday() + ACE_Time_Value(seconds);
  bool none_alive = Job::wait_no_live_jobs(seconds);
  return ACE_Thread_Manager::instance()->wait(&deadline) == 0 && none_alive;
}
