#ifndef PLATFORM_STORAGE_IMAGE_BLOCK_H
#define PLATFORM_STORAGE_IMAGE_BLOCK_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/storage/client_io_ex.h"

#pragma GCC visibility push(default)

// One byte range of an image.
struct Block {
  std::uint64_t offset;
  std::uint64_t length;
};

// The stored image format, little-endian throughout.
//
// A 64-byte superblock:
//   0  magic "T3IMAGE\0"       8 bytes
//   8  version (1)             u32
//  12  sector size             u32
//  16  set uuid                16 bytes
//  32  image uuid              16 bytes
//  48  block size              u32
//  52  compression method      i32
//  56  compression level       i32
//  60  flags                   u32
// then one record per block, in the order written:
//   0  offset in the image     u64
//   8  length                  u32 (1 .. block size)
//  12  flags                   u32 (1: data follows, length bytes; 0: the range is zeros)
// The image ends with the last record.
struct Image_Superblock {
  static constexpr std::size_t SIZE = 64;
  static constexpr std::uint32_t VERSION = 1;
  static const unsigned char MAGIC[8];

  std::uint32_t version = VERSION;
  std::uint32_t sector_size = 0;
  unsigned char set_uuid[16] = {};
  unsigned char image_uuid[16] = {};
  std::uint32_t block_size = 0;
  std::int32_t compression = 0;
  std::int32_t compression_level = 0;
  std::uint32_t flags = 0;

  void encode(unsigned char out[SIZE]) const;
  // false (errno EBADMSG) when the bytes are not a superblock this code can read.
  bool decode(const unsigned char in[SIZE]);
};

struct Image_Record {
  static constexpr std::size_t SIZE = 16;
  static constexpr std::uint32_t FLAG_DATA = 1;

  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  std::uint32_t flags = 0;

  void encode(unsigned char out[SIZE]) const;
  void decode(const unsigned char in[SIZE]);
};

// Writes an image into an object opened for writing on a client: init, write_superblock,
// add_block for each range, write_blocks; then close() to store the object. The client
// must outlive the writer. Not safe for concurrent use.
class Image_Block_Writer {
public:
  // Called after each block with the bytes it covered; false stops the run.
  using Progress_Callback = std::function<bool(long bytes)>;
  // Points `data` at the bytes at `offset` and returns how many there are (at most
  // `maxlen`, which is the block size), or -1 on failure.
  using Reader_Callback = std::function<long(const void*& data, long maxlen, long offset)>;

  explicit Image_Block_Writer(Client_IO_Ex& client) : client_(client) {}

  // Sets the geometry: the sector size (a power of two, at least 512) and the block size
  // (a positive multiple of the sector size, at most 1 GiB). `version` must be 1;
  // `flags` is stored in the superblock. false (errno EINVAL) otherwise.
  bool init(unsigned int sector_size, unsigned int block_size, int version, unsigned int flags);

  // Writes the superblock: the backup set's uuid, the image's uuid (16 bytes each), flags
  // kept with init's, and the compression the data is meant for. false with errno when
  // called before init or when the client fails.
  bool write_superblock(const unsigned char* set_uuid, const unsigned char* image_uuid, unsigned int flags,
                        int compression, int compression_level);

  // Appends one range to write, in call order.
  void add_block(std::uint64_t offset, std::uint64_t length);

  // Writes every range added so far, block by block: for each step of at most the block
  // size it asks the reader for the bytes (maxlen = the block size), writes a zero record
  // when they are all zeros or a data record otherwise, then reports the step's length to
  // progress. Ranges written are removed from the list. Returns false with errno set:
  //   ECANCELED  progress returned false;
  //   EIO        the reader returned fewer bytes than the step needs (0 included), or failed
  //              without setting errno;
  //   otherwise  the reader's errno, or the client's on a failed write.
  bool write_blocks(const Progress_Callback& progress, const Reader_Callback& reader);

  // Stores the image: closes the client's object (see Client_IO_Ex::close). false when
  // the object could not be stored.
  bool close();

  const std::vector<Block>& blocks() const { return blocks_; }
  // Bytes of the image covered by the records written, and how many of them were data.
  std::uint64_t bytes_covered() const { return covered_; }
  std::uint64_t data_bytes() const { return data_; }

private:
  bool write_record(const Image_Record& rec, const void* data);

  Client_IO_Ex& client_;
  Image_Superblock sb_;
  bool initialised_ = false;
  bool superblock_written_ = false;
  std::vector<Block> blocks_;
  std::uint64_t covered_ = 0;
  std::uint64_t data_ = 0;
};

// Reads images written by Image_Block_Writer.
class Image_Block_Reader {
public:
  // Receives one run of the image: `size` bytes at image offset `offset`; false stops.
  using Run_Callback = std::function<bool(const void* data, std::size_t size, std::uint64_t offset)>;

  // Reads the superblock from the start of an object opened for reading.
  static bool read_superblock(Client_IO_Ex& client, Image_Superblock& sb);

  // Reads the whole image from an object opened for reading and hands it to `cb` in runs
  // aligned to `block_size` (0: the image's own block size): a run never crosses a
  // multiple of `block_size`, and consecutive records are merged up to that boundary.
  // Zero records are delivered as runs of zero bytes. Returns false with errno set when
  // the object cannot be read or is not a valid image (EBADMSG), or ECANCELED when `cb`
  // returned false.
  static bool read_blocks_align(Client_IO_Ex& client, const Run_Callback& cb, std::size_t block_size = 0);
};

#pragma GCC visibility pop

#endif
