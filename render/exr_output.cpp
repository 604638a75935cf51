#include "exr_output.hpp"

#include <ImfChannelList.h>
#include <ImfChromaticities.h>
#include <ImfDoubleAttribute.h>
#include <ImfFloatAttribute.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfOutputFile.h>
#include <ImfStandardAttributes.h>
#include <ImfThreading.h>
#include <ImfVecAttribute.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace render {

namespace {

static_assert(sizeof(lighting::Vector3) == 3 * sizeof(float), "rows are read as packed RGB");

struct CompressionName {
  ExrCompression compression;
  std::string_view name;
  Imf::Compression imf;
};

constexpr std::array<CompressionName, 5> kCompressions = {{
    {ExrCompression::none, "none", Imf::NO_COMPRESSION},
    {ExrCompression::rle, "rle", Imf::RLE_COMPRESSION},
    {ExrCompression::zips, "zips", Imf::ZIPS_COMPRESSION},
    {ExrCompression::zip, "zip", Imf::ZIP_COMPRESSION},
    {ExrCompression::piz, "piz", Imf::PIZ_COMPRESSION},
}};

const CompressionName& entry_for(ExrCompression compression) {
  for (const auto& entry : kCompressions) {
    if (entry.compression == compression) return entry;
  }
  throw std::invalid_argument("unknown EXR compression");
}

std::string error_text(int error) {
  return std::generic_category().message(error);
}

// OpenEXR's output stream over a descriptor, at positions counted from where
// the descriptor stood when the stream was made. The first failed write is
// kept: OpenEXR writes the block table from its destructor, where it has to
// swallow errors, and the writer asks afterwards.
//
// OpenEXR writes a chunk as its row number and byte count, 4 bytes each, then
// the data, and the block table 8 bytes at a time. Small writes are gathered
// and go out with the next large one in one pwritev, so that a chunk costs one
// system call and its data is never copied here.
class DescriptorStream final : public Imf::OStream {
 public:
  DescriptorStream(int fd, std::uint64_t origin, const std::string& name)
      : Imf::OStream(name.c_str()), fd_(fd), origin_(origin) {
    pending_.reserve(kGatherBytes);
  }

  void write(const char c[], int n) override {
    if (error_ != 0) throw Iex::IoExc("an earlier write failed");
    const auto size = static_cast<std::size_t>(n);
    if (size >= kSmallWrite) {
      put(c, size);
    } else {
      if (pending_.size() + size > kGatherBytes) put(nullptr, 0);
      pending_.insert(pending_.end(), c, c + size);
    }
    position_ += size;
  }
  std::uint64_t tellp() override { return position_; }
  void seekp(std::uint64_t position) override {
    if (!flush()) throw Iex::IoExc(error_text(error_));
    position_ = position;
  }

  // Writes out what is gathered; false once any write has failed.
  bool flush() {
    if (error_ == 0 && !pending_.empty()) put(nullptr, 0);
    return error_ == 0;
  }
  int error() const { return error_; }
  std::uint64_t size_written() const { return end_; }

 private:
  static constexpr std::size_t kSmallWrite = 4096;
  static constexpr std::size_t kGatherBytes = 64 * 1024;

  // The gathered bytes, then `size` bytes at `data`, at the stream's position.
  void put(const char* data, std::size_t size) {
    iovec pieces[2] = {{pending_.data(), pending_.size()}, {const_cast<char*>(data), size}};
    std::uint64_t at = origin_ + position_ - pending_.size();
    int first = pending_.empty() ? 1 : 0;
    const int count = size == 0 ? 1 : 2;
    while (first < count) {
      const ssize_t written = pwritev(fd_, pieces + first, count - first, static_cast<off_t>(at));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        error_ = written < 0 ? errno : ENOSPC;
        throw Iex::IoExc(error_text(error_));
      }
      at += static_cast<std::uint64_t>(written);
      for (auto done = static_cast<std::size_t>(written); done > 0;) {
        const std::size_t step = std::min(done, pieces[first].iov_len);
        pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + step;
        pieces[first].iov_len -= step;
        done -= step;
        if (pieces[first].iov_len == 0) ++first;
      }
      while (first < count && pieces[first].iov_len == 0) ++first;
    }
    pending_.clear();
    end_ = std::max(end_, at - origin_);
  }

  int fd_;
  std::uint64_t origin_;
  std::uint64_t position_ = 0;
  std::uint64_t end_ = 0;  // the furthest byte written, for copying out a spool
  std::vector<char> pending_;
  int error_ = 0;
};

// Whether OpenEXR can seek on the descriptor: writes with O_APPEND go to the
// end whatever the offset, so such a file is spooled as a pipe is.
bool can_write_in_place(const OutputFile& file) {
  if (!file.seekable()) return false;
  const int flags = fcntl(file.descriptor(), F_GETFL);
  return flags >= 0 && (flags & O_APPEND) == 0;
}

// $TMPDIR as given: one that does not work is reported, never replaced.
std::string spool_directory() {
  return temporary_directory();
}

int open_spool(const std::string& directory) {
  return open_temporary_file(directory);
}

Imf::Header make_header(int width, int height, const ExrSettings& settings,
                        const ExrSceneAttributes& attributes) {
  Imf::Header header(width, height);
  header.compression() = entry_for(settings.compression).imf;
  header.zipCompressionLevel() = settings.zip_level;
  for (const char* channel : {"R", "G", "B"}) {
    header.channels().insert(channel, Imf::Channel(Imf::FLOAT));
  }
  // The energies are linear; Rec. 709 primaries, D65 white.
  Imf::addChromaticities(header, Imf::Chromaticities({0.64f, 0.33f}, {0.30f, 0.60f}, {0.15f, 0.06f},
                                                     {0.3127f, 0.3290f}));
  const auto v3f = [](const lighting::Vector3& v) {
    return Imf::V3fAttribute(Imath::V3f(v.x, v.y, v.z));
  };
  const Scene& scene = attributes.scene;
  header.insert("surfacePoint", v3f(scene.point));
  header.insert("surfaceNormal", v3f(scene.normal));
  header.insert("surfaceReflectance", v3f(scene.reflectance));
  header.insert("lightPosition", v3f(scene.light.position));
  header.insert("lightColour", v3f({scene.light.r, scene.light.g, scene.light.b}));
  header.insert("lightIntensity", Imf::FloatAttribute(scene.light.intensity));
  header.insert("patchExtent", Imf::DoubleAttribute(attributes.extent));
  return header;
}

}  // namespace

std::optional<ExrCompression> exr_compression_named(std::string_view name) {
  for (const auto& entry : kCompressions) {
    if (entry.name == name) return entry.compression;
  }
  return std::nullopt;
}

std::string_view exr_compression_name(ExrCompression compression) {
  return entry_for(compression).name;
}

struct ExrWriter::State {
  State(OutputFile& target_file, int image_width, int image_height)
      : target(target_file), width(image_width), height(image_height) {}

  OutputFile& target;
  int width;
  int height;
  int rows_written = 0;
  int spool = -1;  // the temporary file written instead of the target, if any
  std::string spool_directory;
  std::unique_ptr<DescriptorStream> stream;
  std::unique_ptr<Imf::OutputFile> file;

  ~State() {
    file.reset();  // before the stream it writes to
    if (spool >= 0) close(spool);
  }

  [[noreturn]] void fail(const std::string& why) const {
    throw std::runtime_error("cannot write " + target.path() + ": " + why);
  }
  [[noreturn]] void fail_stream() const {
    const std::string reason = error_text(stream->error());
    fail(spool >= 0 ? "temporary file in " + spool_directory + ": " + reason : reason);
  }

  // Runs an OpenEXR call, turning what it throws into one line naming the target.
  template <typename Call>
  void guarded(Call call) {
    try {
      call();
    } catch (const std::exception& error) {
      if (stream->error() != 0) fail_stream();
      fail(error.what());
    }
  }

  void copy_spool_to_target() {
    std::vector<char> buffer(1 << 16);
    std::uint64_t offset = 0;
    const std::uint64_t size = stream->size_written();
    while (offset < size) {
      const ssize_t got = pread(spool, buffer.data(), buffer.size(), static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) fail("temporary file in " + spool_directory + ": " + error_text(errno));
      for (ssize_t done = 0; done < got;) {
        const ssize_t put = ::write(target.descriptor(), buffer.data() + done,
                                    static_cast<std::size_t>(got - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) fail(error_text(put < 0 ? errno : ENOSPC));
        done += put;
      }
      offset += static_cast<std::uint64_t>(got);
    }
  }
};

ExrWriter::ExrWriter(OutputFile& target, int width, int height, const ExrSettings& settings,
                     const ExrSceneAttributes& attributes)
    : state_(std::make_unique<State>(target, width, height)) {
  State& s = *state_;
  int fd = target.descriptor();
  std::uint64_t origin = 0;
  if (can_write_in_place(target)) {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at < 0) s.fail(error_text(errno));
    origin = static_cast<std::uint64_t>(at);
  } else {
    s.spool_directory = spool_directory();
    s.spool = open_spool(s.spool_directory);
    if (s.spool < 0) s.fail("temporary file in " + s.spool_directory + ": " + error_text(errno));
    fd = s.spool;
  }
  s.stream = std::make_unique<DescriptorStream>(fd, origin, target.path());
  // A count of 0 compresses in the calling thread; 1 would hand every block
  // to a single worker and wait for it.
  const int pool = settings.threads > 1 ? settings.threads : 0;
  s.guarded([&] {
    Imf::setGlobalThreadCount(pool);
    s.file = std::make_unique<Imf::OutputFile>(
        *s.stream, make_header(width, height, settings, attributes), pool);
  });
}

ExrWriter::~ExrWriter() = default;

void ExrWriter::write_rows(std::span<const lighting::Vector3> rows) {
  State& s = *state_;
  const auto width = static_cast<std::size_t>(s.width);
  if (rows.size() % width != 0 ||
      rows.size() / width > static_cast<std::size_t>(s.height - s.rows_written)) {
    throw std::invalid_argument("ExrWriter::write_rows: not a whole number of remaining rows");
  }
  const auto count = static_cast<int>(rows.size() / width);
  if (count == 0) return;
  // OpenEXR addresses pixel (x, y) as base + x * xStride + y * yStride, y
  // counted from the image's top: shift the base so that the block's first
  // row is at y = rows_written.
  const std::size_t row_bytes = width * sizeof(lighting::Vector3);
  const auto first = reinterpret_cast<std::uintptr_t>(rows.data());
  const std::uintptr_t origin = first - static_cast<std::uintptr_t>(s.rows_written) * row_bytes;
  Imf::FrameBuffer frame;
  const char* names[] = {"R", "G", "B"};
  for (std::size_t channel = 0; channel < 3; ++channel) {
    frame.insert(names[channel],
                 Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(origin + channel * sizeof(float)),
                            sizeof(lighting::Vector3), row_bytes));
  }
  s.guarded([&] {
    s.file->setFrameBuffer(frame);
    s.file->writePixels(count);
  });
  s.rows_written += count;
}

void ExrWriter::finish() {
  State& s = *state_;
  if (s.rows_written != s.height) {
    throw std::logic_error("ExrWriter::finish: " + std::to_string(s.height - s.rows_written) +
                           " rows missing");
  }
  s.file.reset();  // writes the block table
  if (!s.stream->flush()) s.fail_stream();
  if (s.spool >= 0) s.copy_spool_to_target();
}

}  // namespace render
