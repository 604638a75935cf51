// Writes an 8-bit RGB PNG row by row, atomically: the rows go to a temporary
// file beside the target, which replaces the target only once the whole image
// has been written, flushed and synced. On any failure, or if the writer is
// destroyed before commit(), the temporary file is removed and the target is
// left as it was. Failures throw std::runtime_error naming the target.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace render {

struct PngSettings {
  int compression_level;  // zlib 0-9
  int filters;            // libpng PNG_FILTER_* bits
};

// What the renderer uses: see the README for the measurements behind it.
PngSettings default_png_settings();

class PngFileWriter {
 public:
  PngFileWriter(const std::string& path, int width, int height, PngSettings settings);
  ~PngFileWriter();
  PngFileWriter(const PngFileWriter&) = delete;
  PngFileWriter& operator=(const PngFileWriter&) = delete;

  void write_row(std::span<const std::uint8_t> rgb);  // 3 * width bytes, top row first
  void commit();                                      // after the last row

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The temporary file currently being written, if any, for a signal handler to
// remove: an async-signal-safe read of a fixed buffer.
const char* pending_temporary_file();

}  // namespace render
