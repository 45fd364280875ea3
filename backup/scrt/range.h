#ifndef BACKUP_SCRT_RANGE_H
#define BACKUP_SCRT_RANGE_H

// Running a range (a container, or a lazy Boost range such as a vector filtered
// by a predicate and mapped by a function) straight into a container.

#include <boost/iterator/iterator_categories.hpp>
#include <boost/range/begin.hpp>
#include <boost/range/end.hpp>
#include <boost/range/iterator.hpp>
#include <boost/range/size.hpp>

#include <type_traits>
#include <utility>

namespace scrt {
namespace range_detail {

template <typename C, typename = void>
struct Has_Reserve : std::false_type {};
template <typename C>
struct Has_Reserve<C, std::void_t<decltype(std::declval<C&>().reserve(
                          std::declval<typename C::size_type>()))>> : std::true_type {};

// Whether the range's length is known without walking it.
template <typename R>
struct Is_Sized
  : std::is_convertible<
        typename boost::iterator_traversal<typename boost::range_iterator<R const>::type>::type,
        boost::random_access_traversal_tag> {};

}  // namespace range_detail
}  // namespace scrt

// Reserves room for `hint` more elements in containers that can reserve.
template <typename Container>
struct push_back_hint_reserve_helper {
  static void reserve(Container& c, typename Container::size_type hint)
  {
    if constexpr (scrt::range_detail::Has_Reserve<Container>::value) c.reserve(c.size() + hint);
  }
};

// Reserves room for the whole range when its length is known before it is
// walked; a filtered range reserves nothing.
template <typename Container, typename Range>
struct push_back_reserve_helper {
  static void reserve(Container& c, Range const& r)
  {
    if constexpr (scrt::range_detail::Has_Reserve<Container>::value &&
                  scrt::range_detail::Is_Sized<Range>::value)
      c.reserve(c.size() + static_cast<typename Container::size_type>(boost::size(r)));
  }
};

// Appends every element of `r`, in range order, at the end of `c`, after
// reserving room for `hint` more elements when `hint` is not 0 (an upper bound,
// as a rule the size of the source before filtering). Elements already in `c`
// stay in front. Each element of a mapped range is produced once, as it is
// inserted, so the mapping function may move data out of its source.
template <typename Container, typename Range>
Container& push_back(Container& c, Range const& r, typename Container::size_type hint)
{
  if (hint != 0) push_back_hint_reserve_helper<Container>::reserve(c, hint);
  c.insert(c.end(), boost::begin(r), boost::end(r));
  return c;
}

// As above, reserving the range's length when it is known without walking it.
template <typename Container, typename Range>
Container& push_back(Container& c, Range const& r)
{
  push_back_reserve_helper<Container, Range>::reserve(c, r);
  c.insert(c.end(), boost::begin(r), boost::end(r));
  return c;
}

// c.insert(begin(r), end(r)) for sets and maps: a key already present keeps its
// first element. Returns `c`.
template <typename Container, typename Range>
Container& insert(Container& c, Range const& r)
{
  c.insert(boost::begin(r), boost::end(r));
  return c;
}

#endif
