#ifndef PLATFORM_ALERT_ERROR_ID_H
#define PLATFORM_ALERT_ERROR_ID_H

#include <cstdint>

#pragma GCC visibility push(default)

// The parts of a 64-bit alert id: the level in bits 63 to 60 (7 error, 5 warning,
// 3 information) and the code in the low 28 bits. The bits between (the product's
// block number) are kept in the id but belong to neither part.
class Error_ID {
public:
  enum Level {
    LEVEL_INFO = 3,
    LEVEL_WARNING = 5,
    LEVEL_ERROR = 7,
  };

  explicit Error_ID(std::uint64_t id) : id_(id) {}

  std::uint64_t id() const { return id_; }
  int level() const { return static_cast<int>(id_ >> 60); }
  int code() const { return static_cast<int>(id_ & 0x0FFFFFFFu); }

private:
  std::uint64_t id_;
};

#pragma GCC visibility pop

#endif
