// The renderer's picture in the WebAssembly module, for pages: the patch,
// the automatic exposure and the sRGB codes come from the renderer's own
// code (render/surface.cpp, render/tone.cpp, compiled in), so that a page
// draws lighting-render's pixels. The renderer's two SIMD entry points
// (Highway, which has no double lanes for WebAssembly) are defined here by
// the scalar loops their kernels fall back to and must equal.
#include <lighting/lighting.h>
#include <lighting/lighting.hpp>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <vector>

#include "surface.hpp"
#include "tone.hpp"

namespace render {

// As surface_points.cpp's row_points and its scalar loop (point_on_line).
void row_points(const Patch& patch, int row, int first_column, std::span<lighting::Vector3> out) {
  const double t = (0.5 * patch.height - (row + 0.5)) * patch.pixel;
  double origin[3];
  for (int i = 0; i < 3; ++i) origin[i] = patch.centre[i] + t * patch.up[i];
  const double first_offset = (first_column + 0.5) - 0.5 * patch.width;
  for (std::size_t done = 0; done < out.size(); ++done) {
    const double s = (first_offset + static_cast<double>(done)) * patch.pixel;
    out[done] = {static_cast<float>(origin[0] + s * patch.right[0]),
                 static_cast<float>(origin[1] + s * patch.right[1]),
                 static_cast<float>(origin[2] + s * patch.right[2])};
  }
}

namespace detail {

// As tone_kernel.cpp's scalar loop.
bool tone_map_values(const ToneTable& table, const float* values, std::size_t count,
                     std::uint8_t* codes) {
  constexpr std::int32_t kExponentBits = 0x7F800000;
  bool finite = true;
  for (std::size_t done = 0; done < count; ++done) {
    finite = finite && (std::bit_cast<std::int32_t>(values[done]) & kExponentBits) != kExponentBits;
    codes[done] = tone_map(table, values[done]);
  }
  return finite;
}

}  // namespace detail

}  // namespace render

namespace {

lighting::Vector3 vector_of(const LightingVector3& v) {
  return {v.x, v.y, v.z};
}

render::Scene scene_of(const LightingVector3* point, const LightingVector3* normal,
                       const LightingVector3* reflectance, const LightingPointLight* light) {
  return {vector_of(*point),
          vector_of(*normal),
          vector_of(*reflectance),
          {vector_of(light->position), light->r, light->g, light->b, light->intensity}};
}

}  // namespace

extern "C" {

// The renderer's picture of the scene, width x height pixels of a patch
// `extent` long, shaded with the default flavour (portable == 0, as
// lighting-render) or the portable one: the diffused energy of every pixel
// into energy (3 floats a pixel), its RGBA bytes into rgba (alpha 255), the
// automatic exposure into *exposure. Returns the number of non-finite
// pixels (drawn black), or -1 for a zero or non-finite normal.
int lighting_wasm_render(const LightingVector3* point, const LightingVector3* normal,
                         const LightingVector3* reflectance, const LightingPointLight* light,
                         int width, int height, double extent, int portable,
                         LightingVector3* energy, std::uint8_t* rgba, double* exposure) noexcept {
  try {
    const render::Scene scene = scene_of(point, normal, reflectance, light);
    const render::Patch patch = render::make_patch(scene, width, height, extent);
    const auto w = static_cast<std::size_t>(width);
    auto* pixels = reinterpret_cast<lighting::Vector3*>(energy);
    float brightest = 0.0f;
    for (int row = 0; row < height; ++row) {
      const std::span<lighting::Vector3> out(pixels + static_cast<std::size_t>(row) * w, w);
      // render::shade_row, in either flavour.
      render::row_points(patch, row, 0, out);
      if (portable != 0) {
        lighting::portable::diffused_energy(out, scene.normal, scene.reflectance, scene.light, out);
      } else {
        lighting::diffused_energy(out, scene.normal, scene.reflectance, scene.light, out);
      }
      for (const auto& e : out) {
        if (render::is_finite(e)) brightest = std::max({brightest, e.x, e.y, e.z});
      }
    }
    *exposure = render::exposure_for(brightest);
    const render::ToneTable tone = render::make_tone_table(*exposure);
    std::vector<std::uint8_t> rgb(3 * w);
    int non_finite = 0;
    for (int row = 0; row < height; ++row) {
      const std::size_t first = static_cast<std::size_t>(row) * w;
      non_finite += static_cast<int>(render::tone_map_row(tone, {pixels + first, w}, rgb));
      for (std::size_t i = 0; i < w; ++i) {
        std::uint8_t* pixel = rgba + 4 * (first + i);
        pixel[0] = rgb[3 * i];
        pixel[1] = rgb[3 * i + 1];
        pixel[2] = rgb[3 * i + 2];
        pixel[3] = 255;
      }
    }
    return non_finite;
  } catch (const std::exception&) {
    return -1;
  }
}

// The demo's two-line report for the scene's point, in either flavour,
// formatted by the C library's printf as the demo does. Returns its length.
int lighting_wasm_report(const LightingVector3* point, const LightingVector3* normal,
                         const LightingVector3* reflectance, const LightingPointLight* light,
                         int portable, char* out, int capacity) noexcept {
  const render::Scene s = scene_of(point, normal, reflectance, light);
  lighting::Vector3 received{}, diffused{};
  if (portable != 0) {
    lighting::portable::received_energy(s.point, s.light, received);
    lighting::portable::diffused_energy(s.point, s.normal, s.reflectance, s.light, diffused);
  } else {
    lighting::received_energy(s.point, s.light, received);
    lighting::diffused_energy(s.point, s.normal, s.reflectance, s.light, diffused);
  }
  return std::snprintf(out, static_cast<std::size_t>(capacity),
                       "Energie recue    : %f %f %f\nEnergie diffusee : %f %f %f\n",
                       double(received.x), double(received.y), double(received.z),
                       double(diffused.x), double(diffused.y), double(diffused.z));
}

}  // extern "C"
