"""The batches over chunked Dask arrays, on the processes scheduler: every
block is shaded in another process, with the light pickled there, and the
result is the bits of one direct call.
"""

import os

import numpy as np
import pytest

import lighting

da = pytest.importorskip("dask.array")

LIGHT = lighting.PointLight((-1.0, 2.0, 4.0), 1.0, 0.5, 0.5, 5.0)


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


def pids_of_blocks(array):
    """The process that shades each block, as a dask array of one per block."""
    return array.map_blocks(lambda block: np.full((1, 1), os.getpid()), chunks=(1, 1), dtype=np.int64)


@pytest.mark.parametrize("module", [lighting, lighting.portable], ids=["default", "portable"])
def test_map_blocks_on_the_processes_scheduler_gives_the_bits_of_one_call(module):
    rng = np.random.default_rng(17)
    points = rng.uniform(-8, 8, size=(100_003, 3)).astype(np.float32)
    points[:7] = [[1, 2, 0], [-1, 2, 4], [1e-45, 0, 0], [np.inf, 0, 0], [np.nan, 1, 1], [0, 0, -0.0], [3, 2, 4]]
    normals = rng.uniform(-1, 1, size=points.shape).astype(np.float32)
    chunked = da.from_array(points, chunks=(25_000, 3))  # four blocks and a tail
    chunked_normals = da.from_array(normals, chunks=(25_000, 3))

    received = chunked.map_blocks(module.received_energy, LIGHT, dtype=np.float32)
    one_plane = chunked.map_blocks(module.diffused_energy, (0, 0, 1), (0.5, 0.5, 1), LIGHT, dtype=np.float32)
    each = da.map_blocks(module.diffused_energy, chunked, chunked_normals, (0.5, 0.5, 1), LIGHT, dtype=np.float32)
    *results, pids = da.compute(
        received, one_plane, each, pids_of_blocks(chunked), scheduler="processes", num_workers=2
    )
    assert os.getpid() not in pids  # every block ran in another process
    expected = (
        module.received_energy(points, LIGHT),
        module.diffused_energy(points, (0, 0, 1), (0.5, 0.5, 1), LIGHT),
        module.diffused_energy(points, normals, (0.5, 0.5, 1), LIGHT),
    )
    for result, direct in zip(results, expected):
        assert result.dtype == np.float32 and result.shape == points.shape
        assert (bits(result) == bits(direct)).all()
