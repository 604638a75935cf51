// The PNG encoder on the calling thread alone, row by row, for tests and
// benchmarks: the same blocks as the render's pipeline, in order.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

#include "output_file.hpp"
#include "png_output.hpp"

namespace render {

class PngFileWriter {
 public:
  // Writes to `output`, which must outlive the writer; commit() commits it.
  // The head is written at once, so that a target that refuses bytes (a
  // full device) fails here, before any row is made.
  PngFileWriter(OutputFile& output, int width, int height, PngSettings settings)
      : layout_(png_layout(width, height, settings)), output_(&output), encoder_(layout_) {
    write_head();
  }
  // Opens `path` itself, with all of OutputFile's checks.
  PngFileWriter(const std::string& path, int width, int height, PngSettings settings)
      : layout_(png_layout(width, height, settings)),
        owned_(std::make_unique<OutputFile>(path)),
        output_(owned_.get()),
        encoder_(layout_) {
    write_head();
  }

  // 3 * width bytes, top row first.
  void write_row(std::span<const std::uint8_t> rgb) {
    if (rgb.size() != 3 * static_cast<std::size_t>(layout_.width)) {
      throw std::invalid_argument("PngFileWriter::write_row: not one row of RGB");
    }
    if (rows_written_ == layout_.height) {
      throw std::logic_error("PngFileWriter::write_row: more rows than the image has");
    }
    if (rows_written_ % layout_.block_rows == 0) {
      encoder_.begin(rows_written_ / layout_.block_rows, block_);
    }
    std::memcpy(encoder_.next_row().data(), rgb.data(), rgb.size());
    encoder_.add_row();
    ++rows_written_;
    if (rows_written_ % layout_.block_rows == 0 || rows_written_ == layout_.height) {
      encoder_.finish();
      output_->write_all(block_.chunk().data(), block_.size);
      adler_ = png_adler_after(adler_, block_);
    }
  }

  // After the last row.
  void commit() {
    if (rows_written_ != layout_.height) {
      throw std::logic_error("PngFileWriter::commit: " +
                             std::to_string(layout_.height - rows_written_) + " rows missing");
    }
    const auto tail = png_tail(adler_);
    output_->write_all(tail.data(), tail.size());
    output_->commit();
  }

 private:
  void write_head() {
    const auto head = png_head(layout_);
    output_->write_all(head.data(), head.size());
  }

  PngLayout layout_;
  std::unique_ptr<OutputFile> owned_;  // when the writer opened the target itself
  OutputFile* output_;
  PngBlockEncoder encoder_;
  PngBlock block_;
  int rows_written_ = 0;
  std::uint32_t adler_ = 1;
};

}  // namespace render
