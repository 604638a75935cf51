// lighting-render's OpenEXR output: every pixel read back with OpenEXR holds
// the bits of diffused_energy at the pixel's point, the header says what the
// image shows, and the file does not depend on the thread count.
#include <ImfChannelList.h>
#include <ImfChromaticities.h>
#include <ImfDoubleAttribute.h>
#include <ImfFloatAttribute.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfInputFile.h>
#include <ImfStandardAttributes.h>
#include <ImfVecAttribute.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "exr_render.hpp"
#include "float_bits.hpp"
#include "scratch_directory.hpp"

namespace {

namespace fs = std::filesystem;
using lighting_test::bits;
using lighting_test::is_nan_bits;
using lighting_test::same_result;

struct ExrImage {
  int width = 0;
  int height = 0;
  std::vector<lighting::Vector3> pixels;  // R, G, B as x, y, z
  const lighting::Vector3& at(int column, int row) const {
    return pixels[static_cast<std::size_t>(row) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(column)];
  }
};

ExrImage read_exr(const fs::path& path) {
  Imf::InputFile file(path.c_str());
  const Imath::Box2i window = file.header().dataWindow();
  ExrImage image;
  image.width = window.max.x - window.min.x + 1;
  image.height = window.max.y - window.min.y + 1;
  image.pixels.resize(static_cast<std::size_t>(image.width) *
                      static_cast<std::size_t>(image.height));
  char* base = reinterpret_cast<char*>(image.pixels.data());
  const std::size_t row_bytes = sizeof(lighting::Vector3) * static_cast<std::size_t>(image.width);
  Imf::FrameBuffer frame;
  frame.insert("R", Imf::Slice(Imf::FLOAT, base, sizeof(lighting::Vector3), row_bytes));
  frame.insert("G", Imf::Slice(Imf::FLOAT, base + 4, sizeof(lighting::Vector3), row_bytes));
  frame.insert("B", Imf::Slice(Imf::FLOAT, base + 8, sizeof(lighting::Vector3), row_bytes));
  file.setFrameBuffer(frame);
  file.readPixels(window.min.y, window.max.y);
  return image;
}

std::string file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class ExrTest : public lighting_test::ScratchDirectoryTest {
 protected:
  ExrTest() : ScratchDirectoryTest("lighting-exr-test") {}

  render::Options options_for(const std::string& name, int width, int height) const {
    render::Options options;
    options.scene = render::default_scene();
    options.width = width;
    options.height = height;
    options.output = path(name);
    options.format = render::ImageFormat::exr;
    return options;
  }
};

render::ExrSettings settings(render::ExrCompression compression) {
  render::ExrSettings result;
  result.compression = compression;
  return result;
}

// Rows handed to an ExrWriter as they come, on the calling thread: whole
// chunks are encoded and written, the rest waits for more rows.
class ExrRowWriter {
 public:
  ExrRowWriter(render::ExrWriter& writer, int width, int height)
      : writer_(writer), encoder_(writer), width_(width), height_(height) {}

  void write_rows(std::span<const lighting::Vector3> rows) {
    const auto width = static_cast<std::size_t>(width_);
    if (rows.size() % width != 0 ||
        rows.size() / width > static_cast<std::size_t>(height_ - rows_accepted_)) {
      throw std::invalid_argument("write_rows: not a whole number of remaining rows");
    }
    pending_.insert(pending_.end(), rows.begin(), rows.end());
    rows_accepted_ += static_cast<int>(rows.size() / width);
    const auto chunk = static_cast<std::size_t>(writer_.rows_per_chunk());
    const std::size_t pending_rows = pending_.size() / width;
    const std::size_t ready =
        rows_accepted_ == height_ ? pending_rows : pending_rows / chunk * chunk;
    if (ready == 0) return;
    writer_.encode(encoder_, rows_written_, std::span(pending_).first(ready * width), block_);
    writer_.write(block_);
    rows_written_ += static_cast<int>(ready);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(ready * width));
  }

 private:
  render::ExrWriter& writer_;
  render::ExrChunkEncoder encoder_;
  render::ExrBlock block_;
  std::vector<lighting::Vector3> pending_;
  int width_;
  int height_;
  int rows_accepted_ = 0;
  int rows_written_ = 0;
};

// Every pixel against the scalar diffused_energy at its point; returns the
// mismatches, reporting the first few.
int count_mismatches(const render::Options& options, const ExrImage& image) {
  const render::Patch patch =
      render::make_patch(options.scene, options.width, options.height, options.extent);
  const auto& scene = options.scene;
  int mismatches = 0;
  for (int row = 0; row < options.height; ++row) {
    for (int column = 0; column < options.width; ++column) {
      lighting::Vector3 want{};
      lighting::diffused_energy(render::patch_point(patch, column, row), scene.normal,
                                scene.reflectance, scene.light, want);
      const lighting::Vector3& got = image.at(column, row);
      const bool same = same_result(bits(want.x), bits(got.x)) &&
                        same_result(bits(want.y), bits(got.y)) &&
                        same_result(bits(want.z), bits(got.z));
      if (!same && ++mismatches <= 5) {
        ADD_FAILURE() << "pixel (" << column << ", " << row << "): " << std::hexfloat << got.x
                      << " " << got.y << " " << got.z << " instead of " << want.x << " " << want.y
                      << " " << want.z;
      }
    }
  }
  return mismatches;
}

TEST_F(ExrTest, EveryPixelHoldsTheBitsOfDiffusedEnergyForEveryCompression) {
  for (const auto compression :
       {render::ExrCompression::none, render::ExrCompression::rle, render::ExrCompression::zips,
        render::ExrCompression::zip, render::ExrCompression::piz}) {
    SCOPED_TRACE(std::string(render::exr_compression_name(compression)));
    // Odd, not square, and taller than a block, so that blocks end mid-way
    // through OpenEXR's 16- and 32-row chunks.
    auto options = options_for("every.exr", 37, render::kExrBlockRows + 29);
    const auto result = render::render_exr(options, 2, settings(compression));
    EXPECT_EQ(result.non_finite_pixels, 0);
    const ExrImage image = read_exr(options.output);
    ASSERT_EQ(image.width, 37);
    ASSERT_EQ(image.height, render::kExrBlockRows + 29);
    EXPECT_EQ(count_mismatches(options, image), 0);
  }
}

TEST_F(ExrTest, LightAtAPixelsPointKeepsItsNonFiniteEnergy) {
  // With 5 x 5 pixels the centre pixel's point is the scene's point exactly.
  auto options = options_for("nan.exr", 5, 5);
  options.scene.light.position = options.scene.point;
  const auto result = render::render_exr(options, 2, settings(render::ExrCompression::zip));
  EXPECT_EQ(result.non_finite_pixels, 1);
  const ExrImage image = read_exr(options.output);
  ASSERT_EQ(image.width, 5);
  const lighting::Vector3& centre = image.at(2, 2);
  EXPECT_TRUE(is_nan_bits(bits(centre.x)) && is_nan_bits(bits(centre.y)) &&
              is_nan_bits(bits(centre.z)))
      << std::hexfloat << centre.x << " " << centre.y << " " << centre.z;
  EXPECT_EQ(count_mismatches(options, image), 0);
}

TEST_F(ExrTest, LightBehindTheSurfaceKeepsSignedZeros) {
  // The clamped cosine is +0; a negative reflectance turns the product into -0.
  auto options = options_for("behind.exr", 9, 7);
  options.scene.light.position = {-1.0f, 2.0f, -4.0f};
  options.scene.reflectance = {-0.5f, 0.5f, -1.0f};
  render::render_exr(options, 2, settings(render::ExrCompression::piz));
  const ExrImage image = read_exr(options.output);
  ASSERT_EQ(image.width, 9);
  for (const auto& pixel : image.pixels) {
    ASSERT_EQ(bits(pixel.x), 0x80000000u);
    ASSERT_EQ(bits(pixel.y), 0x00000000u);
    ASSERT_EQ(bits(pixel.z), 0x80000000u);
  }
  EXPECT_EQ(count_mismatches(options, image), 0);
}

TEST_F(ExrTest, OnePixelImageHoldsTheScenesPointEnergy) {
  auto options = options_for("one.exr", 1, 1);
  render::render_exr(options, 1, settings(render::ExrCompression::zip));
  lighting::Vector3 want{};
  const auto& scene = options.scene;
  lighting::diffused_energy(scene.point, scene.normal, scene.reflectance, scene.light, want);
  const ExrImage image = read_exr(options.output);
  ASSERT_EQ(image.pixels.size(), 1u);
  EXPECT_EQ(bits(image.pixels[0].x), bits(want.x));
  EXPECT_EQ(bits(image.pixels[0].y), bits(want.y));
  EXPECT_EQ(bits(image.pixels[0].z), bits(want.z));
  // The demo's figures: 0.111803 0.055902 0.111803.
  EXPECT_EQ(bits(image.pixels[0].x), bits(0x1.c9f25ap-4f));
  EXPECT_EQ(bits(image.pixels[0].y), bits(0x1.c9f25ap-5f));
  EXPECT_EQ(bits(image.pixels[0].z), bits(0x1.c9f25ap-4f));
}

TEST_F(ExrTest, HeaderCarriesTheSceneAndRec709Chromaticities) {
  auto options = options_for("header.exr", 4, 3);
  options.scene = {{0x1.8p0f, -2.0f, 0x1p-149f},  // a subnormal survives too
                   {0.0f, 0.0f, 2.0f},
                   {0.25f, 0.5f, 0.75f},
                   {{3.0f, -1.0f, 6.0f}, 0.125f, 0.0f, 1.0f, 0x1.fffffep127f}};
  options.extent = 0.1;  // not a float: kept as a double
  render::render_exr(options, 1, settings(render::ExrCompression::none));

  Imf::InputFile file(options.output.c_str());
  const Imf::Header& header = file.header();
  const auto expect_v3f = [&](const char* name, const lighting::Vector3& want) {
    const auto* attribute = header.findTypedAttribute<Imf::V3fAttribute>(name);
    ASSERT_NE(attribute, nullptr) << name;
    EXPECT_EQ(bits(attribute->value().x), bits(want.x)) << name;
    EXPECT_EQ(bits(attribute->value().y), bits(want.y)) << name;
    EXPECT_EQ(bits(attribute->value().z), bits(want.z)) << name;
  };
  const auto& scene = options.scene;
  expect_v3f("surfacePoint", scene.point);
  expect_v3f("surfaceNormal", scene.normal);
  expect_v3f("surfaceReflectance", scene.reflectance);
  expect_v3f("lightPosition", scene.light.position);
  expect_v3f("lightColour", {scene.light.r, scene.light.g, scene.light.b});
  const auto* intensity = header.findTypedAttribute<Imf::FloatAttribute>("lightIntensity");
  ASSERT_NE(intensity, nullptr);
  EXPECT_EQ(bits(intensity->value()), bits(0x1.fffffep127f));
  const auto* extent = header.findTypedAttribute<Imf::DoubleAttribute>("patchExtent");
  ASSERT_NE(extent, nullptr);
  EXPECT_EQ(extent->value(), 0.1);

  ASSERT_TRUE(Imf::hasChromaticities(header));
  const Imf::Chromaticities& c = Imf::chromaticities(header);
  EXPECT_EQ(c.red, Imath::V2f(0.64f, 0.33f));
  EXPECT_EQ(c.green, Imath::V2f(0.30f, 0.60f));
  EXPECT_EQ(c.blue, Imath::V2f(0.15f, 0.06f));
  EXPECT_EQ(c.white, Imath::V2f(0.3127f, 0.3290f));

  for (const char* channel : {"R", "G", "B"}) {
    const Imf::Channel* found = header.channels().findChannel(channel);
    ASSERT_NE(found, nullptr) << channel;
    EXPECT_EQ(found->type, Imf::FLOAT) << channel;
  }
  EXPECT_EQ(header.compression(), Imf::NO_COMPRESSION);
}

TEST_F(ExrTest, FileIsByteIdenticalForOneTwoThreeAndEightThreads) {
  std::string first;
  // 8: more workers than blocks have shading tasks and zip chunks.
  for (const int threads : {1, 2, 3, 8}) {
    auto options = options_for("threads.exr", 300, 2 * render::kExrBlockRows + 5);
    options.scene.light.position = {1.0f, 2.0f, 0.0f};  // a NaN pixel as well
    render::render_exr(options, threads, settings(render::ExrCompression::zip));
    const std::string bytes = file_bytes(options.output);
    ASSERT_FALSE(bytes.empty());
    if (first.empty()) {
      first = bytes;
    } else {
      EXPECT_TRUE(bytes == first) << threads << " threads give a different file";
    }
  }
}

TEST_F(ExrTest, ThreadCountsBeyondTheCoresGiveTheSameFileForEveryCompression) {
  for (const auto compression :
       {render::ExrCompression::none, render::ExrCompression::rle, render::ExrCompression::zips,
        render::ExrCompression::zip, render::ExrCompression::piz}) {
    std::string first;
    for (const int threads : {1, 64, 1024}) {
      auto options = options_for("many.exr", 97, 3 * render::kExrBlockRows + 11);
      render::render_exr(options, threads, settings(compression));
      const std::string bytes = file_bytes(options.output);
      if (first.empty()) first = bytes;
      EXPECT_TRUE(bytes == first) << render::exr_compression_name(compression) << ", " << threads
                                  << " threads";
    }
    EXPECT_EQ(count_mismatches(options_for("many.exr", 97, 3 * render::kExrBlockRows + 11),
                               read_exr(path("many.exr"))),
              0);
  }
}

TEST(ExrBlocking, MemoryInFlightStaysWithinTheBudgetWhateverTheThreadCount) {
  for (const int width : {1, 300, 4096, 16384}) {
    for (const int chunk_rows : {1, 16, 32}) {
      for (const int threads : {1, 2, 64, 1024, 1 << 20}) {
        const auto [block_rows, workers] = render::exr_blocking(width, 2048, chunk_rows, threads);
        SCOPED_TRACE(std::to_string(width) + " wide, chunks of " + std::to_string(chunk_rows) +
                     ", " + std::to_string(threads) + " threads");
        EXPECT_EQ(block_rows % chunk_rows, 0);
        EXPECT_LE(block_rows, render::kExrBlockRows);
        EXPECT_GE(workers, 1);
        EXPECT_LE(workers, render::usable_threads(threads));
        const std::size_t block_bytes =
            static_cast<std::size_t>(block_rows) * static_cast<std::size_t>(width) * 12;
        if (workers > 1) {
          EXPECT_LE(6 * block_bytes * static_cast<std::size_t>(workers), render::kExrMemoryBudget);
        }
      }
    }
  }
  // A short image is one block, and one worker.
  const auto [rows, workers] = render::exr_blocking(300, 5, 16, 8);
  EXPECT_EQ(rows, 5);
  EXPECT_EQ(workers, 1);
}

TEST_F(ExrTest, WriteFailureInTheMiddleStopsTheWorkersAndLeavesNothing) {
  // About 600 kB of zip against a 100 kB file-size limit, in a child process:
  // the header goes out, a later block's chunks fail on one of the workers.
  const auto options = options_for("limited.exr", 300, 600);
  const pid_t child = fork();
  if (child == 0) {
    const rlimit small{100000, 100000};
    setrlimit(RLIMIT_FSIZE, &small);
    int code = 2;
    try {
      render::render_exr(options, 2, settings(render::ExrCompression::zip));
      code = 0;
    } catch (const std::runtime_error& error) {
      code = std::string(error.what()).find("File too large") != std::string::npos ? 1 : 3;
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_TRUE(files().empty());
}

TEST_F(ExrTest, DeviceThatTakesNoBytesFailsBeforeAnyShading) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  auto options = options_for("unused.exr", 4096, 4096);
  options.output = "/dev/full";
  int reports = 0;
  EXPECT_THROW(render::render_exr(options, 2, settings(render::ExrCompression::zip),
                                  [&](double) { ++reports; }),
               std::runtime_error);
  EXPECT_EQ(reports, 0);
}

TEST_F(ExrTest, NonFinitePixelsAreCountedOnceWhateverTheThreadCount) {
  // Odd sides put a pixel's point exactly on the scene's point, in the
  // middle block; the light there makes that one pixel NaN.
  for (const int threads : {1, 2, 3}) {
    SCOPED_TRACE(threads);
    auto options = options_for("count.exr", 301, 2 * render::kExrBlockRows + 7);
    options.scene.light.position = options.scene.point;
    const auto result = render::render_exr(options, threads, settings(render::ExrCompression::rle));
    EXPECT_EQ(result.non_finite_pixels, 1);
    const ExrImage image = read_exr(options.output);
    const lighting::Vector3& centre = image.at(150, render::kExrBlockRows + 3);
    EXPECT_TRUE(is_nan_bits(bits(centre.x)));
  }
}

TEST_F(ExrTest, RowsWiderThanOneShadingTaskKeepTheirBits) {
  // Wider than one task's share of pixels: each row is a task of its own.
  auto options = options_for("wide.exr", 16411, 3);
  render::render_exr(options, 2, settings(render::ExrCompression::zip));
  const ExrImage image = read_exr(options.output);
  ASSERT_EQ(image.width, 16411);
  EXPECT_EQ(count_mismatches(options, image), 0);
}

TEST_F(ExrTest, UncompressedRowsLongerThanAPageKeepTheirBits) {
  // Without compression a chunk is one row: from 342 pixels on (4104 bytes)
  // it goes straight out behind the gathered row number and size; narrower
  // ones are gathered with them.
  for (const int width : {341, 342, 700}) {
    SCOPED_TRACE(width);
    auto options = options_for("long.exr", width, render::kExrBlockRows + 3);
    render::render_exr(options, 2, settings(render::ExrCompression::none));
    const ExrImage image = read_exr(options.output);
    ASSERT_EQ(image.width, width);
    EXPECT_EQ(count_mismatches(options, image), 0);
  }
}

TEST_F(ExrTest, PipeGetsTheSameBytesAsARegularFile) {
  // A FIFO cannot seek: the writer spools to a temporary file and copies it out.
  auto options = options_for("regular.exr", 50, 40);
  render::render_exr(options, 2, settings(render::ExrCompression::zip));
  const std::string fifo = path("pipe.exr");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = file_bytes(fifo); });
  auto piped = options;
  piped.output = fifo;
  render::render_exr(piped, 2, settings(render::ExrCompression::zip));
  reader.join();
  EXPECT_FALSE(received.empty());
  EXPECT_TRUE(received == file_bytes(options.output));
}

TEST_F(ExrTest, FailedRenderLeavesTheOldFileAlone) {
  auto options = options_for("kept.exr", 8, 8);
  { std::ofstream(options.output) << "old contents"; }
  render::OutputFile target(options.output);
  {
    render::ExrWriter writer(target, 8, 8, settings(render::ExrCompression::zip),
                             {options.scene, options.extent});
    ExrRowWriter rows(writer, 8, 8);
    std::vector<lighting::Vector3> row(8);
    rows.write_rows(row);
    EXPECT_THROW(rows.write_rows(std::vector<lighting::Vector3>(7)), std::invalid_argument);
    EXPECT_THROW(writer.finish(), std::logic_error);  // 7 rows missing
  }
  EXPECT_EQ(file_bytes(options.output), "old contents");
}

TEST(ExrOptions, NameEndingInExrSelectsExrUnlessFormatSaysOtherwise) {
  using render::ImageFormat;
  using render::parse_options;
  EXPECT_EQ(parse_options({}).format, ImageFormat::png);
  EXPECT_EQ(parse_options({"-o", "a.exr"}).format, ImageFormat::exr);
  EXPECT_EQ(parse_options({"-o", "A.EXR"}).format, ImageFormat::exr);
  EXPECT_EQ(parse_options({"-o", "a.exr.png"}).format, ImageFormat::png);
  EXPECT_EQ(parse_options({"-o", "exr"}).format, ImageFormat::png);
  EXPECT_EQ(parse_options({"--format", "png", "-o", "a.exr"}).format, ImageFormat::png);
  EXPECT_EQ(parse_options({"-o", "a.png", "--format=exr"}).format, ImageFormat::exr);
  EXPECT_EQ(parse_options({"-o", "a.exr"}).compression, render::ExrCompression::zip);
  EXPECT_EQ(parse_options({"--compression", "piz", "-o", "a.exr"}).compression,
            render::ExrCompression::piz);
}

TEST(ExrOptions, RefusesWhatDoesNotApplyOrDoesNotExist) {
  const auto message = [](const std::vector<std::string>& arguments) -> std::string {
    try {
      render::parse_options(arguments);
    } catch (const std::invalid_argument& error) {
      return error.what();
    }
    return "accepted";
  };
  // The order of the options must not matter.
  EXPECT_EQ(message({"--exposure", "2", "-o", "a.exr"}).rfind("--exposure: '2'", 0), 0u);
  EXPECT_EQ(message({"-o", "a.png", "--exposure", "2", "--format", "exr"}).rfind("--exposure", 0),
            0u);
  EXPECT_EQ(message({"--format", "tiff"}).rfind("--format: 'tiff'", 0), 0u);
  EXPECT_EQ(message({"--format", "EXR"}).rfind("--format", 0), 0u);
  EXPECT_EQ(message({"-o", "a.exr", "--compression", "pxr24"}).rfind("--compression", 0), 0u);
  EXPECT_EQ(message({"--compression", "zip"}).rfind("--compression", 0), 0u);
  EXPECT_EQ(message({"--exposure", "2", "-o", "a.exr", "--format", "png"}), "accepted");
}

}  // namespace
