#ifndef BENCH_BENCH_ROUNDS_H
#define BENCH_BENCH_ROUNDS_H

// Side-by-side figures of programs that do the same work in different ways. Every round
// runs each side once: the file system is synced before each side, and the order of the
// sides is reversed from one round to the next, so that a change of machine load, or what
// one side leaves in the page cache, falls on all sides alike. Printed per side: the min
// and the median of the rounds, the throughput at the median, and the first side's ratio
// to each of the others.
//
//   std::vector<bench::Side> sides = {{"RHV session", bench::timed([&] { return run_session(n); })},
//                                     {"plain libcurl", bench::timed([&] { return run_curl(n); })}};
//   if (!bench::compare("GETs", sides, rounds, n, "requests"))
//     return 1;

#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0)
{
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

inline double thread_cpu_seconds()
{
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One way of doing the work. `run` does it once and returns the seconds it measured (the
// side chooses the window it times), or a negative value when it failed.
struct Side {
  Side(std::string n, std::function<double()> r) : name(std::move(n)), run(std::move(r)) {}

  std::string name;
  std::function<double()> run;
  // Filled by compare(): per round, the seconds and the CPU seconds of the calling thread.
  std::vector<double> seconds;
  std::vector<double> cpu;
};

// A run timed from its start to its end; `work` returns false when it failed.
inline std::function<double()> timed(std::function<bool()> work)
{
  return [work] {
    Clock::time_point t0 = Clock::now();
    return work() ? seconds_since(t0) : -1.0;
  };
}

inline double min_of(std::vector<double> v)
{
  return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
}

inline double median_of(std::vector<double> v)
{
  if (v.empty())
    return 0;
  std::sort(v.begin(), v.end());
  size_t h = v.size() / 2;
  return v.size() % 2 != 0 ? v[h] : (v[h - 1] + v[h]) / 2;
}

// The rounds of a program: "--rounds N" among its arguments, else `fallback` (at least 5).
inline int rounds_option(int argc, char** argv, int fallback = 5)
{
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--rounds") == 0)
      return std::max(1, std::atoi(argv[i + 1]));
  return std::max(5, fallback);
}

// The arguments of a program other than the options "--name value" (such as "--rounds N").
inline std::vector<std::string> positional(int argc, char** argv)
{
  std::vector<std::string> out;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--", 2) == 0)
      ++i;
    else
      out.push_back(argv[i]);
  }
  return out;
}

// Where a request/response benchmark runs its two ends. An exchange over loopback costs
// different wake-ups when the client and the server share a CPU, sit on two, or migrate,
// and the scheduler places each side's server thread afresh: one run can favour a side
// that the next disfavours. Pinned, the client runs on one CPU and every server thread on
// another, for all sides alike. "--pin C,S" names the two CPUs; "--pin off" leaves the
// placement to the scheduler; by default the last two CPUs the process may use.
class Placement {
public:
  Placement(int argc, char** argv)
  {
    cpu_set_t set;
    CPU_ZERO(&set);
    std::vector<int> allowed;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
      for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &set))
          allowed.push_back(c);
    if (allowed.size() >= 2) {
      client_ = allowed[allowed.size() - 2];
      server_ = allowed.back();
    }
    for (int i = 1; i + 1 < argc; ++i)
      if (std::strcmp(argv[i], "--pin") == 0) {
        if (std::strcmp(argv[i + 1], "off") == 0 || std::sscanf(argv[i + 1], "%d,%d", &client_, &server_) != 2)
          client_ = server_ = -1;
      }
  }

  // Runs `start` (which starts the server's threads) on the server's CPU, then moves the
  // calling thread to the client's.
  template <typename Start>
  bool start_server(Start&& start)
  {
    pin(server_);
    bool ok = start();
    pin(client_);
    return ok;
  }

  std::string text() const
  {
    if (client_ < 0)
      return "threads placed by the scheduler";
    return "client on CPU " + std::to_string(client_) + ", server on CPU " + std::to_string(server_);
  }

private:
  static void pin(int cpu)
  {
    if (cpu < 0)
      return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
  }

  int client_ = -1;
  int server_ = -1;
};

// Runs `rounds` rounds of every side, then prints, under `title`, each side's min and median
// seconds and its throughput at the median (`work` units of `unit` per run), and the first
// side's throughput against each other side's (medians, then mins). With `cpu`, also the CPU
// time of the calling thread per unit of work. False (printed) when a run failed.
inline bool compare(const std::string& title, std::vector<Side>& sides, int rounds, double work, const char* unit,
                    bool cpu = false)
{
  for (int round = 0; round < rounds; ++round) {
    for (size_t k = 0; k < sides.size(); ++k) {
      Side& side = sides[round % 2 == 0 ? k : sides.size() - 1 - k];
      ::sync();
      double cpu0 = thread_cpu_seconds();
      double s = side.run();
      double used = thread_cpu_seconds() - cpu0;
      if (s < 0) {
        std::printf("%s: %s failed in round %d\n", title.c_str(), side.name.c_str(), round + 1);
        return false;
      }
      side.seconds.push_back(s);
      side.cpu.push_back(used);
    }
  }
  std::printf("%s: %d rounds, sides alternated, sync before each\n", title.c_str(), rounds);
  std::printf("  %-34s %10s %10s %14s%s\n", "", "min s", "median s", (std::string(unit) + "/s").c_str(),
              cpu ? ("   CPU us/" + std::string(unit)).c_str() : "");
  for (const Side& side : sides) {
    double med = median_of(side.seconds);
    std::printf("  %-34s %10.3f %10.3f %14.1f", side.name.c_str(), min_of(side.seconds), med,
                med > 0 ? work / med : 0.0);
    if (cpu)
      std::printf(" %14.1f", work > 0 ? median_of(side.cpu) * 1e6 / work : 0.0);
    std::printf("\n");
  }
  const Side& first = sides.front();
  for (size_t k = 1; k < sides.size(); ++k) {
    const Side& other = sides[k];
    double med = median_of(first.seconds);
    double mn = min_of(first.seconds);
    std::printf("  %s / %s, throughput: %.2f x at the medians, %.2f x at the mins", first.name.c_str(),
                other.name.c_str(), med > 0 ? median_of(other.seconds) / med : 0.0,
                mn > 0 ? min_of(other.seconds) / mn : 0.0);
    if (cpu) {
      double oc = median_of(other.cpu);
      std::printf("; CPU per %s: %.2f x", unit, oc > 0 ? median_of(first.cpu) / oc : 0.0);
    }
    std::printf("\n");
  }
  return true;
}

}  // namespace bench

#endif
