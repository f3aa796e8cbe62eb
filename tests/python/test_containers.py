"""Reference containers and damaged containers, end to end through Python."""

import hashlib
import pathlib
import zlib

import numpy as np
import pytest

from vantoresk import VantrCompressionOptions, compress_signal, decompress_signal

from helpers import HEADER, header

CODEC = pathlib.Path(__file__).resolve().parents[1] / "fixtures" / "codec"


def read_table(name):
    return [line.split(" ") for line in (CODEC / name).read_text().splitlines() if line.strip()]


MALFORMED = read_table("malformed.txt")
MANIFEST = read_table("manifest.txt")


def unhex(field):
    return b"" if field == "-" else bytes.fromhex(field)


@pytest.mark.parametrize("row", MALFORMED, ids=[r[0] for r in MALFORMED])
def test_malformed_containers(row):
    name, result, container_hex, message_hex, sha, length = row
    container = unhex(container_hex)
    if result == "ok":
        out = decompress_signal(container)
        assert out.size == int(length)
        assert hashlib.sha256(out.astype("<f4").tobytes()).hexdigest() == sha
        return
    assert result == "ValueError"
    with pytest.raises(ValueError) as info:
        decompress_signal(container)
    assert type(info.value) is ValueError
    # Compared whole: messages may carry NUL and other control characters.
    assert str(info.value) == unhex(message_hex).decode("utf-8")


def test_nul_in_message_survives():
    rows = [r for r in MALFORMED if r[0] == "magic_with_NUL"]
    assert rows, "fixture lost its NUL case"
    with pytest.raises(ValueError) as info:
        decompress_signal(unhex(rows[0][2]))
    assert str(info.value) == "Magic should be 'VNTR' but it was 'VNT\x00'"


def header_without_payload_length(container):
    fields = header(container)
    fields.pop("payload_length")
    return fields


@pytest.mark.parametrize("row", MANIFEST, ids=[r[0] for r in MANIFEST])
def test_reference_containers(row):
    case, inp, method, scale, cutoff, coder, container_path, decoded_path = row[:8]
    samples = np.load(CODEC / inp)
    ours = compress_signal(samples, VantrCompressionOptions(method, int(scale), cutoff, coder))
    theirs = (CODEC / container_path).read_bytes()
    assert type(ours) is bytes
    if coder == "deflate":
        # Only the inflated payload is fixed for DEFLATE.
        assert header_without_payload_length(ours) == header_without_payload_length(theirs)
        assert zlib.decompress(ours[HEADER.size :], wbits=-15) == zlib.decompress(theirs[HEADER.size :], wbits=-15)
    else:
        assert ours == theirs
    decoded = decompress_signal(theirs)
    expected = np.load(CODEC / decoded_path)
    assert decoded.dtype == np.float32
    assert decoded.view(np.uint32).tobytes() == expected.astype("<f4").view(np.uint32).tobytes()
