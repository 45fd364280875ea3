#ifndef BACKUP_RHV_API_RHV_DEFS_LIST_H
#define BACKUP_RHV_API_RHV_DEFS_LIST_H

// Lists of records travel as wrapper objects whose single key is the element's singular
// name and whose value is an array of the elements: {"vm": [...]}, {"disk_attachment": [...]}.
// An empty list is written as an empty object (and so left out by the record that holds it).

#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "backup/json_spirit/assign.h"
#include "backup/json_spirit/extract.h"
#include "backup/rhv/api/rhv_defs.h"
#include "backup/rhv/api/rhv_defs_load.h"
#include "platform/json/value.h"

// Fills `items` from the array under `key` of `wrapper`, in array order. A wrapper without
// the key (or whose value is not an array) or with an empty array clears `items` and
// succeeds. An element that is not an object, or whose record load fails, fails the whole
// list: "Invalid <key> format: '<element>'." is logged after the element's own lines and
// `items` is left exactly as it was. On success `items` is replaced whole.
template <class T>
bool load_rhv_objects(json_spirit::Object const& wrapper, std::string const& key, std::vector<T>& items)
{
  try {
    json_spirit::Array const* array = nullptr;
    json_spirit::extract(wrapper)(key, array);
    if (array == nullptr || array->empty()) {
      items.clear();
      return true;
    }
    std::vector<T> loaded;
    loaded.reserve(array->size());
    T tmp;
    for (json_spirit::Value const& element : *array) {
      if (element.type() != json_spirit::obj_type || !tmp.load(element.get_obj())) {
        rhv_defs_detail::log_invalid_element(key, element);
        return false;
      }
      loaded.push_back(std::move(tmp));
    }
    items = std::move(loaded);
    return true;
  } catch (std::exception const& e) {
    rhv_defs_detail::log_object_exception(e);
    return false;
  }
}

// The wrapper object of `items`: {} when empty, otherwise {key: [dump() of each element]},
// every element included even when its dump is empty.
template <class T>
json_spirit::Object dump_rhv_objects(std::string const& key, std::vector<T> const& items)
{
  json_spirit::Object wrapper;
  if (items.empty())
    return wrapper;
  json_spirit::Array array;
  array.reserve(items.size());
  for (T const& item : items)
    array.push_back(json_spirit::Value(item.dump()));
  json_spirit::insert(wrapper)(key, std::move(array));
  return wrapper;
}

#endif
