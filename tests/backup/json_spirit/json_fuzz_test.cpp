// Randomly damaged engine documents fed to the reader, the builder and the
// extractors: nothing may crash or leak, and the only exceptions are the
// documented ones of the required reads.

#include "backup/json_spirit/extract.h"
#include "backup/json_spirit/filter.h"
#include "backup/json_spirit/json_pointer.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/backup/json_spirit/engine_document.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>

using namespace json_spirit;

namespace {

std::string mutate(const std::string& text, std::mt19937_64& rng)
{
  static const char* const pieces[] = {"{", "}", "[", "]", "\"", ",", ":", "\\", "\\u", "\\ud800", "1e999",
                                       "-", "18446744073709551616", "9223372036854775808", "null", "\xff",
                                       "\xc3", "\"id\":", "[[[[[[[[[[[[[[[[", "{\"a\":{\"a\":{\"a\":"};
  std::string s = text;
  const unsigned edits = 1 + rng() % 4;
  for (unsigned e = 0; e < edits && !s.empty(); ++e) {
    const std::size_t at = rng() % s.size();
    switch (rng() % 6) {
    case 0: s[at] = static_cast<char>(rng() % 256); break;
    case 1: s.erase(at, 1 + rng() % 16); break;
    case 2: s.insert(at, pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))]); break;
    case 3: s.insert(at, s.substr(rng() % s.size(), rng() % 64)); break;
    case 4: s.resize(at); break;
    case 5:
      for (unsigned n = 0; n < 200; ++n) s.insert(at, 1, rng() % 2 ? '[' : '{');
      break;
    }
  }
  return s;
}

// Reads a parsed document the way the loads do. Returns how many required
// reads failed with a documented exception.
int read_like_the_loads(const Value& doc)
{
  int failures = 0;
  const Array* vms = nullptr;
  try {
    pextract_or_throw(doc)("/vm", vms);
  } catch (const std::domain_error&) {
    ++failures;
  }
  boost::optional<std::string> first_id;
  pextract(doc)("/vm/0/id", first_id)("/vm/0/cluster/id", first_id);
  if (!vms) return failures;
  for (const Object& vm : *vms | get_obj) {
    std::string id, name, description;
    long memory = -1, created = 0;
    unsigned short cores = 0;
    const Array* disks = nullptr;
    const Object* cpu = nullptr;
    try {
      extract_or_throw(vm)("id", id)("name", name, FG_NOTHROW)("description", description, FG_NOTHROW)(
        "creation_time", created)("cpu", cpu)("memory", memory, FG_NOTHROW);
      extract(*cpu)("cores", cores);
      pextract_or_throw(vm)("/disk_attachments/disk_attachment", disks);
      for (const Object& a : *disks | get_obj) {
        const Object* disk = nullptr;
        std::string size;
        extract_or_throw(a)("disk", disk);
        extract(*disk)("provisioned_size", size);
      }
    } catch (const Value_Error&) {
      ++failures;
    } catch (const std::domain_error&) {
      ++failures;
    }
  }
  return failures;
}

TEST(Json_Fuzz, DamagedDocumentsNeverCrashOrThrowUndocumented)
{
  const std::string original = engine_document::vm_list(4000, 7);
  Value reference;
  ASSERT_TRUE(parse(original, reference));
  EXPECT_EQ(read_like_the_loads(reference), 0);

  std::mt19937_64 rng(20240611);
  unsigned parsed = 0, rejected = 0;
  for (unsigned i = 0; i < 3000; ++i) {
    const std::string text = mutate(original, rng);
    Value doc;
    std::string error;
    bool ok = false;
    ASSERT_NO_THROW(ok = parse(text, doc, &error));
    if (!ok) {
      ++rejected;
      EXPECT_FALSE(error.empty());
      EXPECT_TRUE(doc.is_null());
      continue;
    }
    ++parsed;
    read_like_the_loads(doc);
    // What parses writes back to text that reads as the same document.
    const std::string dumped = JSON_Dump(doc).str();
    Value again;
    ASSERT_TRUE(parse(dumped, again, &error)) << error;
    EXPECT_EQ(again, doc);

    // The builder into nothing sees the same text the same way.
    JSON_Parser nothing(nullptr);
    EXPECT_TRUE(parse_with_handler(text, nothing));
  }
  // Both outcomes were exercised.
  EXPECT_GT(parsed, 50u);
  EXPECT_GT(rejected, 1000u);
}

}  // namespace
