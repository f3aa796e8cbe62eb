"""The `vantoresk` command line.

Exit status: 0 when everything asked for was done, 1 when something failed
(a record that could not be converted, a missing or damaged file), 2 for a
usage error (unknown option, bad value, a missing or empty input, an
output that is not ours to write), 130 when interrupted.
"""

from __future__ import annotations

import argparse
import glob
import math
import os
import sys
from typing import Optional, Sequence

from vantoresk_zarr.vocabulary import CODERS, CUTOFFS, METHODS, SCALES  # imports nothing heavy

PROG = "vantoresk"


class CommandError(Exception):
    """A failure to report as `vantoresk CMD: error: ...` with exit status 1."""


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("vantoresk")
    except Exception:  # running from a checkout that was never installed
        return "unknown"


def _positive(text: str) -> float:
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (v > 0 and math.isfinite(v)):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
    return v


def _abs_error(text: str):
    return "adc" if text.lower() == "adc" else _positive(text)


def _workers(text: str) -> int:
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if v < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return v


def _port(text: str) -> int:
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= v <= 65535:
        raise argparse.ArgumentTypeError("must be from 0 to 65535")
    return v


def _codec_options(p: argparse.ArgumentParser, *, adc: bool) -> None:
    g = p.add_argument_group("quality (a target overrides --scale)")
    target = g.add_mutually_exclusive_group()
    target.add_argument("--max-abs-error", type=_abs_error if adc else _positive, metavar="E" + ("|adc" if adc else ""),
                   help="largest error allowed per sample, in the data's units"
                   + (" ('adc': each channel's own ADC step)" if adc else ""))
    target.add_argument("--max-prdn", type=_positive, metavar="P", help="largest PRDN allowed, in percent")
    g.add_argument("--method", choices=METHODS, default="cdf97", help="wavelet (default cdf97)")
    g.add_argument("--scale", type=int, choices=SCALES, default=11, metavar="6..12",
                   help="fixed quantisation scale when no target is given (default 11)")
    g.add_argument("--cutoff", choices=CUTOFFS, default="low", help="dead zone (default low)")
    g.add_argument("--coder", choices=CODERS, default="auto", help="entropy coder (default auto)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Compress biosignal recordings and whole archives of them.")
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("convert", help="WFDB/EDF/BDF/.npy records into a Zarr store",
                       description="Convert records (files or folders of them) into a Zarr v3 store, "
                       "one group per record. Finished records are skipped on a re-run.")
    p.add_argument("sources", nargs="+", metavar="SRC", help=".hea, .edf, .bdf or .npy files, or folders")
    p.add_argument("-o", "--output", required=True, metavar="STORE.zarr", help="the store to write")
    _codec_options(p, adc=True)
    p.add_argument("--chunk-seconds", type=_positive, default=60.0, metavar="S",
                   help="chunk length along time (default 60)")
    p.add_argument("--fs", type=_positive, metavar="HZ", help="sampling rate of .npy sources")
    p.add_argument("--lossless", action="store_true",
                   help="store every sample exactly (the source's own integers); takes no target")
    p.add_argument("--shard-chunks", type=_workers, metavar="N",
                   help="pack N chunks per stored object (Zarr sharding), for archives of many hours")
    p.add_argument("--overwrite", action="store_true", help="convert records already in the store again")
    run = p.add_mutually_exclusive_group()
    run.add_argument("--workers", type=_workers, metavar="N", help="run on a local Dask cluster of N processes")
    run.add_argument("--scheduler", metavar="ADDRESS", help="run on an existing Dask cluster")
    p.add_argument("--report", metavar="CSV", help="write the per-channel report to a CSV file")
    p.add_argument("--plots", metavar="DIR", help="one PNG per record where its error is largest (needs matplotlib)")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no table")

    p = sub.add_parser("info", help="header of a container, or contents of a store",
                       description="Show a container's or lane frame's header fields, or per record and "
                       "channel of a store: sizes, ratios, error and the settings chosen. Nothing is decoded.")
    p.add_argument("path", metavar="PATH", help="a container file, a lane frame file or a store")
    p.add_argument("--report", metavar="CSV", help="also write the store table to a CSV file")

    p = sub.add_parser("export", help="decoded samples of a record out of a store",
                       description="Write a record's decoded samples as .npy (channels x time, float32), "
                       "WFDB or EDF.")
    p.add_argument("store", metavar="STORE.zarr")
    p.add_argument("record", metavar="RECORD")
    p.add_argument("-o", "--output", required=True, metavar="OUT")
    p.add_argument("--format", choices=("npy", "wfdb", "edf"), default="npy", help="output format (default npy)")
    p.add_argument("--array", metavar="NAME", help="which array, for records with several rates")
    p.add_argument("--overwrite", action="store_true", help="replace files that OUT would overwrite")

    p = sub.add_parser("index", help="add the overview pyramid to a store written before",
                       description="Write each record's min/max overview pyramid where it is missing "
                       "(convert writes it for new records); the samples are not touched.")
    p.add_argument("store", metavar="STORE.zarr")
    p.add_argument("--force", action="store_true", help="rewrite pyramids that exist")

    p = sub.add_parser("view", help="browse a store's records in the web browser",
                       description="Serve a viewer for a store's records on this machine and open it "
                       "in the browser. Ctrl-C stops it.")
    p.add_argument("store", metavar="STORE.zarr")
    p.add_argument("record", nargs="?", metavar="RECORD", help="the record to open first")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1, this machine only)")
    p.add_argument("--port", type=_port, default=8765, metavar="N", help="port (default 8765; 0 picks a free one)")
    p.add_argument("--no-browser", action="store_true", help="do not open a browser")

    p = sub.add_parser("compress", help="one .npy array into a lane frame or container",
                       description="Compress a .npy array into a lane frame (one container per lane along the "
                       "last axis, checked by a CRC-32 when read).")
    p.add_argument("input", metavar="IN.npy")
    p.add_argument("-o", "--output", required=True, metavar="OUT")
    p.add_argument("--bare", action="store_true",
                   help="write a bare container instead (1-D, fixed settings; no checksum, so damage can go unnoticed)")
    p.add_argument("--overwrite", action="store_true", help="replace OUT if it exists")
    _codec_options(p, adc=False)

    p = sub.add_parser("decompress", help="a container or lane frame back into .npy",
                       description="Decode a container (float32 result) or a lane frame (original dtype and shape).")
    p.add_argument("input", metavar="IN")
    p.add_argument("-o", "--output", required=True, metavar="OUT.npy")
    p.add_argument("--overwrite", action="store_true", help="replace OUT.npy if it exists")
    return parser


class Refused(Exception):
    """A request refused before anything was written (exit status 2)."""


def _keep_existing(args, paths: list) -> None:
    """Refuse to replace files that exist unless --overwrite: a user's file
    is never written over by surprise."""
    there = [p for p in paths if os.path.lexists(p)]
    if there and not args.overwrite:
        raise Refused(f"{there[0]} exists; give --overwrite to replace it")


def _check_report(path) -> None:
    """A --report file may replace only an earlier report (its first line
    is our header); anything else there is refused before any work."""
    if not path or not os.path.lexists(path):
        return
    from .report import COLUMNS

    ours = ",".join(k for k, _, _ in COLUMNS)
    try:
        with open(path, newline="") as f:
            first = f.readline().rstrip("\r\n") if os.path.isfile(path) and not os.path.islink(path) else None
    except (OSError, UnicodeDecodeError):
        first = None
    if first != ours:
        raise Refused(f"{path} exists and is not a report of ours; choose another --report file")


def _npy_path(out: str) -> str:
    return out if out.endswith(".npy") else out + ".npy"  # where np.save writes


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    handler = {"convert": cmd_convert, "info": cmd_info, "export": cmd_export,
               "compress": cmd_compress, "decompress": cmd_decompress,
               "index": cmd_index, "view": cmd_view}[args.command]
    try:
        return handler(args)
    except KeyboardInterrupt as exc:
        detail = str(exc)
        print(f"{PROG} {args.command}: interrupted" + (f"; {detail}" if detail else ""), file=sys.stderr)
        return 130
    except (Refused,) + _usage_errors() as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except (CommandError, ImportError, OSError, ValueError, KeyError) as exc:
        msg = exc.args[0] if isinstance(exc, KeyError) and exc.args else exc
        if isinstance(exc, OSError) and exc.filename:
            msg = f"{exc.filename}: {exc.strerror}"
        print(f"{PROG} {args.command}: error: {msg}", file=sys.stderr)
        return 1
    except Exception as exc:  # anything else: still one line, not a traceback
        print(f"{PROG} {args.command}: error: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1


def _usage_errors() -> tuple:
    """The library's refusals that are usage errors, once it is imported
    (`--help` and the file commands never import it)."""
    store = sys.modules.get("vantoresk_archive.store")
    return (store.UsageError,) if store is not None else ()


def cmd_convert(args) -> int:
    from .archive import convert_archive
    from .record import ConvertOptions
    from .report import as_rows, format_table, write_csv

    _check_report(args.report)
    try:  # the values are checked already; what is left is options that exclude each other
        options = ConvertOptions(
            method=args.method, scale=args.scale, cutoff=args.cutoff, coder=args.coder,
            max_abs_error=args.max_abs_error, max_prdn=args.max_prdn, chunk_seconds=args.chunk_seconds,
            sampling_rate=args.fs, overwrite=args.overwrite, plots_dir=args.plots,
            lossless=args.lossless, shard_chunks=args.shard_chunks,
        )
    except ValueError as exc:
        raise Refused(str(exc)) from None
    result = convert_archive(args.sources, args.output, options, workers=args.workers,
                             scheduler=args.scheduler, progress=not args.quiet)
    rows = as_rows(result.channels)
    if rows and not args.quiet:
        print(format_table(rows))
    if args.report:
        write_csv(args.report, rows)
    for r in result.records:
        for w in r.warnings:
            print(f"{PROG} convert: warning: {r.source}: {w}", file=sys.stderr)
    for r in result.failed:
        print(f"{PROG} convert: failed: {r.source}: {r.reason}", file=sys.stderr)
    for r in result.skipped:
        if r.reason:  # held by another run, not finished here
            print(f"{PROG} convert: skipped: {r.source}: {r.reason}", file=sys.stderr)
    if not args.quiet:
        rate = result.samples / result.seconds if result.seconds > 0 else 0.0
        held = sum(1 for r in result.skipped if r.reason)
        busy = f", {held} being converted by another run" if held else ""
        print(f"{len(result.converted)} converted, {len(result.skipped) - held} already in the store{busy}, "
              f"{len(result.failed)} failed; {result.samples} samples in {result.seconds:.1f} s "
              f"({rate / 1e6:.2f} M samples/s)")
    return 1 if result.failed else 0


def cmd_info(args) -> int:
    from .info import file_lines, store_rows
    from .report import format_table, write_csv
    from .store import check_location, url_scheme

    _check_report(args.report)
    path = check_location(args.path)
    if os.path.isdir(path) or url_scheme(path) is not None:
        rows = store_rows(path)
        if not rows:
            print(f"{path}: no records")
        else:
            print(format_table(rows))
        if args.report:
            write_csv(args.report, rows)
        return 0
    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file or store")
    try:
        print("\n".join(file_lines(path)))
    except ValueError as exc:
        raise CommandError(f"{path}: {exc}") from None
    return 0


def cmd_export(args) -> int:
    from .export import export_record

    out = args.output
    if args.format == "npy":
        _keep_existing(args, [_npy_path(out)])
    elif args.format == "edf":
        _keep_existing(args, [out])
    else:  # a WFDB record: its header, signal and annotation files
        base = out[:-4] if out.endswith(".hea") else out
        _keep_existing(args, sorted(glob.glob(glob.escape(base) + ".*")))
    written = export_record(args.store, args.record, args.output, fmt=args.format, array=args.array)
    print(written)
    return 0


def cmd_index(args) -> int:
    from .overview import index_store

    done, refused = index_store(args.store, force=args.force)
    for rec, name, levels in done:
        print(f"{rec}/{name}: {len(levels)} levels, blocks of {levels[0].block} samples and up")
    for rec, name, reason in refused:
        print(f"{PROG} index: refused: {rec}/{name}: {reason}", file=sys.stderr)
    print(f"{len(done)} arrays indexed" + (f", {len(refused)} refused" if refused else ""))
    return 1 if refused else 0


def cmd_view(args) -> int:
    from .view.app import serve

    return serve(args.store, record=args.record, host=args.host, port=args.port, browser=not args.no_browser)


def cmd_compress(args) -> int:
    from .files import compress_file

    _keep_existing(args, [args.output])
    n = compress_file(args.input, args.output, method=args.method, scale=args.scale, cutoff=args.cutoff,
                      coder=args.coder, max_abs_error=args.max_abs_error, max_prdn=args.max_prdn, bare=args.bare)
    print(f"{args.output}: {n} bytes")
    return 0


def cmd_decompress(args) -> int:
    from .files import decompress_file

    _keep_existing(args, [_npy_path(args.output)])
    y = decompress_file(args.input, args.output)
    print(f"{args.output}: {y.dtype} {tuple(y.shape)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
