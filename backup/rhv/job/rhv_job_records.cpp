#include "backup/rhv/job/rhv_job_records.h"

#include "platform/json/json_dump.h"

RHV_JSON_Job_Source::~RHV_JSON_Job_Source() = default;

void RHV_JSON_Job_Source::generate(yajl_gen_t* gen) const
{
  yajl_gen_value(gen, value_);
}

RHV_JSON_Job_Options::~RHV_JSON_Job_Options() = default;

int RHV_JSON_Job_Options::generate(yajl_gen_t* gen)
{
  return yajl_gen_value(gen, value_);
}
