"""Guarantees that hold across uses: repeated partial writes, huge values under a PRDN,
frames that do not fit their chunk, the portable decode path, threads."""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from storage_helpers import FRAMES, REPO, ecg_60s, same_bits
from vantoresk_zarr import VantoreskCodec, VantoreskZarrCodec, decode_lanes, encode_lanes, inspect_frame

zarr = pytest.importorskip("zarr")


@pytest.mark.parametrize("target", [0.02, 0.005, 0.0123])
def test_forty_partial_writes_of_one_chunk_stay_within_the_target(tmp_path, target):
    src = ecg_60s()[0, :4000]
    arr = zarr.create_array(tmp_path / "a.zarr", shape=(4000,), chunks=(4000,), dtype="float32",
                            serializer=VantoreskZarrCodec(max_abs_error=target), compressors=None, fill_value=0)
    for i in range(40):
        arr[i * 100 : (i + 1) * 100] = src[i * 100 : (i + 1) * 100]
    assert np.max(np.abs(arr[:].astype(np.float64) - src)) <= target


@pytest.mark.parametrize("scale", [1e18, 1e25, 1e36])
@pytest.mark.parametrize("prdn", [0.5, 2.0])
def test_prdn_targets_on_huge_float32_values(scale, prdn):
    rng = np.random.default_rng(3)
    x = (rng.normal(size=(2, 3000)) * scale).astype(np.float32)
    x[1, :10] = np.float32(3e38)  # values near the top of float32 as well
    y = decode_lanes(encode_lanes(x, max_prdn=prdn)).astype(np.float64)
    x64 = x.astype(np.float64)
    got = 100 * np.sqrt(((y - x64) ** 2).sum(1) / ((x64 - x64.mean(1, keepdims=True)) ** 2).sum(1))
    assert np.all(got <= prdn)


def test_a_frame_that_does_not_fit_its_chunk_is_refused(tmp_path):
    arr = zarr.create_array(tmp_path / "a.zarr", shape=(2, 100), chunks=(2, 100), dtype="float32",
                            serializer=VantoreskZarrCodec(), compressors=None)
    arr[:] = np.ones((2, 100), np.float32)
    chunk = next(p for p in (tmp_path / "a.zarr").rglob("*") if p.is_file() and p.name != "zarr.json")
    chunk.write_bytes(encode_lanes(np.ones((2, 50), np.float32)))  # a valid frame of another shape
    with pytest.raises(ValueError, match="the array expects"):
        arr[:]
    with pytest.raises(ValueError, match="the array expects"):
        decode_lanes(encode_lanes(np.ones(8, np.int16)), expect=((8,), np.float32))


@pytest.mark.parametrize("steps", [2, 4, 8])
@pytest.mark.parametrize("jitter", [0.0, 0.002])
def test_a_whole_chunk_written_again_at_exactly_k_steps_stays_within_them(tmp_path, steps, jitter):
    # Copying a store re-encodes every chunk from what it decodes to; float32
    # recordings sit a little off their ADC grid (here up to `jitter` steps).
    step = 1 / 200
    src = ecg_60s()[0, :8000].astype(np.float64)
    src = (src + np.random.default_rng(steps).uniform(-jitter, jitter, src.size) * step).astype(np.float32)
    bound = steps * step
    arr = zarr.create_array(tmp_path / "a.zarr", shape=src.shape, chunks=src.shape, dtype="float32",
                            serializer=VantoreskZarrCodec(max_abs_error=bound), compressors=None)
    arr[:] = src
    first = arr[:]
    for _ in range(3):
        arr[:] = arr[:]
    assert same_bits(arr[:], first)
    assert np.max(np.abs(first.astype(np.float64) - src)) <= bound


def _forged_container_frame() -> bytes:
    """A one-lane container frame whose frame and container headers claim 2^31 - 1 samples."""
    frame = bytearray(encode_lanes(ecg_60s()[0, :1500]))
    assert inspect_frame(bytes(frame)).lanes[0].kind == "container"
    huge = 2**31 - 1
    struct.pack_into("<Q", frame, 12, huge)          # shape[0]
    struct.pack_into("<I", frame, 12 + 8 + 4 + 8 + 16, huge)  # the container's sample count
    body = bytes(frame[:-4])
    return body + struct.pack("<I", zlib.crc32(body))


def test_a_forged_container_frame_is_refused_before_it_is_sized():
    frame = _forged_container_frame()
    for decode in (lambda: decode_lanes(frame), lambda: inspect_frame(frame),
                   lambda: VantoreskCodec().decode(frame)):
        with pytest.raises(ValueError, match="does not hold 2147483647 samples"):
            decode()


def test_decoding_is_bit_identical_on_the_portable_path():
    # Every frozen frame, decoded here and in a process with vector code turned off.
    names = sorted(p.name for p in FRAMES.glob("*.vnlf"))
    code = (
        "import sys, pathlib, numpy as np\n"
        "from vantoresk_zarr import decode_lanes\n"
        f"d = pathlib.Path({str(FRAMES)!r})\n"
        "for n in sys.argv[1:]:\n"
        "    sys.stdout.buffer.write(np.ascontiguousarray(decode_lanes((d / n).read_bytes())).tobytes())\n"
    )
    env = dict(os.environ, VANTORESK_DISABLE_SIMD="1")
    masked = subprocess.run([sys.executable, "-c", code, *names], capture_output=True, env=env, timeout=120)
    assert masked.returncode == 0, masked.stderr
    here = b"".join(np.ascontiguousarray(decode_lanes((FRAMES / n).read_bytes())).tobytes() for n in names)
    assert masked.stdout == here


def test_threads_encode_and_decode_at_once_with_the_same_results():
    ecg = ecg_60s()
    chunks = [np.ascontiguousarray(ecg[:, i * 2000 : (i + 1) * 2000]) for i in range(8)]
    alone = [encode_lanes(c, max_abs_error=0.01) for c in chunks]
    with ThreadPoolExecutor(4) as pool:
        together = list(pool.map(lambda c: encode_lanes(c, max_abs_error=0.01), chunks))
        decoded = list(pool.map(decode_lanes, together))
    assert together == alone
    assert all(np.max(np.abs(d - c)) <= 0.01 for d, c in zip(decoded, chunks))


@pytest.mark.parametrize("scale", [1e18, 1e30, 1e37])
def test_compress_to_target_takes_huge_float32_values_under_a_prdn(scale):
    from vantoresk import decompress_signal
    from vantoresk_zarr import compress_to_target

    x = (np.random.default_rng(0).normal(size=3000) * scale).astype(np.float32)
    res = compress_to_target(x, max_prdn=1.0)
    got = x if res.lossless else decompress_signal(res.container)
    x64 = x.astype(np.float64)
    d = got.astype(np.float64) - x64
    assert 100 * np.sqrt((d * d).sum() / ((x64 - x64.mean()) ** 2).sum()) <= 1.0
