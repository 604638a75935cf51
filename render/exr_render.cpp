#include "exr_render.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "output_file.hpp"

namespace render {

ExrRenderResult render_exr(const Options& options, int threads, const ExrSettings& settings,
                           const Progress& progress) {
  const Patch patch = make_patch(options.scene, options.width, options.height, options.extent);
  // The target first: one that cannot be written fails before any shading.
  OutputFile target(options.output);
  ExrWriter writer(target, patch.width, patch.height, settings, {options.scene, options.extent});

  const auto width = static_cast<std::size_t>(patch.width);
  std::vector<lighting::Vector3> block(
      width * static_cast<std::size_t>(std::min(kExrBlockRows, patch.height)));
  std::int64_t non_finite = 0;
  for (int first = 0; first < patch.height; first += kExrBlockRows) {
    const int rows = std::min(kExrBlockRows, patch.height - first);
#pragma omp parallel for num_threads(threads) schedule(static) reduction(+ : non_finite)
    for (int row = 0; row < rows; ++row) {
      const auto energy = std::span(block).subspan(static_cast<std::size_t>(row) * width, width);
      shade_row(options.scene, patch, first + row, energy);
      for (const auto& e : energy) non_finite += is_finite(e) ? 0 : 1;
    }
    writer.write_rows(std::span(block).first(static_cast<std::size_t>(rows) * width));
    if (progress) progress(static_cast<double>(first + rows) / patch.height);
  }
  writer.finish();
  target.commit();
  return {non_finite};
}

}  // namespace render
