// Writes the energies as they are: an OpenEXR scanline image with 32-bit float
// channels R, G and B, through an OutputFile. The header carries the scene
// that the image shows and linear Rec. 709 chromaticities with a D65 white
// point.
//
// The chunks are encoded by OpenEXR's core library on whichever threads call
// encode(), each with its own ExrChunkEncoder, and written in order by
// write(): the render pipeline's encoder for this format.
//
// A scanline file ends up with a table of where each chunk starts, which the
// library fills in by seeking back to just after the header once the rows are
// out. When the target cannot seek (a pipe, a device, a descriptor), or
// appends whatever is written, the file is spooled to an unnamed temporary
// file in $TMPDIR (or /tmp) and copied to the target at the end. Where what
// is written cannot be taken back (a pipe, a device), the first four bytes,
// the same in every OpenEXR file, go to the target at once, so that one that
// takes no bytes fails before anything is shaded; a regular file gets
// nothing before the copy, and is cut back if the copy fails.
//
// Failures throw std::runtime_error with one line naming the target, for
// example "cannot write out.exr: File too large".
#pragma once

#include <lighting/lighting.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

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
  int zip_level = 1;  // zlib level for zip and zips; not stored in the file
};

// What the header says about the image: attributes surfacePoint,
// surfaceNormal, surfaceReflectance, lightPosition, lightColour (V3f),
// lightIntensity (float) and patchExtent (double), besides chromaticities.
struct ExrSceneAttributes {
  Scene scene;
  double extent;
};

// One encoded block of rows: whole chunks as the file stores them.
struct ExrBlock {
  struct Chunk {
    int first_row;
    std::size_t offset;  // into bytes
    std::size_t size;
  };
  std::vector<Chunk> chunks;
  std::vector<std::uint8_t> bytes;  // only grows, so that a reused slot allocates once
  std::size_t size = 0;
};

class ExrChunkEncoder;

class ExrWriter {
 public:
  // Writes the header. The file is only complete after finish(), and only in
  // place after the OutputFile's commit().
  ExrWriter(OutputFile& file, int width, int height, const ExrSettings& settings,
            const ExrSceneAttributes& attributes);
  ~ExrWriter();
  ExrWriter(const ExrWriter&) = delete;
  ExrWriter& operator=(const ExrWriter&) = delete;

  // Rows per chunk of the compression: 1, 16 or 32. A block handed to
  // encode() starts on a chunk boundary.
  int rows_per_chunk() const;

  // Encodes `rows` (a whole number of rows, `width` energies each, the first
  // being first_row) into `out`, on the calling thread with `encoder`, which
  // is that thread's own. Safe to call from several threads at once.
  void encode(ExrChunkEncoder& encoder, int first_row, std::span<const lighting::Vector3> rows,
              ExrBlock& out);
  // Writes an encoded block: blocks must come top first, one at a time.
  // The energies are stored bit for bit (x red, y green, z blue).
  void write(const ExrBlock& block);

  // After the last row: writes the block table and copies out a spooled file.
  void finish();

 private:
  friend class ExrChunkEncoder;
  struct State;
  std::unique_ptr<State> state_;
};

// The per-thread state of encoding chunks: OpenEXR's buffers, reused.
class ExrChunkEncoder {
 public:
  explicit ExrChunkEncoder(ExrWriter& writer);
  ~ExrChunkEncoder();
  ExrChunkEncoder(const ExrChunkEncoder&) = delete;
  ExrChunkEncoder& operator=(const ExrChunkEncoder&) = delete;

 private:
  friend class ExrWriter;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace render
