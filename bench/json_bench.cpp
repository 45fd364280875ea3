// Parse + dump of a ~10 MB engine-style VM list against YAJL alone reading the
// same bytes (no callbacks, and YAJL's own tree for reference).

#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/backup/json_spirit/engine_document.h"

#include <malloc.h>
#include <yajl/yajl_parse.h>
#include <yajl/yajl_tree.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

namespace {

double best_ms(int runs, const std::function<void()>& f)
{
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  return best;
}

}  // namespace

int main()
{
  // Keep freed memory in the process: on virtual machines a first touch of a
  // page costs tens of microseconds, and giving a whole tree back to the
  // system after every run would measure that instead of the code.
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);

  const std::string text = engine_document::vm_list(10u << 20);
  std::printf("document: %zu bytes\n", text.size());
  const int runs = 7;

  const double yajl_null = best_ms(runs, [&] {
    yajl_handle h = yajl_alloc(nullptr, nullptr, nullptr);
    if (yajl_parse(h, reinterpret_cast<const unsigned char*>(text.data()), text.size()) != yajl_status_ok ||
        yajl_complete_parse(h) != yajl_status_ok)
      std::fprintf(stderr, "yajl parse failed\n");
    yajl_free(h);
  });

  std::string tree_text = text;  // yajl_tree_parse needs a terminated text
  const double yajl_tree = best_ms(runs, [&] {
    char err[256];
    yajl_val v = yajl_tree_parse(tree_text.c_str(), err, sizeof(err));
    if (!v) std::fprintf(stderr, "yajl tree failed: %s\n", err);
    yajl_tree_free(v);
  });

  json_spirit::Value doc;
  const double parse_ms = best_ms(runs, [&] {
    json_spirit::Value v;
    std::string error;
    if (!json_spirit::parse(text, v, &error)) std::fprintf(stderr, "parse failed: %s\n", error.c_str());
    doc = std::move(v);
  });

  std::size_t dumped = 0;
  const double dump_ms = best_ms(runs, [&] { dumped = JSON_Dump(doc).length(); });

  const double both = best_ms(runs, [&] {
    json_spirit::Value v;
    json_spirit::parse(text, v);
    dumped = JSON_Dump(v).length();
  });

  const double mb = static_cast<double>(text.size()) / (1 << 20);
  std::printf("yajl null-callback parse : %8.1f ms  %7.1f MB/s\n", yajl_null, mb / yajl_null * 1000);
  std::printf("yajl tree parse          : %8.1f ms  %7.1f MB/s\n", yajl_tree, mb / yajl_tree * 1000);
  std::printf("json_spirit parse        : %8.1f ms  %7.1f MB/s\n", parse_ms, mb / parse_ms * 1000);
  std::printf("JSON_Dump (%zu bytes) : %8.1f ms  %7.1f MB/s\n", dumped, dump_ms, mb / dump_ms * 1000);
  std::printf("parse + dump             : %8.1f ms  = %.2fx yajl null-callback, %.2fx yajl tree\n", both,
              both / yajl_null, both / yajl_tree);
  return 0;
}
