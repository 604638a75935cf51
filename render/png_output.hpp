// The 8-bit RGB PNG encoder, in blocks of rows that can be encoded in
// parallel and written in order.
//
// The image data is one zlib stream cut at block boundaries: each block is
// deflated on its own, ending with a full flush (so that the next block
// starts on a byte boundary with no history), the last one with the stream's
// end. Each block becomes one IDAT chunk, its CRC computed with it; the
// stream's Adler-32 is combined from the blocks' own (adler32_combine) and
// goes out in a last, 4-byte IDAT chunk, followed by IEND. The blocks, their
// filters and their bytes depend only on the image's size and the settings,
// never on which thread encoded what, so the file is the same for every
// thread count.
//
// Each row gets a filter from the settings, as a filter byte before it. The
// first row of a block cannot see the row above it (another block, maybe
// still being encoded), so it chooses from None and Sub only.
//
// Failures throw std::runtime_error naming the target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace render {

struct PngSettings {
  int compression_level;  // zlib 0-9
  int filters;            // libpng PNG_FILTER_* bits: the filters a row may use
  int strategy = 0;       // zlib's Z_DEFAULT_STRATEGY (0) to Z_FIXED (4); Z_RLE is 3
};

// What the renderer uses: see docs/performance.md for the measurements behind it.
PngSettings default_png_settings();

// Uncompressed bytes per block, filter bytes included: enough that a full
// flush and a fresh history cost little of the compression, small enough
// that blocks spread evenly over the workers.
inline constexpr std::size_t kPngBlockBytes = std::size_t{512} << 10;

struct PngLayout {
  int width;
  int height;
  int block_rows;  // rows per block, the last block perhaps fewer
  int blocks;
  PngSettings settings;
};

// Throws std::invalid_argument for sizes or settings a PNG cannot have.
PngLayout png_layout(int width, int height, PngSettings settings);

// Everything before the image data: the signature, IHDR, and the sRGB chunk
// with its gAMA and cHRM fallbacks.
std::vector<std::uint8_t> png_head(const PngLayout& layout);
// Everything after the blocks, given the Adler-32 of all their rows.
std::vector<std::uint8_t> png_tail(std::uint32_t adler);

// One encoded block: a whole IDAT chunk, and what the tail needs of it.
struct PngBlock {
  // The chunk is buffer's first `size` bytes. The buffer only grows, so that
  // a slot reused for block after block is allocated (and zeroed) once.
  std::vector<std::uint8_t> buffer;
  std::size_t size = 0;
  std::uint32_t adler = 1;    // of the block's filtered rows alone
  std::size_t raw_bytes = 0;  // their length

  std::span<const std::uint8_t> chunk() const { return std::span(buffer).first(size); }
};

// The Adler-32 of the rows so far, followed by a block's.
std::uint32_t png_adler_after(std::uint32_t adler, const PngBlock& block);

// Encodes blocks, one at a time: per thread, one of these (it holds the
// deflate state and the row buffers, reused from block to block).
class PngBlockEncoder {
 public:
  explicit PngBlockEncoder(const PngLayout& layout);
  ~PngBlockEncoder();
  PngBlockEncoder(const PngBlockEncoder&) = delete;
  PngBlockEncoder& operator=(const PngBlockEncoder&) = delete;
  PngBlockEncoder(PngBlockEncoder&&) noexcept;

  // Starts block `block` into `out`, then for each of its rows in order:
  // fill next_row() with the row's 3 * width RGB bytes and call add_row().
  // finish() completes the chunk.
  void begin(int block, PngBlock& out);
  std::span<std::uint8_t> next_row();
  void add_row();
  void finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace render
