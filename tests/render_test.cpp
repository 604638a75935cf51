// lighting-render's parts: the picture read back from the PNG against the
// lighting model evaluated directly, the tone table against the formula,
// thread-count independence, and the atomic output.
#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "float_bits.hpp"
#include "option_errors.hpp"
#include "output_file.hpp"
#include "png_file_writer.hpp"
#include "png_render.hpp"
#include "scoped_environment.hpp"
#include "tone.hpp"

namespace {

namespace fs = std::filesystem;

struct Image {
  int width = 0;
  int height = 0;
  int color_type = -1;
  int bit_depth = 0;
  bool srgb = false;
  std::vector<std::uint8_t> rgb;
  const std::uint8_t* pixel(int column, int row) const {
    return &rgb[3 * (static_cast<std::size_t>(row) * static_cast<std::size_t>(width) +
                     static_cast<std::size_t>(column))];
  }
};

// Reads a PNG with libpng's low-level API so that the header is seen as stored.
Image read_png(const fs::path& path) {
  Image image;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return image;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    image.width = -1;
    return image;
  }
  png_init_io(png, file);
  png_read_info(png, info);
  image.width = static_cast<int>(png_get_image_width(png, info));
  image.height = static_cast<int>(png_get_image_height(png, info));
  image.color_type = png_get_color_type(png, info);
  image.bit_depth = png_get_bit_depth(png, info);
  int intent = 0;
  image.srgb = png_get_sRGB(png, info, &intent) != 0;
  image.rgb.resize(3 * static_cast<std::size_t>(image.width) *
                   static_cast<std::size_t>(image.height));
  for (int row = 0; row < image.height; ++row) {
    png_read_row(png, const_cast<std::uint8_t*>(image.pixel(0, row)), nullptr);
  }
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  return image;
}

std::string file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class RenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("lighting-render-test-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory_);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }
  fs::path path(const std::string& name) const { return directory_ / name; }
  std::vector<fs::path> files() const {
    return {fs::directory_iterator(directory_), fs::directory_iterator()};
  }

 private:
  fs::path directory_;
};

// The expected picture, computed directly: the default normal (0, 0, 1) puts
// +X to the right and +Y up, pixel centres at (c + 0.5, r + 0.5).
struct Expected {
  render::Options options;
  double pixel;
  lighting::Vector3 energy(int column, int row) const {
    const auto& scene = options.scene;
    const lighting::Vector3 point{
        static_cast<float>(double(scene.point.x) + ((column + 0.5) - 0.5 * options.width) * pixel),
        static_cast<float>(double(scene.point.y) + (0.5 * options.height - (row + 0.5)) * pixel),
        scene.point.z};
    lighting::Vector3 out{};
    lighting::diffused_energy(point, scene.normal, scene.reflectance, scene.light, out);
    return out;
  }
};

Expected expected_for(const render::Options& options) {
  return {options, options.extent / std::max(options.width, options.height)};
}

TEST_F(RenderTest, EveryPixelIsTheDirectlyComputedEnergyThroughTheCurve) {
  for (const bool automatic : {true, false}) {
    render::Options options;
    options.scene = render::default_scene();
    options.width = 37;  // odd and not square: the centre and the aspect matter
    options.height = 23;
    options.output = path("out.png");
    if (!automatic) options.exposure = 3.5;
    const auto result = render::render_png(options, 2, render::default_png_settings());

    const Expected expected = expected_for(options);
    float brightest = 0.0f;
    for (int row = 0; row < options.height; ++row) {
      for (int column = 0; column < options.width; ++column) {
        const auto e = expected.energy(column, row);
        brightest = std::max({brightest, e.x, e.y, e.z});
      }
    }
    const double exposure = automatic ? 1.0 / double(brightest) : 3.5;
    EXPECT_EQ(result.exposure, exposure);
    EXPECT_EQ(result.non_finite_pixels, 0);

    const Image image = read_png(options.output);
    ASSERT_EQ(image.width, 37);
    ASSERT_EQ(image.height, 23);
    EXPECT_EQ(image.color_type, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(image.bit_depth, 8);
    EXPECT_TRUE(image.srgb);
    int mismatches = 0;
    int brightest_code = 0;
    for (int row = 0; row < options.height; ++row) {
      for (int column = 0; column < options.width; ++column) {
        const auto e = expected.energy(column, row);
        const std::uint8_t* got = image.pixel(column, row);
        const std::uint8_t want[3] = {render::srgb_code(double(e.x) * exposure),
                                      render::srgb_code(double(e.y) * exposure),
                                      render::srgb_code(double(e.z) * exposure)};
        for (int c = 0; c < 3; ++c) {
          brightest_code = std::max<int>(brightest_code, got[c]);
          if (got[c] != want[c] && ++mismatches <= 5) {
            ADD_FAILURE() << "pixel (" << column << ", " << row << ") channel " << c << ": "
                          << int(got[c]) << " instead of " << int(want[c]);
          }
        }
      }
    }
    EXPECT_EQ(mismatches, 0);
    if (automatic) {
      EXPECT_EQ(brightest_code, 255) << "the brightest value must map to 1";
    }
  }
}

TEST_F(RenderTest, AxesFollowTheHelp) {
  // Light over the top-left quadrant: the top-left corner outshines the others.
  render::Options options;
  options.scene = render::default_scene();
  options.scene.light.position = {-1.0f, 4.0f, 1.0f};
  options.width = options.height = 16;
  options.output = path("axes.png");
  render::render_png(options, 1, render::default_png_settings());
  const Image image = read_png(options.output);
  ASSERT_EQ(image.width, 16);
  EXPECT_GT(image.pixel(0, 0)[0], image.pixel(15, 0)[0]);
  EXPECT_GT(image.pixel(0, 0)[0], image.pixel(0, 15)[0]);
}

TEST_F(RenderTest, LightAtAPixelsPointIsBlackAndCounted) {
  render::Options options;
  options.scene = render::default_scene();
  options.scene.point = {0.0f, 0.0f, 0.0f};
  options.scene.light.position = {0.0f, 0.0f, 0.0f};  // the centre pixel's point
  options.width = options.height = 3;
  options.extent = 3.0;
  options.output = path("dark.png");
  const auto result = render::render_png(options, 2, render::default_png_settings());
  EXPECT_EQ(result.non_finite_pixels, 1);
  const Image image = read_png(options.output);
  ASSERT_EQ(image.width, 3);
  const std::uint8_t* centre = image.pixel(1, 1);
  EXPECT_EQ(centre[0] + centre[1] + centre[2], 0);
  // The light lies in the surface's plane: the other pixels are finite zeros,
  // so nothing is positive and the automatic exposure falls back to 1.
  EXPECT_EQ(result.exposure, 1.0);
}

TEST_F(RenderTest, NoPositiveEnergyGivesABlackImageAndExposureOne) {
  render::Options options;
  options.scene = render::default_scene();
  options.scene.light.position.z = -4.0f;  // behind the surface
  options.width = options.height = 8;
  options.output = path("black.png");
  EXPECT_EQ(render::render_png(options, 1, render::default_png_settings()).exposure, 1.0);
  const Image image = read_png(options.output);
  for (const auto byte : image.rgb) ASSERT_EQ(byte, 0);
}

TEST_F(RenderTest, FileIsByteIdenticalWhateverTheThreadCount) {
  render::Options options;
  options.scene = render::default_scene();
  options.width = 301;  // bands and rows that do not divide evenly
  options.height = 203;
  std::string first;
  for (const int threads : {1, 2, 3}) {
    options.output = path("threads-" + std::to_string(threads) + ".png");
    render::render_png(options, threads, render::default_png_settings());
    const std::string bytes = file_bytes(options.output);
    if (first.empty()) first = bytes;
    EXPECT_EQ(bytes, first) << threads << " threads";
  }
}

TEST(ToneCurve, TableAgreesWithTheFormulaAtEveryStep) {
  const render::ToneCurve curve = render::make_tone_curve(1.0);
  for (int code = 1; code <= 255; ++code) {
    const double step = curve.steps[static_cast<std::size_t>(code - 1)];
    EXPECT_EQ(render::srgb_code(step), code);
    EXPECT_EQ(render::srgb_code(std::nextafter(step, 0.0)), code - 1);
  }
  std::mt19937_64 random(7);
  std::uniform_real_distribution<float> energy(-0.1f, 1.2f);
  for (int i = 0; i < 100000; ++i) {
    const float e = energy(random);
    ASSERT_EQ(render::tone_map(curve, e), render::srgb_code(double(e))) << e;
  }
  EXPECT_EQ(render::tone_map(curve, 0.0f), 0);
  EXPECT_EQ(render::tone_map(curve, 1.0f), 255);
  EXPECT_EQ(render::tone_map(curve, 3.0e38f), 255);
}

// Ordinary exposures, the automatic one of a grazing light, extremes whose
// thresholds are subnormal (several codes to one float) or beyond the float
// range, and 0.
constexpr double kExposures[] = {1.0, 6.4, 3.5, 0.125162798, 1e-30, 1e30, 1e40, 7e44, 0.0};

// srgb_code(double(energy) * exposure), the widening done from the float's
// fields so that a subnormal energy counts even where the test's own build
// flushes subnormals to zero (-ffast-math).
int reference_code(double exposure, float energy) {
  const auto bits = std::bit_cast<std::uint32_t>(energy);
  const int exponent = static_cast<int>((bits >> 23) & 0xFFu);
  const auto mantissa = static_cast<int>(bits & 0x7FFFFFu);
  if (exponent != 0) return render::srgb_code(double(energy) * exposure);
  const double widened = std::ldexp(mantissa, -149);
  return render::srgb_code(((bits >> 31) != 0 ? -widened : widened) * exposure);
}

TEST(ToneTable, ThresholdsAreWhereTheFormulaStepsUp) {
  for (const double exposure : kExposures) {
    const render::ToneTable table = render::make_tone_table(exposure);
    EXPECT_EQ(table.thresholds[255], 0x7F800000);
    for (int code = 1; code <= 255; ++code) {
      const std::int32_t threshold = table.thresholds[static_cast<std::size_t>(code - 1)];
      if (threshold == 0x7F800000) {  // never reached
        EXPECT_LT(reference_code(exposure, 0x1.fffffep127f), code) << exposure;
        continue;
      }
      const float at = std::bit_cast<float>(threshold);
      const float below = std::bit_cast<float>(threshold - 1);
      ASSERT_GE(reference_code(exposure, at), code) << exposure << " " << at;
      ASSERT_LT(reference_code(exposure, below), code) << exposure << " " << at;
      ASSERT_EQ(render::tone_map(table, at), reference_code(exposure, at)) << exposure;
      ASSERT_EQ(render::tone_map(table, below), reference_code(exposure, below)) << exposure;
    }
  }
}

TEST(ToneTable, AgreesWithTheFormulaOnRandomEnergies) {
  std::mt19937 random(11);
  for (const double exposure : kExposures) {
    const render::ToneTable table = render::make_tone_table(exposure);
    const float top = exposure > 0.0 ? static_cast<float>(std::min(1.2 / exposure, 3e38)) : 1.0f;
    std::uniform_real_distribution<float> in_range(-0.1f * top, top);
    for (int i = 0; i < 20000; ++i) {
      // Half over the curve's range, half any finite float bits at all.
      float energy = in_range(random);
      if (i % 2 != 0) {
        // A bit test: isfinite may be folded to true under -ffinite-math-only.
        std::uint32_t bits = 0;
        do bits = static_cast<std::uint32_t>(random());
        while ((bits & 0x7F800000u) == 0x7F800000u);
        energy = std::bit_cast<float>(bits);
      }
      ASSERT_EQ(render::tone_map(table, energy), reference_code(exposure, energy))
          << exposure << " " << energy;
    }
    EXPECT_EQ(render::tone_map(table, -0.0f), 0);
    EXPECT_EQ(render::tone_map(table, 0.0f), 0);
    EXPECT_EQ(render::tone_map(table, 0x1p-149f), reference_code(exposure, 0x1p-149f));
    EXPECT_EQ(render::tone_map(table, 0x1.fffffep127f), reference_code(exposure, 0x1.fffffep127f));
  }
}

TEST(ToneTable, CrowdedBinsAreScannedToTheEnd) {
  // Thresholds among the few smallest subnormals: many codes per bin.
  const render::ToneTable table = render::make_tone_table(7e44);
  EXPECT_GT(table.scan, 1);
  for (std::uint32_t bits = 0; bits < 4096; ++bits) {
    const float energy = std::bit_cast<float>(bits);
    ASSERT_EQ(render::tone_map(table, energy), reference_code(7e44, energy)) << bits;
  }
  // And through the row, where whole vectors take the same path.
  std::vector<lighting::Vector3> row(1000);
  for (std::size_t i = 0; i < row.size(); ++i) {
    const auto bits = static_cast<std::uint32_t>(3 * i);
    row[i] = {std::bit_cast<float>(bits), std::bit_cast<float>(bits + 1),
              std::bit_cast<float>(bits + 2)};
  }
  std::vector<std::uint8_t> rgb(3 * row.size());
  EXPECT_EQ(render::tone_map_row(table, row, rgb), 0);
  for (std::size_t i = 0; i < rgb.size(); ++i) {
    ASSERT_EQ(rgb[i], reference_code(7e44, std::bit_cast<float>(static_cast<std::uint32_t>(i))))
        << i;
  }
}

TEST(ToneTable, RowBlacksOutAndCountsNonFinitePixelsAnywhere) {
  // Every length up to a few vectors, a non-finite channel at each place.
  const render::ToneTable table = render::make_tone_table(6.4);
  const float bad[] = {std::numeric_limits<float>::infinity(),
                       -std::numeric_limits<float>::infinity(),
                       std::numeric_limits<float>::quiet_NaN()};
  for (std::size_t length = 0; length <= 40; ++length) {
    std::vector<lighting::Vector3> energy(length);
    for (std::size_t i = 0; i < length; ++i) {
      const float e = 0.004f * static_cast<float>(i) - 0.01f;
      energy[i] = {e, 2.0f * e, 0.5f * e};
    }
    for (std::size_t spoilt = 0; spoilt <= length; ++spoilt) {  // == length: none
      auto row = energy;
      if (spoilt < length) (&row[spoilt].x)[spoilt % 3] = bad[spoilt % 3];
      std::vector<std::uint8_t> rgb(3 * length, 77);
      const std::int64_t counted = render::tone_map_row(table, row, rgb);
      ASSERT_EQ(counted, spoilt < length ? 1 : 0) << length << " " << spoilt;
      for (std::size_t i = 0; i < 3 * length; ++i) {
        const int want = i / 3 == spoilt ? 0 : reference_code(6.4, (&row[i / 3].x)[i % 3]);
        ASSERT_EQ(rgb[i], want) << length << " " << spoilt << " " << i;
      }
    }
  }
}

TEST_F(RenderTest, AbandonedWriterLeavesNoFileAndTheOldOneIntact) {
  const fs::path target = path("keep.png");
  std::ofstream(target) << "old";
  {
    render::PngFileWriter writer(target.string(), 4, 4, render::default_png_settings());
    const std::vector<std::uint8_t> row(12, 200);
    writer.write_row(row);
    // The image being written is unnamed (O_TMPFILE) or named beside the target.
    EXPECT_LE(files().size(), 2u);
    EXPECT_EQ(file_bytes(target), "old");
  }  // destroyed before commit
  EXPECT_EQ(files(), std::vector<fs::path>{target});
  EXPECT_EQ(file_bytes(target), "old");
}

TEST_F(RenderTest, MissingDirectoryIsReportedWithThePath) {
  render::Options options;
  options.scene = render::default_scene();
  options.width = options.height = 4;
  options.output = path("missing/out.png");
  try {
    render::render_png(options, 1, render::default_png_settings());
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("missing/out.png"), std::string::npos) << error.what();
  }
  EXPECT_TRUE(files().empty());
}

TEST(Options, ParsesEveryOptionAndBothSpellings) {
  const auto options = render::parse_options({"--point",
                                              "1,2,3",
                                              "--normal=0,1,0",
                                              "--reflectance",
                                              "0.1,0.2,0.3",
                                              "--light-position",
                                              "4,5,6",
                                              "--light-colour=1e-3,2,3",
                                              "--intensity",
                                              "-7",
                                              "--width",
                                              "10",
                                              "--height=20",
                                              "--extent",
                                              "2.5",
                                              "--exposure=0",
                                              "--threads",
                                              "3",
                                              "-o",
                                              "x.png"});
  EXPECT_EQ(options.scene.point.z, 3.0f);
  EXPECT_EQ(options.scene.normal.y, 1.0f);
  EXPECT_EQ(options.scene.reflectance.x, 0.1f);
  EXPECT_EQ(options.scene.light.position.x, 4.0f);
  EXPECT_EQ(options.scene.light.r, 1e-3f);
  EXPECT_EQ(options.scene.light.intensity, -7.0f);
  EXPECT_EQ(options.width, 10);
  EXPECT_EQ(options.height, 20);
  EXPECT_EQ(options.extent, 2.5);
  EXPECT_EQ(options.exposure, 0.0);
  EXPECT_EQ(options.threads, 3);
  EXPECT_EQ(options.output, "x.png");
}

TEST(Options, RejectsValuesTheFloatRecordsCannotHold) {
  EXPECT_THROW(render::parse_options({"--intensity", "1e39"}), std::invalid_argument);
  EXPECT_THROW(render::parse_options({"--point", "1,2,3,4"}), std::invalid_argument);
  EXPECT_THROW(render::parse_options({"--point", "1,,3"}), std::invalid_argument);
  EXPECT_THROW(render::parse_options({"--normal", "-0,0,0"}), std::invalid_argument);
  EXPECT_THROW(render::parse_options({"--width", "16385"}), std::invalid_argument);
}

// Pixel (0, 0) of a 2 x 2 patch of side 2 around the origin: -R/2 + U/2, so
// both axes' directions and signs show in one point.
lighting::Vector3 top_left_for(lighting::Vector3 normal) {
  render::Scene scene = render::default_scene();
  scene.point = {0.0f, 0.0f, 0.0f};
  scene.normal = normal;
  return render::patch_point(render::make_patch(scene, 2, 2, 2.0), 0, 0);
}

void expect_point(lighting::Vector3 normal, lighting::Vector3 expected) {
  using lighting_test::bits;
  const lighting::Vector3 got = top_left_for(normal);
  EXPECT_EQ(bits(got.x), bits(expected.x)) << normal.x << "," << normal.y << "," << normal.z;
  EXPECT_EQ(bits(got.y), bits(expected.y)) << normal.x << "," << normal.y << "," << normal.z;
  EXPECT_EQ(bits(got.z), bits(expected.z)) << normal.x << "," << normal.y << "," << normal.z;
}

TEST(Patch, AxesFollowTheHelpForSeveralNormals) {
  // R = normalise(Y x n), U = n x R.
  expect_point({0, 0, 1}, {-0.5f, 0.5f, 0.0f});   // R = +X, U = +Y
  expect_point({0, 0, -1}, {0.5f, 0.5f, 0.0f});   // R = -X, U = +Y
  expect_point({0, 0, 3}, {-0.5f, 0.5f, 0.0f});   // the length does not matter
  expect_point({2, 0, 0}, {0.0f, 0.5f, 0.5f});    // R = -Z, U = +Y
  expect_point({3, 0, 4}, {-0.4f, 0.5f, 0.3f});   // R = (0.8, 0, -0.6): z is normalised too
  expect_point({0, 3, 4}, {-0.5f, 0.4f, -0.3f});  // R = +X, U = (0, 0.8, -0.6)
  // Exactly along Y, Z takes Y's place: R = normalise(Z x n).
  expect_point({0, 1, 0}, {0.5f, 0.0f, 0.5f});    // R = -X, U = +Z
  expect_point({0, -1, 0}, {-0.5f, 0.0f, 0.5f});  // R = +X, U = +Z
}

TEST(Patch, NormalsJustOffYKeepTheYHint) {
  // On both sides of where a threshold would be, R stays +X and U keeps the
  // same orientation: no mirrored picture between neighbouring normals.
  for (const lighting::Vector3 normal :
       {lighting::Vector3{0.0f, 0.99f, 0.141f}, lighting::Vector3{0.0f, 0.9995f, 0.0316f},
        lighting::Vector3{0.0f, 1.0f, 1e-30f}}) {
    const lighting::Vector3 point = top_left_for(normal);
    EXPECT_EQ(lighting_test::bits(point.x), lighting_test::bits(-0.5f)) << normal.y;
    EXPECT_GT(point.y, 0.0f) << normal.y;
    EXPECT_LT(point.z, 0.0f) << normal.y;
  }
}

TEST(Patch, ShadeRowMatchesTheScalarFunctionAtEveryPixel) {
  render::Scene scene = render::default_scene();
  scene.normal = {0.3f, -0.2f, 2.0f};
  const render::Patch patch = render::make_patch(scene, 67, 3, 5.0);
  std::vector<lighting::Vector3> row(67);
  for (int r = 0; r < patch.height; ++r) {
    render::shade_row(scene, patch, r, row);
    for (int c = 0; c < patch.width; ++c) {
      lighting::Vector3 expected{};
      lighting::diffused_energy(render::patch_point(patch, c, r), scene.normal, scene.reflectance,
                                scene.light, expected);
      const auto& got = row[static_cast<std::size_t>(c)];
      ASSERT_EQ(lighting_test::bits(got.x), lighting_test::bits(expected.x)) << c << "," << r;
      ASSERT_EQ(lighting_test::bits(got.y), lighting_test::bits(expected.y)) << c << "," << r;
      ASSERT_EQ(lighting_test::bits(got.z), lighting_test::bits(expected.z)) << c << "," << r;
    }
  }
}

// A tilted patch whose rows are not a whole number of vectors on any target.
render::Scene tilted_scene() {
  render::Scene scene = render::default_scene();
  scene.point = {0.25f, -1.5f, 0.75f};
  scene.normal = {0.3f, -0.2f, 2.0f};
  return scene;
}

TEST(Patch, PointsKeepTheirBits) {
  // Computed with the per-pixel double formulas before the points went SIMD.
  struct Pinned {
    int column, row;
    lighting::Vector3 point;
  };
  const render::Patch patch = render::make_patch(tilted_scene(), 67, 5, 5.0);
  for (const Pinned& pinned : {
           Pinned{0, 0, {-0x1.17751cp+1f, -0x1.59f9fep+0f, 0x1.213d56p+0f}},
           Pinned{17, 1, {-0x1.dc0594p-1f, -0x1.6cfcfep+0f, 0x1.de67d6p-1f}},
           Pinned{33, 2, {0x1p-2f, -0x1.8p+0f, 0x1.8p-1f}},  // the centre pixel: the point itself
           Pinned{64, 3, {0x1.44b42cp+1f, -0x1.930302p+0f, 0x1.992696p-2f}},
           Pinned{66, 4, {0x1.57751cp+1f, -0x1.a60602p+0f, 0x1.7b0aaap-2f}},
       }) {
    std::vector<lighting::Vector3> row(67);
    render::row_points(patch, pinned.row, 0, row);
    for (const lighting::Vector3 got : {render::patch_point(patch, pinned.column, pinned.row),
                                        row[static_cast<std::size_t>(pinned.column)]}) {
      EXPECT_EQ(lighting_test::bits(got.x), lighting_test::bits(pinned.point.x)) << pinned.column;
      EXPECT_EQ(lighting_test::bits(got.y), lighting_test::bits(pinned.point.y)) << pinned.column;
      EXPECT_EQ(lighting_test::bits(got.z), lighting_test::bits(pinned.point.z)) << pinned.column;
    }
  }
}

TEST(Patch, RowPointsAgreeWithPatchPointForEveryStartAndLength) {
  // Every split of a row between whole vectors and the scalar tail.
  const render::Patch patch = render::make_patch(tilted_scene(), 67, 3, 5.0);
  std::vector<lighting::Vector3> points;
  for (int first = 0; first < patch.width; ++first) {
    for (int count = 0; first + count <= patch.width; ++count) {
      points.assign(static_cast<std::size_t>(count), lighting::Vector3{});
      render::row_points(patch, 1, first, points);
      for (int i = 0; i < count; ++i) {
        const auto expected = render::patch_point(patch, first + i, 1);
        const auto& got = points[static_cast<std::size_t>(i)];
        ASSERT_EQ(lighting_test::bits(got.x), lighting_test::bits(expected.x)) << first << "+" << i;
        ASSERT_EQ(lighting_test::bits(got.y), lighting_test::bits(expected.y)) << first << "+" << i;
        ASSERT_EQ(lighting_test::bits(got.z), lighting_test::bits(expected.z)) << first << "+" << i;
      }
    }
  }
}

TEST(Exposure, BrightestIsFoundInTheGreenChannel) {
  render::Scene scene = render::default_scene();
  scene.light.r = 0.25f;
  scene.light.g = 1.0f;
  scene.light.b = 0.5f;
  scene.reflectance = {1.0f, 1.0f, 1.0f};
  const render::Patch patch = render::make_patch(scene, 9, 7, 8.0);
  float green = 0.0f;
  float others = 0.0f;
  for (int r = 0; r < patch.height; ++r) {
    for (int c = 0; c < patch.width; ++c) {
      lighting::Vector3 e{};
      lighting::diffused_energy(render::patch_point(patch, c, r), scene.normal, scene.reflectance,
                                scene.light, e);
      green = std::max(green, e.y);
      others = std::max({others, e.x, e.z});
    }
  }
  ASSERT_GT(green, others);
  const render::EnergyScan scan = render::scan_energy(scene, patch, 2);
  EXPECT_EQ(lighting_test::bits(scan.brightest), lighting_test::bits(green));
  EXPECT_EQ(render::exposure_for(scan.brightest), 1.0 / double(green));
}

TEST(ToneCurve, ExactStepValueGetsTheHigherCode) {
  // With energy 1, the linear value is the exposure itself: exactly at a step
  // the code goes up, one double below it does not.
  render::ToneCurve curve = render::make_tone_curve(1.0);
  const auto steps = curve.steps;
  for (int code = 1; code <= 255; ++code) {
    const double step = steps[static_cast<std::size_t>(code - 1)];
    curve.exposure = step;
    ASSERT_EQ(render::tone_map(curve, 1.0f), code) << step;
    ASSERT_EQ(render::srgb_code(step), code) << step;
    curve.exposure = std::nextafter(step, 0.0);
    ASSERT_EQ(render::tone_map(curve, 1.0f), code - 1) << step;
  }
}

TEST(Options, HelpWinsOverABadOption) {
  EXPECT_TRUE(render::parse_options({"--frobnicate", "--help"}).help);
  EXPECT_TRUE(render::parse_options({"--width", "0", "-h"}).help);
  // A value that happens to read "--help" is the value, not the option.
  EXPECT_EQ(render::parse_options({"-o", "--help"}).output, "--help");
}

TEST(Options, NegativeZeroExposureIsZero) {
  const auto options = render::parse_options({"--exposure", "-0"});
  ASSERT_TRUE(options.exposure.has_value());
  EXPECT_EQ(std::bit_cast<std::uint64_t>(*options.exposure), 0u);
}

TEST(Options, RejectsAPatchBeyondTheFloatRange) {
  EXPECT_THROW(render::parse_options({"--extent", "1e39"}), std::invalid_argument);
  EXPECT_THROW(render::parse_options({"--point", "3e38,0,0", "--extent", "1e38"}),
               std::invalid_argument);
  EXPECT_NO_THROW(render::parse_options({"--point", "3e38,0,0", "--extent", "1e30"}));
}

mode_t mode_of(const fs::path& file) {
  struct stat status {};
  stat(file.c_str(), &status);
  return status.st_mode & 07777;
}

void write_text(render::OutputFile& output, const std::string& text) {
  output.write_all(text.data(), text.size());
}

TEST_F(RenderTest, OutputNewFileGetsTheUmaskedModeAndAppearsOnCommit) {
  const mode_t before = umask(027);
  {
    render::OutputFile output(path("new.png").string());
    EXPECT_TRUE(output.seekable());
    write_text(output, "image");
    EXPECT_FALSE(fs::exists(path("new.png")));
    output.commit();
  }
  umask(before);
  EXPECT_EQ(file_bytes(path("new.png")), "image");
  EXPECT_EQ(mode_of(path("new.png")), 0640u);
  EXPECT_EQ(files().size(), 1u);
}

TEST_F(RenderTest, OutputExistingFileKeepsItsModeThroughALink) {
  std::ofstream(path("real.png")) << "old";
  fs::permissions(path("real.png"), fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink("real.png", path("link.png"));
  {
    render::OutputFile output(path("link.png").string());
    write_text(output, "new");
    output.commit();
  }
  EXPECT_TRUE(fs::is_symlink(path("link.png")));
  EXPECT_EQ(file_bytes(path("real.png")), "new");
  EXPECT_EQ(mode_of(path("real.png")), 0600u);
  EXPECT_EQ(files().size(), 2u);
}

TEST_F(RenderTest, OutputUncommittedLeavesTheOldFile) {
  std::ofstream(path("keep.png")) << "old";
  {
    render::OutputFile output(path("keep.png").string());
    write_text(output, "half");
  }
  EXPECT_EQ(file_bytes(path("keep.png")), "old");
  EXPECT_EQ(files().size(), 1u);
}

TEST_F(RenderTest, OutputRefusesADirectoryAtOnce) {
  const std::string target = path("").string();
  try {
    render::OutputFile output(target);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "cannot write " + target + ": Is a directory");
  }
}

TEST_F(RenderTest, OutputTakesAMaximalNameAndSeveralWritersAtOnce) {
  const std::string longest(255, 'n');
  render::OutputFile first(path(longest).string());
  render::OutputFile second(path("second.png").string());
  write_text(first, "1");
  write_text(second, "2");
  second.commit();
  first.commit();
  EXPECT_EQ(file_bytes(path(longest)), "1");
  EXPECT_EQ(file_bytes(path("second.png")), "2");
  EXPECT_EQ(files().size(), 2u);
}

TEST(OutputFile, DashIsStandardOutputAndNotSeekable) {
  render::OutputFile output("-");
  EXPECT_EQ(output.descriptor(), STDOUT_FILENO);
  EXPECT_FALSE(output.seekable());
  EXPECT_EQ(output.path(), "-");
}

using lighting_test::parse_error;

TEST(Options, AcceptsALeadingPlusAndBlanksAroundTripleComponents) {
  using lighting_test::bits;
  const auto options = render::parse_options(
      {"--width", "+5", "--normal", " 1,\t-0 ,  +3 ", "--intensity", "+0.5", "-f"});
  EXPECT_EQ(options.width, 5);
  EXPECT_EQ(bits(options.scene.normal.x), bits(1.0f));
  EXPECT_EQ(bits(options.scene.normal.y), 0x80000000u);  // -0 keeps its sign
  EXPECT_EQ(bits(options.scene.normal.z), bits(3.0f));
  EXPECT_EQ(bits(options.scene.light.intensity), bits(0.5f));
  EXPECT_TRUE(options.force);
  EXPECT_NE(parse_error({"--width", "+-5"}), "");
  EXPECT_NE(parse_error({"--width", "++5"}), "");
  EXPECT_NE(parse_error({"--width", "+"}), "");
  EXPECT_NE(parse_error({"--normal", "1 2,3,4"}), "");
}

TEST(Options, ATripleFaultQuotesTheValueAndNamesTheComponent) {
  EXPECT_EQ(parse_error({"--normal", "1,,3"}), "--normal: '1,,3' has its second number empty");
  EXPECT_EQ(parse_error({"--point", "1,2, "}), "--point: '1,2, ' has its third number empty");
  EXPECT_EQ(parse_error({"--point", "x,2,3"}),
            "--point: 'x,2,3' has its first number, 'x', not a number");
  EXPECT_EQ(parse_error({"--point", "1,inf,3"}),
            "--point: '1,inf,3' has its second number, 'inf', not finite");
}

// Both ends of the float range by one rule: the nearest float must be 0 for
// 0 only, normal otherwise, and finite.
TEST(Options, RefusesUnderflowAsItRefusesOverflow) {
  using lighting_test::bits;
  const auto intensity = [](const std::string& text) {
    return bits(render::parse_options({"--intensity", text}).scene.light.intensity);
  };
  EXPECT_EQ(intensity("1.17549435e-38"), 0x00800000u);  // the least normal float
  EXPECT_EQ(intensity("-3.4028235e38"), 0xFF7FFFFFu);   // the greatest, negated
  EXPECT_EQ(intensity("1.1754943e-38"), 0x00800000u);   // rounds up to it: normal
  EXPECT_EQ(intensity("3.40282356e38"), 0x7F7FFFFFu);   // just below the midpoint to 2^128
  EXPECT_EQ(intensity("-0"), 0x80000000u);
  const std::string range = "is outside single precision's normal range";
  for (const char* text : {"1e-46", "-1e-46", "1e-39", "1.1754942e-39",
                           "1.1754942e-38" /* 0x007FFFFF */, "1e39", "-1e39", "3.4028236e38"}) {
    EXPECT_NE(parse_error({"--intensity", text}).find(range), std::string::npos) << text;
  }
  EXPECT_NE(parse_error({"--light-colour", "1,1e-39,1"}).find("'1e-39', outside"),
            std::string::npos);
  EXPECT_NE(parse_error({"--intensity", "1e-400"}).find(range), std::string::npos);
  EXPECT_NE(parse_error({"--point", "1,2,-1e400"}).find("'-1e400', outside"), std::string::npos);
  // Doubles: both ends alike too.
  EXPECT_NE(parse_error({"--extent", "1e-400"}).find("double precision"), std::string::npos);
  EXPECT_NE(parse_error({"--extent", "1e400"}).find("double precision"), std::string::npos);
}

TEST(Options, RefusalsSayWhatIsWrong) {
  // Not a number is not the same fault as an infinity.
  EXPECT_EQ(parse_error({"--intensity", "0x10"}), "--intensity: '0x10' is not a number");
  EXPECT_EQ(parse_error({"--intensity", " 5"}), "--intensity: ' 5' is not a number");
  EXPECT_EQ(parse_error({"--intensity", "inf"}), "--intensity: 'inf' is not finite");
  EXPECT_EQ(parse_error({"--extent", "nan"}), "--extent: 'nan' is not finite");
  // A flag given a value, and a word that is no option at all.
  EXPECT_EQ(parse_error({"--force=yes"}), "--force: takes no value (got 'yes')");
  EXPECT_EQ(parse_error({"picture.png"}),
            "'picture.png': not an option; the image goes to -o FILE (see --help)");
}

TEST(Options, ControlBytesAreQuotedInErrors) {
  EXPECT_EQ(parse_error({"--frob\nx"}),
            "\"--frob\\nx\": \"--frob\\nx\" is not an option (see --help)");
  EXPECT_EQ(parse_error({"--point", "1,\x1b[2J,3"}),
            "--point: \"1,\\x1b[2J,3\" has its second number, \"\\x1b[2J\", not a number");
}

TEST(OutputFile, PrintableNameEscapesControlBytesOnly) {
  EXPECT_EQ(render::printable_name("plain name \xc3\xa9.png"), "plain name \xc3\xa9.png");
  EXPECT_EQ(render::printable_name("a\nb"), "\"a\\nb\"");
  EXPECT_EQ(render::printable_name(std::string("\t\r\x1b\x7f\"\\", 6) + std::string(1, '\0')),
            "\"\\t\\r\\x1b\\x7f\\\"\\\\\\x00\"");
}

TEST_F(RenderTest, DescriptorNamesAreTheProcesssOwnDescriptors) {
  EXPECT_EQ(render::descriptor_named("-"), 1);
  EXPECT_EQ(render::descriptor_named("/dev/stdout"), 1);
  EXPECT_EQ(render::descriptor_named("/dev/stderr"), 2);
  EXPECT_EQ(render::descriptor_named("/dev/fd/7"), 7);
  EXPECT_EQ(render::descriptor_named("/proc/self/fd/12"), 12);
  EXPECT_EQ(render::descriptor_named("/proc/thread-self/fd/3"), 3);
  fs::create_symlink("/dev/stdout", path("out.png"));
  EXPECT_EQ(render::descriptor_named(path("out.png").string()), 1);
  EXPECT_EQ(render::descriptor_named("/dev/null"), std::nullopt);
  EXPECT_EQ(render::descriptor_named(path("1").string()), std::nullopt);
  EXPECT_EQ(render::descriptor_named("./-"), std::nullopt);
}

TEST_F(RenderTest, OutputToADescriptorWritesAtItsPositionAndLeavesItOpen) {
  const std::string file = path("appended").string();
  std::ofstream(file) << "HEADER";
  const int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  {
    render::OutputFile output("/dev/fd/" + std::to_string(fd));
    EXPECT_EQ(output.descriptor(), fd);
    EXPECT_FALSE(output.seekable());
    write_text(output, "image");
    output.commit();
  }
  EXPECT_GE(fcntl(fd, F_GETFD), 0) << "the descriptor was closed";
  close(fd);
  EXPECT_EQ(file_bytes(file), "HEADERimage");
}

TEST_F(RenderTest, OutputRefusesAClosedOrReadOnlyDescriptor) {
  const std::string file = path("read-only").string();
  std::ofstream(file) << "old";
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string name = "/dev/fd/" + std::to_string(fd);
  try {
    render::OutputFile output(name);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "cannot write " + name + ": descriptor " +
                                             std::to_string(fd) + " is not open for writing");
  }
  close(fd);
  try {
    render::OutputFile output(name);
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()),
              "cannot write " + name + ": descriptor " + std::to_string(fd) + " is not open");
  }
  EXPECT_EQ(file_bytes(file), "old");
}

// A file with a second name is written in place: both names see the image,
// a longer old file is cut to it, and nothing changes before commit().
TEST_F(RenderTest, OutputHardLinkedFileIsWrittenInPlaceOnlyOnCommit) {
  std::ofstream(path("one")) << "a much longer old image";
  fs::create_hard_link(path("one"), path("two"));
  {
    render::OutputFile abandoned(path("one").string());
    EXPECT_TRUE(abandoned.seekable());
    write_text(abandoned, "half");
  }
  EXPECT_EQ(file_bytes(path("two")), "a much longer old image");
  {
    render::OutputFile output(path("one").string());
    write_text(output, "new");
    output.commit();
  }
  EXPECT_EQ(file_bytes(path("one")), "new");
  EXPECT_EQ(file_bytes(path("two")), "new");
  EXPECT_TRUE(fs::equivalent(path("one"), path("two")));
  EXPECT_EQ(files().size(), 2u);
}

TEST_F(RenderTest, OutputInPlaceNeedsAWorkingTemporaryDirectory) {
  std::ofstream(path("one")) << "old";
  fs::create_hard_link(path("one"), path("two"));
  const std::string missing = path("no-such-dir").string();
  errno = 0;
  EXPECT_EQ(render::open_temporary_file(missing), -1);
  EXPECT_EQ(errno, ENOENT);
  const lighting_test::ScopedEnvironment tmpdir("TMPDIR");
  tmpdir.set(missing);
  try {
    render::OutputFile output(path("one").string());
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "cannot write " + path("one").string() +
                                             ": temporary file in $TMPDIR (" + missing +
                                             "): No such file or directory");
  }
  EXPECT_EQ(file_bytes(path("two")), "old");
}

}  // namespace
