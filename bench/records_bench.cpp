// Cost of reading a large VM list reply: the JSON parse into a json_spirit::Value, and
// the record loading on top of it (then the dump, for reference).
//
//   records_bench [n_vms] [disks_per_vm] [nics_per_vm]
//
// The default is 5,000 VMs, each with 2 followed disk attachments (whole disks) and a
// NIC (whole vNIC profile), with the relation links the engine adds: about 58 MB of JSON.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "backup/rhv/api/rhv_defs_vm.h"
#include "platform/json/json_dump.h"
#include "platform/json/json_parser.h"
#include "tests/support/engine_documents.h"
#include "tests/support/log_capture.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
  unsigned long const n_vms = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5000;
  unsigned const n_disks = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 2;
  unsigned const n_nics = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 1;
  int const rounds = 3;

  std::string const text =
      JSON_Dump(engine_documents::vm_list(0, n_vms, n_disks, n_nics, engine_documents::FOLLOW_ALL), false).release();
  std::printf("VM list: %lu VMs, %u disk attachments and %u NICs each, %.1f MB of JSON\n", n_vms, n_disks, n_nics,
              static_cast<double>(text.size()) / 1e6);

  double parse_s = 1e9;
  double load_s = 1e9;
  double dump_s = 1e9;
  std::size_t loaded = 0;
  Log_Capture log(true);  // a failed load would log here; none is expected
  for (int round = 0; round < rounds; ++round) {
    json_spirit::Value doc;
    std::string error;
    Clock::time_point t0 = Clock::now();
    if (!json_spirit::parse(text, doc, &error) || doc.type() != json_spirit::obj_type) {
      std::fprintf(stderr, "parse failed: %s\n", error.c_str());
      return 1;
    }
    parse_s = std::min(parse_s, seconds_since(t0));

    RHV_VMs vms;
    t0 = Clock::now();
    if (!load_rhv_vms(doc.get_obj(), vms)) {
      std::fprintf(stderr, "load failed:\n%s", log.dump().c_str());
      return 1;
    }
    load_s = std::min(load_s, seconds_since(t0));
    loaded = vms.size();

    t0 = Clock::now();
    json_spirit::Object dumped = dump_rhv_vms(vms);
    dump_s = std::min(dump_s, seconds_since(t0));
    if (dumped.empty() && !vms.empty())
      return 1;
  }
  if (loaded != n_vms) {
    std::fprintf(stderr, "loaded %zu VMs of %lu\n", loaded, n_vms);
    return 1;
  }

  double const per_vm = 1e6 / static_cast<double>(n_vms);
  std::printf("parse into json_spirit::Value: %8.1f us per VM (%.3f s, %.0f MB/s)\n", parse_s * per_vm, parse_s,
              static_cast<double>(text.size()) / 1e6 / parse_s);
  std::printf("load_rhv_vms on the parsed value: %8.1f us per VM (%.3f s)\n", load_s * per_vm, load_s);
  std::printf("dump_rhv_vms of the records: %8.1f us per VM (%.3f s)\n", dump_s * per_vm, dump_s);
  std::printf("record loading costs %.0f%% of the parse (best of %d rounds)\n", 100.0 * load_s / parse_s, rounds);
  return 0;
}
