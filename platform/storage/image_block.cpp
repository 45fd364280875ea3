#include "platform/storage/image_block.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

const unsigned char Image_Superblock::MAGIC[8] = {'T', '3', 'I', 'M', 'A', 'G', 'E', '\0'};

namespace {

void put32(unsigned char* p, std::uint32_t v)
{
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void put64(unsigned char* p, std::uint64_t v)
{
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint32_t get32(const unsigned char* p)
{
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::uint64_t get64(const unsigned char* p)
{
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

bool is_zero(const void* data, std::size_t n)
{
  const unsigned char* p = static_cast<const unsigned char*>(data);
  // Check a short head byte by byte, then compare the buffer with itself shifted by
  // the head: all bytes equal the (zero) head bytes exactly when the buffer is zeros.
  const std::size_t head = std::min<std::size_t>(n, 16);
  for (std::size_t i = 0; i < head; ++i)
    if (p[i] != 0) return false;
  return n <= head || std::memcmp(p, p + head, n - head) == 0;
}

constexpr std::uint32_t k_max_block_size = 1u << 30;

// Reads an object through a staging buffer, so that small record headers do not each
// cost a read from the client.
class Buffered_Source {
public:
  explicit Buffered_Source(Client_IO_Ex& client) : client_(client), buf_(1 << 20) {}

  // Reads n bytes into dst; returns the bytes read (fewer only at the end), -1 on failure.
  ssize_t read(void* dst, std::size_t n)
  {
    unsigned char* out = static_cast<unsigned char*>(dst);
    std::size_t done = 0;
    while (done < n) {
      if (pos_ < len_) {
        std::size_t take = std::min(n - done, len_ - pos_);
        std::memcpy(out + done, buf_.data() + pos_, take);
        pos_ += take;
        done += take;
        continue;
      }
      if (eof_) break;
      if (n - done >= buf_.size()) {
        // A large remainder goes straight to the destination.
        ssize_t r = client_.read(out + done, n - done);
        if (r < 0) return -1;
        if (static_cast<std::size_t>(r) < n - done) eof_ = true;
        done += static_cast<std::size_t>(r);
        break;
      }
      ssize_t r = client_.read(buf_.data(), buf_.size());
      if (r < 0) return -1;
      if (static_cast<std::size_t>(r) < buf_.size()) eof_ = true;
      pos_ = 0;
      len_ = static_cast<std::size_t>(r);
      if (r == 0) break;
    }
    return static_cast<ssize_t>(done);
  }

private:
  Client_IO_Ex& client_;
  std::vector<unsigned char> buf_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  bool eof_ = false;
};

bool set_errno(int err)
{
  errno = err;
  return false;
}

}  // namespace

void Image_Superblock::encode(unsigned char out[SIZE]) const
{
  std::memset(out, 0, SIZE);
  std::memcpy(out, MAGIC, sizeof MAGIC);
  put32(out + 8, version);
  put32(out + 12, sector_size);
  std::memcpy(out + 16, set_uuid, 16);
  std::memcpy(out + 32, image_uuid, 16);
  put32(out + 48, block_size);
  put32(out + 52, static_cast<std::uint32_t>(compression));
  put32(out + 56, static_cast<std::uint32_t>(compression_level));
  put32(out + 60, flags);
}

bool Image_Superblock::decode(const unsigned char in[SIZE])
{
  if (std::memcmp(in, MAGIC, sizeof MAGIC) != 0) return set_errno(EBADMSG);
  Image_Superblock sb;
  sb.version = get32(in + 8);
  sb.sector_size = get32(in + 12);
  std::memcpy(sb.set_uuid, in + 16, 16);
  std::memcpy(sb.image_uuid, in + 32, 16);
  sb.block_size = get32(in + 48);
  sb.compression = static_cast<std::int32_t>(get32(in + 52));
  sb.compression_level = static_cast<std::int32_t>(get32(in + 56));
  sb.flags = get32(in + 60);
  if (sb.version != VERSION || sb.sector_size == 0 || sb.block_size == 0 || sb.block_size > k_max_block_size)
    return set_errno(EBADMSG);
  *this = sb;
  return true;
}

void Image_Record::encode(unsigned char out[SIZE]) const
{
  put64(out, offset);
  put32(out + 8, length);
  put32(out + 12, flags);
}

void Image_Record::decode(const unsigned char in[SIZE])
{
  offset = get64(in);
  length = get32(in + 8);
  flags = get32(in + 12);
}

bool Image_Block_Writer::init(unsigned int sector_size, unsigned int block_size, int version, unsigned int flags)
{
  bool pow2 = sector_size >= 512 && (sector_size & (sector_size - 1)) == 0;
  if (!pow2 || block_size == 0 || block_size % sector_size != 0 || block_size > k_max_block_size ||
      version != static_cast<int>(Image_Superblock::VERSION))
    return set_errno(EINVAL);
  sb_ = Image_Superblock();
  sb_.sector_size = sector_size;
  sb_.block_size = block_size;
  sb_.flags = flags;
  initialised_ = true;
  superblock_written_ = false;
  return true;
}

bool Image_Block_Writer::write_superblock(const unsigned char* set_uuid, const unsigned char* image_uuid,
                                          unsigned int flags, int compression, int compression_level)
{
  if (!initialised_ || superblock_written_ || set_uuid == nullptr || image_uuid == nullptr)
    return set_errno(EINVAL);
  std::memcpy(sb_.set_uuid, set_uuid, 16);
  std::memcpy(sb_.image_uuid, image_uuid, 16);
  sb_.flags |= flags;
  sb_.compression = compression;
  sb_.compression_level = compression_level;
  unsigned char buf[Image_Superblock::SIZE];
  sb_.encode(buf);
  if (client_.write(buf, sizeof buf) < 0) return false;
  superblock_written_ = true;
  return true;
}

void Image_Block_Writer::add_block(std::uint64_t offset, std::uint64_t length)
{
  blocks_.push_back(Block{offset, length});
}

bool Image_Block_Writer::write_record(const Image_Record& rec, const void* data)
{
  unsigned char head[Image_Record::SIZE];
  rec.encode(head);
  if (client_.write(head, sizeof head) < 0) return false;
  if ((rec.flags & Image_Record::FLAG_DATA) != 0 && client_.write(data, rec.length) < 0) return false;
  return true;
}

bool Image_Block_Writer::write_blocks(const Progress_Callback& progress, const Reader_Callback& reader)
{
  if (!superblock_written_ || !progress || !reader) return set_errno(EINVAL);
  const std::uint64_t bs = sb_.block_size;
  const long max_offset = std::numeric_limits<long>::max();
  std::size_t done_ranges = 0;
  auto finish = [&](bool ok) {
    int err = errno;
    blocks_.erase(blocks_.begin(), blocks_.begin() + static_cast<std::ptrdiff_t>(done_ranges));
    errno = err;
    return ok;
  };

  for (const Block& b : blocks_) {
    if (b.length > static_cast<std::uint64_t>(max_offset) || b.offset > static_cast<std::uint64_t>(max_offset) - b.length)
      return finish(set_errno(EINVAL));
    std::uint64_t pos = b.offset;
    const std::uint64_t end = b.offset + b.length;
    while (pos < end) {
      const std::uint64_t step = std::min(bs, end - pos);
      const void* data = nullptr;
      errno = 0;
      long n = reader(data, static_cast<long>(bs), static_cast<long>(pos));
      if (n < 0) {
        if (errno == 0) errno = EIO;
        return finish(false);
      }
      if (static_cast<std::uint64_t>(n) < step || data == nullptr) return finish(set_errno(EIO));

      Image_Record rec;
      rec.offset = pos;
      rec.length = static_cast<std::uint32_t>(step);
      rec.flags = is_zero(data, step) ? 0 : Image_Record::FLAG_DATA;
      if (!write_record(rec, data)) return finish(false);
      covered_ += step;
      if (rec.flags != 0) data_ += step;
      pos += step;
      if (!progress(static_cast<long>(step))) return finish(set_errno(ECANCELED));
    }
    ++done_ranges;
  }
  return finish(true);
}

bool Image_Block_Writer::close()
{
  return client_.close();
}

bool Image_Block_Reader::read_superblock(Client_IO_Ex& client, Image_Superblock& sb)
{
  unsigned char buf[Image_Superblock::SIZE];
  ssize_t n = client.read(buf, sizeof buf);
  if (n < 0) return false;
  if (static_cast<std::size_t>(n) != sizeof buf) return set_errno(EBADMSG);
  return sb.decode(buf);
}

bool Image_Block_Reader::read_blocks_align(Client_IO_Ex& client, const Run_Callback& cb, std::size_t block_size)
{
  if (!cb) return set_errno(EINVAL);
  Image_Superblock sb;
  if (!read_superblock(client, sb)) return false;
  const std::uint64_t bs = block_size != 0 ? block_size : sb.block_size;

  Buffered_Source src(client);
  std::vector<unsigned char> run(static_cast<std::size_t>(bs));
  std::uint64_t run_off = 0;
  std::size_t run_len = 0;
  auto flush = [&]() {
    if (run_len == 0) return true;
    std::size_t n = run_len;
    run_len = 0;
    return cb(run.data(), n, run_off) ? true : set_errno(ECANCELED);
  };

  for (;;) {
    unsigned char head[Image_Record::SIZE];
    ssize_t n = src.read(head, sizeof head);
    if (n < 0) return false;
    if (n == 0) break;
    if (static_cast<std::size_t>(n) != sizeof head) return set_errno(EBADMSG);
    Image_Record rec;
    rec.decode(head);
    if (rec.length == 0 || rec.length > sb.block_size || (rec.flags & ~Image_Record::FLAG_DATA) != 0 ||
        rec.offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) - rec.length)
      return set_errno(EBADMSG);

    std::uint64_t cur = rec.offset;
    std::uint64_t remaining = rec.length;
    while (remaining > 0) {
      if (run_len > 0 && run_off + run_len != cur && !flush()) return false;
      if (run_len == 0) run_off = cur;
      const std::uint64_t boundary = (run_off / bs + 1) * bs;
      const std::size_t take = static_cast<std::size_t>(std::min(boundary - (run_off + run_len), remaining));
      if (rec.flags & Image_Record::FLAG_DATA) {
        ssize_t r = src.read(run.data() + run_len, take);
        if (r < 0) return false;
        if (static_cast<std::size_t>(r) != take) return set_errno(EBADMSG);
      } else {
        std::memset(run.data() + run_len, 0, take);
      }
      run_len += take;
      cur += take;
      remaining -= take;
      if (run_off + run_len == boundary && !flush()) return false;
    }
  }
  return flush();
}
