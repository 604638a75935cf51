// The table of each flavour's operations. Both namespaces declare the same
// names with the same signatures; each member's type picks the overload.
#include <lighting/lighting.hpp>

namespace lighting {

#define LIGHTING_OPERATIONS_OF(space)                                                              \
  Operations {                                                                                     \
    &space::light_distance, &space::light_direction, &space::dot_product, &space::received_energy, \
        &space::diffused_energy, &space::received_energy, &space::diffused_energy,                 \
        &space::diffused_energy                                                                    \
  }

const Operations& operations() noexcept {
  static constexpr Operations table = LIGHTING_OPERATIONS_OF(lighting);
  return table;
}

const Operations& portable::operations() noexcept {
  static constexpr Operations table = LIGHTING_OPERATIONS_OF(lighting::portable);
  return table;
}

#undef LIGHTING_OPERATIONS_OF

}  // namespace lighting
