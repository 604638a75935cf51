// The Python module lighting._lighting: the records as classes, the scalar
// operations on them, and the batches on numpy arrays of shape (..., 3).
//
// Every number becomes the float32 nearest to its exact value, in one
// rounding, the same in a record, a scalar call and a batch; the computing is
// the library's, so the bits are the C++ functions' bits.
//
// The functions are bound once per flavour of the library: the default one
// at the top of the module, and the portable one (IEEE square root as the
// root) in the submodule "portable". One template serves both.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <lighting/lighting.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using lighting::PointLight;
using lighting::Vector3;

static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559,
              "converting a double to float must round to nearest as numpy does");
static_assert(sizeof(Vector3) == 3 * sizeof(float),
              "an (N, 3) float32 array must be the bytes of N records");

// --- Flavours ---------------------------------------------------------------------

// The two flavours as types, so that one set of bindings is instantiated for
// each; each names the library's table of its operations.
struct DefaultFlavour {
  static const lighting::Operations& operations() noexcept { return lighting::operations(); }
};
struct PortableFlavour {
  static const lighting::Operations& operations() noexcept {
    return lighting::portable::operations();
  }
};

// --- Conversions ------------------------------------------------------------------

// A module's attribute, looked up once and kept for the process's life.
py::handle imported(const char* module, const char* name) {
  return py::object(py::module_::import(module).attr(name)).release();
}

std::string type_name(py::handle value) {
  return std::string(py::str(py::type::handle_of(value).attr("__name__")));
}

// A real number is what numbers.Real admits (int, float, Fraction, numpy's
// integer and floating scalars), except bool: complex values and truth values
// are refused rather than cut down to a real.
bool has_real_dtype(const py::array& array) {
  const char kind = array.dtype().kind();
  return kind == 'f' || kind == 'i' || kind == 'u';
}

bool is_numpy_number(py::handle value) {
  static const py::handle generic = imported("numpy", "generic");
  if (py::isinstance<py::array>(value)) return py::reinterpret_borrow<py::array>(value).ndim() == 0;
  const int numpy = PyObject_IsInstance(value.ptr(), generic.ptr());
  if (numpy < 0) throw py::error_already_set();
  return numpy == 1;
}

bool is_real(py::handle value) {
  if (PyFloat_Check(value.ptr())) return true;
  if (PyBool_Check(value.ptr())) return false;
  if (PyLong_Check(value.ptr())) return true;
  if (py::isinstance<py::array>(value)) {  // a 0-d array of a real dtype, as numpy.float32 takes
    const auto array = py::reinterpret_borrow<py::array>(value);
    return array.ndim() == 0 && has_real_dtype(array);
  }
  static const py::handle real = imported("numbers", "Real");
  const int admitted = PyObject_IsInstance(value.ptr(), real.ptr());
  if (admitted < 0) throw py::error_already_set();
  return admitted == 1;
}

py::object checked(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

long long bit_length(const py::object& natural) {
  return checked(PyObject_CallMethod(natural.ptr(), "bit_length", nullptr)).cast<long long>();
}

py::object shifted_left(const py::object& natural, long long count) {
  return checked(PyNumber_Lshift(natural.ptr(), py::int_(count).ptr()));
}

bool less(const py::object& a, const py::object& b) {
  const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
  if (result < 0) throw py::error_already_set();
  return result == 1;
}

// The float nearest to value = numerator / denominator (denominator > 0), ties to
// even, from exact integer arithmetic: an integer of any size or a fraction
// is rounded once. Going through double first would round a value lying just
// off a float midpoint onto it, and the tie would then go the wrong way.
float nearest_float(py::handle value, const py::object& numerator, const py::object& denominator) {
  const bool negative = less(numerator, py::int_(0));
  const py::object n = checked(PyNumber_Absolute(numerator.ptr()));
  const py::object& d = denominator;
  if (!less(py::int_(0), n)) return 0.0f;
  // e = floor(log2(n / d)), from the bit lengths and one comparison.
  long long e = bit_length(n) - bit_length(d);
  if (e > 128) {
    // Beyond every float, and a value that float() refuses raises
    // OverflowError as numpy.float32(x) does.
    checked(PyNumber_Float(value.ptr()));
    return negative ? -HUGE_VALF : HUGE_VALF;
  }
  if (e >= 0 ? less(n, shifted_left(d, e)) : less(shifted_left(n, -e), d)) --e;
  constexpr int mantissa_bits = std::numeric_limits<float>::digits;                         // 24
  constexpr int least_exponent = std::numeric_limits<float>::min_exponent - mantissa_bits;  // -149
  // The value's step: 2^quantum, subnormals included; the result is a whole
  // number of steps, at most 2^24 of them.
  const long long quantum = std::max<long long>(e - (mantissa_bits - 1), least_exponent);
  const py::object scaled = quantum < 0 ? shifted_left(n, -quantum) : n;
  const py::object step = quantum > 0 ? shifted_left(d, quantum) : d;
  const auto split = checked(PyNumber_Divmod(scaled.ptr(), step.ptr())).cast<py::tuple>();
  auto steps = split[0].cast<unsigned long long>();
  const py::object twice_remainder = shifted_left(split[1], 1);
  if (less(step, twice_remainder) || (!less(twice_remainder, step) && steps % 2 == 1)) ++steps;
  // Exact: steps <= 2^24, and a product past the largest float is infinite.
  const float magnitude = std::ldexp(static_cast<float>(steps), static_cast<int>(quantum));
  return negative ? -magnitude : magnitude;
}

// The float32 bits numpy gives a numpy scalar or 0-d array: its own cast,
// which rounds an int64, uint64 or long double once and keeps a float32 NaN's
// payload.
float numpy_single(py::handle value) {
  static const py::handle asarray = imported("numpy", "asarray");
  static const py::handle float32 = imported("numpy", "float32");
  const auto array = py::reinterpret_steal<py::array>(asarray(value, float32).release());
  float single;
  std::memcpy(&single, array.data(), sizeof single);
  return single;
}

// A real number rounded once to the nearest float: a float64 as
// numpy.float32(x) rounds it, numpy's scalars by numpy's own cast, and
// integers of any size and fractions exactly.
float to_single(py::handle value, const std::string& what) {
  if (!is_real(value)) {
    throw py::type_error(what + " must be a real number, not " + type_name(value));
  }
  if (PyFloat_Check(value.ptr())) return static_cast<float>(PyFloat_AS_DOUBLE(value.ptr()));
  if (PyLong_Check(value.ptr())) {
    int overflow = 0;
    const long long integer = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (integer == -1 && PyErr_Occurred()) throw py::error_already_set();
    constexpr long long exact_in_double = 1LL << std::numeric_limits<double>::digits;
    if (overflow == 0 && integer <= exact_in_double && integer >= -exact_in_double) {
      return static_cast<float>(static_cast<double>(integer));  // one rounding: the double is exact
    }
    return nearest_float(value, py::reinterpret_borrow<py::object>(value), py::int_(1));
  }
  if (is_numpy_number(value)) return numpy_single(value);
  static const py::handle rational = imported("numbers", "Rational");
  const int is_rational = PyObject_IsInstance(value.ptr(), rational.ptr());
  if (is_rational < 0) throw py::error_already_set();
  if (is_rational == 1) {
    py::object numerator = py::int_(value.attr("numerator"));
    py::object denominator = py::int_(value.attr("denominator"));
    if (less(denominator, py::int_(0))) {  // Fraction keeps it positive; another Rational may not
      numerator = checked(PyNumber_Negative(numerator.ptr()));
      denominator = checked(PyNumber_Negative(denominator.ptr()));
    }
    return nearest_float(value, numerator, denominator);
  }
  const double number = PyFloat_AsDouble(value.ptr());  // another Real: only its float is known
  if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return static_cast<float>(number);
}

bool is_text(py::handle object) {
  return PyUnicode_Check(object.ptr()) || PyBytes_Check(object.ptr());
}

// A 0-d array is a number here, as it has shape (), though numpy lets it
// pass for a sequence.
bool is_sequence(py::handle object) {
  if (py::isinstance<py::array>(object))
    return py::reinterpret_borrow<py::array>(object).ndim() > 0;
  return PySequence_Check(object.ptr()) != 0 && !is_text(object);
}

std::vector<py::ssize_t> shape_of(const py::array& array) {
  return {array.shape(), array.shape() + array.ndim()};
}

std::string shape_text(const std::vector<py::ssize_t>& shape) {
  std::string text = "(";
  for (std::size_t axis = 0; axis < shape.size(); ++axis) {
    if (axis > 0) text += ", ";
    text += std::to_string(shape[axis]);
  }
  return text + (shape.size() == 1 ? ",)" : ")");
}

py::tuple shape_tuple(const py::array& array) {
  py::tuple shape(array.ndim());
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    shape[static_cast<std::size_t>(axis)] = py::int_(array.shape(axis));
  }
  return shape;
}

std::string shape_text(const py::array& array) {
  return shape_text(shape_of(array));
}

using Rows = py::array_t<float, py::array::c_style | py::array::forcecast>;

// The float32 C-contiguous rows of a real array, without a copy when the
// array already is one; otherwise converted as numpy.asarray(a,
// dtype=numpy.float32) would. A failed allocation raises MemoryError.
Rows float32_rows(const py::array& array) {
  return Rows(py::reinterpret_borrow<py::object>(array));  // throws what numpy raised
}

// A Vector3, or a sequence of three real numbers (a tuple, a list, a numpy
// array of shape (3,) and real dtype).
Vector3 to_vector(py::handle object, const std::string& what) {
  if (py::isinstance<Vector3>(object)) return object.cast<Vector3>();
  if (!is_sequence(object)) {
    throw py::type_error(what + " must be a lighting.Vector3 or a sequence of 3 numbers, not " +
                         type_name(object));
  }
  if (py::isinstance<py::array>(object)) {
    const auto array = py::reinterpret_borrow<py::array>(object);
    if (!has_real_dtype(array)) {
      throw py::type_error(what + " must hold real numbers, not dtype " +
                           std::string(py::str(array.dtype())));
    }
    if (array.ndim() != 1) {
      throw py::value_error(what + " must have shape (3,), not " + shape_text(array));
    }
    if (array.shape(0) != 3) {
      throw py::value_error(what + " must have 3 components, not " +
                            std::to_string(array.shape(0)));
    }
    const Rows rows = float32_rows(array);  // numpy's cast, as a batch of these values gets
    return {rows.data()[0], rows.data()[1], rows.data()[2]};
  }
  const auto sequence = py::reinterpret_borrow<py::sequence>(object);
  if (sequence.size() != 3) {
    throw py::value_error(what + " must have 3 components, not " + std::to_string(sequence.size()));
  }
  return {to_single(sequence[0], what + "[0]"), to_single(sequence[1], what + "[1]"),
          to_single(sequence[2], what + "[2]")};
}

PointLight to_light(py::handle object) {
  if (!py::isinstance<PointLight>(object)) {
    throw py::type_error("light must be a lighting.PointLight, not " + type_name(object));
  }
  return object.cast<PointLight>();
}

// The shape rule: an argument of shape (3,) is one point, whatever holds it
// (a Vector3, a tuple, a list, a numpy array); anything else is an array of
// points. A sequence of three items none of which is itself a sequence has
// shape (3,).
bool is_one_triple(py::handle object) {
  if (py::isinstance<Vector3>(object)) return true;
  if (py::isinstance<py::array>(object)) {
    const auto array = py::reinterpret_borrow<py::array>(object);
    return array.ndim() == 1 && array.shape(0) == 3;
  }
  if (!is_sequence(object)) return false;
  const auto sequence = py::reinterpret_borrow<py::sequence>(object);
  if (sequence.size() != 3) return false;
  for (const auto item : sequence) {
    if (is_sequence(item)) return false;
  }
  return true;
}

const std::string shapes_accepted =
    "one point of shape (3,) or an array of shape (N, 3) or (..., 3)";

const std::string arrays_accepted = " must be an array of real numbers of shape (N, 3) or (..., 3)";

// numpy.asarray(object), which must hold real numbers. numpy's MemoryError
// (and KeyboardInterrupt) pass through as they are; its other complaints
// about the object become this function's TypeError.
py::array numpy_real_array(py::handle object, const std::string& what) {
  static const py::handle asarray = imported("numpy", "asarray");
  py::object converted;
  try {
    converted = asarray(object);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) throw;
    throw py::type_error(what + arrays_accepted + ": " + std::string(py::str(error.value())));
  }
  auto array = py::reinterpret_steal<py::array>(converted.release());
  if (!has_real_dtype(array)) {
    throw py::type_error(what + arrays_accepted + ", not dtype " +
                         std::string(py::str(array.dtype())));
  }
  return array;
}

// Nested lists and tuples become a float32 array here rather than through
// numpy.asarray(object, dtype=numpy.float32), which takes a Python int
// through double first: every number is rounded once by to_single, so a
// batch holds the bits that the scalar call on the same values uses.
class NestedFloats {
 public:
  NestedFloats(py::handle object, std::string what) : what_(std::move(what)) { discover(object); }

  Rows convert(py::handle object) {
    Rows rows(shape_);  // MemoryError on failure
    next_ = rows.mutable_data();
    fill(object, 0);
    return rows;
  }

 private:
  // numpy's own limit on axes, which also ends a list that holds itself.
  static constexpr std::size_t most_axes = 32;

  static bool is_nested(py::handle node) {
    return PyList_Check(node.ptr()) || PyTuple_Check(node.ptr());
  }

  // The shape, read down the first items as numpy reads it.
  void discover(py::handle object) {
    py::object node = py::reinterpret_borrow<py::object>(object);
    for (;;) {
      if (shape_.size() > most_axes) refuse("not one of more than 32 axes");
      if (is_nested(node)) {
        const auto sequence = py::reinterpret_borrow<py::sequence>(node);
        shape_.push_back(static_cast<py::ssize_t>(sequence.size()));
        if (sequence.size() == 0) return;
        node = sequence[0];
      } else if (py::isinstance<Vector3>(node)) {
        shape_.push_back(3);
        return;
      } else if (is_real(node)) {
        return;
      } else if (is_text(node) || !is_sequence(node)) {
        refuse("not one holding " + type_name(node));
      } else {
        const auto shape = shape_of(numpy_real_array(node, what_));
        shape_.insert(shape_.end(), shape.begin(), shape.end());
        return;
      }
    }
  }

  void fill(py::handle node, std::size_t axis) {
    if (axis == shape_.size()) {
      if (!is_real(node)) refuse("not one holding " + type_name(node));
      *next_++ = to_single(node, what_);
    } else if (is_nested(node)) {
      const auto sequence = py::reinterpret_borrow<py::sequence>(node);
      if (static_cast<py::ssize_t>(sequence.size()) != shape_[axis]) refuse(uneven);
      for (const auto item : sequence) fill(item, axis + 1);
    } else if (py::isinstance<Vector3>(node)) {
      if (axis + 1 != shape_.size() || shape_[axis] != 3) refuse(uneven);
      const auto vector = node.cast<Vector3>();
      *next_++ = vector.x;
      *next_++ = vector.y;
      *next_++ = vector.z;
    } else if (is_real(node) || is_text(node) || !is_sequence(node)) {
      refuse(is_real(node) ? std::string(uneven) : "not one holding " + type_name(node));
    } else {
      const Rows rows = float32_rows(numpy_real_array(node, what_));
      const std::vector<py::ssize_t> rest(shape_.begin() + static_cast<std::ptrdiff_t>(axis),
                                          shape_.end());
      if (shape_of(rows) != rest) refuse(uneven);
      next_ = std::copy(rows.data(), rows.data() + rows.size(), next_);
    }
  }

  [[noreturn]] void refuse(const std::string& why) const {
    throw py::type_error(what_ + arrays_accepted + ", " + why);
  }

  static constexpr const char* uneven = "not nested sequences of different lengths or depths";
  std::string what_;
  std::vector<py::ssize_t> shape_;
  float* next_ = nullptr;
};

// The real array an argument holds: a numpy array as it is, nested lists and
// tuples as float32 rows, anything else as numpy.asarray reads it.
py::array real_array(py::handle object, const std::string& what) {
  if (PyList_Check(object.ptr()) || PyTuple_Check(object.ptr())) {
    NestedFloats nested(object, what);
    return nested.convert(object);
  }
  return numpy_real_array(object, what);
}

std::size_t row_count(const py::array& array) {
  return static_cast<std::size_t>(array.size() / 3);
}

std::span<const Vector3> as_vectors(const Rows& rows) {
  return {reinterpret_cast<const Vector3*>(rows.data()), row_count(rows)};
}

std::span<Vector3> as_vectors(py::array& out) {
  return {reinterpret_cast<Vector3*>(out.mutable_data()), row_count(out)};
}

// Points of shape (..., 3) with at least one leading axis.
py::array to_points(py::handle object) {
  py::array array = real_array(object, "points");
  if (array.ndim() < 2 || array.shape(array.ndim() - 1) != 3) {
    throw py::value_error("points must be " + shapes_accepted + ", not " + shape_text(array));
  }
  return array;
}

// The array to write: a new float32 one of the points' shape, or the
// caller's out=, which must already be what a new one would be.
py::array output_for(const py::object& out, const py::array& points) {
  if (out.is_none()) return py::array_t<float>(shape_of(points));  // MemoryError on failure
  const std::string expected =
      "a writeable C-contiguous float32 array of the points' shape " + shape_text(points);
  if (!py::isinstance<py::array>(out)) {
    throw py::type_error("out must be a numpy array: " + expected);
  }
  const auto array = py::reinterpret_borrow<py::array>(out);
  if (!py::isinstance<py::array_t<float>>(array)) {
    throw py::type_error("out must be " + expected + ", not dtype " +
                         std::string(py::str(array.dtype())));
  }
  if (shape_of(array) != shape_of(points)) {
    throw py::value_error("out must have shape " + shape_text(points) +
                          ", the points' shape, not " + shape_text(array));
  }
  if (!py::isinstance<py::array_t<float, py::array::c_style>>(array)) {
    throw py::value_error("out must be C-contiguous: " + expected);
  }
  if (!array.writeable()) throw py::value_error("out must be writeable: " + expected);
  return array;
}

// A normal or reflectance of the diffused batch. One triple for every point
// (shape (3,), (1, 3), ... : three values) is kept as one Vector3, so the
// batch reads no array for it; anything else is broadcast against the points
// as numpy broadcasts, into rows of the points' shape.
struct PerPoint {
  bool is_one = false;
  Vector3 one{};
  py::object each;  // Rows when !is_one
};

PerPoint to_per_point(py::handle object, const py::array& points, const std::string& what) {
  if (py::isinstance<Vector3>(object) ||
      (!py::isinstance<py::array>(object) && is_one_triple(object))) {
    return {true, to_vector(object, what), py::none()};
  }
  const py::array array = real_array(object, what);
  if (array.size() == 3 && array.ndim() >= 1 && array.ndim() <= points.ndim() &&
      array.shape(array.ndim() - 1) == 3) {
    return {true, to_vector(array.attr("reshape")(3), what), py::none()};
  }
  static const py::handle broadcast_to = imported("numpy", "broadcast_to");
  py::object spread;
  try {
    spread = broadcast_to(array, shape_tuple(points));
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError)) throw;
    throw py::value_error(what + " must have shape " + shape_text(points) +
                          " to match the points, or broadcast to it, or be one triple; not " +
                          shape_text(array));
  }
  return {false, Vector3{}, float32_rows(py::reinterpret_borrow<py::array>(spread))};
}

// The rows of a per-point argument, one triple spread over every point when
// the other argument comes per point.
Rows rows_of(const PerPoint& argument, const py::array& points) {
  if (!argument.is_one) return py::reinterpret_borrow<Rows>(argument.each);
  Rows rows(shape_of(points));
  auto* first = reinterpret_cast<Vector3*>(rows.mutable_data());
  std::fill(first, first + row_count(rows), argument.one);
  return rows;
}

// --- The functions, once per flavour ---------------------------------------------

template <class Flavour>
py::object received_energy(const py::object& points_object, const py::object& light_object,
                           const py::object& out) {
  const PointLight light = to_light(light_object);
  if (is_one_triple(points_object)) {
    if (!out.is_none()) throw py::type_error("out= is for arrays of points, not one point");
    Vector3 result;
    Flavour::operations().received_energy(to_vector(points_object, "point"), light, result);
    return py::cast(result);
  }
  const py::array points = to_points(points_object);
  const Rows input = float32_rows(points);
  py::array output = output_for(out, points);
  const auto input_rows = as_vectors(input);
  const auto output_rows = as_vectors(output);
  {
    const py::gil_scoped_release unlocked;
    Flavour::operations().received_energy_batch(input_rows, light, output_rows);
  }
  return output;
}

template <class Flavour>
py::object diffused_energy(const py::object& points_object, const py::object& normal,
                           const py::object& reflectance, const py::object& light_object,
                           const py::object& out) {
  const PointLight light = to_light(light_object);
  if (is_one_triple(points_object)) {
    if (!out.is_none()) throw py::type_error("out= is for arrays of points, not one point");
    Vector3 result;
    Flavour::operations().diffused_energy(to_vector(points_object, "point"),
                                          to_vector(normal, "normal"),
                                          to_vector(reflectance, "reflectance"), light, result);
    return py::cast(result);
  }
  const py::array points = to_points(points_object);
  const Rows input = float32_rows(points);
  const PerPoint normals = to_per_point(normal, points, "normal");
  const PerPoint reflectances = to_per_point(reflectance, points, "reflectance");
  py::array output = output_for(out, points);
  const auto input_rows = as_vectors(input);
  const auto output_rows = as_vectors(output);
  if (normals.is_one && reflectances.is_one) {
    const py::gil_scoped_release unlocked;
    Flavour::operations().diffused_energy_batch(input_rows, normals.one, reflectances.one, light,
                                                output_rows);
  } else {
    const Rows normal_rows = rows_of(normals, points);
    const Rows reflectance_rows = rows_of(reflectances, points);
    const auto normal_vectors = as_vectors(normal_rows);
    const auto reflectance_vectors = as_vectors(reflectance_rows);
    const py::gil_scoped_release unlocked;
    Flavour::operations().diffused_energy_batch_each(input_rows, normal_vectors,
                                                     reflectance_vectors, light, output_rows);
  }
  return output;
}

py::float_ as_python(float value) {
  return py::float_(double(value));
}

// Signatures are written into the docstrings in the form CPython reads as a
// builtin's __text_signature__ ("name(args)\n--\n\n"), so help() and
// inspect.signature show the Python names and defaults.
template <class Flavour>
void define_functions(py::module_& module) {
  module.def(
      "light_distance",
      [](const py::object& point, const py::object& light_object) {
        return as_python(Flavour::operations().light_distance(to_vector(point, "point"),
                                                              to_light(light_object)));
      },
      "point"_a, "light"_a, R"doc(light_distance(point, light)
--

Distance from point (a Vector3 or 3-sequence) to the light, a float32 value
returned as a Python float.
)doc");

  module.def(
      "light_direction",
      [](const py::object& point, const py::object& light_object) {
        Vector3 result;
        Flavour::operations().light_direction(to_vector(point, "point"), to_light(light_object),
                                              result);
        return result;
      },
      "point"_a, "light"_a, R"doc(light_direction(point, light)
--

Unit direction from point towards the light, a Vector3. A point at the
light's position gives NaN components.
)doc");

  module.def(
      "dot_product",
      [](const py::object& a, const py::object& b) {
        return as_python(Flavour::operations().dot_product(to_vector(a, "a"), to_vector(b, "b")));
      },
      "a"_a, "b"_a, R"doc(dot_product(a, b)
--

(a.y*b.y + a.x*b.x) + a.z*b.z computed in double precision and rounded once
to float32, returned as a Python float.
)doc");

  module.def("received_energy", &received_energy<Flavour>, "points"_a, "light"_a, py::kw_only(),
             "out"_a = py::none(), R"doc(received_energy(points, light, *, out=None)
--

Energy received from the light: falloff = (1 / d) / d for the distance d,
times the intensity, times the colour, per channel.

points of shape (3,) is one point (a Vector3, a tuple, a list or a numpy
array of three numbers) and gives a Vector3. An array of shape (N, 3), or
(..., 3) such as an (H, W, 3) grid, gives a float32 array of the same shape
whose last axis holds each point's energy, bit for bit what one call per
point gives. float32 C-contiguous points are read in place; other real
arrays are converted as numpy.asarray(points, dtype=numpy.float32) would;
nested lists and tuples number by number, each rounded once to the nearest
float32 as the scalar calls round it (ints of any size exactly). With out=, a float32 C-contiguous writeable array of the points' shape, the
result is written there and out is returned; out may be points itself, but
no other overlap. The GIL is released while the batch runs.

Raises TypeError for a non-real value or dtype (complex, bool, text) or a
light that is not a PointLight, ValueError for a wrong shape, mismatched
shapes or an overlapping out, MemoryError when the float32 copy or the
result cannot be allocated; on an error nothing is written.
)doc");

  module.def("diffused_energy", &diffused_energy<Flavour>, "points"_a, "normal"_a, "reflectance"_a,
             "light"_a, py::kw_only(), "out"_a = py::none(),
             R"doc(diffused_energy(points, normal, reflectance, light, *, out=None)
--

Energy diffused towards the light: the received energy times the cosine
between the direction to the light and the normal (raised to +0 when
negative), times the reflectance, per channel. The normal is used as given:
its length scales the result.

points of shape (3,) is one point, giving a Vector3; an array of shape
(N, 3) or (..., 3) gives a float32 array of the same shape (see
received_energy for the shape rule, the conversions, out= and the GIL).
With an array of points, normal and reflectance are each one triple for
every point (shape (3,) or (1, 3)) or an array that broadcasts against the
points as numpy broadcasts, such as one of the points' own shape.

Raises TypeError for a non-real value or dtype (complex, bool, text) or a
light that is not a PointLight, ValueError for a wrong shape, mismatched
shapes or an overlapping out, MemoryError when a float32 copy or the result
cannot be allocated; on an error nothing is written.
)doc");
}

// --- The records -------------------------------------------------------------------

// A NaN's payload and sign are part of its bits, and a Python float cannot
// carry every one of them (a signalling NaN comes back quiet): a NaN field
// travels as a numpy.float32, which holds its bits, and prints as bits.
py::object float32_with_bits(std::uint32_t bits) {
  py::array_t<float> zero_d(std::vector<py::ssize_t>{});
  std::memcpy(zero_d.mutable_data(), &bits, sizeof bits);
  return zero_d[py::tuple()];  // the numpy scalar
}

py::object rebuilding(float value) {
  return std::isnan(value) ? float32_with_bits(std::bit_cast<std::uint32_t>(value))
                           : py::object(as_python(value));
}

// The arguments that rebuild a record, which pickle and copy call the class
// with.
py::tuple arguments(const Vector3& v) {
  return py::make_tuple(rebuilding(v.x), rebuilding(v.y), rebuilding(v.z));
}

py::tuple arguments(const PointLight& l) {
  return py::make_tuple(l.position, rebuilding(l.r), rebuilding(l.g), rebuilding(l.b),
                        rebuilding(l.intensity));
}

bool has_nan(const Vector3& v) {
  return std::isnan(v.x) || std::isnan(v.y) || std::isnan(v.z);
}

bool has_nan(const PointLight& l) {
  return has_nan(l.position) || std::isnan(l.r) || std::isnan(l.g) || std::isnan(l.b) ||
         std::isnan(l.intensity);
}

// Python that gives a finite value or an infinity back: the shortest decimal
// that names the double, which the float32 rounds back to.
std::string decimal(float value) {
  if (std::isinf(value)) return value > 0 ? "float('inf')" : "-float('inf')";
  return std::string(py::repr(as_python(value)));
}

std::string hex_bits(float value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x",
                static_cast<unsigned>(std::bit_cast<std::uint32_t>(value)));
  return text;
}

std::string triple(const Vector3& v, std::string (*show)(float)) {
  return show(v.x) + ", " + show(v.y) + ", " + show(v.z);
}

// The call that rebuilds the record: the constructor with decimal values, or
// from_bits with every bit pattern when a field is a NaN.
std::string source_of(const Vector3& v) {
  if (has_nan(v)) return "Vector3.from_bits(" + triple(v, hex_bits) + ")";
  return "Vector3(" + triple(v, decimal) + ")";
}

std::string source_of(const PointLight& l) {
  if (has_nan(l)) {
    return "PointLight.from_bits((" + triple(l.position, hex_bits) + "), " + hex_bits(l.r) + ", " +
           hex_bits(l.g) + ", " + hex_bits(l.b) + ", " + hex_bits(l.intensity) + ")";
  }
  return "PointLight(" + source_of(l.position) + ", " + decimal(l.r) + ", " + decimal(l.g) + ", " +
         decimal(l.b) + ", " + decimal(l.intensity) + ")";
}

// A float32 bit pattern given as an int, for from_bits.
float from_bits(py::handle value, const std::string& what) {
  const std::string expected = what + " must be a float32 bit pattern, an int from 0 to 0xffffffff";
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
    throw py::type_error(expected + ", not " + type_name(value));
  }
  int overflow = 0;
  const long long bits = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (bits == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0 || bits < 0 || bits > 0xffffffffLL) throw py::value_error(expected);
  return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
}

Vector3 vector_from_bits(py::handle object, const std::string& what) {
  if (!is_sequence(object) || py::isinstance<py::array>(object)) {
    throw py::type_error(what + " must be a tuple of 3 float32 bit patterns, not " +
                         type_name(object));
  }
  const auto sequence = py::reinterpret_borrow<py::sequence>(object);
  if (sequence.size() != 3) {
    throw py::value_error(what + " must have 3 components, not " + std::to_string(sequence.size()));
  }
  return {from_bits(sequence[0], what + "[0]"), from_bits(sequence[1], what + "[1]"),
          from_bits(sequence[2], what + "[2]")};
}

bool operator==(const Vector3& a, const Vector3& b) {
  return a.x == b.x && a.y == b.y && a.z == b.z;
}

bool operator==(const PointLight& a, const PointLight& b) {
  return a.position == b.position && a.r == b.r && a.g == b.g && a.b == b.b &&
         a.intensity == b.intensity;
}

float component(const Vector3& vector, py::ssize_t index) {
  if (index < 0) index += 3;
  switch (index) {
    case 0:
      return vector.x;
    case 1:
      return vector.y;
    case 2:
      return vector.z;
    default:
      throw py::index_error("Vector3 index out of range");
  }
}

// A float field read as a Python float and written through to_single, so
// that a field refuses what the constructor refuses.
template <class Record>
void define_field(py::class_<Record>& record, const char* name, float Record::*field,
                  const char* doc) {
  record.def_property(
      name, [field](const Record& self) { return as_python(self.*field); },
      [field, name](Record& self, const py::object& value) {
        self.*field = to_single(value, name);
      },
      doc);
}

// The methods that make a record a value: equality field by field as floats
// compare (-0.0 equals 0.0, NaN equals nothing) and no hash, since records
// are mutable; pickling and copying through the rebuilding arguments; and a
// repr that is Python giving the same bits back.
template <class Record>
void define_value_methods(py::class_<Record>& record) {
  record
      .def(
          "__eq__",
          [](const Record& self, const py::object& other) -> py::object {
            if (!py::isinstance<Record>(other))
              return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            return py::bool_(self == other.cast<Record>());
          },
          "__eq__(self, other)\n--\n\nWhether every field compares equal as floats do "
          "(-0.0 equals 0.0, NaN equals nothing).")
      .def(
          "__reduce__",
          [](const py::object& self) {
            return py::make_tuple(py::type::of(self), arguments(self.cast<Record>()));
          },
          "__reduce__(self)\n--\n\nFor pickle and copy: the class and its fields.")
      .def(
          "__repr__", [](const Record& self) { return source_of(self); },
          "__repr__(self)\n--\n\nThe call that rebuilds the record, with exact values.")
      .attr("__hash__") = py::none();
  record.attr("__module__") = "lighting";
}

void define_records(py::module_& module) {
  py::class_<Vector3> vector(module, "Vector3", R"doc(
A point, a normal, a unit direction, a reflectance or an energy triple
(x red, y green, z blue), in single precision.

Each component is a real number rounded once to the nearest float32 when
stored (a float as numpy.float32(x) rounds it, numpy scalars by numpy's
cast, ints of any size and fractions exactly); complex and bool values
raise TypeError. A Vector3 unpacks like a tuple (x, y, z = v; tuple(v)),
compares equal to another with equal components, pickles and copies with
its exact bits, and its repr is Python that rebuilds them, through
Vector3.from_bits when a component is a NaN.
)doc");
  vector.def(
      py::init([](const py::object& x, const py::object& y, const py::object& z) {
        return Vector3{to_single(x, "x"), to_single(y, "y"), to_single(z, "z")};
      }),
      "x"_a = 0.0, "y"_a = 0.0, "z"_a = 0.0,
      "__init__(self, x=0.0, y=0.0, z=0.0)\n--\n\nThe triple (x, y, z), rounded to float32.");
  define_field(vector, "x", &Vector3::x, "First component (red for energies), a float32 value.");
  define_field(vector, "y", &Vector3::y, "Second component (green for energies), a float32 value.");
  define_field(vector, "z", &Vector3::z, "Third component (blue for energies), a float32 value.");
  vector
      .def(
          "__len__", [](const Vector3&) { return 3; }, "__len__(self)\n--\n\nAlways 3.")
      .def("__getitem__", &component, "index"_a,
           "__getitem__(self, index)\n--\n\nx, y or z for index 0, 1 or 2 (or -3, -2, -1).")
      .def(
          "__iter__",
          [](const Vector3& self) {
            return py::iter(
                py::make_tuple(as_python(self.x), as_python(self.y), as_python(self.z)));
          },
          "__iter__(self)\n--\n\nx, y and z in turn, as Python floats.");
  vector.def_static(
      "from_bits",
      [](const py::object& x, const py::object& y, const py::object& z) {
        return Vector3{from_bits(x, "x"), from_bits(y, "y"), from_bits(z, "z")};
      },
      "x"_a, "y"_a, "z"_a,
      "from_bits(x, y, z)\n--\n\nThe Vector3 whose components have these float32 bit patterns "
      "(ints from 0 to 0xffffffff), NaN payloads and signs included; what repr writes for a "
      "Vector3 holding a NaN.");
  define_value_methods(vector);

  py::class_<PointLight> light(module, "PointLight", R"doc(
A point light: a position, a colour (r, g, b) and an intensity, in single
precision. Colour and intensity stay separate: no operation folds them.

The position is a Vector3 or a sequence of three real numbers; every value
is rounded once to the nearest float32, as for Vector3. Equality, pickling,
copying and repr are as for Vector3.
)doc");
  light
      .def(py::init([](const py::object& position, const py::object& r, const py::object& g,
                       const py::object& b, const py::object& intensity) {
             return PointLight{to_vector(position, "position"), to_single(r, "r"),
                               to_single(g, "g"), to_single(b, "b"),
                               to_single(intensity, "intensity")};
           }),
           "position"_a, "r"_a, "g"_a, "b"_a, "intensity"_a,
           "__init__(self, position, r, g, b, intensity)\n--\n\nA light at position with colour "
           "(r, g, b) and the given intensity.")
      .def_property(
          "position", [](PointLight& self) -> Vector3& { return self.position; },
          [](PointLight& self, const py::object& position) {
            self.position = to_vector(position, "position");
          },
          py::return_value_policy::reference_internal,
          "Where the light is, a Vector3 (setting it accepts a 3-sequence too).");
  define_field(light, "r", &PointLight::r, "Red colour channel.");
  define_field(light, "g", &PointLight::g, "Green colour channel.");
  define_field(light, "b", &PointLight::b, "Blue colour channel.");
  define_field(light, "intensity", &PointLight::intensity, "Intensity, scaling every channel.");
  light.def_static(
      "from_bits",
      [](const py::object& position, const py::object& r, const py::object& g, const py::object& b,
         const py::object& intensity) {
        return PointLight{vector_from_bits(position, "position"), from_bits(r, "r"),
                          from_bits(g, "g"), from_bits(b, "b"), from_bits(intensity, "intensity")};
      },
      "position"_a, "r"_a, "g"_a, "b"_a, "intensity"_a,
      "from_bits(position, r, g, b, intensity)\n--\n\nThe PointLight whose fields have these "
      "float32 bit patterns (ints from 0 to 0xffffffff; position a tuple of three), NaN payloads "
      "and signs included; what repr writes for a PointLight holding a NaN.");
  define_value_methods(light);
}

}  // namespace

void define_cuda_module(py::module_& portable);

PYBIND11_MODULE(_lighting, module) {
  py::options options;
  options.disable_function_signatures();

  module.doc() = "Compiled part of the lighting package; import lighting instead.";
  define_records(module);
  define_functions<DefaultFlavour>(module);
  py::module_ portable = module.def_submodule(
      "portable", "The portable flavour's functions; import lighting.portable instead.");
  define_functions<PortableFlavour>(portable);
  define_cuda_module(portable);  // python/cuda_module.cpp
}
