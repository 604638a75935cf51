// The argument rules of the batches (batch_checks.hpp).
#include "batch_checks.hpp"

#include <functional>
#include <stdexcept>
#include <string>

namespace lighting::detail {

void require_same_size(const char* who, std::size_t points, std::size_t other, const char* what) {
  if (points != other) {
    throw std::invalid_argument(std::string(who) + ": batch of " + std::to_string(points) +
                                " points but " + std::to_string(other) + " " + what);
  }
}

bool overlaps(const void* a, std::size_t a_bytes, const void* b, std::size_t b_bytes) noexcept {
  const auto* a_begin = static_cast<const unsigned char*>(a);
  const auto* b_begin = static_cast<const unsigned char*>(b);
  const std::less<const unsigned char*> before;
  return before(a_begin, b_begin + b_bytes) && before(b_begin, a_begin + a_bytes);
}

void require_apart(const char* who, const Vector3* out, std::size_t count, const void* input,
                   std::size_t input_bytes, const char* what) {
  if (overlaps(out, count * sizeof(Vector3), input, input_bytes)) {
    throw std::invalid_argument(std::string(who) + ": batch output overlaps the " + what);
  }
}

void require_in_place_or_apart(const char* who, const Vector3* points, const Vector3* out,
                               std::size_t count) {
  if (points == out) return;
  require_apart(who, out, count, points, count * sizeof(Vector3),
                "points (only exactly the same span may be shaded in place)");
}

namespace {

template <typename Record>
void require_record_apart(const char* who, std::span<const Vector3> out, const Record& record,
                          const char* what) {
  require_apart(who, out.data(), out.size(), &record, sizeof record, what);
}

void require_array_apart(const char* who, std::span<const Vector3> out,
                         std::span<const Vector3> input, const char* what) {
  require_apart(who, out.data(), out.size(), input.data(), input.size_bytes(), what);
}

}  // namespace

bool check_received(const char* who, std::span<const Vector3> points, const PointLight& light,
                    std::span<const Vector3> out) {
  require_same_size(who, points.size(), out.size(), "outputs");
  if (points.empty()) return false;
  require_in_place_or_apart(who, points.data(), out.data(), points.size());
  require_record_apart(who, out, light, "light");
  return true;
}

bool check_diffused(const char* who, std::span<const Vector3> points, const Vector3& normal,
                    const Vector3& reflectance, const PointLight& light,
                    std::span<const Vector3> out) {
  require_same_size(who, points.size(), out.size(), "outputs");
  if (points.empty()) return false;
  require_in_place_or_apart(who, points.data(), out.data(), points.size());
  require_record_apart(who, out, normal, "normal");
  require_record_apart(who, out, reflectance, "reflectance");
  require_record_apart(who, out, light, "light");
  return true;
}

bool check_diffused(const char* who, std::span<const Vector3> points,
                    std::span<const Vector3> normals, std::span<const Vector3> reflectances,
                    const PointLight& light, std::span<const Vector3> out) {
  require_same_size(who, points.size(), normals.size(), "normals");
  require_same_size(who, points.size(), reflectances.size(), "reflectances");
  require_same_size(who, points.size(), out.size(), "outputs");
  if (points.empty()) return false;
  require_in_place_or_apart(who, points.data(), out.data(), points.size());
  require_array_apart(who, out, normals, "normals");
  require_array_apart(who, out, reflectances, "reflectances");
  require_record_apart(who, out, light, "light");
  return true;
}

}  // namespace lighting::detail
