#include "backup/scrt/range.h"

#include <boost/range/adaptor/filtered.hpp>
#include <boost/range/adaptor/transformed.hpp>

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using boost::adaptors::filtered;
using boost::adaptors::transformed;

// A vector that records the reservations asked of it.
struct Recording_Vector {
  using size_type = std::size_t;
  using value_type = int;
  std::vector<int> items;
  std::vector<size_type> reserves;

  void reserve(size_type n)
  {
    reserves.push_back(n);
    items.reserve(n);
  }
  size_type size() const { return items.size(); }
  std::vector<int>::iterator end() { return items.end(); }
  template <typename It>
  void insert(std::vector<int>::iterator pos, It first, It last)
  {
    items.insert(pos, first, last);
  }
};

bool is_even(int v) { return v % 2 == 0; }

TEST(Push_Back, ReservesAsToldAndAppendsAfterExistingElements)
{
  const std::vector<int> source{1, 2, 3, 4, 5, 6};
  auto evens = source | filtered(&is_even);

  struct Case {
    std::vector<int> initial;
    std::size_t hint;
    std::vector<std::size_t> reserves;
    std::vector<int> want;
  };
  const Case cases[] = {
      {{}, 0, {}, {2, 4, 6}},             // hint 0: nothing reserved, all appended
      {{9, 8}, 6, {8}, {9, 8, 2, 4, 6}},  // existing size + hint
  };
  for (const Case& c : cases) {
    Recording_Vector v;
    v.items = c.initial;
    Recording_Vector& r = push_back(v, evens, c.hint);
    EXPECT_EQ(&r, &v);
    EXPECT_EQ(v.reserves, c.reserves);
    EXPECT_EQ(v.items, c.want);
  }

  // Without a hint: a filtered range reserves nothing, a sized one its length.
  Recording_Vector v;
  v.items = {7};
  push_back(v, evens);
  EXPECT_TRUE(v.reserves.empty());
  push_back(v, source | transformed([](int x) { return x * 10; }));
  EXPECT_EQ(v.reserves, (std::vector<std::size_t>{10}));
  EXPECT_EQ(v.items, (std::vector<int>{7, 2, 4, 6, 10, 20, 30, 40, 50, 60}));

  // An empty range changes nothing but the reservation.
  const std::vector<int> none;
  Recording_Vector e;
  e.items = {1};
  push_back(e, none, 4);
  EXPECT_EQ(e.items, (std::vector<int>{1}));
  EXPECT_EQ(e.reserves, (std::vector<std::size_t>{5}));

  std::list<int> l{0};
  push_back(l, evens);
  EXPECT_EQ(l, (std::list<int>{0, 2, 4, 6}));
}

struct Record {
  std::string id;
  std::string payload;
  bool keep;
};

TEST(Push_Back, MappingRunsOncePerKeptElementAndMayMoveOut)
{
  std::vector<Record> records{{"a", std::string(100, 'a'), true},
                              {"b", std::string(100, 'b'), false},
                              {"c", std::string(100, 'c'), true}};
  int calls = 0;
  auto mapped = records | filtered([](const Record& r) { return r.keep; }) |
                transformed([&calls](Record& r) {
                  ++calls;
                  return std::move(r.payload);
                });
  std::vector<std::string> out;
  push_back(out, mapped, records.size());
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(out, (std::vector<std::string>{std::string(100, 'a'), std::string(100, 'c')}));
  EXPECT_GE(out.capacity(), 3u);
  EXPECT_TRUE(records[0].payload.empty());
  EXPECT_EQ(records[1].payload, std::string(100, 'b'));
}

TEST(Insert, KeyAlreadyPresentKeepsItsFirstRecord)
{
  std::unordered_map<std::string, int> m{{"x", 1}};
  const std::vector<std::pair<std::string, int>> pairs{{"y", 2}, {"x", 3}, {"y", 4}};
  auto& r = insert(m, pairs);
  EXPECT_EQ(&r, &m);
  EXPECT_EQ(m, (std::unordered_map<std::string, int>{{"x", 1}, {"y", 2}}));
}

}  // namespace
