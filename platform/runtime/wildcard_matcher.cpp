#include "platform/runtime/wildcard_matcher.h"

#include <fnmatch.h>

Wildcard_Matcher::Wildcard_Matcher() = default;

Wildcard_Matcher::~Wildcard_Matcher() = default;

void Wildcard_Matcher::add_pattern(const std::string& pattern) { patterns_.push_back(pattern); }

bool Wildcard_Matcher::match(const std::string& text) const
{
  for (const std::string& pattern : patterns_)
    if (::fnmatch(pattern.c_str(), text.c_str(), 0) == 0) return true;
  return false;
}
