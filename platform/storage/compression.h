#ifndef PLATFORM_STORAGE_COMPRESSION_H
#define PLATFORM_STORAGE_COMPRESSION_H

#pragma GCC visibility push(default)

// Compression methods of stored pieces. The method is recorded with the options and in
// each image's superblock; the local-file storage keeps the data as it is.
enum Compression_Method {
  COMPR_NONE = 0,
  COMPR_AUTO = 1,
  COMPR_LZ4 = 2,
  COMPR_ZSTD = 3,
};

// The method named `name` ("none", "auto", "lz4", "zstd"; exact, case-sensitive), or
// `unknown` for any other text, a null pointer included.
int compression_name_to_value(const char* name, int unknown = -1);

// The name of a method, or null for a value that names none.
const char* compression_value_to_name(int value);

// The file-name suffix of pieces written with a method: "" for none and auto, ".lz4",
// ".zst"; "" for a value that names no method.
const char* compression_value_to_suffix(int value);

#pragma GCC visibility pop

#endif
