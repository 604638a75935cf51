"""Point-light shading with reproducible bits, from Python with numpy.

A point light (position, colour, intensity) lights a surface point (normal,
per-channel reflectance). The package computes the energy the point receives
(inverse-square falloff) and the energy it diffuses (Lambert's cosine law,
clamped at zero, times the reflectance), with exactly the bits of the C++
library: every value is IEEE single precision, each expression is evaluated
in double precision and rounded to float32 where the library rounds it.

Records: Vector3(x, y, z) and PointLight(position, r, g, b, intensity), and
Vector3.from_bits / PointLight.from_bits from float32 bit patterns. Every
number given to them or to the functions, alone, in a tuple, a list or an
array, is rounded once to the nearest float32: floats as numpy.float32(x)
rounds them, numpy values by numpy's cast, ints of any size and fractions
exactly, so a batch and a scalar call agree on the same values.

Scalar operations, on a Vector3 or a 3-tuple:
    light_distance(point, light)           -> float
    light_direction(point, light)          -> Vector3
    dot_product(a, b)                      -> float
    received_energy(point, light)          -> Vector3
    diffused_energy(point, normal, reflectance, light) -> Vector3

Batches, on arrays of shape (N, 3) or (..., 3), returning a float32 array of
the same shape or filling out=:
    received_energy(points, light, *, out=None)
    diffused_energy(points, normal, reflectance, light, *, out=None)
normal and reflectance are one triple or arrays that broadcast against the
points. float32 C-contiguous arrays are read without a copy and the GIL is
released while a batch runs, so several threads can shade at once.

Shapes: an argument of shape (3,) is one point, whatever holds it (a
Vector3, a tuple, a list or a numpy array) and gives a Vector3; an array of
shape (N, 3) or (..., 3) is an array of points and gives a float32 array of
the same shape. Complex and bool values raise TypeError; a copy or result
that cannot be allocated raises MemoryError. Records pickle, copy, compare by
value and print as Python that rebuilds their bits, NaN payloads included.

lighting.portable holds the same functions with the correctly rounded root
(IEEE sqrt) in place of the C library's pow, for the same bits everywhere.

Example (the demo's scene):

    >>> import lighting
    >>> light = lighting.PointLight((-1.0, 2.0, 4.0), 1.0, 0.5, 0.5, 5.0)
    >>> received = lighting.received_energy((1.0, 2.0, 0.0), light)
    >>> print("%f %f %f" % tuple(received))
    0.250000 0.125000 0.125000
"""

from . import _lighting, portable
from ._exports import NAMES, exported
from ._lighting import PointLight, Vector3

light_distance, light_direction, dot_product, received_energy, diffused_energy = exported(_lighting, __name__)

__all__ = ["Vector3", "PointLight", *NAMES, "portable"]
