#ifndef BACKUP_JSON_SPIRIT_JSON_POINTER_H
#define BACKUP_JSON_SPIRIT_JSON_POINTER_H

// Reading by JSON Pointer path in one chained expression:
//
//   pextract_or_throw(doc)("/entries", entries);
//   pextract(doc)("/pool_uuid", pool_uuid);
//
// A required read of a path that does not resolve to a value of the output's
// type throws std::domain_error("JSON Pointer path '<path>' not exist in
// JSON!"); an optional one is silent. On a miss a pointer output is set to
// null, a boost::optional output is emptied and any other output is left
// unchanged.

#include <stdexcept>
#include <string>
#include <type_traits>

#include <boost/optional.hpp>

#include "backup/json_spirit/extract.h"
#include "platform/json/json_pointer.h"
#include "platform/json/value.h"

namespace json_spirit {

// `D` is the document's reference type: Object&, Object const&, Value& or
// Value const&. The document must outlive the extractor.
template <typename D>
class JSON_Pointer_Extractor {
 public:
  using Document = std::remove_reference_t<D>;

  JSON_Pointer_Extractor(D doc, unsigned int flags) : doc_(doc), curr_(nullptr), flags_(flags) {}

  // Outputs: `Object const*`, `Array const*`, `std::string const*`,
  // `std::string`, `unsigned long`, `boost::optional<std::string>`.
  template <typename T>
  JSON_Pointer_Extractor& operator()(const std::string& path, T& out)
  {
    return (*this)(path, out, flags_);
  }

  template <typename T>
  JSON_Pointer_Extractor& operator()(const std::string& path, T& out, unsigned int flags)
  {
    if (flags_ & FG_BRK_UNT_CHROOT) {
      if (flags & FG_THROW) throw_missing(path);
      return *this;
    }
    pointer_.path(path, false);
    const Document& root = curr_ ? *curr_ : doc_;
    bool found;
    if constexpr (std::is_same_v<T, boost::optional<std::string>>) {
      out = pointer_.template get<std::string>(root);
      found = static_cast<bool>(out);
    } else {
      found = pointer_.get(root, out);
    }
    if (!found && (flags & FG_THROW)) throw_missing(path);
    return *this;
  }

  JSON_Pointer pointer_;
  D doc_;
  std::string curr_path_;
  Document* curr_;
  unsigned int flags_;

 private:
  [[noreturn]] void throw_missing(const std::string& path) const
  {
    throw std::domain_error("JSON Pointer path '" + curr_path_ + path + "' not exist in JSON!");
  }
};

inline JSON_Pointer_Extractor<Object&> pextract(Object& doc)
{
  return JSON_Pointer_Extractor<Object&>(doc, FG_NOTHROW);
}
inline JSON_Pointer_Extractor<const Object&> pextract(const Object& doc)
{
  return JSON_Pointer_Extractor<const Object&>(doc, FG_NOTHROW);
}
inline JSON_Pointer_Extractor<Value&> pextract(Value& doc)
{
  return JSON_Pointer_Extractor<Value&>(doc, FG_NOTHROW);
}
inline JSON_Pointer_Extractor<const Value&> pextract(const Value& doc)
{
  return JSON_Pointer_Extractor<const Value&>(doc, FG_NOTHROW);
}

inline JSON_Pointer_Extractor<Object&> pextract_or_throw(Object& doc)
{
  return JSON_Pointer_Extractor<Object&>(doc, FG_THROW);
}
inline JSON_Pointer_Extractor<const Object&> pextract_or_throw(const Object& doc)
{
  return JSON_Pointer_Extractor<const Object&>(doc, FG_THROW);
}
inline JSON_Pointer_Extractor<Value&> pextract_or_throw(Value& doc)
{
  return JSON_Pointer_Extractor<Value&>(doc, FG_THROW);
}
inline JSON_Pointer_Extractor<const Value&> pextract_or_throw(const Value& doc)
{
  return JSON_Pointer_Extractor<const Value&>(doc, FG_THROW);
}

}  // namespace json_spirit

#endif
