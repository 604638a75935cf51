#include "png_output.hpp"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <stdexcept>

namespace render {

// Up leaves the smooth picture as runs of small values, which zlib's
// run-length strategy packs 36% smaller than its level 1 does, no slower.
PngSettings default_png_settings() {
  return {1, PNG_FILTER_UP, Z_RLE};
}

namespace {

constexpr int kBytesPerPixel = 3;  // 8-bit RGB

// The filter types as the filter byte gives them, and the settings' bit for each.
enum FilterType : std::uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };
constexpr std::array<int, 5> kFilterBits = {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP,
                                            PNG_FILTER_AVG, PNG_FILTER_PAETH};
constexpr int kAnyFilter =
    PNG_FILTER_NONE | PNG_FILTER_SUB | PNG_FILTER_UP | PNG_FILTER_AVG | PNG_FILTER_PAETH;

void put_u32(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 24);
  at[1] = static_cast<std::uint8_t>(value >> 16);
  at[2] = static_cast<std::uint8_t>(value >> 8);
  at[3] = static_cast<std::uint8_t>(value);
}

// A whole chunk: length, type, data, and the CRC of type and data.
void append_chunk(std::vector<std::uint8_t>& out, const char (&type)[5],
                  std::span<const std::uint8_t> data) {
  const std::size_t start = out.size();
  out.resize(start + 12 + data.size());
  std::uint8_t* chunk = out.data() + start;
  put_u32(chunk, static_cast<std::uint32_t>(data.size()));
  std::memcpy(chunk + 4, type, 4);
  if (!data.empty()) std::memcpy(chunk + 8, data.data(), data.size());
  const auto crc = crc32(0, chunk + 4, static_cast<uInt>(4 + data.size()));
  put_u32(chunk + 8 + data.size(), static_cast<std::uint32_t>(crc));
}

std::vector<std::uint8_t> u32s(std::initializer_list<std::uint32_t> values) {
  std::vector<std::uint8_t> bytes(4 * values.size());
  std::size_t at = 0;
  for (const auto value : values) put_u32(bytes.data() + 4 * at++, value);
  return bytes;
}

// The two bytes that open the zlib stream: deflate with a 32 KiB window, and
// the level hint zlib itself would write for the level and strategy.
std::array<std::uint8_t, 2> zlib_header(const PngSettings& settings) {
  const int level = settings.compression_level;
  const unsigned level_hint = settings.strategy >= Z_HUFFMAN_ONLY || level < 2 ? 0
                              : level < 6                                      ? 1
                              : level == 6                                     ? 2
                                                                               : 3;
  unsigned header = (0x78u << 8) | (level_hint << 6);
  header += 31 - header % 31;
  return {static_cast<std::uint8_t>(header >> 8), static_cast<std::uint8_t>(header)};
}

std::uint8_t paeth_predictor(int left, int above, int above_left) {
  const int estimate = left + above - above_left;
  const int to_left = std::abs(estimate - left);
  const int to_above = std::abs(estimate - above);
  const int to_above_left = std::abs(estimate - above_left);
  if (to_left <= to_above && to_left <= to_above_left) return static_cast<std::uint8_t>(left);
  return static_cast<std::uint8_t>(to_above <= to_above_left ? above : above_left);
}

// Filters `row` (n bytes) into out[0 .. n): `above` is the row above, only
// read by Up, Average and Paeth.
void apply_filter(FilterType type, const std::uint8_t* row, const std::uint8_t* above,
                  std::size_t n, std::uint8_t* out) {
  constexpr std::size_t bpp = kBytesPerPixel;
  const std::size_t lead = std::min(bpp, n);
  switch (type) {
    case kNone:
      std::memcpy(out, row, n);
      return;
    case kSub:
      std::memcpy(out, row, lead);
      for (std::size_t i = bpp; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(row[i] - row[i - bpp]);
      return;
    case kUp:
      for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(row[i] - above[i]);
      return;
    case kAverage:
      for (std::size_t i = 0; i < lead; ++i)
        out[i] = static_cast<std::uint8_t>(row[i] - above[i] / 2);
      for (std::size_t i = bpp; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(row[i] - (row[i - bpp] + above[i]) / 2);
      }
      return;
    case kPaeth:
      for (std::size_t i = 0; i < lead; ++i) out[i] = static_cast<std::uint8_t>(row[i] - above[i]);
      for (std::size_t i = bpp; i < n; ++i) {
        out[i] = static_cast<std::uint8_t>(row[i] -
                                           paeth_predictor(row[i - bpp], above[i], above[i - bpp]));
      }
      return;
  }
}

// How far a filtered row is from zero, bytes read as signed: the usual
// heuristic for choosing among filters, smaller being likely to compress better.
std::uint64_t filtered_size(const std::uint8_t* bytes, std::size_t n) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += bytes[i] < 128 ? bytes[i] : 256 - bytes[i];
  return sum;
}

}  // namespace

PngLayout png_layout(int width, int height, PngSettings settings) {
  if (width < 1 || height < 1) throw std::invalid_argument("a PNG needs at least one pixel");
  if (width > (INT_MAX - 1) / kBytesPerPixel) throw std::invalid_argument("PNG too wide");
  if (settings.compression_level < 0 || settings.compression_level > 9) {
    throw std::invalid_argument("zlib levels go from 0 to 9");
  }
  if ((settings.filters & ~kAnyFilter) != 0) throw std::invalid_argument("unknown PNG filter");
  if (settings.strategy < Z_DEFAULT_STRATEGY || settings.strategy > Z_FIXED) {
    throw std::invalid_argument("unknown zlib strategy");
  }
  if ((settings.filters & kAnyFilter) == 0) settings.filters = PNG_FILTER_NONE;
  const std::size_t row_bytes = 1 + kBytesPerPixel * static_cast<std::size_t>(width);
  const auto block_rows = static_cast<int>(
      std::clamp<std::size_t>(kPngBlockBytes / row_bytes, 1, static_cast<std::size_t>(height)));
  return {width, height, block_rows, (height + block_rows - 1) / block_rows, settings};
}

std::vector<std::uint8_t> png_head(const PngLayout& layout) {
  std::vector<std::uint8_t> head = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  auto header =
      u32s({static_cast<std::uint32_t>(layout.width), static_cast<std::uint32_t>(layout.height)});
  // 8 bits per channel, RGB, deflate, adaptive filtering, not interlaced.
  header.insert(header.end(), {8, 2, 0, 0, 0});
  append_chunk(head, "IHDR", header);
  const std::uint8_t perceptual = 0;
  append_chunk(head, "sRGB", std::span(&perceptual, 1));
  // What sRGB stands for, for decoders that do not know the chunk: gamma
  // 1/2.2 and the Rec. 709 primaries with a D65 white, times 100000.
  append_chunk(head, "gAMA", u32s({45455}));
  append_chunk(head, "cHRM", u32s({31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000}));
  return head;
}

std::vector<std::uint8_t> png_tail(std::uint32_t adler) {
  std::vector<std::uint8_t> tail;
  append_chunk(tail, "IDAT", u32s({adler}));
  append_chunk(tail, "IEND", {});
  return tail;
}

std::uint32_t png_adler_after(std::uint32_t adler, const PngBlock& block) {
  return static_cast<std::uint32_t>(
      adler32_combine(adler, block.adler, static_cast<z_off_t>(block.raw_bytes)));
}

struct PngBlockEncoder::State {
  PngLayout layout;
  std::size_t row_bytes;  // RGB, without the filter byte
  z_stream zlib{};
  bool zlib_ready = false;
  std::vector<std::uint8_t> row;
  std::vector<std::uint8_t> above;
  std::vector<std::uint8_t> filtered;    // the filter byte, then the row
  std::vector<std::uint8_t> candidates;  // one filtered row per type, when there is a choice
  PngBlock* out = nullptr;
  int block = 0;
  int row_in_block = 0;

  explicit State(const PngLayout& png_layout)
      : layout(png_layout),
        row_bytes(kBytesPerPixel * static_cast<std::size_t>(png_layout.width)),
        row(row_bytes),
        above(row_bytes),
        filtered(1 + row_bytes) {
    // Negative window bits: raw deflate, the zlib header and trailer written here.
    if (deflateInit2(&zlib, layout.settings.compression_level, Z_DEFLATED, -15, 8,
                     layout.settings.strategy) != Z_OK) {
      throw std::runtime_error("cannot initialise zlib");
    }
    zlib_ready = true;
  }
  ~State() {
    if (zlib_ready) deflateEnd(&zlib);
  }

  // The filters row `row_in_block` may use: the first row of a block cannot
  // see the row above it.
  int allowed_filters() const {
    if (row_in_block > 0) return layout.settings.filters;
    const int without_above = layout.settings.filters & (PNG_FILTER_NONE | PNG_FILTER_SUB);
    return without_above != 0 ? without_above : PNG_FILTER_SUB;
  }

  void filter_row() {
    const int allowed = allowed_filters();
    if ((allowed & (allowed - 1)) == 0) {  // one filter: straight into place
      const auto type = static_cast<FilterType>(std::countr_zero(static_cast<unsigned>(allowed)) -
                                                std::countr_zero(unsigned{PNG_FILTER_NONE}));
      filtered[0] = type;
      apply_filter(type, row.data(), above.data(), row_bytes, filtered.data() + 1);
      return;
    }
    candidates.resize(row_bytes);
    std::uint64_t best = std::numeric_limits<std::uint64_t>::max();
    for (int type = kNone; type <= kPaeth; ++type) {
      if ((allowed & kFilterBits[static_cast<std::size_t>(type)]) == 0) continue;
      apply_filter(static_cast<FilterType>(type), row.data(), above.data(), row_bytes,
                   candidates.data());
      const std::uint64_t size = filtered_size(candidates.data(), row_bytes);
      if (size < best) {
        best = size;
        filtered[0] = static_cast<std::uint8_t>(type);
        std::memcpy(filtered.data() + 1, candidates.data(), row_bytes);
      }
    }
  }

  // Room for more output: the chunk's CRC stays reserved at the end.
  void make_room() {
    const auto used = static_cast<std::size_t>(zlib.next_out - out->buffer.data());
    if (out->buffer.size() - used <= 4) out->buffer.resize(2 * out->buffer.size() + 64);
    zlib.next_out = out->buffer.data() + used;
    zlib.avail_out = static_cast<uInt>(
        std::min<std::size_t>(out->buffer.size() - used - 4, std::numeric_limits<uInt>::max()));
  }

  void deflate_all(int flush) {
    for (;;) {
      if (zlib.avail_out == 0) make_room();
      const int status = deflate(&zlib, flush);
      if (status == Z_STREAM_END) return;
      if (status != Z_OK && status != Z_BUF_ERROR) throw std::runtime_error("zlib failed");
      if (zlib.avail_in == 0 && zlib.avail_out != 0) return;
    }
  }
};

PngBlockEncoder::PngBlockEncoder(const PngLayout& layout)
    : state_(std::make_unique<State>(layout)) {}
PngBlockEncoder::~PngBlockEncoder() = default;
PngBlockEncoder::PngBlockEncoder(PngBlockEncoder&&) noexcept = default;

void PngBlockEncoder::begin(int block, PngBlock& out) {
  State& s = *state_;
  if (deflateReset(&s.zlib) != Z_OK) throw std::runtime_error("zlib failed");
  s.out = &out;
  s.block = block;
  s.row_in_block = 0;
  out.adler = static_cast<std::uint32_t>(adler32(0, nullptr, 0));
  out.raw_bytes = 0;
  const int rows = std::min(s.layout.block_rows, s.layout.height - block * s.layout.block_rows);
  const auto raw = static_cast<uLong>(rows) * (1 + s.row_bytes);
  // Length and type, the zlib header, the worst case of deflate and of its
  // flush marker, the CRC: enough room that the buffer never has to grow.
  const std::size_t needed = 8 + 2 + deflateBound(&s.zlib, raw) + 16 + 4;
  if (out.buffer.size() < needed) out.buffer.resize(needed);
  std::size_t at = 8;
  if (block == 0) {
    const auto header = zlib_header(s.layout.settings);
    out.buffer[at++] = header[0];
    out.buffer[at++] = header[1];
  }
  s.zlib.next_out = out.buffer.data() + at;
  s.zlib.avail_out = 0;
  s.make_room();
}

std::span<std::uint8_t> PngBlockEncoder::next_row() {
  return state_->row;
}

void PngBlockEncoder::add_row() {
  State& s = *state_;
  s.filter_row();
  s.out->adler = static_cast<std::uint32_t>(
      adler32(s.out->adler, s.filtered.data(), static_cast<uInt>(s.filtered.size())));
  s.out->raw_bytes += s.filtered.size();
  s.zlib.next_in = s.filtered.data();
  s.zlib.avail_in = static_cast<uInt>(s.filtered.size());
  s.deflate_all(Z_NO_FLUSH);
  std::swap(s.row, s.above);
  ++s.row_in_block;
}

void PngBlockEncoder::finish() {
  State& s = *state_;
  // A full flush ends the block on a byte boundary and forgets its history,
  // so that the next block, deflated on its own, continues the stream.
  const bool last = s.block == s.layout.blocks - 1;
  s.zlib.next_in = nullptr;
  s.zlib.avail_in = 0;
  s.deflate_all(last ? Z_FINISH : Z_FULL_FLUSH);
  PngBlock& out = *s.out;
  out.size = static_cast<std::size_t>(s.zlib.next_out - out.buffer.data());
  std::uint8_t* chunk = out.buffer.data();
  put_u32(chunk, static_cast<std::uint32_t>(out.size - 8));
  std::memcpy(chunk + 4, "IDAT", 4);
  put_u32(chunk + out.size,
          static_cast<std::uint32_t>(crc32(0, chunk + 4, static_cast<uInt>(out.size - 4))));
  out.size += 4;
  s.out = nullptr;
}

}  // namespace render
