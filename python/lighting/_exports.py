"""The compiled functions as functions of the package that pickle can name.

pickle writes a function as its module and name, but a compiled function
carries an internal capsule in their place, so a Dask, multiprocessing or
joblib task that names lighting.received_energy could not be sent to another
process. Each function is exported as a thin Python function of the
package's own module, with the compiled one's name, documentation and
signature (help() and inspect.signature follow __wrapped__).
"""

import functools

NAMES = ("light_distance", "light_direction", "dot_product", "received_energy", "diffused_energy")


def _exported(function, module):
    @functools.wraps(function)
    def call(*args, **kwargs):
        return function(*args, **kwargs)

    call.__module__ = module
    call.__qualname__ = function.__name__
    return call


def exported(functions, module):
    """The five functions of a compiled module (one flavour), in NAMES order,
    as functions of the Python module named module."""
    return [_exported(getattr(functions, name), module) for name in NAMES]
