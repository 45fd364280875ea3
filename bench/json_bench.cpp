// Parse + dump of a ~10 MB engine-style VM list against YAJL doing the same with the same
// bytes: its tree parse, then its generator writing the tree back, in alternated rounds.
//
//   json_bench [--rounds N]      (default 7)

#include "bench/bench_rounds.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/backup/json_spirit/engine_document.h"

#include <malloc.h>
#include <yajl/yajl_gen.h>
#include <yajl/yajl_parse.h>
#include <yajl/yajl_tree.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool gen_value(yajl_gen g, yajl_val v)
{
  switch (v->type) {
  case yajl_t_string:
    return yajl_gen_string(g, reinterpret_cast<const unsigned char*>(v->u.string), std::strlen(v->u.string)) ==
           yajl_gen_status_ok;
  case yajl_t_number:
    return yajl_gen_number(g, v->u.number.r, std::strlen(v->u.number.r)) == yajl_gen_status_ok;
  case yajl_t_object:
    if (yajl_gen_map_open(g) != yajl_gen_status_ok)
      return false;
    for (size_t i = 0; i < v->u.object.len; ++i) {
      const char* k = v->u.object.keys[i];
      if (yajl_gen_string(g, reinterpret_cast<const unsigned char*>(k), std::strlen(k)) != yajl_gen_status_ok ||
          !gen_value(g, v->u.object.values[i]))
        return false;
    }
    return yajl_gen_map_close(g) == yajl_gen_status_ok;
  case yajl_t_array:
    if (yajl_gen_array_open(g) != yajl_gen_status_ok)
      return false;
    for (size_t i = 0; i < v->u.array.len; ++i)
      if (!gen_value(g, v->u.array.values[i]))
        return false;
    return yajl_gen_array_close(g) == yajl_gen_status_ok;
  case yajl_t_true:
    return yajl_gen_bool(g, 1) == yajl_gen_status_ok;
  case yajl_t_false:
    return yajl_gen_bool(g, 0) == yajl_gen_status_ok;
  default:
    return yajl_gen_null(g) == yajl_gen_status_ok;
  }
}

}  // namespace

int main(int argc, char** argv)
{
  // Keep freed memory in the process: on virtual machines a first touch of a
  // page costs tens of microseconds, and giving a whole tree back to the
  // system after every run would measure that instead of the code.
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);

  const std::string text = engine_document::vm_list(10u << 20);
  const double mb = static_cast<double>(text.size()) / (1 << 20);
  std::printf("json_bench: a document of %zu bytes, parsed and written back (compact)\n", text.size());
  size_t dumped = 0;
  size_t generated = 0;
  std::vector<bench::Side> sides = {
      {"json_spirit parse + JSON_Dump", bench::timed([&] {
         json_spirit::Value v;
         if (!json_spirit::parse(text, v))
           return false;
         dumped = JSON_Dump(v).length();
         return dumped > 0;
       })},
      {"yajl tree parse + yajl_gen", bench::timed([&] {
         char err[256];
         yajl_val v = yajl_tree_parse(text.c_str(), err, sizeof(err));
         if (v == nullptr)
           return false;
         yajl_gen g = yajl_gen_alloc(nullptr);
         bool ok = gen_value(g, v);
         const unsigned char* buf = nullptr;
         yajl_gen_get_buf(g, &buf, &generated);
         yajl_gen_free(g);
         yajl_tree_free(v);
         return ok && generated > 0;
       })},
  };
  if (!bench::compare("parse + dump", sides, bench::rounds_option(argc, argv, 7), mb, "MiB"))
    return 1;
  std::printf("  written: %zu bytes (json_spirit), %zu bytes (yajl)\n", dumped, generated);
  return 0;
}
