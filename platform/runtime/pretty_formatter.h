#ifndef PLATFORM_RUNTIME_PRETTY_FORMATTER_H
#define PLATFORM_RUNTIME_PRETTY_FORMATTER_H

#include <cstdint>
#include <string>

#pragma GCC visibility push(default)

// Writes values as human-readable text. The result of each call is kept in the
// formatter and stays valid until its next call.
class Formatter {
public:
  virtual ~Formatter();

  // `bytes` as a size with a unit, e.g. "1.5 GB".
  virtual std::string const& format_size(std::uint64_t bytes) = 0;

protected:
  std::string text_;
};

// Sizes in 1024-based units: below 1024 as "512 B", otherwise with `precision`
// decimals and the largest unit that keeps the number below 1024: "1.0 KB",
// "1.5 GB", "16.0 EB". A value that rounds up to 1024 moves to the next unit
// ("1.0 MB", not "1024.0 KB").
class Pretty_Formatter : public Formatter {
public:
  explicit Pretty_Formatter(unsigned int precision = 1);

  std::string const& format_size(std::uint64_t bytes) override;

private:
  unsigned int precision_;
};

#pragma GCC visibility pop

#endif
