// The render pipeline's ordering, bounds and failures, and the PNG encoder in
// blocks: decoded by libpng and by zlib, against the rows that went in.
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "exr_render.hpp"
#include "pipeline.hpp"
#include "png_file_writer.hpp"
#include "png_render.hpp"
#include "render_blocks.hpp"
#include "scratch_directory.hpp"
#include "tone.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// --- The pipeline ----------------------------------------------------------

TEST(Pipeline, WritesEveryBlockOnceInOrderWithNoMoreThanSlotsInFlight) {
  constexpr int kBlocks = 300;
  const render::PipelineShape shape{kBlocks, 8, 11};
  std::atomic<int> in_flight{0};
  std::atomic<int> most_in_flight{0};
  std::vector<int> written;
  std::vector<int> slot_holds(11, -1);
  std::mutex slots_mutex;
  std::atomic<bool> wrong_slot{false};
  render::run_pipeline(
      shape,
      [&](int block, int slot, int worker) {
        const int now = ++in_flight;
        int most = most_in_flight.load();
        while (now > most && !most_in_flight.compare_exchange_weak(most, now)) {
        }
        if (slot != block % shape.slots || worker < 0 || worker >= shape.workers) wrong_slot = true;
        {
          const std::lock_guard lock(slots_mutex);
          slot_holds[static_cast<std::size_t>(slot)] = block;
        }
        if (block % 7 == 0) std::this_thread::yield();
      },
      [&](int block, int slot) {
        {
          const std::lock_guard lock(slots_mutex);
          // The slot still holds this block: no later block took it early.
          if (slot_holds[static_cast<std::size_t>(slot)] != block) wrong_slot = true;
        }
        written.push_back(block);
        --in_flight;
      });
  ASSERT_EQ(written.size(), std::size_t{kBlocks});
  for (int block = 0; block < kBlocks; ++block)
    EXPECT_EQ(written[static_cast<std::size_t>(block)], block);
  EXPECT_LE(most_in_flight.load(), shape.slots);
  EXPECT_FALSE(wrong_slot.load());
}

TEST(Pipeline, EncodingFailureStopsTheWritesAndIsRethrown) {
  std::vector<int> written;
  std::atomic<int> encoded{0};
  const render::PipelineShape shape{1000, 4, 8};
  EXPECT_THROW(render::run_pipeline(
                   shape,
                   [&](int block, int, int) {
                     if (block == 37) throw std::runtime_error("block 37");
                     ++encoded;
                   },
                   [&](int block, int) { written.push_back(block); }),
               std::runtime_error);
  EXPECT_LE(written.size(), std::size_t{37});
  for (std::size_t i = 0; i < written.size(); ++i) EXPECT_EQ(written[i], static_cast<int>(i));
  // Blocks already claimed finish; nothing near the end is started.
  EXPECT_LT(encoded.load(), 37 + shape.slots + shape.workers);
}

TEST(Pipeline, WriteFailureIsRethrownAndNothingAfterItIsWritten) {
  std::vector<int> written;
  try {
    render::run_pipeline(
        {50, 3, 6}, [](int, int, int) {},
        [&](int block, int) {
          if (block == 5) throw std::runtime_error("cannot write");
          written.push_back(block);
        });
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "cannot write");
  }
  EXPECT_EQ(written, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(Pipeline, ProgressComesFromTheCallingThreadAndNeverGoesBack) {
  const auto caller = std::this_thread::get_id();
  std::vector<double> reports;
  bool other_thread = false;
  render::run_pipeline(
      {64, 4, 8}, [](int, int, int) {}, [](int, int) {},
      [&](double done) {
        other_thread = other_thread || std::this_thread::get_id() != caller;
        reports.push_back(done);
      });
  EXPECT_FALSE(other_thread);
  ASSERT_FALSE(reports.empty());
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_EQ(reports.back(), 1.0);
}

TEST(Pipeline, ThreadsAreCappedAtTheCoresAndAtLeastOne) {
  const int cores = render::usable_threads(1 << 20);
  EXPECT_GE(cores, 1);
  EXPECT_LE(cores, static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
  EXPECT_EQ(render::usable_threads(0), 1);
  EXPECT_EQ(render::usable_threads(-3), 1);
  EXPECT_EQ(render::usable_threads(1), 1);
  EXPECT_EQ(render::pipeline_slots(cores), 2 * cores);
}

// --- The render driver -----------------------------------------------------

render::Scene driver_scene() {
  render::Scene scene = render::default_scene();
  scene.light.intensity = 3e38f;  // the energy overflows near the light
  scene.light.position = {1.0f, 2.0f, 0.25f};
  return scene;
}

// Records what the driver hands over, and checks it as it comes.
class RecordingEncoder final : public render::BlockEncoder {
 public:
  RecordingEncoder(const render::Scene& scene, const render::Patch& patch, int block_rows)
      : row_seen(static_cast<std::size_t>(patch.height), 0),
        scene_(scene),
        patch_(patch),
        block_rows_(block_rows) {}

  void prepare(const render::PipelineShape& shape) override {
    ++prepared;
    shape_ = shape;
    open_.assign(static_cast<std::size_t>(shape.workers), -1);
    next_row_.assign(static_cast<std::size_t>(shape.workers), -1);
  }
  void begin(const render::BlockAt& at) override {
    const std::lock_guard lock(mutex_);
    check_at(at);
    if (open_[worker(at)] != -1) faults.push_back("begin inside a block");
    open_[worker(at)] = at.block;
    next_row_[worker(at)] = at.block * block_rows_;
  }
  std::int64_t add_rows(const render::BlockAt& at, int first_row,
                        std::span<const lighting::Vector3> energy) override {
    const auto width = static_cast<std::size_t>(patch_.width);
    const std::lock_guard lock(mutex_);
    check_at(at);
    if (open_[worker(at)] != at.block) faults.push_back("rows outside their block");
    if (first_row != next_row_[worker(at)]) faults.push_back("rows out of order");
    if (energy.size() % width != 0 || energy.empty()) faults.push_back("not whole rows");
    const auto rows = static_cast<int>(energy.size() / width);
    most_rows_per_pass = std::max(most_rows_per_pass, rows);
    std::vector<lighting::Vector3> expected(width);
    for (int index = 0; index < rows; ++index) {
      const int row = first_row + index;
      if (row / block_rows_ != at.block) faults.push_back("a row of another block");
      ++row_seen[static_cast<std::size_t>(row)];
      render::shade_row(scene_, patch_, row, expected);
      for (std::size_t column = 0; column < width; ++column) {
        const auto& got = energy[static_cast<std::size_t>(index) * width + column];
        if (lighting_bits(got) != lighting_bits(expected[column])) {
          faults.push_back("energy differs at row " + std::to_string(row));
        }
      }
    }
    next_row_[worker(at)] = first_row + rows;
    return static_cast<std::int64_t>(energy.size());  // as if every pixel were non-finite
  }
  void finish(const render::BlockAt& at) override {
    const std::lock_guard lock(mutex_);
    if (open_[worker(at)] != at.block) faults.push_back("finish without begin");
    open_[worker(at)] = -1;
  }
  void write(int block, int slot) override {
    const std::lock_guard lock(mutex_);
    if (slot != block % shape_.slots) faults.push_back("write from the wrong slot");
    written.push_back(block);
  }

  const render::PipelineShape& shape() const { return shape_; }

  std::vector<int> row_seen;
  int prepared = 0;
  int most_rows_per_pass = 0;
  std::vector<int> written;
  std::vector<std::string> faults;

 private:
  static std::array<std::uint32_t, 3> lighting_bits(const lighting::Vector3& v) {
    return {std::bit_cast<std::uint32_t>(v.x), std::bit_cast<std::uint32_t>(v.y),
            std::bit_cast<std::uint32_t>(v.z)};
  }
  static std::size_t worker(const render::BlockAt& at) {
    return static_cast<std::size_t>(at.worker);
  }
  void check_at(const render::BlockAt& at) {
    if (at.worker < 0 || at.worker >= shape_.workers) faults.push_back("worker out of range");
    if (at.slot != at.block % shape_.slots) faults.push_back("slot is not block % slots");
  }

  const render::Scene& scene_;
  const render::Patch& patch_;
  int block_rows_;
  render::PipelineShape shape_{};
  std::mutex mutex_;
  std::vector<int> open_;
  std::vector<int> next_row_;
};

// The pixels with an infinite or NaN channel, counted on the calling thread.
std::int64_t non_finite_pixels(const render::Scene& scene, const render::Patch& patch) {
  std::vector<lighting::Vector3> energy(static_cast<std::size_t>(patch.width));
  std::int64_t count = 0;
  for (int row = 0; row < patch.height; ++row) {
    render::shade_row(scene, patch, row, energy);
    for (const auto& e : energy) count += render::is_finite(e) ? 0 : 1;
  }
  return count;
}

TEST(RenderBlocks, EveryRowReachesTheEncoderOnceInPassesAndBlocksAreWrittenInOrder) {
  const render::Scene scene = driver_scene();
  const render::Patch patch = render::make_patch(scene, 37, 103, 2.0);
  for (const int threads : {1, 2, 4}) {
    for (const int pass_rows : {1, 3, 10}) {
      RecordingEncoder encoder(scene, patch, 10);
      const std::int64_t non_finite =
          render::render_blocks(scene, patch, {10, pass_rows}, threads, encoder);
      EXPECT_EQ(encoder.prepared, 1);
      EXPECT_TRUE(encoder.faults.empty()) << encoder.faults.front();
      EXPECT_EQ(encoder.row_seen, std::vector<int>(103, 1));
      EXPECT_EQ(encoder.most_rows_per_pass, pass_rows);
      std::vector<int> in_order(11);
      std::iota(in_order.begin(), in_order.end(), 0);
      EXPECT_EQ(encoder.written, in_order);
      EXPECT_EQ(encoder.shape().blocks, 11);
      EXPECT_EQ(encoder.shape().workers, std::min(threads, render::usable_threads(threads)));
      // The sum of what every worker's add_rows returned.
      EXPECT_EQ(non_finite, 37 * 103) << threads << " threads";
    }
  }
}

class RenderFormats : public lighting_test::ScratchDirectoryTest {
 protected:
  RenderFormats() : ScratchDirectoryTest("lighting-driver-test") {}
};

// The scan, the PNG and the EXR count the same pixels, on any thread count.
TEST_F(RenderFormats, EveryFormatCountsTheNonFinitePixelsTheShadingGives) {
  render::Options options;
  options.scene = driver_scene();
  options.width = 53;
  options.height = 150;
  options.extent = 2.0;
  options.exposure = 1.0;
  const render::Patch patch =
      render::make_patch(options.scene, options.width, options.height, options.extent);
  const std::int64_t expected = non_finite_pixels(options.scene, patch);
  ASSERT_GT(expected, 0);
  ASSERT_LT(expected, 53 * 150);
  for (const int threads : {1, 3}) {
    EXPECT_EQ(render::scan_energy(options.scene, patch, threads).non_finite_pixels, expected);
    options.output = path("count.png");
    EXPECT_EQ(
        render::render_png(options, threads, render::default_png_settings()).non_finite_pixels,
        expected);
    options.output = path("count.exr");
    EXPECT_EQ(render::render_exr(options, threads, render::ExrSettings{}).non_finite_pixels,
              expected);
  }
}

TEST(RenderBlocks, PoolIsCappedByTheFormatTheBlocksAndTheCores) {
  const render::Scene scene = render::default_scene();
  const render::Patch patch = render::make_patch(scene, 8, 100, 2.0);
  const int cores = render::usable_threads(1 << 20);
  const auto shape = [&](render::BlockShape cut, int threads) {
    return render::block_pipeline_shape(patch, cut, threads);
  };
  EXPECT_EQ(shape({10, 1}, 1 << 20).workers, std::min(cores, 10));
  EXPECT_EQ(shape({10, 1}, 1 << 20).blocks, 10);
  EXPECT_EQ(shape({30, 1}, 1 << 20).blocks, 4);  // the last one shorter
  EXPECT_EQ(shape({100, 1}, 1 << 20).workers, 1);
  EXPECT_EQ(shape({1, 1, 1}, 1 << 20).workers, 1);  // the format's own cap
  EXPECT_EQ(shape({1, 1, 0}, 1 << 20).workers, 1);  // never none
  EXPECT_EQ(shape({1, 1}, 0).workers, 1);
  const auto one = shape({1, 1}, 1);
  EXPECT_EQ(one.slots, render::pipeline_slots(one.workers));
}

// Throws from the encoder on one block.
class FailingEncoder final : public render::BlockEncoder {
 public:
  void prepare(const render::PipelineShape&) override {}
  std::int64_t add_rows(const render::BlockAt& at, int,
                        std::span<const lighting::Vector3>) override {
    if (at.block == 3) throw std::runtime_error("cannot encode block 3");
    return 0;
  }
  void write(int block, int) override { written.push_back(block); }
  std::vector<int> written;
};

TEST(RenderBlocks, AnEncoderFailureStopsTheRenderAndIsRethrown) {
  const render::Scene scene = render::default_scene();
  const render::Patch patch = render::make_patch(scene, 16, 400, 2.0);
  for (const int threads : {1, 3}) {
    FailingEncoder encoder;
    EXPECT_THROW(render::render_blocks(scene, patch, {4, 2}, threads, encoder), std::runtime_error);
    EXPECT_LE(encoder.written.size(), 3u);
    for (std::size_t i = 0; i < encoder.written.size(); ++i) {
      EXPECT_EQ(encoder.written[i], static_cast<int>(i));
    }
  }
}

// --- PNG in blocks ----------------------------------------------------------

struct Decoded {
  int width = 0;
  int height = 0;
  Bytes rgb;
};

// libpng reading from memory; an empty result if it reports an error.
Decoded decode_png(const Bytes& file) {
  struct Reader {
    const Bytes* file;
    std::size_t at = 8;
  } reader{&file};
  Decoded image;
  if (file.size() < 8 || png_sig_cmp(file.data(), 0, 8) != 0) return image;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return {};
  }
  png_set_read_fn(png, &reader, [](png_structp p, png_bytep out, png_size_t size) {
    auto& r = *static_cast<Reader*>(png_get_io_ptr(p));
    if (r.at + size > r.file->size()) png_error(p, "past the end");
    std::memcpy(out, r.file->data() + r.at, size);
    r.at += size;
  });
  png_set_sig_bytes(png, 8);
  png_read_info(png, info);
  image.width = static_cast<int>(png_get_image_width(png, info));
  image.height = static_cast<int>(png_get_image_height(png, info));
  image.rgb.resize(3 * static_cast<std::size_t>(image.width) *
                   static_cast<std::size_t>(image.height));
  for (int row = 0; row < image.height; ++row) {
    png_read_row(png,
                 image.rgb.data() +
                     3 * static_cast<std::size_t>(row) * static_cast<std::size_t>(image.width),
                 nullptr);
  }
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return image;
}

std::uint32_t read_u32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
         at[3];
}

// The file's chunk types in order, and its IDAT data joined.
struct Chunks {
  std::vector<std::string> types;
  Bytes idat;
};
Chunks chunks_of(const Bytes& file) {
  Chunks chunks;
  for (std::size_t at = 8; at + 12 <= file.size();) {
    const std::uint32_t size = read_u32(&file[at]);
    const std::string type(reinterpret_cast<const char*>(&file[at + 4]), 4);
    chunks.types.push_back(type);
    if (type == "IDAT") {
      chunks.idat.insert(chunks.idat.end(), file.begin() + static_cast<std::ptrdiff_t>(at + 8),
                         file.begin() + static_cast<std::ptrdiff_t>(at + 8 + size));
    }
    at += 12 + size;
  }
  return chunks;
}

// zlib's own inflate, which checks the Adler-32: the filtered rows, or empty
// if the stream is broken, ends early or has bytes after its end.
Bytes inflate_whole(const Bytes& stream, std::size_t expected) {
  Bytes out(expected + 1);
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return {};
  z.next_in = const_cast<std::uint8_t*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int status = inflate(&z, Z_FINISH);
  const bool whole = status == Z_STREAM_END && z.avail_in == 0 && z.total_out == expected;
  inflateEnd(&z);
  if (!whole) return {};
  out.resize(expected);
  return out;
}

Bytes file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class PngBlocks : public lighting_test::ScratchDirectoryTest {
 protected:
  PngBlocks() : ScratchDirectoryTest("lighting-pipeline-test") {}

  Bytes write_rows(const std::string& name, int width, const std::vector<Bytes>& rows,
                   render::PngSettings settings) const {
    render::PngFileWriter writer(path(name), width, static_cast<int>(rows.size()), settings);
    for (const auto& row : rows) writer.write_row(row);
    writer.commit();
    return file_bytes(path(name));
  }

  render::Options options_for(const std::string& name, int width, int height) const {
    render::Options options;
    options.scene = render::default_scene();
    options.width = width;
    options.height = height;
    options.output = path(name);
    return options;
  }
};

// Rows with runs, ramps and noise, so that every filter wins somewhere.
std::vector<Bytes> test_rows(int width, int height) {
  std::mt19937 random(12345);
  std::vector<Bytes> rows;
  for (int row = 0; row < height; ++row) {
    Bytes bytes(3 * static_cast<std::size_t>(width));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      switch (row % 3) {
        case 0:
          bytes[i] = static_cast<std::uint8_t>(random());
          break;
        case 1:
          bytes[i] = static_cast<std::uint8_t>(i / 3 + static_cast<std::size_t>(row));
          break;
        default:
          bytes[i] = static_cast<std::uint8_t>(row * 7);
      }
    }
    rows.push_back(std::move(bytes));
  }
  return rows;
}

TEST_F(PngBlocks, EveryFilterAndLevelDecodesToTheRowsThatWentIn) {
  constexpr int kWidth = 700;  // 2101 bytes a row: blocks of 249 rows
  const auto rows = test_rows(kWidth, 600);
  const auto layout = render::png_layout(kWidth, 600, {1, PNG_FILTER_UP});
  ASSERT_EQ(layout.block_rows, 249);
  ASSERT_EQ(layout.blocks, 3);
  Bytes expected;
  for (const auto& row : rows) expected.insert(expected.end(), row.begin(), row.end());
  for (const int filters : {PNG_FILTER_NONE, PNG_FILTER_SUB, PNG_FILTER_UP, PNG_FILTER_AVG,
                            PNG_FILTER_PAETH, PNG_ALL_FILTERS}) {
    for (const auto& [level, strategy] :
         {std::pair{0, Z_DEFAULT_STRATEGY}, std::pair{1, Z_RLE}, std::pair{1, Z_FILTERED},
          std::pair{9, Z_DEFAULT_STRATEGY}}) {
      SCOPED_TRACE("filters " + std::to_string(filters) + ", level " + std::to_string(level) +
                   ", strategy " + std::to_string(strategy));
      const Bytes file = write_rows("filters.png", kWidth, rows, {level, filters, strategy});
      const Decoded image = decode_png(file);
      ASSERT_EQ(image.width, kWidth);
      ASSERT_EQ(image.height, 600);
      EXPECT_TRUE(image.rgb == expected);
      // The first row of each block cannot have looked at the row above.
      const Bytes raw = inflate_whole(chunks_of(file).idat, 600 * (1 + 3 * std::size_t{kWidth}));
      ASSERT_FALSE(raw.empty());
      for (int block = 0; block < layout.blocks; ++block) {
        const std::uint8_t type =
            raw[static_cast<std::size_t>(block * layout.block_rows) * (1 + 3 * kWidth)];
        EXPECT_LE(type, 1) << "block " << block;
      }
    }
  }
}

TEST_F(PngBlocks, ImageDataIsOneZlibStreamWithAnIdatPerBlockAndTheAdlerLast) {
  constexpr int kWidth = 300;
  const auto rows = test_rows(kWidth, 2000);  // 901 bytes a row: blocks of 581 rows
  const Bytes file = write_rows("stream.png", kWidth, rows, render::default_png_settings());
  const Chunks chunks = chunks_of(file);
  const auto blocks = static_cast<std::size_t>(
      render::png_layout(kWidth, 2000, render::default_png_settings()).blocks);
  ASSERT_EQ(blocks, 4u);
  std::vector<std::string> want = {"IHDR", "sRGB", "gAMA", "cHRM"};
  want.insert(want.end(), blocks + 1, "IDAT");
  want.push_back("IEND");
  EXPECT_EQ(chunks.types, want);
  EXPECT_FALSE(inflate_whole(chunks.idat, 2000 * (1 + 3 * std::size_t{kWidth})).empty());
  // A wrong Adler-32 is refused: the check above means something.
  Bytes broken = chunks.idat;
  broken.back() ^= 1;
  EXPECT_TRUE(inflate_whole(broken, 2000 * (1 + 3 * std::size_t{kWidth})).empty());
}

TEST_F(PngBlocks, RenderIsTheSameFileForEveryThreadCountAndAsTheSerialWriter) {
  // 9001 bytes a row: blocks of 58 rows, 13 blocks, the last of 4 rows.
  auto options = options_for("threads.png", 3000, 700);
  Bytes first;
  double exposure = 0.0;
  for (const int threads : {1, 2, 3, 8}) {
    exposure = render::render_png(options, threads, render::default_png_settings()).exposure;
    const Bytes file = file_bytes(options.output);
    if (first.empty()) first = file;
    EXPECT_TRUE(file == first) << threads << " threads";
  }
  // The same rows through PngFileWriter on this thread alone.
  const render::Patch patch = render::make_patch(options.scene, 3000, 700, options.extent);
  const auto tone = render::make_tone_table(exposure);
  std::vector<lighting::Vector3> energy(3000);
  std::vector<Bytes> rows;
  for (int row = 0; row < 700; ++row) {
    render::shade_row(options.scene, patch, row, energy);
    rows.emplace_back(9000);
    render::tone_map_row(tone, energy, rows.back());
  }
  EXPECT_TRUE(write_rows("serial.png", 3000, rows, render::default_png_settings()) == first);
  Bytes expected;
  for (const auto& row : rows) expected.insert(expected.end(), row.begin(), row.end());
  EXPECT_TRUE(decode_png(first).rgb == expected);
}

TEST_F(PngBlocks, DeviceThatTakesNoBytesFailsBeforeAnyShading) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  auto options = options_for("unused.png", 4096, 4096);
  options.output = "/dev/full";  // automatic exposure: the scan would come first
  int reports = 0;
  try {
    render::render_png(options, 2, render::default_png_settings(), [&](double) { ++reports; });
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("/dev/full"), std::string::npos) << error.what();
  }
  EXPECT_EQ(reports, 0);
}

// Runs `work` in a child process whose files may not grow beyond `limit`
// bytes; its exit status: 0 if it returned, 1 if it threw a runtime_error
// naming the limit, 2 for anything else.
int status_under_file_limit(rlim_t limit, const std::function<void()>& work) {
  const pid_t child = fork();
  if (child == 0) {
    const rlimit small{limit, limit};
    setrlimit(RLIMIT_FSIZE, &small);
    int code = 2;
    try {
      work();
      code = 0;
    } catch (const std::runtime_error& error) {
      code = std::string(error.what()).find("File too large") != std::string::npos ? 1 : 2;
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(PngBlocks, WriteFailureInTheMiddleStopsTheWorkersAndLeavesNothing) {
  // About 400 kB of PNG against a 100 kB limit: the head goes out, a later
  // block's write fails on one of the workers.
  const auto options = options_for("limited.png", 2000, 2000);
  EXPECT_EQ(status_under_file_limit(
                100000, [&] { render::render_png(options, 2, render::default_png_settings()); }),
            1);
  EXPECT_TRUE(fs::is_empty(fs::path(options.output).parent_path()));
}

TEST_F(PngBlocks, SinglePixelAndSingleRowImagesDecode) {
  for (const auto& [width, height] : {std::pair{1, 1}, std::pair{5000, 1}, std::pair{1, 900}}) {
    const auto rows = test_rows(width, height);
    const Decoded image = decode_png(write_rows("small.png", width, rows, {1, PNG_ALL_FILTERS}));
    Bytes expected;
    for (const auto& row : rows) expected.insert(expected.end(), row.begin(), row.end());
    EXPECT_EQ(image.width, width);
    EXPECT_TRUE(image.rgb == expected) << width << " x " << height;
  }
}

TEST(PngLayout, BlocksHoldWholeRowsAtLeastOneAndRefuseWhatAPngCannotBe) {
  // A row longer than a block's bytes is a block of its own.
  const auto wide = render::png_layout(200000, 3, render::default_png_settings());
  EXPECT_EQ(wide.block_rows, 1);
  EXPECT_EQ(wide.blocks, 3);
  const auto tall = render::png_layout(1, 300000, render::default_png_settings());
  EXPECT_EQ(tall.block_rows, static_cast<int>(render::kPngBlockBytes / 4));
  EXPECT_EQ(tall.blocks, 3);
  EXPECT_THROW(render::png_layout(0, 1, render::default_png_settings()), std::invalid_argument);
  EXPECT_THROW(render::png_layout(1, 1, {10, PNG_FILTER_UP}), std::invalid_argument);
  EXPECT_THROW(render::png_layout(1, 1, {1, 0x100}), std::invalid_argument);
  EXPECT_THROW(render::png_layout(1, 1, {1, PNG_FILTER_UP, Z_FIXED + 1}), std::invalid_argument);
}

TEST_F(PngBlocks, WriterRefusesRowsOfTheWrongSizeOrTooMany) {
  render::PngFileWriter writer(path("refused.png"), 4, 1, render::default_png_settings());
  EXPECT_THROW(writer.write_row(Bytes(11)), std::invalid_argument);
  writer.write_row(Bytes(12));
  EXPECT_THROW(writer.write_row(Bytes(12)), std::logic_error);
}

}  // namespace
