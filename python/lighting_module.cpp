// The Python module lighting._lighting: the records as classes, the scalar
// operations on them, and the batches on numpy arrays of shape (..., 3).
//
// Python floats become single precision exactly as numpy.float32(x) rounds
// them (to nearest); the computing is the library's, so the bits are the C++
// functions' bits.
//
// The functions are bound once per flavour of the library: the default one
// at the top of the module, and the portable one (IEEE square root as the
// root) in the submodule "portable". One template serves both.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <lighting/lighting.hpp>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <string>
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

// The operations of one flavour of the library, as addresses, so that one set
// of bindings is instantiated for each flavour.
struct Flavour {
  float (*light_distance)(const Vector3&, const PointLight&) noexcept;
  void (*light_direction)(const Vector3&, const PointLight&, Vector3&) noexcept;
  float (*dot_product)(const Vector3&, const Vector3&) noexcept;
  void (*received_energy)(const Vector3&, const PointLight&, Vector3&) noexcept;
  void (*diffused_energy)(const Vector3&, const Vector3&, const Vector3&, const PointLight&,
                          Vector3&) noexcept;
  void (*received_batch)(std::span<const Vector3>, const PointLight&, std::span<Vector3>);
  void (*diffused_plane_batch)(std::span<const Vector3>, const Vector3&, const Vector3&,
                               const PointLight&, std::span<Vector3>);
  void (*diffused_batch)(std::span<const Vector3>, std::span<const Vector3>,
                         std::span<const Vector3>, const PointLight&, std::span<Vector3>);
};

// Both namespaces declare the same names with the same signatures; the
// member types pick the overload of each.
#define LIGHTING_FLAVOUR_OF(space)                                                                 \
  Flavour {                                                                                        \
    &space::light_distance, &space::light_direction, &space::dot_product, &space::received_energy, \
        &space::diffused_energy, &space::received_energy, &space::diffused_energy,                 \
        &space::diffused_energy                                                                    \
  }

constexpr Flavour default_flavour = LIGHTING_FLAVOUR_OF(lighting);
constexpr Flavour portable_flavour = LIGHTING_FLAVOUR_OF(lighting::portable);

#undef LIGHTING_FLAVOUR_OF

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

// A real number rounded to the nearest float, as numpy.float32(x) rounds it.
float to_single(py::handle value, const std::string& what) {
  if (!is_real(value)) {
    throw py::type_error(what + " must be a real number, not " + type_name(value));
  }
  const double number = PyFloat_AsDouble(value.ptr());  // an int too large raises OverflowError
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

// numpy.asarray(object), which must hold real numbers. numpy's MemoryError
// (and KeyboardInterrupt) pass through as they are; its other complaints
// about the object become this function's TypeError.
py::array real_array(py::handle object, const std::string& what) {
  static const py::handle asarray = imported("numpy", "asarray");
  py::object converted;
  try {
    converted = asarray(object);
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_TypeError)) throw;
    throw py::type_error(what + " must be an array of real numbers of shape (N, 3) or (..., 3): " +
                         std::string(py::str(error.value())));
  }
  auto array = py::reinterpret_steal<py::array>(converted.release());
  if (!has_real_dtype(array)) {
    throw py::type_error(
        what + " must be an array of real numbers of shape (N, 3) or (..., 3), not dtype " +
        std::string(py::str(array.dtype())));
  }
  return array;
}

using Rows = py::array_t<float, py::array::c_style | py::array::forcecast>;

// The float32 C-contiguous rows of a real array, without a copy when the
// array already is one; otherwise converted as numpy.asarray(a,
// dtype=numpy.float32) would. A failed allocation raises MemoryError.
Rows float32_rows(const py::array& array) {
  return Rows(py::reinterpret_borrow<py::object>(array));  // throws what numpy raised
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

template <const Flavour& flavour>
py::object received_energy(const py::object& points_object, const py::object& light_object,
                           const py::object& out) {
  const PointLight light = to_light(light_object);
  if (is_one_triple(points_object)) {
    if (!out.is_none()) throw py::type_error("out= is for arrays of points, not one point");
    Vector3 result;
    flavour.received_energy(to_vector(points_object, "point"), light, result);
    return py::cast(result);
  }
  const py::array points = to_points(points_object);
  const Rows input = float32_rows(points);
  py::array output = output_for(out, points);
  const auto input_rows = as_vectors(input);
  const auto output_rows = as_vectors(output);
  {
    const py::gil_scoped_release unlocked;
    flavour.received_batch(input_rows, light, output_rows);
  }
  return output;
}

template <const Flavour& flavour>
py::object diffused_energy(const py::object& points_object, const py::object& normal,
                           const py::object& reflectance, const py::object& light_object,
                           const py::object& out) {
  const PointLight light = to_light(light_object);
  if (is_one_triple(points_object)) {
    if (!out.is_none()) throw py::type_error("out= is for arrays of points, not one point");
    Vector3 result;
    flavour.diffused_energy(to_vector(points_object, "point"), to_vector(normal, "normal"),
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
    flavour.diffused_plane_batch(input_rows, normals.one, reflectances.one, light, output_rows);
  } else {
    const Rows normal_rows = rows_of(normals, points);
    const Rows reflectance_rows = rows_of(reflectances, points);
    const auto normal_vectors = as_vectors(normal_rows);
    const auto reflectance_vectors = as_vectors(reflectance_rows);
    const py::gil_scoped_release unlocked;
    flavour.diffused_batch(input_rows, normal_vectors, reflectance_vectors, light, output_rows);
  }
  return output;
}

py::float_ as_python(float value) {
  return py::float_(double(value));
}

// Signatures are written into the docstrings in the form CPython reads as a
// builtin's __text_signature__ ("name(args)\n--\n\n"), so help() and
// inspect.signature show the Python names and defaults.
template <const Flavour& flavour>
void define_functions(py::module_& module) {
  module.def(
      "light_distance",
      [](const py::object& point, const py::object& light_object) {
        return as_python(flavour.light_distance(to_vector(point, "point"), to_light(light_object)));
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
        flavour.light_direction(to_vector(point, "point"), to_light(light_object), result);
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
        return as_python(flavour.dot_product(to_vector(a, "a"), to_vector(b, "b")));
      },
      "a"_a, "b"_a, R"doc(dot_product(a, b)
--

(a.y*b.y + a.x*b.x) + a.z*b.z computed in double precision and rounded once
to float32, returned as a Python float.
)doc");

  module.def("received_energy", &received_energy<flavour>, "points"_a, "light"_a, py::kw_only(),
             "out"_a = py::none(), R"doc(received_energy(points, light, *, out=None)
--

Energy received from the light: falloff = (1 / d) / d for the distance d,
times the intensity, times the colour, per channel.

points of shape (3,) is one point (a Vector3, a tuple, a list or a numpy
array of three numbers) and gives a Vector3. An array of shape (N, 3), or
(..., 3) such as an (H, W, 3) grid, gives a float32 array of the same shape
whose last axis holds each point's energy, bit for bit what one call per
point gives. float32 C-contiguous points are read in place; other real
arrays are converted as numpy.asarray(points, dtype=numpy.float32) would.
With out=, a float32 C-contiguous writeable array of the points' shape, the
result is written there and out is returned; out may be points itself, but
no other overlap. The GIL is released while the batch runs.

Raises TypeError for a non-real value or dtype (complex, bool, text) or a
light that is not a PointLight, ValueError for a wrong shape, mismatched
shapes or an overlapping out, MemoryError when the float32 copy or the
result cannot be allocated; on an error nothing is written.
)doc");

  module.def("diffused_energy", &diffused_energy<flavour>, "points"_a, "normal"_a, "reflectance"_a,
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

std::string repr(float value) {
  // Valid Python that gives the value back: inf and nan are not literals.
  if (std::isinf(value)) return value > 0 ? "float('inf')" : "-float('inf')";
  if (std::isnan(value)) return "float('nan')";
  return std::string(py::repr(as_python(value)));
}

// The arguments that rebuild a record: what pickle and copy call the class
// with, and what repr writes.
py::tuple arguments(const Vector3& v) {
  return py::make_tuple(as_python(v.x), as_python(v.y), as_python(v.z));
}

py::tuple arguments(const PointLight& l) {
  return py::make_tuple(l.position, as_python(l.r), as_python(l.g), as_python(l.b),
                        as_python(l.intensity));
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
void define_value_methods(py::class_<Record>& record, const char* name) {
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
          "__repr__",
          [name](const Record& self) {
            std::string text = std::string(name) + "(";
            const char* separator = "";
            for (const auto argument : arguments(self)) {
              text += separator;
              text += PyFloat_Check(argument.ptr()) ? repr(argument.template cast<float>())
                                                    : std::string(py::repr(argument));
              separator = ", ";
            }
            return text + ")";
          },
          "__repr__(self)\n--\n\nThe call that rebuilds the record, with exact values.")
      .attr("__hash__") = py::none();
  record.attr("__module__") = "lighting";
}

void define_records(py::module_& module) {
  py::class_<Vector3> vector(module, "Vector3", R"doc(
A point, a normal, a unit direction, a reflectance or an energy triple
(x red, y green, z blue), in single precision.

Each component is a real number rounded to float32 when stored, as
numpy.float32(x) rounds; complex and bool values raise TypeError. A Vector3
unpacks like a tuple (x, y, z = v; tuple(v)), compares equal to another with
equal components, pickles and copies with its exact bits, and its repr is
Python that rebuilds it.
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
          "__iter__", [](const Vector3& self) { return py::iter(arguments(self)); },
          "__iter__(self)\n--\n\nx, y and z in turn, as Python floats.");
  define_value_methods(vector, "Vector3");

  py::class_<PointLight> light(module, "PointLight", R"doc(
A point light: a position, a colour (r, g, b) and an intensity, in single
precision. Colour and intensity stay separate: no operation folds them.

The position is a Vector3 or a sequence of three real numbers; every value
is rounded to float32 as numpy.float32(x) rounds. Equality, pickling,
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
  define_value_methods(light, "PointLight");
}

}  // namespace

void define_cuda_module(py::module_& portable);

PYBIND11_MODULE(_lighting, module) {
  py::options options;
  options.disable_function_signatures();

  module.doc() = "Compiled part of the lighting package; import lighting instead.";
  define_records(module);
  define_functions<default_flavour>(module);
  py::module_ portable = module.def_submodule(
      "portable", "The portable flavour's functions; import lighting.portable instead.");
  define_functions<portable_flavour>(portable);
  define_cuda_module(portable);  // python/cuda_module.cpp
}
