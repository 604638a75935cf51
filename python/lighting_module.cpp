// The Python module lighting._lighting: the records as classes, the scalar
// operations on them, and the batches on numpy arrays of shape (N, 3).
//
// Python floats become single precision exactly as numpy.float32(x) rounds
// them (to nearest); the computing is the library's, so the bits are the C++
// functions' bits.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <lighting/lighting.hpp>

#include <cstddef>
#include <limits>
#include <optional>
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

// A double rounded to the nearest float, as numpy.float32(x) does.
float to_single(double value) {
  return static_cast<float>(value);
}

float to_single(py::handle value, const std::string& what) {
  const double number = PyFloat_AsDouble(value.ptr());
  if (number == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    throw py::type_error(what + " must be a real number, not " +
                         std::string(py::str(py::type::handle_of(value).attr("__name__"))));
  }
  return to_single(number);
}

bool is_text(py::handle object) {
  return PyUnicode_Check(object.ptr()) || PyBytes_Check(object.ptr());
}

bool is_sequence(py::handle object) {
  return PySequence_Check(object.ptr()) != 0 && !is_text(object);
}

// A Vector3, or any sequence of three real numbers (a tuple, a list, an array of shape (3,)).
Vector3 to_vector(py::handle object, const std::string& what) {
  if (py::isinstance<Vector3>(object)) return object.cast<Vector3>();
  if (!is_sequence(object)) {
    throw py::type_error(what + " must be a lighting.Vector3 or a sequence of 3 numbers");
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
    throw py::type_error("light must be a lighting.PointLight");
  }
  return object.cast<PointLight>();
}

// One point (a Vector3 or a flat sequence of three numbers) rather than an
// array of points: an ndarray or a sequence of sequences is a batch.
bool is_one_triple(py::handle object) {
  if (py::isinstance<Vector3>(object)) return true;
  if (py::isinstance<py::array>(object) || !is_sequence(object)) return false;
  const auto sequence = py::reinterpret_borrow<py::sequence>(object);
  if (sequence.size() != 3) return false;
  for (const auto item : sequence) {
    if (is_sequence(item)) return false;
  }
  return true;
}

std::string shape_text(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t axis = 0; axis < array.ndim(); ++axis) {
    if (axis > 0) text += ", ";
    text += std::to_string(array.shape(axis));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

using Points = py::array_t<float, py::array::c_style | py::array::forcecast>;

// An (N, 3) array of real numbers as float32 rows: float32 C-contiguous input
// is used as it is; anything else is converted as numpy.asarray(a,
// dtype=numpy.float32) would.
Points to_points(py::handle object, const std::string& what) {
  const auto array = py::array::ensure(object);  // numpy.asarray(object): its own dtype
  if (!array) {
    throw py::type_error(what + " must be an array of real numbers of shape (N, 3)");
  }
  const char kind = array.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u') {
    throw py::type_error(what + " must be an array of real numbers of shape (N, 3), not dtype " +
                         std::string(py::str(array.dtype())));
  }
  if (array.ndim() != 2 || array.shape(1) != 3) {
    throw py::value_error(what + " must have shape (N, 3), not " + shape_text(array));
  }
  return Points::ensure(array);
}

std::size_t rows(const py::array& array) {
  return static_cast<std::size_t>(array.shape(0));
}

std::span<const Vector3> as_vectors(const Points& points) {
  return {reinterpret_cast<const Vector3*>(points.data()), rows(points)};
}

void require_rows(const py::array& array, std::size_t count, const std::string& what) {
  if (rows(array) != count) {
    throw py::value_error(what + " must have shape (" + std::to_string(count) +
                          ", 3) to match the points, not " + shape_text(array));
  }
}

// The array to write: a new one, or the caller's out=, which must already be
// what a new one would be (float32, C-contiguous, writeable, (N, 3)).
py::array output_for(const py::object& out, std::size_t count) {
  if (out.is_none()) {
    return py::array_t<float>({static_cast<py::ssize_t>(count), py::ssize_t{3}});
  }
  const std::string expected =
      "a writeable C-contiguous float32 array of shape (" + std::to_string(count) + ", 3)";
  if (!py::isinstance<py::array>(out)) {
    throw py::type_error("out must be a numpy array: " + expected);
  }
  const auto array = py::reinterpret_borrow<py::array>(out);
  if (!py::isinstance<py::array_t<float>>(array)) {
    throw py::type_error("out must be " + expected + ", not dtype " +
                         std::string(py::str(array.dtype())));
  }
  if (array.ndim() != 2 || array.shape(1) != 3) {
    throw py::value_error("out must have shape (N, 3), not " + shape_text(array));
  }
  require_rows(array, count, "out");
  if (!py::isinstance<py::array_t<float, py::array::c_style>>(array)) {
    throw py::value_error("out must be C-contiguous: " + expected);
  }
  if (!array.writeable()) throw py::value_error("out must be writeable: " + expected);
  return array;
}

std::span<Vector3> as_vectors(py::array& out) {
  return {reinterpret_cast<Vector3*>(out.mutable_data()), rows(out)};
}

// A per-point argument of the diffused batch: one triple for every point, or
// an (N, 3) array of them.
struct PerPoint {
  Vector3 one{};
  std::optional<Points> each;
};

PerPoint to_per_point(py::handle object, std::size_t count, const std::string& what) {
  if (py::isinstance<Vector3>(object) ||
      (py::isinstance<py::array>(object) &&
       py::reinterpret_borrow<py::array>(object).ndim() == 1) ||
      is_one_triple(object)) {
    return {to_vector(object, what), std::nullopt};
  }
  Points each = to_points(object, what);
  require_rows(each, count, what);
  return {Vector3{}, std::move(each)};
}

// The rows of a per-point argument, a single triple repeated when the other
// argument comes per point.
std::span<const Vector3> rows_of(const PerPoint& argument, std::size_t count,
                                 std::vector<Vector3>& repeated) {
  if (argument.each) return as_vectors(*argument.each);
  repeated.assign(count, argument.one);
  return repeated;
}

py::object received_energy(const py::object& points, const py::object& light_object,
                           const py::object& out) {
  const PointLight light = to_light(light_object);
  if (is_one_triple(points)) {
    if (!out.is_none()) throw py::type_error("out= is for arrays of points, not one point");
    Vector3 result;
    lighting::received_energy(to_vector(points, "point"), light, result);
    return py::cast(result);
  }
  const Points input = to_points(points, "points");
  py::array output = output_for(out, rows(input));
  const auto input_rows = as_vectors(input);
  const auto output_rows = as_vectors(output);
  {
    const py::gil_scoped_release unlocked;
    lighting::received_energy(input_rows, light, output_rows);
  }
  return output;
}

py::object diffused_energy(const py::object& points, const py::object& normal,
                           const py::object& reflectance, const py::object& light_object,
                           const py::object& out) {
  const PointLight light = to_light(light_object);
  if (is_one_triple(points)) {
    if (!out.is_none()) throw py::type_error("out= is for arrays of points, not one point");
    Vector3 result;
    lighting::diffused_energy(to_vector(points, "point"), to_vector(normal, "normal"),
                              to_vector(reflectance, "reflectance"), light, result);
    return py::cast(result);
  }
  const Points input = to_points(points, "points");
  const std::size_t count = rows(input);
  const PerPoint normals = to_per_point(normal, count, "normal");
  const PerPoint reflectances = to_per_point(reflectance, count, "reflectance");
  py::array output = output_for(out, count);
  const auto input_rows = as_vectors(input);
  const auto output_rows = as_vectors(output);
  if (!normals.each && !reflectances.each) {
    const py::gil_scoped_release unlocked;
    lighting::diffused_energy(input_rows, normals.one, reflectances.one, light, output_rows);
  } else {
    std::vector<Vector3> repeated_normal;
    std::vector<Vector3> repeated_reflectance;
    const auto normal_rows = rows_of(normals, count, repeated_normal);
    const auto reflectance_rows = rows_of(reflectances, count, repeated_reflectance);
    const py::gil_scoped_release unlocked;
    lighting::diffused_energy(input_rows, normal_rows, reflectance_rows, light, output_rows);
  }
  return output;
}

py::float_ as_python(float value) {
  return py::float_(double(value));
}

std::string repr(float value) {
  return std::string(py::repr(as_python(value)));
}

std::string repr(const Vector3& vector) {
  return "Vector3(" + repr(vector.x) + ", " + repr(vector.y) + ", " + repr(vector.z) + ")";
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

}  // namespace

// Signatures are written into the docstrings in the form CPython reads as a
// builtin's __text_signature__ ("name(args)\n--\n\n"), so help() and
// inspect.signature show the Python names and defaults.
PYBIND11_MODULE(_lighting, module) {
  py::options options;
  options.disable_function_signatures();

  module.doc() = "Compiled part of the lighting package; import lighting instead.";

  py::class_<Vector3> vector(module, "Vector3", R"doc(
A point, a normal, a unit direction, a reflectance or an energy triple
(x red, y green, z blue), in single precision.

Each component is rounded to float32 when stored, as numpy.float32(x)
rounds. A Vector3 unpacks like a tuple (x, y, z = v; tuple(v)) and compares
equal to another with equal components.
)doc");
  vector
      .def(py::init([](float x, float y, float z) {
             return Vector3{x, y, z};
           }),
           "x"_a = 0.0f, "y"_a = 0.0f, "z"_a = 0.0f,
           "__init__(self, x=0.0, y=0.0, z=0.0)\n--\n\nThe triple (x, y, z), rounded to float32.")
      .def_readwrite("x", &Vector3::x, "First component (red for energies), a float32 value.")
      .def_readwrite("y", &Vector3::y, "Second component (green for energies), a float32 value.")
      .def_readwrite("z", &Vector3::z, "Third component (blue for energies), a float32 value.")
      .def(
          "__repr__", [](const Vector3& self) { return repr(self); },
          "__repr__(self)\n--\n\nVector3(x, y, z) with each component's exact value.")
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
          "__iter__(self)\n--\n\nx, y and z in turn, as Python floats.")
      .def(
          "__eq__",
          [](const Vector3& self, const py::object& other) -> py::object {
            if (!py::isinstance<Vector3>(other))
              return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            const auto that = other.cast<Vector3>();
            return py::bool_(self.x == that.x && self.y == that.y && self.z == that.z);
          },
          "__eq__(self, other)\n--\n\nWhether every component compares equal as floats do "
          "(-0.0 equals 0.0, NaN equals nothing).")
      .attr("__hash__") = py::none();
  vector.attr("__module__") = "lighting";

  py::class_<PointLight> light(module, "PointLight", R"doc(
A point light: a position, a colour (r, g, b) and an intensity, in single
precision. Colour and intensity stay separate: no operation folds them.

The position is a Vector3 or a sequence of three numbers; every value is
rounded to float32 as numpy.float32(x) rounds.
)doc");
  light
      .def(py::init([](const py::object& position, float r, float g, float b, float intensity) {
             return PointLight{to_vector(position, "position"), r, g, b, intensity};
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
          "Where the light is, a Vector3 (setting it accepts a 3-sequence too).")
      .def_readwrite("r", &PointLight::r, "Red colour channel.")
      .def_readwrite("g", &PointLight::g, "Green colour channel.")
      .def_readwrite("b", &PointLight::b, "Blue colour channel.")
      .def_readwrite("intensity", &PointLight::intensity, "Intensity, scaling every channel.")
      .def(
          "__repr__",
          [](const PointLight& self) {
            return "PointLight(" + repr(self.position) + ", " + repr(self.r) + ", " + repr(self.g) +
                   ", " + repr(self.b) + ", " + repr(self.intensity) + ")";
          },
          "__repr__(self)\n--\n\nPointLight(position, r, g, b, intensity) with exact values.");
  light.attr("__module__") = "lighting";

  module.def(
      "light_distance",
      [](const py::object& point, const py::object& light_object) {
        return as_python(
            lighting::light_distance(to_vector(point, "point"), to_light(light_object)));
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
        lighting::light_direction(to_vector(point, "point"), to_light(light_object), result);
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
        return as_python(lighting::dot_product(to_vector(a, "a"), to_vector(b, "b")));
      },
      "a"_a, "b"_a, R"doc(dot_product(a, b)
--

(a.y*b.y + a.x*b.x) + a.z*b.z computed in double precision and rounded once
to float32, returned as a Python float.
)doc");

  module.def("received_energy", &received_energy, "points"_a, "light"_a, py::kw_only(),
             "out"_a = py::none(), R"doc(received_energy(points, light, *, out=None)
--

Energy received from the light: falloff = (1 / d) / d for the distance d,
times the intensity, times the colour, per channel.

points is one point (a Vector3 or a sequence of three numbers), giving a
Vector3, or an array of shape (N, 3), giving a float32 array of shape (N, 3)
whose row i is the energy at point i, bit for bit what one call per point
gives. float32 C-contiguous points are read in place; other real arrays are
converted as numpy.asarray(points, dtype=numpy.float32) would. With out=, a
float32 C-contiguous writeable array of shape (N, 3), the result is written
there and out is returned; out may be points itself, but no other overlap.
The GIL is released while the batch runs.

Raises TypeError for a non-real dtype or a light that is not a PointLight,
ValueError for a wrong shape, mismatched lengths or an overlapping out; on an
error nothing is written.
)doc");

  module.def("diffused_energy", &diffused_energy, "points"_a, "normal"_a, "reflectance"_a,
             "light"_a, py::kw_only(), "out"_a = py::none(),
             R"doc(diffused_energy(points, normal, reflectance, light, *, out=None)
--

Energy diffused towards the light: the received energy times the cosine
between the direction to the light and the normal (raised to +0 when
negative), times the reflectance, per channel. The normal is used as given:
its length scales the result.

points is one point, giving a Vector3, or an array of shape (N, 3), giving
a float32 array of shape (N, 3) (see received_energy for the conversions,
out= and the GIL). With an array of points, normal and reflectance are each
either one triple for every point or an array of shape (N, 3), row i for
point i.

Raises TypeError for a non-real dtype or a light that is not a PointLight,
ValueError for a wrong shape, mismatched lengths or an overlapping out; on an
error nothing is written.
)doc");
}
