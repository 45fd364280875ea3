#include "platform/storage/image_block.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform/storage/block_file.h"
#include "tests/platform/storage/temp_dir.h"

namespace {

const unsigned char k_set_uuid[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                      0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01};

// A disk image with data, zero stretches and a tail that is not a multiple of any block.
std::vector<unsigned char> make_image(std::size_t size, unsigned seed, bool with_zero_runs)
{
  std::vector<unsigned char> img(size);
  std::mt19937 rng(seed);
  for (auto& b : img) b = static_cast<unsigned char>(rng() | 1);
  if (with_zero_runs && size > 0) {
    // A zero stretch covering whole blocks and parts of neighbours, and a zero tail.
    std::size_t a = size / 5, b = size / 2;
    std::fill(img.begin() + static_cast<long>(a), img.begin() + static_cast<long>(b), 0);
    std::fill(img.end() - static_cast<long>(std::min<std::size_t>(size, 3000)), img.end(), 0);
  }
  return img;
}

struct Image_Run {
  std::uint64_t offset;
  std::size_t size;
};

// Writes `img` as a disk file, then stores it as an image through the writer, reading the
// disk with the fixed-block reader the way a data mover does.
bool store_image(const Temp_Dir& dir, const std::vector<unsigned char>& img, unsigned block_size,
                 const std::vector<Block>& ranges, const std::string& object, std::vector<long>* progress_steps = nullptr)
{
  const std::string disk = dir / "disk.raw";
  write_file_bytes(disk, img);
  Fixed_Block_File_Reader disk_reader;
  if (!disk_reader.open(disk, O_RDONLY | O_CLOEXEC, File_Options(block_size), 0640)) return false;

  Client_IO_Ex client;
  if (!client.connect(dir.url() + "/pool", Client_IO_Base::Options())) return false;
  if (!client.open(object, IO_Base::MODE_WRITE, 0, 0)) return false;
  Image_Block_Writer writer(client);
  if (!writer.init(512, block_size, 1, 0)) return false;
  if (!writer.write_superblock(k_set_uuid, k_set_uuid, 0, COMPR_NONE, 0)) return false;
  for (const Block& b : ranges) writer.add_block(b.offset, b.length);
  auto progress = [&](long bytes) {
    if (progress_steps) progress_steps->push_back(bytes);
    return true;
  };
  auto reader = [&](const void*& data, long maxlen, long offset) -> long {
    if (maxlen < static_cast<long>(block_size)) return -1;
    if (disk_reader.seek(offset, SEEK_SET) != offset) return -1;
    return disk_reader.read(data);
  };
  if (!writer.write_blocks(progress, reader)) return false;
  return writer.close();
}

// Reads an image back into a buffer of `size` bytes (filled with 0xEE where no run
// landed) and records the runs delivered.
bool load_image(const Temp_Dir& dir, const std::string& object, std::size_t read_bs, std::size_t size,
                std::vector<unsigned char>& out, std::vector<Image_Run>& runs)
{
  Client_IO_Ex client;
  if (!client.connect(dir.url() + "/pool", Client_IO_Base::Options())) return false;
  if (!client.open(object, 1, 0, 0)) return false;
  out.assign(size, 0xEE);
  runs.clear();
  return Image_Block_Reader::read_blocks_align(
      client,
      [&](const void* data, std::size_t n, std::uint64_t offset) {
        runs.push_back(Image_Run{offset, n});
        if (offset + n > out.size()) return false;
        std::memcpy(out.data() + offset, data, n);
        return true;
      },
      read_bs);
}

TEST(Image_Block, RoundTripsDataZerosAndUnalignedTails)
{
  struct Case {
    const char* name;
    std::size_t size;
    unsigned write_bs;
    std::size_t read_bs;  // 0: the image's own
    bool zeros;
  };
  const Case cases[] = {
      {"one block exactly", 65536, 65536, 0, false},
      {"data with unaligned tail", 5 * 65536 + 777, 65536, 0, false},
      {"zero stretches", 9 * 65536 + 100, 65536, 0, true},
      {"all zeros", 4 * 65536, 65536, 0, true},
      {"reader aligns to larger blocks", 7 * 4096 + 13, 4096, 3 * 4096, true},
      {"reader aligns to smaller blocks", 3 * 131072 + 5, 131072, 65536, true},
      {"smaller than a block", 1000, 65536, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Temp_Dir dir;
    std::vector<unsigned char> img = make_image(c.size, static_cast<unsigned>(c.size), c.zeros);
    if (std::string(c.name) == "all zeros") std::fill(img.begin(), img.end(), 0);
    std::vector<long> steps;
    ASSERT_TRUE(store_image(dir, img, c.write_bs, {{0, c.size}}, "RHV/vm/piece", &steps)) << std::strerror(errno);

    // Progress covers the range exactly, one call per block.
    std::uint64_t total = 0;
    for (long s : steps) {
      EXPECT_GT(s, 0);
      EXPECT_LE(s, static_cast<long>(c.write_bs));
      total += static_cast<std::uint64_t>(s);
    }
    EXPECT_EQ(total, c.size);
    EXPECT_EQ(steps.size(), (c.size + c.write_bs - 1) / c.write_bs);

    std::vector<unsigned char> back;
    std::vector<Image_Run> runs;
    ASSERT_TRUE(load_image(dir, "RHV/vm/piece", c.read_bs, c.size, back, runs)) << std::strerror(errno);
    EXPECT_TRUE(back == img) << "restored bytes differ";

    // Zero stretches arrive as runs too, every run stays inside one aligned block, and
    // the runs tile the image in order.
    const std::size_t bs = c.read_bs ? c.read_bs : c.write_bs;
    std::uint64_t expect_off = 0;
    for (const Image_Run& r : runs) {
      EXPECT_EQ(r.offset, expect_off);
      EXPECT_EQ(r.offset / bs, (r.offset + r.size - 1) / bs) << "run at " << r.offset << " crosses a block";
      expect_off = r.offset + r.size;
    }
    EXPECT_EQ(expect_off, c.size);
  }
}

TEST(Image_Block, ZeroBlocksAreStoredWithoutPayload)
{
  Temp_Dir dir;
  const unsigned bs = 65536;
  std::vector<unsigned char> img(16 * bs, 0);
  img[5 * bs + 17] = 0x5a;  // one block with data
  ASSERT_TRUE(store_image(dir, img, bs, {{0, img.size()}}, "p"));
  const auto stored = read_file_bytes(dir / "pool/p");
  EXPECT_EQ(stored.size(), Image_Superblock::SIZE + 16 * Image_Record::SIZE + bs);

  Image_Superblock sb;
  ASSERT_TRUE(sb.decode(stored.data()));
  EXPECT_EQ(sb.block_size, bs);
  EXPECT_EQ(sb.sector_size, 512u);
  EXPECT_EQ(0, std::memcmp(sb.set_uuid, k_set_uuid, 16));
  EXPECT_EQ(0, std::memcmp(sb.image_uuid, k_set_uuid, 16));
}

TEST(Image_Block, RangesAreWrittenInCallOrderAndOnlyThoseBytes)
{
  Temp_Dir dir;
  const unsigned bs = 4096;
  std::vector<unsigned char> img = make_image(10 * bs, 7, false);
  // Two ranges, the second before the first, both unaligned.
  ASSERT_TRUE(store_image(dir, img, bs, {{6 * bs + 100, 2 * bs}, {10, bs + 1}}, "p"));
  std::vector<unsigned char> back;
  std::vector<Image_Run> runs;
  ASSERT_TRUE(load_image(dir, "p", bs, img.size(), back, runs));
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(runs.front().offset, 6u * bs + 100);
  for (std::size_t i = 0; i < img.size(); ++i) {
    bool in_range = (i >= 6 * bs + 100 && i < 8 * bs + 100) || (i >= 10 && i < 10 + bs + 1);
    ASSERT_EQ(back[i], in_range ? img[i] : 0xEE) << "byte " << i;
  }
}

// Runs the writer over `size` bytes with the given callbacks; returns its result and errno.
std::pair<bool, int> run_writer(const Temp_Dir& dir, std::size_t size, const Image_Block_Writer::Progress_Callback& progress,
                                const Image_Block_Writer::Reader_Callback& reader, bool& stored)
{
  Client_IO_Ex client;
  EXPECT_TRUE(client.connect(dir.url(), Client_IO_Base::Options()));
  EXPECT_TRUE(client.open("obj", IO_Base::MODE_WRITE, 0, 0));
  Image_Block_Writer writer(client);
  EXPECT_TRUE(writer.init(512, 4096, 1, 0));
  EXPECT_TRUE(writer.write_superblock(k_set_uuid, k_set_uuid, 0, COMPR_NONE, 0));
  writer.add_block(0, size);
  bool ok = writer.write_blocks(progress, reader);
  int err = errno;
  // A failed run is never closed, so the object must not appear.
  if (ok) {
    EXPECT_TRUE(writer.close());
  }
  stored = file_exists(dir / "obj");
  return {ok, err};
}

TEST(Image_Block, WriteFailuresReportTheirCause)
{
  static std::vector<unsigned char> block(4096, 0x42);
  struct Case {
    const char* name;
    std::size_t size;
    int fail_at_call;  // reader or progress call (1-based) that misbehaves
    enum { SHORT, ZERO, ERROR_WITH_ERRNO, ERROR_NO_ERRNO, CANCEL } how;
    int expect_errno;
  };
  const Case cases[] = {
      {"short read in the middle", 4 * 4096, 2, Case::SHORT, EIO},
      {"end of device before the range ends", 4 * 4096, 3, Case::ZERO, EIO},
      {"reader fails with its errno", 4 * 4096, 1, Case::ERROR_WITH_ERRNO, ENXIO},
      {"reader fails without errno", 4 * 4096, 2, Case::ERROR_NO_ERRNO, EIO},
      {"progress cancels", 4 * 4096, 2, Case::CANCEL, ECANCELED},
      {"short read of the unaligned tail", 2 * 4096 + 10, 3, Case::SHORT, EIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Temp_Dir dir;
    int reads = 0, progresses = 0;
    auto reader = [&](const void*& data, long maxlen, long offset) -> long {
      EXPECT_EQ(maxlen, 4096);
      ++reads;
      data = block.data();
      long want = std::min<long>(4096, static_cast<long>(c.size) - offset);
      if (reads == c.fail_at_call) {
        switch (c.how) {
          case Case::SHORT: return want - 1;
          case Case::ZERO: return 0;
          case Case::ERROR_WITH_ERRNO: errno = ENXIO; return -1;
          case Case::ERROR_NO_ERRNO: return -1;
          case Case::CANCEL: break;
        }
      }
      return 4096;  // a reader may hand more than the step; only the step is used
    };
    auto progress = [&](long) { return !(c.how == Case::CANCEL && ++progresses == c.fail_at_call); };
    bool stored = true;
    auto r = run_writer(dir, c.size, progress, reader, stored);
    EXPECT_FALSE(r.first);
    EXPECT_EQ(r.second, c.expect_errno) << std::strerror(r.second);
    EXPECT_FALSE(stored) << "a failed image must not be stored";
    if (c.how == Case::CANCEL) {
      EXPECT_EQ(reads, c.fail_at_call) << "no block read after the cancel";
    }
  }
}

TEST(Image_Block, ReaderRefusesDamagedImages)
{
  Temp_Dir dir;
  const unsigned bs = 4096;
  std::vector<unsigned char> img = make_image(3 * bs, 3, false);
  ASSERT_TRUE(store_image(dir, img, bs, {{0, img.size()}}, "good"));
  const auto good = read_file_bytes(dir / "pool/good");

  struct Case {
    const char* name;
    std::function<void(std::vector<unsigned char>&)> damage;
  };
  const Case cases[] = {
      {"bad magic", [](std::vector<unsigned char>& b) { b[0] ^= 0xff; }},
      {"unknown version", [](std::vector<unsigned char>& b) { b[8] = 9; }},
      {"truncated superblock", [](std::vector<unsigned char>& b) { b.resize(40); }},
      {"truncated record header", [](std::vector<unsigned char>& b) { b.resize(Image_Superblock::SIZE + 7); }},
      {"truncated payload", [](std::vector<unsigned char>& b) { b.resize(b.size() - 1); }},
      {"record longer than a block", [](std::vector<unsigned char>& b) { b[Image_Superblock::SIZE + 9] = 0x20; }},
      {"zero-length record", [](std::vector<unsigned char>& b) { std::memset(&b[Image_Superblock::SIZE + 8], 0, 4); }},
      {"unknown record flag", [](std::vector<unsigned char>& b) { b[Image_Superblock::SIZE + 12] = 6; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto bytes = good;
    c.damage(bytes);
    write_file_bytes(dir / "pool/bad", bytes);
    std::vector<unsigned char> back;
    std::vector<Image_Run> runs;
    errno = 0;
    EXPECT_FALSE(load_image(dir, "bad", bs, img.size(), back, runs));
    EXPECT_EQ(errno, EBADMSG) << std::strerror(errno);
  }

  // A callback that says stop ends the read with ECANCELED.
  Client_IO_Ex client;
  ASSERT_TRUE(client.connect(dir.url() + "/pool", Client_IO_Base::Options()));
  ASSERT_TRUE(client.open("good", IO_Base::MODE_READ, 0, 0));
  int calls = 0;
  EXPECT_FALSE(Image_Block_Reader::read_blocks_align(client, [&](const void*, std::size_t, std::uint64_t) { return ++calls < 2; }, bs));
  EXPECT_EQ(errno, ECANCELED);
  EXPECT_EQ(calls, 2);
}

TEST(Image_Block, WriterChecksItsSetUp)
{
  Temp_Dir dir;
  Client_IO_Ex client;
  ASSERT_TRUE(client.connect(dir.url(), Client_IO_Base::Options()));
  ASSERT_TRUE(client.open("x", IO_Base::MODE_WRITE));
  Image_Block_Writer writer(client);
  EXPECT_FALSE(writer.write_superblock(k_set_uuid, k_set_uuid, 0, COMPR_NONE, 0)) << "superblock before init";
  EXPECT_FALSE(writer.init(500, 4096, 1, 0)) << "sector size not a power of two";
  EXPECT_FALSE(writer.init(512, 1000, 1, 0)) << "block size not a multiple of the sector";
  EXPECT_FALSE(writer.init(512, 0, 1, 0));
  EXPECT_FALSE(writer.init(512, 4096, 2, 0)) << "unknown version";
  ASSERT_TRUE(writer.init(512, 8388608, 1, 0));
  auto never = [](const void*&, long, long) -> long { ADD_FAILURE() << "reader called"; return -1; };
  EXPECT_FALSE(writer.write_blocks([](long) { return true; }, never)) << "blocks before the superblock";
  ASSERT_TRUE(writer.write_superblock(k_set_uuid, k_set_uuid, 0, COMPR_LZ4, 3));
  EXPECT_FALSE(writer.write_superblock(k_set_uuid, k_set_uuid, 0, COMPR_NONE, 0)) << "second superblock";
  EXPECT_TRUE(writer.write_blocks([](long) { return true; }, never)) << "no range: nothing to do";
  ASSERT_TRUE(writer.close());

  ASSERT_TRUE(client.open("x", IO_Base::MODE_READ));
  Image_Superblock sb;
  ASSERT_TRUE(Image_Block_Reader::read_superblock(client, sb));
  EXPECT_EQ(sb.compression, COMPR_LZ4);
  EXPECT_EQ(sb.compression_level, 3);
  EXPECT_EQ(sb.block_size, 8388608u);
}

}  // namespace
