// Requests per second of small GETs through an RHV session against the engine
// simulator, beside a plain libcurl loop sending the same requests (same headers, one
// reused handle) to the same server in the same run, in alternated rounds; with the CPU
// time of the client thread per request.
//
//   engine_bench [count] [basic|oauth] [tls] [--rounds N] [--pin C,S|off]
//     (defaults: 5000 basic plain, 7 rounds, count GETs per side and round; client and
//      server pinned to the last two CPUs, see bench::Placement)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "backup/rhv/api/rhv_client.h"
#include "bench/bench_rounds.h"
#include "tests/support/engine_simulator.h"
#include "tests/support/standin_env.h"
#include "tests/support/test_tls.h"

namespace {

const char* const DC_ID = "d0000000-0000-4000-8000-0000000000b1";

size_t collect(char* data, size_t size, size_t count, void* out)
{
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// The same GETs with libcurl alone: one handle, reused (keep-alive), the same headers.
class Curl_Loop {
public:
  Curl_Loop(const std::string& url, const std::string& authorization, const std::string& ca_file)
  {
    curl_ = curl_easy_init();
    headers_ = curl_slist_append(headers_, "Accept: application/json");
    headers_ = curl_slist_append(headers_, "Content-Type: application/json");
    headers_ = curl_slist_append(headers_, "Version: 4");
    headers_ = curl_slist_append(headers_, ("Authorization: " + authorization).c_str());
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body_);
    if (!ca_file.empty())
      curl_easy_setopt(curl_, CURLOPT_CAINFO, ca_file.c_str());
  }
  ~Curl_Loop()
  {
    curl_slist_free_all(headers_);
    curl_easy_cleanup(curl_);
  }

  // The number of successful replies among `count` GETs.
  int run(int count)
  {
    int ok = 0;
    for (int i = 0; i < count; ++i) {
      body_.clear();
      long status = 0;
      if (curl_easy_perform(curl_) == CURLE_OK &&
          curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200 &&
          !body_.empty() && body_[0] == '{')
        ++ok;
    }
    return ok;
  }

private:
  CURL* curl_ = nullptr;
  curl_slist* headers_ = nullptr;
  std::string body_;
};

}  // namespace

int main(int argc, char** argv)
{
  const std::vector<std::string> args = bench::positional(argc, argv);
  const int count = args.size() > 0 ? std::atoi(args[0].c_str()) : 5000;
  const std::string auth = args.size() > 1 ? args[1] : "basic";
  const bool tls = args.size() > 2 && args[2] == "tls";
  const int rounds = bench::rounds_option(argc, argv, 7);
  if (count <= 0 || (auth != "basic" && auth != "oauth")) {
    std::fprintf(stderr, "usage: %s [count] [basic|oauth] [tls] [--rounds N]\n", argv[0]);
    return 2;
  }

  Standin_Env env;
  test_support::Temp_Dir dir("engine-bench");
  test_support::Engine_Config config;
  config.data_dir = dir.file("data");
  config.device_dir = env.device_dir();
  config.tls = tls;
  test_support::Engine_Simulator engine(config);
  test_support::Sim_Data_Center dc;
  dc.id = DC_ID;
  dc.name = "bench";
  engine.add_data_center(dc);
  bench::Placement placement(argc, argv);
  if (!placement.start_server([&] { return engine.start(); })) {
    std::fprintf(stderr, "cannot start the engine simulator\n");
    return 1;
  }
  if (tls)
    env.set("engine_ca_file", engine.ca_file());
  // The server's own request log is not what is measured.
  ACE_LOG_MSG->clr_flags(ACE_Log_Msg::STDERR);

  RHV_Client client;
  if (!client.login(auth, "127.0.0.1", engine.port(), tls, config.username, secure_string(config.password.c_str()),
                    "")) {
    std::fprintf(stderr, "login failed\n");
    return 1;
  }
  RHV_Data_Center_Service service = client.data_center_service();
  const std::string path = engine.api_path(std::string("/datacenters/") + DC_ID);

  // Warm-up of both clients (connections, TLS sessions).
  RHV_Data_Center record;
  for (int i = 0; i < 20; ++i)
    service.get(DC_ID, record);
  Curl_Loop curl(engine.url(path), client.session()->authorization().c_str(), engine.ca_file());
  curl.run(20);

  std::vector<bench::Side> sides = {
      {"RHV session + service + record", bench::timed([&] {
         for (int i = 0; i < count; ++i)
           if (!service.get(DC_ID, record))
             return false;
         return true;
       })},
      {"plain libcurl loop", bench::timed([&] { return curl.run(count) == count; })},
  };
  std::printf("engine_bench: %d GETs of one data center per side and round, %s, %s, %s\n", count, auth.c_str(),
              tls ? "TLS" : "plain HTTP", placement.text().c_str());
  return bench::compare("engine session", sides, rounds, count, "request", true) ? 0 : 1;
}
