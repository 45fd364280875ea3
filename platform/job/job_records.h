#ifndef PLATFORM_JOB_JOB_RECORDS_H
#define PLATFORM_JOB_JOB_RECORDS_H

// The parsed source and options documents of a job definition, and the interface through
// which the host obtains them from the parsers a job module hands out.
//
// The host reads each document with its streaming reader into a YAJL_Handler made by the
// module's parser creator; that handler also implements Job_Record_Parser, from which
// the host takes the finished record and stores it in the definition.

#include <memory>
#include <string>

#include <yajl/yajl_gen.h>

#include "platform/json/value.h"

#pragma GCC visibility push(default)

// A job's source document: what to back up or restore.
class Job_Source {
public:
  virtual ~Job_Source();

  // Writes the record as JSON.
  virtual void generate(yajl_gen_t* gen) const = 0;

  void id(const std::string& id) { id_ = id; }
  const std::string& id() const { return id_; }
  void name(const std::string& name) { name_ = name; }
  const std::string& name() const { return name_; }

private:
  std::string id_;
  std::string name_;
};

// A job's options document.
class Job_Options {
public:
  virtual ~Job_Options();

  // Writes the record as JSON; the generator's status.
  virtual int generate(yajl_gen_t* gen) = 0;
};

// Implemented by the module's document parsers: the record built from the events read
// so far. A source parser yields a source and no options, an options parser the
// reverse; either is null when its record could not be allocated. The record stays
// valid for as long as the returned pointer is held, even after the parser is gone.
class Job_Record_Parser {
public:
  virtual ~Job_Record_Parser();
  virtual std::shared_ptr<Job_Source> job_source();
  virtual std::shared_ptr<Job_Options> job_options();
};

// The options of a job-control request (a JSON object), for instance of the start.
typedef json_spirit::Object Action_Options;

#pragma GCC visibility pop

#endif  // PLATFORM_JOB_JOB_RECORDS_H
