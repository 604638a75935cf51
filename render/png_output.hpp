// Writes an 8-bit RGB PNG row by row through an OutputFile, which decides how
// the bytes reach the target and keeps it intact until commit(). On any
// failure, or if the writer is destroyed before commit(), nothing written
// stays. Failures throw std::runtime_error naming the target.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "output_file.hpp"

namespace render {

struct PngSettings {
  int compression_level;  // zlib 0-9
  int filters;            // libpng PNG_FILTER_* bits
};

// What the renderer uses: see the README for the measurements behind it.
PngSettings default_png_settings();

class PngFileWriter {
 public:
  // Writes to `output`, which must outlive the writer; commit() commits it.
  PngFileWriter(OutputFile& output, int width, int height, PngSettings settings);
  // Opens `path` itself, with all of OutputFile's checks.
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

}  // namespace render
