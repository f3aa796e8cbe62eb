"""Dask scale-out: one task per record, each writing only its own group,
so no two tasks ever write one chunk. Workers decode and encode with the
codec found through its entry points, so they need only the package
installed, nothing registered by hand."""

from __future__ import annotations

import logging
import uuid
from typing import Callable, Optional

from ._deps import require
from .record import ConvertOptions, RecordResult, convert_record


def run_on_dask(
    jobs: list,
    store: str,
    options: ConvertOptions,
    *,
    workers: Optional[int] = None,
    scheduler: Optional[str] = None,
    on_done: Callable[[RecordResult], None] = lambda r: None,
) -> dict:
    distributed = require("distributed", "Running on Dask")
    cluster = None
    if scheduler is not None:
        client = distributed.Client(scheduler)
    else:
        if not workers or workers < 1:
            raise ValueError("workers must be at least 1")
        cluster = distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True,
            dashboard_address=None, silence_logs=logging.ERROR,
        )
        client = distributed.Client(cluster)
    done: dict = {}
    run = uuid.uuid4().hex[:8]
    try:
        futures = {}
        for src, name in jobs:
            fut = client.submit(convert_record, src, store, name, options, pure=False,
                                key=f"vantoresk-convert-{name}-{run}")
            futures[fut] = (src, name)
        for fut in distributed.as_completed(list(futures)):
            src, name = futures[fut]
            try:
                result = fut.result()
            except Exception as exc:  # the worker died or the task could not run
                result = RecordResult(src, name, "failed", f"task failed ({type(exc).__name__}: {exc})")
            done[name] = result
            on_done(result)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    return done
