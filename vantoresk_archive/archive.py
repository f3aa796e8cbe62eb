"""Converting a whole archive: plan the records, then run `convert_record`
for each one serially or as one Dask task per record.

    from vantoresk_archive import convert_archive, ConvertOptions
    result = convert_archive(["data/"], "archive.zarr", ConvertOptions(max_abs_error="adc"), workers=4)
    result.failed   # records that could not be converted, with reasons
"""

from __future__ import annotations

import os
import sys
import time
from dataclasses import dataclass, field, replace
from typing import Iterable, Optional

from ._deps import require
from .readers import find_sources, record_name
from .record import ConvertOptions, RecordResult, convert_record, settings_attrs
from . import store as st


@dataclass
class ArchiveResult:
    store: str
    records: list = field(default_factory=list)  # RecordResult, in source order
    seconds: float = 0.0

    @property
    def failed(self) -> list:
        return [r for r in self.records if r.status == "failed"]

    @property
    def converted(self) -> list:
        return [r for r in self.records if r.status == "converted"]

    @property
    def skipped(self) -> list:
        return [r for r in self.records if r.status == "skipped"]

    @property
    def samples(self) -> int:
        return sum(r.samples for r in self.converted)

    @property
    def channels(self) -> list:
        return [c for r in self.converted for c in r.channels]


def plan(sources: Iterable[str]) -> tuple:
    """(jobs, clashes): (source, record name) pairs, and the sources whose
    name an earlier source already took, as failed results."""
    jobs, clashes, seen = [], [], {}
    for src in find_sources(sources):
        name = record_name(src)
        if name.lower() in st.RESERVED:
            name += "_"  # a source named zarr.json.npy must not become the store's metadata
        if name in seen:
            clashes.append(RecordResult(src, name, "failed", f"record name {name!r} is already used by {seen[name]}"))
            continue
        seen[name] = src
        jobs.append((src, name))
    return jobs, clashes


def check_sources(sources: list) -> None:
    """UsageError for a source path that does not exist (a WFDB record may
    be named without its .hea) or when no source holds a record."""
    if not sources:
        raise st.UsageError("no sources given")
    for src in sources:
        if not (os.path.exists(src) or os.path.exists(src + ".hea")):
            raise st.UsageError(f"{src}: no such file or folder")


def check_settings(store: str, jobs: list, options: ConvertOptions) -> None:
    """UsageError when finished records were made with other settings than
    this run's: a re-run would otherwise skip them as if they matched."""
    if options.overwrite:
        return
    wanted = settings_attrs(options)
    changed = []
    for _, name in jobs:
        if not st.is_complete(store, name):
            continue
        stored = st.record_attrs(store, name).get("settings")
        if not isinstance(stored, dict):
            continue
        # Records from before the chunk length was kept are not held to it.
        diff = [k for k in sorted(set(wanted) | set(stored)) if stored.get(k) != wanted.get(k)
                and not (k in ("chunk_seconds", "chunk_samples") and not ({"chunk_seconds", "chunk_samples"} & set(stored)))]
        if diff:
            changed.append((name, diff, stored))
    if changed:
        name, diff, stored = changed[0]
        was = ", ".join(f"{k}={stored.get(k, 'none')}" for k in diff)
        now = ", ".join(f"{k}={wanted.get(k, 'none')}" for k in diff)
        more = f" (and {len(changed) - 1} more records)" if len(changed) > 1 else ""
        raise st.UsageError(f"record {name!r}{more} is in the store with {was}, this run asks for {now}: "
                            "give --overwrite to convert again, or use another store")


def convert_archive(
    sources: Iterable[str],
    store: str,
    options: Optional[ConvertOptions] = None,
    *,
    workers: Optional[int] = None,
    scheduler: Optional[str] = None,
    progress: bool = False,
    part_chunks: Optional[int] = None,
) -> ArchiveResult:
    """Convert records (files or folders of them) into the Zarr store `store`
    (a folder or an fsspec URL such as s3://bucket/archive.zarr).

    Serial by default; `workers=N` starts a local Dask cluster of N
    processes, `scheduler="tcp://..."` uses a running one (its workers must
    see `store` at the same path). Records already in the store are skipped
    unless `options.overwrite`; finished records made with other settings
    are refused (UsageError) unless `options.overwrite`. So are outputs that
    are not ours to write, missing sources and sources without records,
    all before anything is written. On Dask, records longer than
    `part_chunks` chunks (default 10) are split into tasks over chunk
    ranges. Failures of single records are returned, not raised.
    """
    options = options or ConvertOptions()
    if options.plots_dir:
        options = replace(options, plots_dir=os.path.abspath(options.plots_dir))
    t0 = time.perf_counter()
    # Absolute paths: workers may run in another folder.
    store = st.check_location(store)
    if st.url_scheme(store) is None:
        store = os.path.abspath(store)
    elif st.url_scheme(store) == "memory" and (workers is not None or scheduler is not None):
        raise st.UsageError(f"{store}: a memory:// store lives in this process only; "
                            "it cannot be written by Dask workers")
    sources = [os.path.abspath(s) for s in sources]
    options = replace(options, source_roots=tuple(s if os.path.isdir(s) else os.path.dirname(s) for s in sources))
    check_sources(sources)
    options = replace(options, source_roots=tuple(s if os.path.isdir(s) else os.path.dirname(s) for s in sources))
    st.check_output(store, sources)
    jobs, clashes = plan(sources)
    if not jobs and not clashes:
        raise st.UsageError(f"no records (.hea, .edf, .bdf, .npy) found in {', '.join(sources)}")
    check_settings(store, jobs, options)
    st.open_root(store, create=True)
    claims = Claims(store)
    bar = _progress_bar(jobs, store, options, enabled=progress)
    try:
        if workers is None and scheduler is None:
            done = {}
            for src, name in jobs:
                bar.set_postfix_str(name, refresh=False)
                busy = claims.take(src, name)
                if busy is not None:
                    done[name] = busy
                    continue
                # Not released on the way out of an interrupt: the handler
                # below clears what the record left and counts it.
                done[name] = convert_record(src, store, name, options, progress=bar.update)
                claims.release(name)
        else:
            from .parallel import DEFAULT_PART_CHUNKS, run_on_dask

            done = run_on_dask(jobs, store, options, workers=workers, scheduler=scheduler,
                               part_chunks=part_chunks or DEFAULT_PART_CHUNKS,
                               progress=bar.update, claims=claims)
    except KeyboardInterrupt:
        # Whatever this run held and did not finish goes; a re-run does it.
        unfinished = claims.abandon()
        st.tidy(store)
        raise Interrupted(len(unfinished)) from None
    finally:
        bar.close()
        claims.abandon()
    from .layout import update_index

    with st.index_lock(store):
        update_index(store, [name for name, r in done.items() if r.status == "converted"])
    st.tidy(store)
    records = [done[name] for _, name in jobs] + clashes
    return ArchiveResult(store, records, time.perf_counter() - t0)


class Interrupted(KeyboardInterrupt):
    """Ctrl-C during a conversion, after the run's unfinished records were
    cleared away: the finished ones stay, a re-run converts the rest."""

    def __init__(self, unfinished: int) -> None:
        super().__init__(f"{unfinished} unfinished record(s) cleared away; a re-run converts them"
                         if unfinished else "")
        self.unfinished = unfinished


class Claims:
    """The records this run holds, each claimed before its conversion and
    released when it ends, so concurrent runs on one store never touch each
    other's work in progress: a record held elsewhere is skipped."""

    def __init__(self, store: str) -> None:
        self.store = store
        self._held: dict = {}

    def take(self, src: str, name: str) -> Optional[RecordResult]:
        c = st.claim_record(self.store, name)
        if not c.held:
            return RecordResult(src, name, "skipped", c.busy)
        self._held[name] = c
        return None

    def release(self, name: str) -> None:
        c = self._held.pop(name, None)
        if c is not None:
            c.release()

    def abandon(self) -> list:
        """Clear the temporary folders of every record still held (its
        tasks have ended), release them; their names."""
        names = list(self._held)
        for name in names:
            try:
                for stale in st._stale(self.store, name):
                    st.remove_tree(st._join(self.store, st.PARTIAL, stale))
            finally:
                self.release(name)
        return names


class _NoBar:
    def update(self, n: int = 1) -> None: ...
    def set_postfix_str(self, s: str, refresh: bool = True) -> None: ...
    def close(self) -> None: ...


def _progress_bar(jobs: list, store: str, options: ConvertOptions, *, enabled: bool):
    if not enabled or not sys.stderr.isatty() or not jobs:
        return _NoBar()
    tqdm = require("tqdm", "The progress bar").tqdm
    total = _total_samples(jobs, store, options)
    return tqdm(total=total or None, unit="sa", unit_scale=True, desc=f"{len(jobs)} records",
                file=sys.stderr, dynamic_ncols=True)


def _total_samples(jobs: list, store: str, options: ConvertOptions) -> int:
    """Samples of all records to convert, from their headers (cheap)."""
    from .readers import RecordError, open_record

    total = 0
    for src, name in jobs:
        if not options.overwrite and st.is_complete(store, name):
            continue  # skipped: not part of the work
        try:
            r = open_record(src, sampling_rate=options.sampling_rate)
        except (RecordError, ImportError):
            continue
        try:
            total += sum(g.n_samples * g.n_channels for g in r.groups)
        finally:
            r.close()
    return total
