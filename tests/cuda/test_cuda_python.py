"""lighting.portable.cuda: the CPU batches' shape rules, and without a device
a NoDevice error; with one, the bits of lighting.portable's batches."""

import numpy
import pytest

import lighting
import lighting.portable

cuda = lighting.portable.cuda
LIGHT = lighting.PointLight((-1.0, 2.0, 4.0), 1.0, 0.5, 0.5, 5.0)
needs_device = pytest.mark.skipif(not cuda.available(), reason="no CUDA device")
without_device = pytest.mark.skipif(cuda.available(), reason="a CUDA device is present")


def points(count=64):
    rng = numpy.random.default_rng(7)
    return rng.uniform(-4.0, 4.0, size=(count, 3)).astype(numpy.float32)


def test_available_is_a_bool():
    assert cuda.available() in (True, False)


def test_wrong_shapes_and_dtypes_are_refused_before_the_device():
    with pytest.raises(ValueError, match=r"shape \(3,\) or \(\.\.\., 3\)"):
        cuda.received_energy(numpy.zeros((4, 2), numpy.float32), LIGHT)
    with pytest.raises(TypeError, match="real numbers"):
        cuda.received_energy(numpy.zeros((4, 3), numpy.complex64), LIGHT)
    with pytest.raises(TypeError, match="real numbers"):
        cuda.diffused_energy(points(4), numpy.ones((4, 3), bool), (1.0, 1.0, 1.0), LIGHT)
    with pytest.raises(ValueError, match="broadcast"):
        cuda.diffused_energy(points(4), numpy.ones((5, 3)), (1.0, 1.0, 1.0), LIGHT)
    with pytest.raises(ValueError, match="the points' shape"):
        cuda.received_energy(points(4), LIGHT, out=numpy.empty((5, 3), numpy.float32))
    with pytest.raises(TypeError, match="float32 C-contiguous"):
        cuda.received_energy(points(4), LIGHT, out=numpy.empty((4, 3), numpy.float64))


def test_an_overlapping_out_is_refused():
    buffer = numpy.zeros((8, 3), numpy.float32)
    with pytest.raises(ValueError, match="overlaps"):
        cuda.received_energy(buffer[0:4], LIGHT, out=buffer[1:5])


@without_device
def test_without_a_device_the_batches_say_so_and_write_nothing():
    out = numpy.full((16, 3), -7.0, numpy.float32)
    with pytest.raises(cuda.NoDevice, match="no usable CUDA device"):
        cuda.received_energy(points(16), LIGHT, out=out)
    with pytest.raises(RuntimeError):
        cuda.diffused_energy(points(16), (0.0, 0.0, 1.0), (0.5, 0.5, 1.0), LIGHT, out=out)
    assert (out == -7.0).all()


@needs_device
def test_the_bits_of_the_portable_batches():
    p = points(100_000).reshape(100, 1000, 3)
    normals = points(100_000).reshape(100, 1000, 3)
    for gpu, cpu in [
        (cuda.received_energy(p, LIGHT), lighting.portable.received_energy(p, LIGHT)),
        (cuda.diffused_energy(p, (0.0, 0.0, 1.0), (0.5, 0.5, 1.0), LIGHT),
         lighting.portable.diffused_energy(p, (0.0, 0.0, 1.0), (0.5, 0.5, 1.0), LIGHT)),
        (cuda.diffused_energy(p, normals, (0.5, 0.5, 1.0), LIGHT),
         lighting.portable.diffused_energy(p, normals, (0.5, 0.5, 1.0), LIGHT)),
    ]:
        assert gpu.shape == p.shape and gpu.dtype == numpy.float32
        same = (gpu.view(numpy.uint32) == cpu.view(numpy.uint32)) | (numpy.isnan(gpu) & numpy.isnan(cpu))
        assert same.all()


@needs_device
def test_one_point_gives_a_vector3_and_in_place_works():
    one = cuda.received_energy((1.0, 2.0, 0.0), LIGHT)
    assert isinstance(one, lighting.Vector3)
    assert tuple(one) == tuple(lighting.portable.received_energy((1.0, 2.0, 0.0), LIGHT))
    p = points(1000)
    expected = lighting.portable.received_energy(p, LIGHT)
    assert cuda.received_energy(p, LIGHT, out=p) is p
    assert (p.view(numpy.uint32) == expected.view(numpy.uint32)).all()
