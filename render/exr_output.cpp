#include "exr_output.hpp"

#include <fcntl.h>
#include <openexr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
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
  exr_compression_t core;
};

constexpr std::array<CompressionName, 5> kCompressions = {{
    {ExrCompression::none, "none", EXR_COMPRESSION_NONE},
    {ExrCompression::rle, "rle", EXR_COMPRESSION_RLE},
    {ExrCompression::zips, "zips", EXR_COMPRESSION_ZIPS},
    {ExrCompression::zip, "zip", EXR_COMPRESSION_ZIP},
    {ExrCompression::piz, "piz", EXR_COMPRESSION_PIZ},
}};

const CompressionName& entry_for(ExrCompression compression) {
  for (const auto& entry : kCompressions) {
    if (entry.compression == compression) return entry;
  }
  throw std::invalid_argument("unknown EXR compression");
}

constexpr std::array<unsigned char, 4> kMagic = {0x76, 0x2f, 0x31, 0x01};

std::string error_text(int error) {
  return std::generic_category().message(error);
}

// Whether OpenEXR can seek on the descriptor: writes with O_APPEND go to the
// end whatever the offset, so such a file is spooled as a pipe is.
bool can_write_in_place(const OutputFile& file) {
  if (!file.seekable()) return false;
  const int flags = fcntl(file.descriptor(), F_GETFL);
  return flags >= 0 && (flags & O_APPEND) == 0;
}

// Where the core library's writes go: a descriptor, at positions counted from
// where it stood when the file began. The first failed write is kept, for the
// message: the library itself only reports that a write failed.
struct Sink {
  int fd = -1;
  std::uint64_t origin = 0;
  std::uint64_t end = 0;      // the furthest byte written, for copying out a spool
  std::atomic<int> error{0};  // read by workers whose encoding fails meanwhile
  std::mutex mutex;           // the library may report errors from any thread
  std::string message;        // the first error the library reported
};

std::int64_t write_at(exr_const_context_t, void* user_data, const void* buffer, std::uint64_t size,
                      std::uint64_t offset, exr_stream_error_func_ptr_t) {
  auto& sink = *static_cast<Sink*>(user_data);
  const auto* bytes = static_cast<const char*>(buffer);
  std::uint64_t done = 0;
  while (done < size) {
    const ssize_t written =
        pwrite(sink.fd, bytes + done, size - done, static_cast<off_t>(sink.origin + offset + done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (sink.error == 0) sink.error = written < 0 ? errno : ENOSPC;
      return -1;
    }
    done += static_cast<std::uint64_t>(written);
  }
  sink.end = std::max(sink.end, offset + size);
  return static_cast<std::int64_t>(size);
}

void keep_message(exr_const_context_t context, exr_result_t, const char* message) {
  void* user_data = nullptr;
  if (exr_get_user_data(context, &user_data) != EXR_ERR_SUCCESS || user_data == nullptr) return;
  auto& sink = *static_cast<Sink*>(user_data);
  const std::lock_guard lock(sink.mutex);
  if (sink.message.empty() && message != nullptr) sink.message = message;
}

// Where an encoded chunk goes: the core library hands it to a write
// function, which here copies it into the block rather than to the file.
exr_result_t keep_chunk(exr_encode_pipeline_t* pipeline) {
  auto& block = *static_cast<ExrBlock*>(pipeline->encoding_user_data);
  const std::size_t size = pipeline->compressed_bytes;
  if (block.bytes.size() < block.size + size) {
    block.bytes.resize(std::max(block.size + size, 2 * block.bytes.size()));
  }
  if (size > 0) std::memcpy(block.bytes.data() + block.size, pipeline->compressed_buffer, size);
  block.chunks.push_back({pipeline->chunk.start_y, block.size, size});
  block.size += size;
  return EXR_ERR_SUCCESS;
}

// The offset of a channel's value in an energy: R, G, B are x, y, z.
std::size_t channel_offset(const char* name) {
  switch (name[0]) {
    case 'R':
      return 0;
    case 'G':
      return sizeof(float);
    default:
      return 2 * sizeof(float);
  }
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
  int rows_per_chunk = 1;
  int rows_written = 0;       // in chunks handed to the library
  int spool = -1;             // the temporary file written instead of the target, if any
  std::string spool_failure;  // what an error of the spool is reported as
  bool magic_sent = false;    // the target already has the first four bytes
  Sink sink;
  exr_context_t context = nullptr;
  int part = 0;

  ~State() {
    if (context != nullptr) exr_finish(&context);
    if (spool >= 0) close(spool);
  }

  [[noreturn]] void fail(const std::string& why) const {
    throw std::runtime_error("cannot write " + target.path() + ": " + why);
  }
  [[noreturn]] void fail_stream() const {
    const std::string reason = error_text(sink.error);
    fail(spool >= 0 ? spool_failure + ": " + reason : reason);
  }
  // A failure of the library, turned into one line naming the target.
  void check(exr_result_t result) {
    if (result == EXR_ERR_SUCCESS) return;
    if (sink.error != 0) fail_stream();
    const std::lock_guard lock(sink.mutex);
    fail(!sink.message.empty() ? sink.message : exr_get_default_error_message(result));
  }

  void set_attributes(const ExrSettings& settings, const ExrSceneAttributes& attributes) {
    check(exr_add_part(context, "rgb", EXR_STORAGE_SCANLINE, &part));
    check(exr_initialize_required_attr_simple(context, part, width, height,
                                              entry_for(settings.compression).core));
    for (const char* channel : {"R", "G", "B"}) {
      check(
          exr_add_channel(context, part, channel, EXR_PIXEL_FLOAT, EXR_PERCEPTUALLY_LINEAR, 1, 1));
    }
    check(exr_set_zip_compression_level(context, part, settings.zip_level));
    // The energies are linear; Rec. 709 primaries, D65 white.
    const exr_attr_chromaticities_t rec709 = {0.64f, 0.33f, 0.30f,   0.60f,
                                              0.15f, 0.06f, 0.3127f, 0.3290f};
    check(exr_attr_set_chromaticities(context, part, "chromaticities", &rec709));
    const auto v3f = [&](const char* name, const lighting::Vector3& v) {
      exr_attr_v3f_t value{};
      value.x = v.x;
      value.y = v.y;
      value.z = v.z;
      check(exr_attr_set_v3f(context, part, name, &value));
    };
    const Scene& scene = attributes.scene;
    v3f("surfacePoint", scene.point);
    v3f("surfaceNormal", scene.normal);
    v3f("surfaceReflectance", scene.reflectance);
    v3f("lightPosition", scene.light.position);
    v3f("lightColour", {scene.light.r, scene.light.g, scene.light.b});
    check(exr_attr_set_float(context, part, "lightIntensity", scene.light.intensity));
    check(exr_attr_set_double(context, part, "patchExtent", attributes.extent));
  }

  void write_to_target(const void* data, std::size_t size) const {
    if (const int error = write_fully(target.descriptor(), data, size); error != 0) {
      fail(error_text(error));
    }
  }

  // The spool, after the magic number when the target already has it.
  void copy_spool_to_target() {
    std::array<unsigned char, kMagic.size()> start{};
    if (sink.end < kMagic.size() ||
        pread(spool, start.data(), start.size(), 0) != static_cast<ssize_t>(start.size()) ||
        start != kMagic) {
      fail("the file does not start with OpenEXR's magic number");
    }
    const CopyFailure copied =
        copy_file(spool, magic_sent ? kMagic.size() : 0, sink.end, target.descriptor(), -1);
    if (copied.error == 0) return;
    fail(copied.reading ? spool_failure + ": " + error_text(copied.error)
                        : error_text(copied.error));
  }
};

struct ExrChunkEncoder::State {
  exr_context_t context;
  exr_encode_pipeline_t pipeline{};
  bool started = false;

  ~State() {
    if (started) exr_encoding_destroy(context, &pipeline);
  }
};

ExrChunkEncoder::ExrChunkEncoder(ExrWriter& writer) : state_(std::make_unique<State>()) {
  state_->context = writer.state_->context;
}
ExrChunkEncoder::~ExrChunkEncoder() = default;

ExrWriter::ExrWriter(OutputFile& target, int width, int height, const ExrSettings& settings,
                     const ExrSceneAttributes& attributes)
    : state_(std::make_unique<State>(target, width, height)) {
  State& s = *state_;
  s.sink.fd = target.descriptor();
  if (can_write_in_place(target)) {
    const off_t at = lseek(s.sink.fd, 0, SEEK_CUR);
    if (at < 0) s.fail(error_text(errno));
    s.sink.origin = static_cast<std::uint64_t>(at);
  } else {
    // The spool first, so that a $TMPDIR that does not work leaves the
    // target untouched.
    const std::string directory = temporary_directory();
    const ScratchFile scratch = open_scratch_file(directory);
    s.spool_failure = scratch_place(directory);
    if (scratch.fd < 0) s.fail(scratch_failure(directory, scratch));
    s.spool = scratch.fd;
    // Every OpenEXR file starts with the same four bytes: where they cannot
    // be taken back anyway, they go to the target at once, so that one that
    // takes no bytes (a full device, a closed pipe) fails here, before any
    // shading, rather than at the copy.
    if (!target.reversible()) {
      s.write_to_target(kMagic.data(), kMagic.size());
      s.magic_sent = true;
    }
    s.sink.fd = s.spool;
  }
  exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
  init.user_data = &s.sink;
  init.write_fn = write_at;
  init.error_handler_fn = keep_message;
  s.check(exr_start_write(&s.context, target.path().c_str(), EXR_WRITE_FILE_DIRECTLY, &init));
  s.set_attributes(settings, attributes);
  s.check(exr_write_header(s.context));
  int32_t rows = 1;
  s.check(exr_get_scanlines_per_chunk(s.context, s.part, &rows));
  s.rows_per_chunk = rows;
}

ExrWriter::~ExrWriter() = default;

int ExrWriter::rows_per_chunk() const {
  return state_->rows_per_chunk;
}

void ExrWriter::encode(ExrChunkEncoder& encoder, int first_row,
                       std::span<const lighting::Vector3> rows, ExrBlock& out) {
  State& s = *state_;
  auto& e = *encoder.state_;
  const auto width = static_cast<std::size_t>(s.width);
  const auto count = static_cast<int>(rows.size() / width);
  out.chunks.clear();
  out.size = 0;
  for (int row = first_row; row < first_row + count; row += s.rows_per_chunk) {
    exr_chunk_info_t chunk{};
    s.check(exr_write_scanline_chunk_info(s.context, s.part, row, &chunk));
    if (!e.started) {
      s.check(exr_encoding_initialize(s.context, s.part, &chunk, &e.pipeline));
      e.started = true;
      s.check(exr_encoding_choose_default_routines(s.context, s.part, &e.pipeline));
      // The chunk is kept in the block and written in order later, by write().
      e.pipeline.yield_until_ready_fn = nullptr;
      e.pipeline.write_fn = keep_chunk;
    } else {
      s.check(exr_encoding_update(s.context, s.part, &chunk, &e.pipeline));
    }
    const auto* first = reinterpret_cast<const std::uint8_t*>(
        rows.data() + static_cast<std::size_t>(row - first_row) * width);
    for (int c = 0; c < e.pipeline.channel_count; ++c) {
      exr_coding_channel_info_t& channel = e.pipeline.channels[c];
      channel.encode_from_ptr = first + channel_offset(channel.channel_name);
      channel.user_pixel_stride = sizeof(lighting::Vector3);
      channel.user_line_stride = static_cast<int32_t>(width * sizeof(lighting::Vector3));
      channel.user_data_type = EXR_PIXEL_FLOAT;
      channel.user_bytes_per_element = sizeof(float);
    }
    e.pipeline.encoding_user_data = &out;
    s.check(exr_encoding_run(s.context, s.part, &e.pipeline));
  }
}

void ExrWriter::write(const ExrBlock& block) {
  State& s = *state_;
  for (const auto& chunk : block.chunks) {
    if (chunk.first_row != s.rows_written) {
      throw std::logic_error("ExrWriter::write: blocks out of order");
    }
    s.check(exr_write_scanline_chunk(s.context, s.part, chunk.first_row,
                                     block.bytes.data() + chunk.offset, chunk.size));
    s.rows_written = std::min(chunk.first_row + s.rows_per_chunk, s.height);
  }
}

void ExrWriter::finish() {
  State& s = *state_;
  if (s.rows_written != s.height) {
    throw std::logic_error("ExrWriter::finish: " + std::to_string(s.height - s.rows_written) +
                           " rows missing");
  }
  s.check(exr_finish(&s.context));  // writes the block table
  s.context = nullptr;
  if (s.sink.error != 0) s.fail_stream();
  if (s.spool >= 0) s.copy_spool_to_target();
}

}  // namespace render
