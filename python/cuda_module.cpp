// The submodule lighting.portable.cuda: the GPU batches on numpy arrays.
//
// The arrays take the shapes the CPU batches take: points of shape (..., 3)
// (one point of shape (3,) gives a Vector3), normal and reflectance one
// triple or an array that broadcasts against the points, out= a float32
// C-contiguous writeable array of the points' shape, which may be the
// points. Real values are converted to float32 as numpy.asarray(x,
// dtype=numpy.float32) converts them; complex and bool values raise
// TypeError. The data go to the device and back (lighting::cuda's host-span
// forms); the GIL is released meanwhile.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <lighting/lighting_cuda.hpp>

#include <span>
#include <string>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using lighting::PointLight;
using lighting::Vector3;
using Rows = py::array_t<float, py::array::c_style>;

py::object numpy(const char* name) {
  return py::module_::import("numpy").attr(name);
}

py::array real_array(const py::object& value, const std::string& what) {
  const py::array array = numpy("asarray")(value);
  const char kind = array.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u') {
    throw py::type_error(what + " must hold real numbers, not dtype " +
                         std::string(py::str(array.dtype())));
  }
  return array;
}

Rows float32(const py::array& array) {
  return numpy("ascontiguousarray")(array, "dtype"_a = numpy("float32"));
}

std::string shape_text(const py::array& array) {
  return std::string(py::str(py::tuple(array.attr("shape"))));
}

Rows to_points(const py::object& value) {
  const py::array array = real_array(value, "points");
  if (array.ndim() < 1 || array.shape(array.ndim() - 1) != 3) {
    throw py::value_error("points must have shape (3,) or (..., 3), not " + shape_text(array));
  }
  return float32(array);
}

std::span<const Vector3> vectors(const Rows& rows) {
  return {reinterpret_cast<const Vector3*>(rows.data()), static_cast<std::size_t>(rows.size() / 3)};
}

std::span<Vector3> vectors(Rows& rows) {
  return {reinterpret_cast<Vector3*>(rows.mutable_data()),
          static_cast<std::size_t>(rows.size() / 3)};
}

Rows output_for(const py::object& out, const Rows& points) {
  if (out.is_none()) return numpy("empty_like")(points);
  if (!py::isinstance<py::array>(out)) throw py::type_error("out must be a numpy array");
  const py::array array = py::reinterpret_borrow<py::array>(out);
  if (!array.dtype().is(py::dtype::of<float>()) || (array.flags() & py::array::c_style) == 0 ||
      !array.writeable()) {
    throw py::type_error("out must be a float32 C-contiguous writeable array");
  }
  if (!numpy("array_equal")(array.attr("shape"), points.attr("shape")).cast<bool>()) {
    throw py::value_error("out must have the points' shape " + shape_text(points) + ", not " +
                          shape_text(array));
  }
  return py::reinterpret_borrow<Rows>(out);
}

// One triple for every point, or an array spread over the points' shape.
struct PerPoint {
  bool is_one;
  Vector3 one;
  Rows each;
};

PerPoint per_point(const py::object& value, const Rows& points, const std::string& what) {
  const py::array array = real_array(value, what);
  if (array.size() == 3 && array.ndim() <= 2 && array.shape(array.ndim() - 1) == 3) {
    const Rows triple = float32(array);
    return {true, {triple.data()[0], triple.data()[1], triple.data()[2]}, Rows()};
  }
  try {
    return {false, Vector3{}, float32(numpy("broadcast_to")(array, points.attr("shape")))};
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_ValueError)) throw;
    throw py::value_error(what + " must have shape " + shape_text(points) +
                          " to match the points, or broadcast to it, or be one triple; not " +
                          shape_text(array));
  }
}

Rows spread(const PerPoint& argument, const Rows& points) {
  if (!argument.is_one) return argument.each;
  const py::array filled = numpy("full")(points.attr("shape"), 0.0f, "dtype"_a = "float32");
  Rows rows = py::reinterpret_borrow<Rows>(filled);
  for (Vector3& v : vectors(rows)) v = argument.one;
  return rows;
}

// A (3,) input gives a Vector3, as the CPU batches give one.
py::object result(const Rows& points, const Rows& out) {
  if (points.ndim() == 1) return py::cast(vectors(out)[0]);
  return out;
}

py::object received_energy(const py::object& points_object, const PointLight& light,
                           const py::object& out_object) {
  const Rows points = to_points(points_object);
  Rows out = output_for(out_object, points);
  {
    const py::gil_scoped_release unlocked;
    lighting::cuda::received_energy(vectors(points), light, vectors(out));
  }
  return result(points, out);
}

py::object diffused_energy(const py::object& points_object, const py::object& normal,
                           const py::object& reflectance, const PointLight& light,
                           const py::object& out_object) {
  const Rows points = to_points(points_object);
  const PerPoint normals = per_point(normal, points, "normal");
  const PerPoint reflectances = per_point(reflectance, points, "reflectance");
  Rows out = output_for(out_object, points);
  if (normals.is_one && reflectances.is_one) {
    const py::gil_scoped_release unlocked;
    lighting::cuda::diffused_energy(vectors(points), normals.one, reflectances.one, light,
                                    vectors(out));
  } else {
    const Rows normal_rows = spread(normals, points);
    const Rows reflectance_rows = spread(reflectances, points);
    const py::gil_scoped_release unlocked;
    lighting::cuda::diffused_energy(vectors(points), vectors(normal_rows),
                                    vectors(reflectance_rows), light, vectors(out));
  }
  return result(points, out);
}

}  // namespace

// Called once from the module's initialisation with lighting._lighting.portable.
void define_cuda_module(py::module_& portable) {
  py::module_ cuda = portable.def_submodule(
      "cuda", R"doc(The portable flavour's batches on an NVIDIA GPU, with the bits of
lighting.portable's batches: received_energy(points, light, *, out=None) and
diffused_energy(points, normal, reflectance, light, *, out=None), on numpy
arrays copied to the device and back, with the CPU batches' shape rules.
available() says whether a usable device is there; without one (or in a
build without CUDA) the batches raise NoDevice, a RuntimeError.)doc");
  py::register_exception<lighting::cuda::NoDevice>(cuda, "NoDevice", PyExc_RuntimeError);
  py::register_exception<lighting::cuda::DeviceError>(cuda, "DeviceError", PyExc_RuntimeError);
  cuda.def("available", &lighting::cuda::available,
           "True when a CUDA device is present and usable.");
  cuda.def("received_energy", &received_energy, "points"_a, "light"_a, py::kw_only(),
           "out"_a = py::none(),
           "Energy received from the light at each point, on the GPU (see lighting.portable).");
  cuda.def("diffused_energy", &diffused_energy, "points"_a, "normal"_a, "reflectance"_a, "light"_a,
           py::kw_only(), "out"_a = py::none(),
           "Energy diffused at each point, on the GPU (see lighting.portable).");
}
