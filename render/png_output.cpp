#include "png_output.hpp"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <vector>

namespace render {

PngSettings default_png_settings() {
  return {1, PNG_FILTER_UP};
}

struct PngFileWriter::State {
  std::unique_ptr<OutputFile> owned;  // when the writer opened the target itself
  OutputFile* output = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::string error;                 // the first error libpng reported
  std::exception_ptr write_failure;  // or the output's own exception
  // libpng writes chunk headers, data and checksums separately: gathered here
  // into large writes.
  std::vector<unsigned char> buffer;

  [[noreturn]] void fail() const {
    if (write_failure) std::rethrow_exception(write_failure);
    throw std::runtime_error("cannot write " + output->path() + ": " +
                             (error.empty() ? "libpng error" : error));
  }

  void flush_buffer() {
    output->write_all(buffer.data(), buffer.size());
    buffer.clear();
  }

  // libpng reports errors by longjmp; the functions that arm it below keep no
  // object with a destructor alive across the libpng calls.
  static void on_error(png_structp png, png_const_charp message) {
    auto* state = static_cast<State*>(png_get_error_ptr(png));
    if (state->error.empty()) state->error = message;
    png_longjmp(png, 1);
  }
  static void on_warning(png_structp, png_const_charp) {}
  // The exception cannot cross libpng's C frames: it is kept and rethrown
  // once libpng has returned through its longjmp.
  static void on_write(png_structp png, png_bytep data, png_size_t length) {
    auto* state = static_cast<State*>(png_get_io_ptr(png));
    if (!state->write_bytes(data, length)) png_error(png, "write failed");
  }
  static void on_flush(png_structp) {}  // the buffer is written out by commit()

  bool write_bytes(const unsigned char* data, std::size_t length) {
    try {
      if (buffer.size() + length > buffer.capacity()) flush_buffer();
      if (length >= buffer.capacity()) {
        output->write_all(data, length);
      } else {
        buffer.insert(buffer.end(), data, data + length);
      }
      return true;
    } catch (...) {
      write_failure = std::current_exception();
      return false;
    }
  }

  bool start(int width, int height, PngSettings settings) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_write_fn(png, this, on_write, on_flush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_sRGB_gAMA_and_cHRM(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    png_set_compression_level(png, settings.compression_level);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, settings.filters);
    png_write_info(png, info);
    return true;
  }
  bool row(const std::uint8_t* rgb) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_write_row(png, rgb);
    return true;
  }
  bool end() {
    if (setjmp(png_jmpbuf(png))) return false;
    png_write_end(png, info);
    return true;
  }
  // Also runs when the constructor throws, so cleanup lives here; the
  // output removes what was written unless committed.
  ~State() {
    if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
  }

  void start_writer(OutputFile& target, int width, int height, PngSettings settings) {
    output = &target;
    buffer.reserve(std::size_t{1} << 16);
    png = png_create_write_struct(PNG_LIBPNG_VER_STRING, this, on_error, on_warning);
    if (png != nullptr) info = png_create_info_struct(png);
    if (info == nullptr) {
      error = "cannot initialise libpng";
      fail();
    }
    if (!start(width, height, settings)) fail();
  }
};

PngFileWriter::PngFileWriter(OutputFile& output, int width, int height, PngSettings settings)
    : state_(std::make_unique<State>()) {
  state_->start_writer(output, width, height, settings);
}

PngFileWriter::PngFileWriter(const std::string& path, int width, int height, PngSettings settings)
    : state_(std::make_unique<State>()) {
  state_->owned = std::make_unique<OutputFile>(path);
  state_->start_writer(*state_->owned, width, height, settings);
}

void PngFileWriter::write_row(std::span<const std::uint8_t> rgb) {
  if (!state_->row(rgb.data())) state_->fail();
}

void PngFileWriter::commit() {
  State& s = *state_;
  if (!s.end()) s.fail();
  s.flush_buffer();
  s.output->commit();
}

PngFileWriter::~PngFileWriter() = default;

}  // namespace render
