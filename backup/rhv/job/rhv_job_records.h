#ifndef BACKUP_RHV_JOB_RHV_JOB_RECORDS_H
#define BACKUP_RHV_JOB_RHV_JOB_RECORDS_H

// The RHV job's source and options records: each keeps its whole document as parsed.
// The executors read the documents through value().

#include <yajl/yajl_gen.h>

#include "platform/job/job_records.h"
#include "platform/json/value.h"

class RHV_JSON_Job_Source : public Job_Source {
public:
  ~RHV_JSON_Job_Source() override;

  // Writes the document to `gen`.
  void generate(yajl_gen_t* gen) const override;

  json_spirit::Value& value() { return value_; }
  const json_spirit::Value& value() const { return value_; }

private:
  json_spirit::Value value_;  // null until a document is parsed into it
};

class RHV_JSON_Job_Options : public Job_Options {
public:
  ~RHV_JSON_Job_Options() override;

  // Writes the document to `gen`; the generator's status.
  int generate(yajl_gen_t* gen) override;

  json_spirit::Value& value() { return value_; }
  const json_spirit::Value& value() const { return value_; }

private:
  json_spirit::Value value_;  // null until a document is parsed into it
};

#endif  // BACKUP_RHV_JOB_RHV_JOB_RECORDS_H
