#ifndef BACKUP_JOB_DEF_JOB_JSON_PARSER_H
#define BACKUP_JOB_DEF_JOB_JSON_PARSER_H

// Event handlers that turn the events of one job document (source or options), as the
// host's streaming reader delivers them, into a record that keeps the whole document.
//
// T is the record: value-initialisable, with `json_spirit::Value& value()` that the
// document is built into. The host takes the finished record through result(), or,
// without knowing T, through the Job_Record_Parser interface of the job library.
// One handler reads one document; not safe for concurrent use.

#include <ace/Refcounted_Auto_Ptr.h>
#include <ace/Thread_Mutex.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include "platform/job/job_records.h"
#include "platform/json/json_parser.h"
#include "platform/json/yajl_handler.h"

template <typename T>
using Job_Record_var = ACE_Refcounted_Auto_Ptr<T, ACE_Thread_Mutex>;

template <typename T>
class YAJL_Parser : public YAJL_Handler, public Job_Record_Parser {
public:
  // The record being built, shared with the handler; empty when it could not be
  // allocated.
  virtual Job_Record_var<T> result() = 0;

  std::shared_ptr<Job_Source> job_source() override { return share<Job_Source>(); }
  std::shared_ptr<Job_Options> job_options() override { return share<Job_Options>(); }

private:
  template <typename B>
  std::shared_ptr<B> share()
  {
    if constexpr (std::is_base_of<B, T>::value) {
      Job_Record_var<T> record = result();
      if (record.get() == nullptr)
        return nullptr;
      // The shared pointer keeps a reference of the record's own counting alive.
      auto holder = std::make_shared<Job_Record_var<T>>(record);
      return std::shared_ptr<B>(holder, static_cast<B*>(holder->get()));
    } else {
      return nullptr;
    }
  }
};

// Builds the whole document into the record's value(). Numbers are taken only from the
// raw-text event; the integer and double events get the base handling.
template <typename T>
class Job_JSON_Parser : public YAJL_Parser<T> {
public:
  Job_JSON_Parser() : result_(new (std::nothrow) T())
  {
    if (result_.get() == nullptr) {
      errno = ENOMEM;
      parser_.target(nullptr);
    } else {
      parser_.target(&result_->value());
    }
  }

  int handle_null_i() override { return parser_.handle_null_i(); }
  int handle_boolean_i(bool value) override { return parser_.handle_boolean_i(value); }
  int handle_integer_i(long long value) override
  {
    return parser_.YAJL_Handler::handle_integer_i(value);
  }
  int handle_double_i(double value) override { return parser_.YAJL_Handler::handle_double_i(value); }
  int handle_number_i(const char* text, std::size_t length) override
  {
    return parser_.handle_number_i(text, length);
  }
  int handle_string_i(const char* text, std::size_t length) override
  {
    return parser_.handle_string_i(text, length);
  }
  int handle_start_map_i() override { return parser_.handle_start_map_i(); }
  int handle_map_key_i(const char* key, std::size_t length) override
  {
    return parser_.handle_map_key_i(key, length);
  }
  int handle_end_map_i() override { return parser_.handle_end_map_i(); }
  int handle_start_array_i() override { return parser_.handle_start_array_i(); }
  int handle_end_array_i() override { return parser_.handle_end_array_i(); }

  Job_Record_var<T> result() override { return result_; }

protected:
  Job_Record_var<T> result_;
  JSON_Parser parser_;
};

// A source document: besides the whole document, the top-level string members "id"
// and "name" are stored with the record's id() and name() setters (a later duplicate
// wins; nested members and non-string values are not taken). T derives from Job_Source.
template <typename T>
class Job_Source_Parser : public Job_JSON_Parser<T> {
public:
  int handle_string_i(const char* text, std::size_t length) override
  {
    if (this->result_.get() != nullptr && this->parser_.levels() == 1) {
      const std::string& key = this->parser_.key();
      if (key == "id")
        this->result_->id(std::string(text, length));
      else if (key == "name")
        this->result_->name(std::string(text, length));
    }
    return this->parser_.handle_string_i(text, length);
  }
};

#endif  // BACKUP_JOB_DEF_JOB_JSON_PARSER_H
