#ifndef PLATFORM_RUNTIME_WILDCARD_MATCHER_H
#define PLATFORM_RUNTIME_WILDCARD_MATCHER_H

#include <string>
#include <vector>

#pragma GCC visibility push(default)

// A list of shell wildcard patterns (fnmatch: '*', '?', "[...]", backslash
// escapes; case-sensitive; '*' also matches '/' and a leading '.'). A text
// matches when it matches any of the patterns. Not safe for concurrent
// add_pattern; concurrent match calls are fine.
class Wildcard_Matcher {
public:
  Wildcard_Matcher();
  ~Wildcard_Matcher();

  void add_pattern(const std::string& pattern);

  // add_pattern for each string of the range, in range order.
  template <typename Range>
  void add_patterns(const Range& patterns)
  {
    for (const auto& pattern : patterns) add_pattern(pattern);
  }

  // Whether `text` matches any pattern; false when there are none.
  bool match(const std::string& text) const;

  bool empty() const { return patterns_.empty(); }
  std::size_t size() const { return patterns_.size(); }

private:
  std::vector<std::string> patterns_;
};

#pragma GCC visibility pop

#endif
