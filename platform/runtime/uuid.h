#ifndef PLATFORM_RUNTIME_UUID_H
#define PLATFORM_RUNTIME_UUID_H

#include <cstddef>
#include <string>

#pragma GCC visibility push(default)

// UUIDs as 16 raw bytes and as text: 36 characters, lower-case hexadecimal in
// groups 8-4-4-4-12 ("0b1c2d3e-...").

enum { UUID_RAW_SIZE = 16, UUID_TEXT_SIZE = 36 };

// Fills out[0..15] with a fresh random (version 4) UUID.
void uuid_generate_v4(unsigned char* out);

// A fresh random (version 4) UUID as text.
std::string uuid_generate_v4_string();

// The text form of the 16 bytes at `in`.
std::string uuid_to_string(const unsigned char* in);

// Converts the text form (either letter case) to 16 bytes at `out`. A text that
// is not a UUID leaves 16 zero bytes, logs an LM_ERROR line naming the text, and
// gives false.
bool uuid_from_string(const std::string& text, unsigned char* out);

#pragma GCC visibility pop

#endif
