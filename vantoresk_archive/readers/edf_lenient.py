"""EDF/BDF files whose header text fields hold a stray byte.

The EDF reader library refuses a file with a single byte outside printable
ASCII in a label, unit, transducer, prefilter or patient field, though the
samples are fine and other readers accept it (a latin-1 'µV' is common).
Such a file is read from a private copy whose header has those bytes
replaced ('µ' by 'u', anything else by '?'), with a warning per field; the
copy is unlinked as soon as the library has opened it. Stray bytes in the
numeric fields still make the file unreadable.
"""

from __future__ import annotations

import os
import shutil
import tempfile

# (offset, width) of the general header's free-text fields.
GENERAL_TEXT = {"patient": (8, 80), "recording": (88, 80), "reserved": (192, 44)}
# Per-signal fields: (name, width, is free text), in header order.
SIGNAL_FIELDS = [("label", 16, True), ("transducer", 80, True), ("physical dimension", 8, True),
                 ("physical minimum", 8, False), ("physical maximum", 8, False),
                 ("digital minimum", 8, False), ("digital maximum", 8, False),
                 ("prefilter", 80, True), ("samples per record", 8, False), ("reserved", 32, True)]
REPLACEMENT = {0xB5: ord("u"), 0xE6: ord("u")}  # micro sign in latin-1 and in old DOS code pages


def _bad(b: int) -> bool:
    return b < 32 or b > 126


def stray_bytes(header: bytes) -> list:
    """(offset, field description) of each stray byte in the text fields;
    None when the header is too short or a numeric field holds one."""
    if len(header) < 256:
        return None
    try:
        ns = int(header[252:256].decode("ascii").strip())
    except ValueError:
        return None
    if not 0 < ns <= 4096 or len(header) < 256 * (ns + 1):
        return None
    found = []
    for name, (off, width) in GENERAL_TEXT.items():
        found += [(off + i, f"{name} field") for i in range(width) if _bad(header[off + i])]
    off = 256
    for name, width, text in SIGNAL_FIELDS:
        for s in range(ns):
            for i in range(width):
                if _bad(header[off + s * width + i]):
                    if not text:
                        return None
                    found.append((off + s * width + i, f"{name} of signal {s + 1}"))
        off += width * ns
    return found


def open_lenient(path: str, opener, error: BaseException):
    """(reader, warnings) for a file the library refused with `error`:
    opened from a copy with the stray bytes replaced, when those are its only
    fault; `error` re-raised otherwise."""
    with open(path, "rb") as f:
        header = f.read(256)
        try:
            ns = int(header[252:256].decode("ascii").strip())
        except ValueError:
            raise error from None
        header += f.read(256 * max(0, min(ns, 4096)))
    found = stray_bytes(header)
    if not found:
        raise error
    folder = tempfile.mkdtemp(prefix="vantoresk-edf-")
    try:
        copy = os.path.join(folder, os.path.basename(path))
        shutil.copyfile(path, copy)
        with open(copy, "r+b") as f:
            for off, _ in found:
                f.seek(off)
                f.write(bytes([REPLACEMENT.get(header[off], ord("?"))]))
        try:
            reader = opener(copy)
        except Exception:  # something else is wrong too: say what the library said of the file itself
            raise error from None
    finally:
        shutil.rmtree(folder, ignore_errors=True)  # the open reader keeps its copy until closed
    fields = list(dict.fromkeys(name for _, name in found))
    warnings = [f"non-ASCII byte 0x{header[off]:02x} in the {name} read as "
                f"'{chr(REPLACEMENT.get(header[off], ord('?')))}'"
                for off, name in ((next(o for o, n in found if n == f), f) for f in fields)]
    return reader, warnings
