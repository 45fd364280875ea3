#include "backup/rhv/job/rhv_export_objs.h"

#include <cerrno>
#include <new>

#include "backup/job_def/job_json_parser.h"
#include "backup/job_def/object_creator_impl.h"
#include "backup/rhv/job/rhv_job_creator.h"
#include "backup/rhv/job/rhv_job_records.h"
#include "backup/scrt/make_nothrow.h"

namespace {

typedef Object_Creator_T<YAJL_Handler> Parser_Creator;
typedef Object_Creator_Impl_T<Parser_Creator, Job_Source_Parser<RHV_JSON_Job_Source>>
    RHV_Source_Parser_Creator;
typedef Object_Creator_Impl_T<Parser_Creator, Job_JSON_Parser<RHV_JSON_Job_Options>>
    RHV_Options_Parser_Creator;

template <typename Base, typename T>
Base* make_object(Gobble_Function* gobble, Gobble_Function destroyer)
{
  if (gobble != nullptr)
    *gobble = destroyer;
  return new_nothrow<T>();
}

}  // namespace

static void _gobble_RHV_Job_Creator(void* p)
{
  delete static_cast<Job_Creator*>(p);
}

// The parser creators are handed out as their host base; fini() runs before deletion.
static void gobble_parser_creator(void* p)
{
  if (p == nullptr)
    return;
  Parser_Creator* creator = static_cast<Parser_Creator*>(p);
  creator->fini();
  delete creator;
}

static void _gobble_RHV_Backup_Source_Parser_Creator(void* p)
{
  gobble_parser_creator(p);
}

static void _gobble_RHV_Restore_Source_Parser_Creator(void* p)
{
  gobble_parser_creator(p);
}

static void _gobble_RHV_Backup_Options_Parser_Creator(void* p)
{
  gobble_parser_creator(p);
}

static void _gobble_RHV_Restore_Options_Parser_Creator(void* p)
{
  gobble_parser_creator(p);
}

extern "C" {

Job_Creator* _make_RHV_Job_Creator(Gobble_Function* gobble)
{
  return make_object<Job_Creator, RHV_Job_Creator>(gobble, &_gobble_RHV_Job_Creator);
}

Object_Creator_T<YAJL_Handler>* _make_RHV_Backup_Source_Parser_Creator(Gobble_Function* gobble)
{
  return make_object<Parser_Creator, RHV_Source_Parser_Creator>(
      gobble, &_gobble_RHV_Backup_Source_Parser_Creator);
}

Object_Creator_T<YAJL_Handler>* _make_RHV_Restore_Source_Parser_Creator(Gobble_Function* gobble)
{
  return make_object<Parser_Creator, RHV_Source_Parser_Creator>(
      gobble, &_gobble_RHV_Restore_Source_Parser_Creator);
}

Object_Creator_T<YAJL_Handler>* _make_RHV_Backup_Options_Parser_Creator(Gobble_Function* gobble)
{
  return make_object<Parser_Creator, RHV_Options_Parser_Creator>(
      gobble, &_gobble_RHV_Backup_Options_Parser_Creator);
}

Object_Creator_T<YAJL_Handler>* _make_RHV_Restore_Options_Parser_Creator(Gobble_Function* gobble)
{
  return make_object<Parser_Creator, RHV_Options_Parser_Creator>(
      gobble, &_gobble_RHV_Restore_Options_Parser_Creator);
}

}  // extern "C"
