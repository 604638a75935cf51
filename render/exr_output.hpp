// Writes the energies as they are: an OpenEXR scanline image with 32-bit float
// channels R, G and B, streamed a block of rows at a time through an
// OutputFile. The header carries the scene that the image shows and linear
// Rec. 709 chromaticities with a D65 white point.
//
// A scanline file ends up with a table of where each block of rows starts,
// which OpenEXR fills in by seeking back to just after the header once the
// rows are out. When the target cannot seek (a pipe, a terminal), or appends
// whatever is written, the file is spooled to an unnamed temporary file in
// $TMPDIR (or /tmp) and copied to the target at the end.
//
// Failures throw std::runtime_error with one line naming the target, for
// example "cannot write out.exr: File too large".
#pragma once

#include <lighting/lighting.hpp>

#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "output_file.hpp"
#include "surface.hpp"

namespace render {

// OpenEXR's lossless compressions for 32-bit floats: pxr24, b44 and dwa
// round or quantise the values, so they are not offered.
enum class ExrCompression { none, rle, zips, zip, piz };

// By the names the command line uses: "none", "rle", "zips", "zip", "piz".
std::optional<ExrCompression> exr_compression_named(std::string_view name);
std::string_view exr_compression_name(ExrCompression compression);

struct ExrSettings {
  ExrCompression compression = ExrCompression::zip;
  int threads = 1;    // OpenEXR's own pool, compressing blocks of rows in parallel
  int zip_level = 1;  // zlib level for zip and zips; not stored in the file
};

// What the header says about the image: attributes surfacePoint,
// surfaceNormal, surfaceReflectance, lightPosition, lightColour (V3f),
// lightIntensity (float) and patchExtent (double), besides chromaticities.
struct ExrSceneAttributes {
  Scene scene;
  double extent;
};

class ExrWriter {
 public:
  // Writes the header. The file is only complete after finish(), and only in
  // place after the OutputFile's commit().
  ExrWriter(OutputFile& file, int width, int height, const ExrSettings& settings,
            const ExrSceneAttributes& attributes);
  ~ExrWriter();
  ExrWriter(const ExrWriter&) = delete;
  ExrWriter& operator=(const ExrWriter&) = delete;

  // The next rows, top first: a whole number of rows, `width` energies each
  // (x red, y green, z blue), stored bit for bit.
  void write_rows(std::span<const lighting::Vector3> rows);

  // After the last row: writes the block table and copies out a spooled file.
  void finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace render
