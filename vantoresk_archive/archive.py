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
from .record import ConvertOptions, RecordResult, convert_record
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
        if name in seen:
            clashes.append(RecordResult(src, name, "failed", f"record name {name!r} is already used by {seen[name]}"))
            continue
        seen[name] = src
        jobs.append((src, name))
    return jobs, clashes


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
    """Convert records (files or folders of them) into the Zarr store `store`.

    Serial by default; `workers=N` starts a local Dask cluster of N
    processes, `scheduler="tcp://..."` uses a running one (its workers must
    see `store` at the same path). Records already in the store are skipped
    unless `options.overwrite`. On Dask, records longer than `part_chunks`
    chunks (default 10) are split into tasks over chunk ranges. Failures are
    returned, not raised.
    """
    options = options or ConvertOptions()
    if options.plots_dir:
        options = replace(options, plots_dir=os.path.abspath(options.plots_dir))
    t0 = time.perf_counter()
    # Absolute paths: workers may run in another folder.
    store = os.path.abspath(store)
    sources = [os.path.abspath(s) for s in sources]
    options = replace(options, source_roots=tuple(s if os.path.isdir(s) else os.path.dirname(s) for s in sources))
    jobs, clashes = plan(sources)
    st.open_root(store, create=True)
    bar = _progress_bar(jobs, store, options, enabled=progress)
    try:
        if workers is None and scheduler is None:
            done = {}
            for src, name in jobs:
                bar.set_postfix_str(name, refresh=False)
                done[name] = convert_record(src, store, name, options, progress=bar.update)
        else:
            from .parallel import DEFAULT_PART_CHUNKS, run_on_dask

            done = run_on_dask(jobs, store, options, workers=workers, scheduler=scheduler,
                               part_chunks=part_chunks or DEFAULT_PART_CHUNKS,
                               progress=bar.update)
    finally:
        bar.close()
    st.tidy(store)
    from .layout import update_index

    update_index(store, [name for name, r in done.items() if r.status == "converted"])
    records = [done[name] for _, name in jobs] + clashes
    return ArchiveResult(store, records, time.perf_counter() - t0)


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
