#include "backup/job_def/job_json_parser.h"

#include <gtest/gtest.h>

#include <yajl/yajl_gen.h>

#include <string>

#include "backup/job_def/object_creator_impl.h"
#include "backup/rhv/job/rhv_job_records.h"
#include "platform/json/json_dump.h"

namespace {

typedef Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>,
                              Job_Source_Parser<RHV_JSON_Job_Source>>
    Source_Creator;
typedef Object_Creator_Impl_T<Object_Creator_T<YAJL_Handler>,
                              Job_JSON_Parser<RHV_JSON_Job_Options>>
    Options_Creator;

std::string generated(const RHV_JSON_Job_Source& src)
{
  yajl_gen gen = yajl_gen_alloc(nullptr);
  src.generate(gen);
  const unsigned char* buf;
  size_t len;
  yajl_gen_get_buf(gen, &buf, &len);
  std::string out(reinterpret_cast<const char*>(buf), len);
  yajl_gen_free(gen);
  return out;
}

TEST(Job_Source_Parser, CapturesTopLevelIdAndName)
{
  struct Case {
    const char* doc;
    const char* id;
    const char* name;
  };
  const Case cases[] = {
      {R"({"id":"src-1","name":"Nightly","entries":[{"id":"vm-1","name":"inner"}]})", "src-1",
       "Nightly"},
      {R"({"entries":{"id":"nested"},"id":"top"})", "top", ""},
      {R"({"id":42,"name":"n"})", "", "n"},  // a number is not captured
      {R"({"id":"first","id":"second"})", "second", ""},
      {R"({"x":{"y":{"name":"deep"}}})", "", ""},
      {R"(["id","name"])", "", ""},
      {R"({"id":"with\u0000nul","name":"caf\u00e9"})", "with", "caf\xc3\xa9"},
  };
  Source_Creator creator;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.doc);
    YAJL_Handler* handler = creator.create();
    ASSERT_NE(handler, nullptr);
    std::string why;
    ASSERT_TRUE(parse_with_handler(c.doc, *handler, &why)) << why;
    auto* parser = static_cast<Job_Source_Parser<RHV_JSON_Job_Source>*>(handler);
    Job_Record_var<RHV_JSON_Job_Source> rec = parser->result();
    ASSERT_NE(rec.get(), nullptr);
    if (std::string(c.id) == "with") {
      EXPECT_EQ(rec->id(), std::string("with\0nul", 8));  // by length, not up to a NUL
    } else {
      EXPECT_EQ(rec->id(), c.id);
    }
    EXPECT_EQ(rec->name(), c.name);
    // The whole document is kept.
    json_spirit::Value expected;
    ASSERT_TRUE(json_spirit::parse(c.doc, expected));
    EXPECT_EQ(rec->value(), expected);
    EXPECT_EQ(generated(*rec.get()), JSON_Dump(expected).str());
    creator.destroy(handler);
    // The record outlives its parser.
    EXPECT_EQ(rec->value(), expected);
  }
  creator.destroy(nullptr);  // ignored
}

TEST(Job_JSON_Parser, NumbersComeFromTheRawTextOnly)
{
  Options_Creator creator;
  YAJL_Handler* handler = creator.create();
  ASSERT_NE(handler, nullptr);
  // Direct integer and double events are not the builder's: they are ignored.
  EXPECT_EQ(handler->handle_start_map_i(), YAJL_Handler::CONTINUE);
  EXPECT_EQ(handler->handle_map_key_i("a", 1), YAJL_Handler::CONTINUE);
  EXPECT_EQ(handler->handle_integer_i(5), YAJL_Handler::CONTINUE);
  EXPECT_EQ(handler->handle_map_key_i("b", 1), YAJL_Handler::CONTINUE);
  EXPECT_EQ(handler->handle_number_i("18446744073709551615", 20), YAJL_Handler::CONTINUE);
  EXPECT_EQ(handler->handle_end_map_i(), YAJL_Handler::CONTINUE);
  auto* parser = static_cast<Job_JSON_Parser<RHV_JSON_Job_Options>*>(handler);
  Job_Record_var<RHV_JSON_Job_Options> rec = parser->result();
  EXPECT_EQ(JSON_Dump(rec->value()).str(), R"({"b":18446744073709551615})");
  creator.destroy(handler);
}

TEST(Job_JSON_Parser, HandsTheRecordToTheHostThroughItsBase)
{
  Source_Creator sources;
  Options_Creator options;
  YAJL_Handler* s = sources.create();
  YAJL_Handler* o = options.create();
  ASSERT_TRUE(parse_with_handler(R"({"id":"s"})", *s));
  ASSERT_TRUE(parse_with_handler(R"({"parallel_vms":3})", *o));
  Job_Record_Parser* sr = dynamic_cast<Job_Record_Parser*>(s);
  Job_Record_Parser* orp = dynamic_cast<Job_Record_Parser*>(o);
  ASSERT_NE(sr, nullptr);
  ASSERT_NE(orp, nullptr);
  std::shared_ptr<Job_Source> src = sr->job_source();
  std::shared_ptr<Job_Options> opt = orp->job_options();
  EXPECT_EQ(sr->job_options(), nullptr);
  EXPECT_EQ(orp->job_source(), nullptr);
  sources.destroy(s);
  options.destroy(o);
  ASSERT_NE(src, nullptr);
  ASSERT_NE(opt, nullptr);
  EXPECT_EQ(src->id(), "s");
  auto* rhv_opts = dynamic_cast<RHV_JSON_Job_Options*>(opt.get());
  ASSERT_NE(rhv_opts, nullptr);
  EXPECT_EQ(JSON_Dump(rhv_opts->value()).str(), R"({"parallel_vms":3})");
}

TEST(Job_JSON_Parser, MalformedDocumentsAreTheReadersError)
{
  const char* docs[] = {"", "{", R"({"id":"x",})", R"({"id":"x"} trailing)", "nul",
                        "{\"id\":\"\xff\"}"};
  Source_Creator creator;
  for (const char* doc : docs) {
    SCOPED_TRACE(doc);
    YAJL_Handler* handler = creator.create();
    std::string why;
    EXPECT_FALSE(parse_with_handler(doc, *handler, &why));
    EXPECT_FALSE(why.empty());
    creator.destroy(handler);
  }
}

}  // namespace
