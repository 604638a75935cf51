#include "png_output.hpp"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace render {

namespace {

// The temporary file's name, kept where a signal handler can read it.
char g_pending[4096];

void set_pending(const std::string& path) {
  const std::size_t length = std::min(path.size(), sizeof g_pending - 1);
  std::memcpy(g_pending, path.data(), length);
  g_pending[length] = '\0';
}

// strerror's text, but safe to call from the encoder thread.
std::string error_text(int error) {
  return std::generic_category().message(error);
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name_of(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

PngSettings default_png_settings() {
  return {1, PNG_FILTER_UP};
}

const char* pending_temporary_file() {
  return g_pending[0] != '\0' ? g_pending : nullptr;
}

struct PngFileWriter::State {
  std::string target;
  std::string temporary;
  std::FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  std::string error;  // the first error libpng or a write reported
  bool committed = false;

  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("write " + target + ": " + what);
  }

  // libpng reports errors by longjmp; the functions that arm it below keep no
  // object with a destructor alive across the libpng calls.
  static void on_error(png_structp png, png_const_charp message) {
    auto* state = static_cast<State*>(png_get_error_ptr(png));
    if (state->error.empty()) state->error = message;
    png_longjmp(png, 1);
  }
  static void on_warning(png_structp, png_const_charp) {}
  static void on_write(png_structp png, png_bytep data, png_size_t length) {
    auto* state = static_cast<State*>(png_get_io_ptr(png));
    if (std::fwrite(data, 1, length, state->file) != length) {
      state->error = error_text(errno);
      png_error(png, "write failed");
    }
  }
  static void on_flush(png_structp png) {
    auto* state = static_cast<State*>(png_get_io_ptr(png));
    if (std::fflush(state->file) != 0) {
      state->error = error_text(errno);
      png_error(png, "flush failed");
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
  std::string libpng_error() const { return error.empty() ? "libpng error" : error; }

  // Also runs when the constructor throws, so cleanup lives here.
  ~State() {
    if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
    if (file != nullptr) std::fclose(file);
    if (!committed && !temporary.empty()) {
      unlink(temporary.c_str());
      g_pending[0] = '\0';
    }
  }
};

PngFileWriter::PngFileWriter(const std::string& path, int width, int height, PngSettings settings)
    : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.target = path;
  s.temporary = directory_of(path) + "/." + base_name_of(path) + ".XXXXXX";
  const int fd = mkstemp(s.temporary.data());
  if (fd < 0) {
    s.temporary.clear();
    s.fail(error_text(errno));
  }
  set_pending(s.temporary);
  // mkstemp makes the file private; give it the permissions a new file gets.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  s.file = fdopen(fd, "wb");
  if (s.file == nullptr) {
    const int error = errno;
    close(fd);
    unlink(s.temporary.c_str());
    s.fail(error_text(error));
  }
  s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, State::on_error, State::on_warning);
  if (s.png != nullptr) s.info = png_create_info_struct(s.png);
  if (s.info == nullptr) s.fail("cannot initialise libpng");
  if (!s.start(width, height, settings)) s.fail(s.libpng_error());
}

void PngFileWriter::write_row(std::span<const std::uint8_t> rgb) {
  if (!state_->row(rgb.data())) state_->fail(state_->libpng_error());
}

void PngFileWriter::commit() {
  State& s = *state_;
  if (!s.end()) s.fail(s.libpng_error());
  if (std::fflush(s.file) != 0 || fsync(fileno(s.file)) != 0) s.fail(error_text(errno));
  const int closed = std::fclose(s.file);
  s.file = nullptr;
  if (closed != 0) s.fail(error_text(errno));
  if (std::rename(s.temporary.c_str(), s.target.c_str()) != 0) s.fail(error_text(errno));
  s.committed = true;
  g_pending[0] = '\0';
}

PngFileWriter::~PngFileWriter() = default;

}  // namespace render
