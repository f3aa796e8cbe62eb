"""Dask scale-out. Each record is one task that writes only its own group,
so no two tasks ever write one chunk; a record longer than `part_chunks`
chunks is split instead into tasks over disjoint chunk ranges of its
arrays, prepared and finished here in the client. Workers encode with the
codec object they receive and decode through its entry point, so they need
only the package installed, nothing registered by hand."""

from __future__ import annotations

import contextlib
import logging
import signal
import threading
import uuid
import warnings
from dataclasses import dataclass, field
from typing import Callable, Optional

from ._deps import require
from . import store as st
from .readers import RecordError, open_record
from .record import (ConvertOptions, RecordPlan, RecordResult, abandon_record, convert_record, finish_record,
                     prepare_record, write_chunks)

DEFAULT_PART_CHUNKS = 10


@dataclass
class _Split:
    plan: RecordPlan
    stats: list  # per array, per part: the parts' statistics lists
    left: int
    error: Optional[BaseException] = None
    parts: dict = field(default_factory=dict)


def run_on_dask(
    jobs: list,
    store: str,
    options: ConvertOptions,
    *,
    workers: Optional[int] = None,
    scheduler: Optional[str] = None,
    part_chunks: int = DEFAULT_PART_CHUNKS,
    progress: Callable[[int], None] = lambda n: None,
    claims=None,
) -> dict:
    """Results by record name; `progress` hears of samples as tasks finish.

    Records are claimed (`claims.take`) just before their tasks are
    submitted and released when their result is in; only a window of
    tasks is in flight at a time, so a million records hold neither a
    million claims nor a million futures."""
    distributed = require("distributed", "Running on Dask")
    dask = require("dask", "Running on Dask")
    if part_chunks < 1:
        raise ValueError("part_chunks must be at least 1")
    claims = claims or _Unclaimed()
    cluster = None
    if scheduler is not None:
        client = distributed.Client(scheduler)
    else:
        if not workers or workers < 1:
            raise ValueError("workers must be at least 1")
        # Workers' statistical profiler samples every thread's stack every
        # few milliseconds; on a busy machine it slowed conversion tasks by
        # up to half. The workers take the config as it is at their start.
        # They ignore Ctrl-C, which the terminal sends to every process of
        # the group: the client alone handles it and shuts them down.
        with dask.config.set({"distributed.worker.profile.enabled": False}), _sigint_ignored(), \
                warnings.catch_warnings():
            # Its HTTP server moves to a free port when another cluster holds
            # the usual one; that is nothing to tell a user converting files.
            warnings.filterwarnings("ignore", message="Port .* is already in use")
            cluster = distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True,
                # Task failures come back as results; what workers log while
                # the cluster shuts down (after Ctrl-C too) is noise.
                dashboard_address=None, silence_logs=logging.CRITICAL,
            )
        client = distributed.Client(cluster)
    run = uuid.uuid4().hex[:8]
    done: dict = {}
    splits: dict = {}
    futures: dict = {}
    window = max(16, 4 * sum(client.nthreads().values()))
    pending = iter(jobs)
    ready = distributed.as_completed()

    def submit_more() -> None:
        for src, name in pending:
            busy = claims.take(src, name)
            if busy is not None:
                done[name] = busy
                continue
            if not options.overwrite and st.is_complete(store, name):  # without opening the source
                done[name] = RecordResult(src, name, "skipped")
                claims.release(name)
                continue
            plan = _plan_split(src, store, name, options, part_chunks)
            if isinstance(plan, RecordResult):
                done[name] = plan
                claims.release(name)
            elif plan is None:
                fut = client.submit(convert_record, src, store, name, options, pure=False,
                                    key=f"vantoresk-convert-{name}-{run}")
                futures[fut] = (name, None)
                ready.add(fut)
            else:
                split = splits[name] = _Split(plan, [[] for _ in plan.arrays], 0)
                for g in range(len(plan.arrays)):
                    n_chunks = plan.n_chunks(g)
                    for p, first in enumerate(range(0, n_chunks, part_chunks)):
                        fut = client.submit(write_chunks, src, plan.tmp, g, first,
                                            min(n_chunks, first + part_chunks), options, pure=False,
                                            key=f"vantoresk-part-{name}-{g}-{p}-{run}")
                        futures[fut] = (name, (g, p))
                        ready.add(fut)
                        split.stats[g].append(None)
                        split.left += 1
            if len(futures) >= window:
                return

    try:
        submit_more()
        for fut in ready:
            name, part = futures.pop(fut)
            if part is None:
                try:
                    result = fut.result()
                except Exception as exc:  # the worker died or the task could not run
                    result = RecordResult(_source(jobs, name), name, "failed", f"task failed ({_reason(exc)})")
                progress(result.samples)
            else:
                split = splits[name]
                split.left -= 1
                try:
                    split.stats[part[0]][part[1]] = fut.result()
                    progress(_part_samples(split.plan, *part, part_chunks))
                except Exception as exc:
                    split.error = split.error or exc
                if split.left:
                    continue
                result = _finish(splits.pop(name), store, options)
            done[name] = result
            claims.release(name)
            submit_more()
    finally:
        if futures:
            client.cancel(list(futures))
        client.close()
        if cluster is not None:
            cluster.close()
    return done


class _Unclaimed:
    def take(self, src: str, name: str) -> None:
        return None

    def release(self, name: str) -> None: ...


@contextlib.contextmanager
def _sigint_ignored():
    """SIGINT ignored while child processes start (they inherit it); only
    in the main thread, where Python lets handlers be set. A Ctrl-C in
    those few seconds is lost (blocking it instead does not reach the
    workers, which the cluster starts from its own thread)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _plan_split(src: str, store: str, name: str, options: ConvertOptions, part_chunks: int):
    """None to convert the record in one task; its prepared plan when it is
    long enough to split; a result when there is nothing to do."""
    try:
        reader = open_record(src, sampling_rate=options.sampling_rate)
    except (RecordError, ImportError):
        return None  # its own task reports why
    try:
        from .record import chunk_length

        longest = max(-(-g.n_samples // chunk_length(g, options)) for g in reader.groups)
    except RecordError:
        return None  # its own task reports why
    finally:
        reader.close()
    if longest <= part_chunks:
        return None
    return prepare_record(src, store, name, options)


def _finish(split: _Split, store: str, options: ConvertOptions) -> RecordResult:
    if split.error is not None:
        return abandon_record(split.plan, split.error)
    try:
        stats = [[s for part in parts for s in part] for parts in split.stats]
        return finish_record(split.plan, store, stats, options)
    except Exception as exc:
        return abandon_record(split.plan, exc)


def _part_samples(plan: RecordPlan, group: int, part: int, part_chunks: int) -> int:
    _, n_ch, n, chunk = plan.arrays[group]
    first = part * part_chunks * chunk
    return (min(n, first + part_chunks * chunk) - first) * n_ch


def _reason(exc: BaseException) -> str:
    return f"{type(exc).__name__}: {exc}"


def _source(jobs: list, name: str) -> str:
    return next(src for src, n in jobs if n == name)
