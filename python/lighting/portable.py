"""The portable flavour of lighting: the same bits on every platform.

The same functions, records, shapes, conversions and errors as the package
lighting, with the same formulas, orders and rounding points, except the
root: lighting takes it as the C library's pow(s, 0.5), whose last bit
differs between C libraries and processors for rare inputs (glibc with and
without FMA, musl, x87); lighting.portable takes the correctly rounded root,
IEEE sqrt, and so gives the same bits whoever built it and wherever it runs.

    >>> import lighting, lighting.portable
    >>> light = lighting.PointLight((-1.0, 2.0, 4.0), 1.0, 0.5, 0.5, 5.0)
    >>> print("%f %f %f" % tuple(lighting.portable.received_energy((1.0, 2.0, 0.0), light)))
    0.250000 0.125000 0.125000
"""

from . import _lighting
from ._exports import NAMES, exported
from ._lighting import PointLight, Vector3
cuda = _lighting.portable.cuda  # the GPU batches (lighting.portable.cuda)

light_distance, light_direction, dot_product, received_energy, diffused_energy = exported(
    _lighting.portable, __name__
)

__all__ = ["Vector3", "PointLight", *NAMES]
