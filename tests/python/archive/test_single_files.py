"""`vantoresk compress` writes a checksummed lane frame unless asked for a
bare container, and `vantoresk decompress` reads both: one flipped bit in a
frame is refused, where the same flip in a bare container may decode to
other samples without a word."""

import numpy as np

from archive_support import EXAMPLE, run_cli


def test_frames_by_default_bare_containers_on_request(tmp_path):
    ecg = np.load(EXAMPLE)[:4000]
    np.save(tmp_path / "ecg.npy", ecg)
    assert run_cli("compress", "ecg.npy", "-o", "ecg.vtf", cwd=tmp_path).returncode == 0
    assert run_cli("compress", "ecg.npy", "-o", "ecg.vtr", "--bare", cwd=tmp_path).returncode == 0
    frame, bare = (tmp_path / "ecg.vtf").read_bytes(), (tmp_path / "ecg.vtr").read_bytes()
    assert frame[:4] == b"VNLF" and bare[:4] == b"VNTR"

    # Both read back, to the same samples (the frame's one lane is that container).
    for name in ("ecg.vtf", "ecg.vtr"):
        r = run_cli("decompress", name, "-o", f"{name}.npy", cwd=tmp_path)
        assert r.returncode == 0, r.stderr
    same = np.load(tmp_path / "ecg.vtf.npy")
    assert same.dtype == np.float32 and np.array_equal(same, np.load(tmp_path / "ecg.vtr.npy"))

    # A bit flipped in the middle of the coded data: the frame is refused.
    damaged = bytearray(frame)
    damaged[len(frame) // 2] ^= 0x10
    (tmp_path / "bad.vtf").write_bytes(bytes(damaged))
    r = run_cli("decompress", "bad.vtf", "-o", "bad.npy", cwd=tmp_path)
    assert r.returncode == 1 and "vantoresk decompress: error:" in r.stderr and "Traceback" not in r.stderr
    assert not (tmp_path / "bad.npy").exists()

    # A bare container cannot carry a target or an N-D array: said, not guessed.
    np.save(tmp_path / "two.npy", np.stack([ecg, ecg]))
    for args in (["ecg.npy", "--max-abs-error", "0.01"], ["two.npy"]):
        r = run_cli("compress", *args, "-o", "x.vtr", "--bare", cwd=tmp_path)
        assert r.returncode == 1 and "leave out --bare" in r.stderr, r.stderr
        assert not (tmp_path / "x.vtr").exists()
