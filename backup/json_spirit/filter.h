#ifndef BACKUP_JSON_SPIRIT_FILTER_H
#define BACKUP_JSON_SPIRIT_FILTER_H

// Array filters: `array | get_obj` is a lazy range over the objects of the
// array, `array | get_str` over its strings, each element given by reference
// and in array order; elements of other types are skipped. Nothing is copied;
// the range is valid while the array lives unchanged.
//
//   for (const Object& o : list | get_obj) ...

#include <boost/iterator/filter_iterator.hpp>
#include <boost/iterator/transform_iterator.hpp>
#include <boost/range/iterator_range.hpp>

#include "platform/json/array_filter.h"
#include "platform/json/value.h"

namespace json_spirit {

template <typename Pred, typename Conv, typename Iterator>
using Filter_Range_T =
  boost::iterator_range<boost::transform_iterator<Conv, boost::filter_iterator<Pred, Iterator>>>;

template <typename Pred, typename Conv>
Filter_Range_T<Pred, Conv, Array::const_iterator> operator|(const Array& a,
                                                           const Pred_Conv_Pair<Pred, Conv>& pc)
{
  auto first = boost::make_filter_iterator(pc.pred, a.begin(), a.end());
  auto last = boost::make_filter_iterator(pc.pred, a.end(), a.end());
  return boost::make_iterator_range(boost::make_transform_iterator(first, pc.conv),
                                    boost::make_transform_iterator(last, pc.conv));
}

template <typename Pred, typename Conv>
Filter_Range_T<Pred, Conv, Array::iterator> operator|(Array& a, const Pred_Conv_Pair<Pred, Conv>& pc)
{
  auto first = boost::make_filter_iterator(pc.pred, a.begin(), a.end());
  auto last = boost::make_filter_iterator(pc.pred, a.end(), a.end());
  return boost::make_iterator_range(boost::make_transform_iterator(first, pc.conv),
                                    boost::make_transform_iterator(last, pc.conv));
}

}  // namespace json_spirit

// Adds every pattern of `patterns` (for example `exclusion | get_str`) to a
// wildcard matcher, in order, through its add_pattern().
template <typename Matcher, typename Range>
void add_patterns(Matcher& matcher, const Range& patterns)
{
  for (const auto& p : patterns) matcher.add_pattern(p);
}

#endif
