#ifndef TESTS_BACKUP_RHV_API_RECORD_TEST_HELPERS_H
#define TESTS_BACKUP_RHV_API_RECORD_TEST_HELPERS_H

// Small helpers shared by the record tests: JSON text in and out, and one load attempt
// observed from outside (result, record before and after, the error lines it logged).

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <vector>

#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "platform/json/object_get.h"
#include "platform/json/value.h"
#include "tests/support/log_capture.h"

namespace record_test {

// The object of a JSON text; a test failure when the text is not an object.
inline json_spirit::Object obj(std::string const& text)
{
  json_spirit::Value v;
  std::string error;
  if (!json_spirit::parse(text, v, &error) || v.type() != json_spirit::obj_type) {
    ADD_FAILURE() << "not a JSON object: " << text << " (" << error << ")";
    return json_spirit::Object();
  }
  return std::move(v.get_obj());
}

inline std::string text(json_spirit::Object const& o)
{
  return JSON_Dump(o, false).str();
}

inline std::string text(json_spirit::Value const& v)
{
  return JSON_Dump(v, false).str();
}

template <class R>
std::string dump_text(R const& record)
{
  return text(record.dump());
}

// The line that a base record logs when the "id" of `object` cannot be read: the
// library's own exception text framed by the record's message.
inline std::string id_exception_line(json_spirit::Object const& object)
{
  try {
    json_spirit::object_get_str_or_throw(object, "id");
  } catch (std::exception const& e) {
    return std::string("Invalid object format, exception: ") + e.what() + ".\n";
  }
  ADD_FAILURE() << "\"id\" is readable in " << text(object);
  return std::string();
}

inline std::string id_exception_line(std::string const& object_text)
{
  return id_exception_line(obj(object_text));
}

struct Outcome {
  bool ok = false;
  std::string before;              // dump of the record before the load
  std::string after;               // dump of the record after the load
  std::vector<std::string> lines;  // LM_ERROR lines logged by the load
  std::vector<std::string> other;  // lines of any other priority
};

// Loads `seed` into a fresh R (which must succeed), then `input`, capturing what the
// second load logs.
template <class R>
Outcome try_load(json_spirit::Object const& seed, json_spirit::Object const& input)
{
  Outcome out;
  R record;
  EXPECT_TRUE(record.load(seed)) << text(seed);
  out.before = dump_text(record);
  {
    Log_Capture log(true);
    out.ok = record.load(input);
    out.lines = log.texts(LM_ERROR);
    for (Log_Capture::Line const& line : log.lines())
      if (line.priority != LM_ERROR)
        out.other.push_back(line.text);
  }
  out.after = dump_text(record);
  return out;
}

// True when every member of `part` is in `whole` with an equal value, recursively:
// objects may lack members of `whole`, arrays must match element by element. `why`
// names the first difference.
inline bool within(json_spirit::Value const& part, json_spirit::Value const& whole, std::string const& path,
                   std::string& why)
{
  if (part.type() == json_spirit::obj_type && whole.type() == json_spirit::obj_type) {
    for (auto const& member : part.get_obj()) {
      auto it = whole.get_obj().find(member.first);
      if (it == whole.get_obj().end()) {
        why = path + "/" + member.first + " is not in the input";
        return false;
      }
      if (!within(member.second, it->second, path + "/" + member.first, why))
        return false;
    }
    return true;
  }
  if (part.type() == json_spirit::array_type && whole.type() == json_spirit::array_type) {
    if (part.get_array().size() != whole.get_array().size()) {
      why = path + " has another number of elements";
      return false;
    }
    for (std::size_t i = 0; i < part.get_array().size(); ++i)
      if (!within(part.get_array()[i], whole.get_array()[i], path + "/" + std::to_string(i), why))
        return false;
    return true;
  }
  if (part == whole)
    return true;
  why = path + ": " + text(part) + " against " + text(whole);
  return false;
}

// Loads `input` into an R and checks the dump: every dumped member holds the input's
// value, and every key of `keys` that the input carries is dumped.
template <class R>
void expect_round_trip(json_spirit::Object const& input, std::vector<std::string> const& keys)
{
  R record;
  ASSERT_TRUE(record.load(input)) << text(input);
  json_spirit::Object dumped = record.dump();
  std::string why;
  EXPECT_TRUE(within(json_spirit::Value(dumped), json_spirit::Value(input), "", why)) << why;
  for (std::string const& key : keys)
    if (input.count(key) != 0) {
      EXPECT_EQ(dumped.count(key), 1u) << "\"" << key << "\" is not dumped from " << text(input);
    }
}

}  // namespace record_test

#endif
