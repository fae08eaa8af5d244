"""Survey plans drawn in worker processes of their own, off the web workers, fed through a bounded queue.

Drawing a plan takes from a few hundred milliseconds of CPU (a PNG) to over a second (a PDF),
much of it under the interpreter lock and under the renderer's process-wide pyplot lock. A web
worker that drew plans itself would keep its event loop and every other user waiting meanwhile,
so plans are drawn in a pool of processes (the web worker's share of the machine's cores, or
VEXA_RENDER_PROCESSES), each at a lower CPU priority than the web workers (nice 10), each
importing the renderer once and drawing a sample plan as it starts. The app starts them as it
starts (otherwise the first drawing does). A PDF is composed in the worker too, so a web
worker only sends records and receives bytes. What the processes run is jobs.py.

The pool is fed through a bounded queue: at most VEXA_RENDER_WAITING drawings per process wait
(2 by default) beside those being drawn. A drawing that finds no place within PLACE_WAIT_S is
refused (PoolBusy), and the host answers 503 with Retry-After. A drawing is handed to a process
only when one is free, so until then it can be given up: a caller cancelled while it waits
leaves the queue, and `wanted()`, asked right before the drawing starts, can decline it (the
host asks whether its client is still connected). A process that dies fails the drawings it had
(RendererLost) and the pool is replaced on the next drawing. A drawing still running after
VEXA_PLAN_DRAW_TIMEOUT_S is abandoned (DrawingTimedOut): the pool's processes are killed, since
nothing else stops a running job, and replaced on the next drawing. The app closes the pool when it
stops; a worker process whose web worker went without closing it ends by itself within a second.

The processes are spawned, never forked from a web worker and its threads. As in any spawned
process, the host's main module is imported again in each (uvicorn's and pytest's are harmless),
and this module is imported there too (as its processes' start): it imports nothing of the host
at load, and nor do the plans' jobs and settings it imports (the settings import `serving`, which
imports nothing but `os`).
"""

from __future__ import annotations

import asyncio
import contextlib
import ctypes
import logging
import os
import threading
import time
import weakref
from collections.abc import Awaitable, Callable
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from multiprocessing import get_context
from typing import Any

from plans import jobs
from plans import settings as plan_settings
from plans.jobs import Drawing

logger = logging.getLogger("vexa.plans")

NICENESS = 10  # added to the web worker's: plans yield the CPU to tiles
PLACE_WAIT_S = 3.0  # longest wait for a place in the queue before PoolBusy
RETRY_AFTER_S = 5  # what a refused client is told to wait
PARENT_CHECK_S = 1.0  # how soon a worker process notices that its web worker has gone
CLOSE_WAIT_S = 5.0  # longest the app's stop waits for its drawing processes to end
M_MMAP_THRESHOLD = -3  # glibc's mallopt parameter
MAPPED_FROM = 1 << 20


class PoolBusy(Exception):
    """No place in the drawing queue freed within PLACE_WAIT_S."""


class DrawingTimedOut(Exception):
    """A drawing ran past its time limit: abandoned, its process replaced, nothing of it kept."""


class RendererLost(Exception):
    """The worker process drawing the plan died (the pool's error is the cause)."""


class NotWanted(Exception):
    """Nobody wanted the drawing any more when its turn came, so it was not started."""


# --- the worker processes' start ---------------------------------------------------------------


def _large_blocks_mapped() -> None:
    """Blocks of MAPPED_FROM bytes or more are mapped one by one and unmapped when freed (glibc).
    Left to itself, glibc raises that threshold to the size of the largest block freed so far
    (a plan's 17 MB image buffers), and from then on takes those from the heap, where a
    drawing process's resident memory grew from 200 MB to over 300 MB over its first forty
    plans and stayed there; with a fixed threshold it moved between 150 and 260 MB."""
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL("libc.so.6").mallopt(M_MMAP_THRESHOLD, MAPPED_FROM)


def _start_worker() -> None:
    """Each worker process: a lower priority than the web workers, large blocks given back as soon
    as they are freed, the renderer imported once, and an end of its own when its web worker goes
    without closing the pool (killed, or ended by a signal as uvicorn ends on one)."""
    os.nice(NICENESS)
    _large_blocks_mapped()
    threading.Thread(target=_end_with, args=(os.getppid(),), name="end with the web worker", daemon=True).start()
    from vexa import plots  # noqa: F401


def _end_with(parent: int) -> None:
    while os.getppid() == parent:
        time.sleep(PARENT_CHECK_S)
    os._exit(0)


# --- the pool, in the web worker ----------------------------------------------------------------


class RenderPool:
    """Worker processes that draw plans, `processes` at a time, with `waiting_per_process` drawings
    per process queued behind them at most."""

    def __init__(self, processes: int, waiting_per_process: int, draw_timeout_s: float = 30.0) -> None:
        self.processes = processes
        self.draw_timeout_s = draw_timeout_s
        self.places = processes * (1 + waiting_per_process)
        self.queued = 0  # drawings holding a place: waiting or being drawn
        self._executor: ProcessPoolExecutor | None = None
        # A web worker has one event loop; a second one (tests) gets gates of its own.
        self._gates: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, tuple[asyncio.Semaphore, asyncio.Semaphore]]
        self._gates = weakref.WeakKeyDictionary()

    def _gates_of(self, loop: asyncio.AbstractEventLoop) -> tuple[asyncio.Semaphore, asyncio.Semaphore]:
        if (gates := self._gates.get(loop)) is None:
            gates = self._gates[loop] = (asyncio.Semaphore(self.places), asyncio.Semaphore(self.processes))
        return gates

    def start(self) -> None:
        """Every process started now and warmed (`jobs.warm`), in the background: the first plans a
        web worker is asked for are drawn at once rather than after a process's start, and the
        pool holds its memory from the start. A warming that fails is logged; the pool is
        replaced as ever at the next drawing if it broke."""
        try:
            for _ in range(self.processes):
                self._submit(jobs.warm, ())[1].add_done_callback(_warmed)
        except RendererLost as error:
            logger.warning("the drawing processes could not be started: %s", error)

    def _submit(self, job: Callable[..., Any], args: tuple) -> tuple[ProcessPoolExecutor, Future[Drawing]]:
        for _ in range(2):  # a pool broken while idle is replaced at once: no drawing was lost
            if self._executor is None:
                self._executor = ProcessPoolExecutor(self.processes, mp_context=get_context("spawn"),
                                                     initializer=_start_worker)
            executor = self._executor
            try:
                return executor, executor.submit(jobs.run, job, *args)
            except BrokenProcessPool:
                self._replace(executor)
        raise RendererLost("the drawing processes could not be started")

    def _replace(self, broken: ProcessPoolExecutor) -> None:
        if self._executor is broken:
            self._executor = None
            broken.shutdown(wait=False, cancel_futures=True)

    async def run(self, job: Callable[..., Any], *args: Any,
                  wanted: Callable[[], Awaitable[bool]] | None = None) -> Drawing:
        """`job(*args)` in a worker process, once a place in the queue and then a process are free.
        PoolBusy when no place frees within PLACE_WAIT_S; NotWanted when `wanted()` declines the
        drawing as its turn comes; RendererLost when the process dies. A caller cancelled before the
        drawing starts leaves the queue; once it has started, the drawing ends in its process and
        keeps its place until then."""
        loop = asyncio.get_running_loop()
        places, processes = self._gates_of(loop)
        try:
            async with asyncio.timeout(PLACE_WAIT_S):
                await places.acquire()
        except TimeoutError:
            raise PoolBusy(f"no place among {self.places} within {PLACE_WAIT_S:g} s") from None
        self.queued += 1
        future: Future[Drawing] | None = None
        try:
            await processes.acquire()
            try:
                if wanted is None or await wanted():
                    executor, future = self._submit(job, args)
            finally:
                if future is None:
                    processes.release()
        finally:
            if future is None:
                self.queued -= 1
                places.release()
        if future is None:
            raise NotWanted()

        def free(_: Future[Drawing]) -> None:
            self.queued -= 1
            processes.release()
            places.release()

        future.add_done_callback(lambda done: _call_in(loop, free, done))
        limit = self.draw_timeout_s
        try:
            async with asyncio.timeout(limit):
                return await asyncio.shield(asyncio.wrap_future(future))
        except TimeoutError:
            if future.done():  # it ended as the time ran out: its own outcome stands
                return await asyncio.wrap_future(future)
            self._abandon(executor)
            raise DrawingTimedOut(f"still drawing after {limit:g} s") from None
        except BrokenProcessPool as error:
            self._replace(executor)
            raise RendererLost(str(error)) from error

    def _abandon(self, executor: ProcessPoolExecutor) -> None:
        """A drawing past its time limit: the processes of its pool killed (which one draws it is
        not known here; a web worker has its share of the cores, often one) and the pool replaced
        at the next drawing. The other drawings under way fail as for a lost process (503, to
        ask again), and every place is given back as their futures fail."""
        logger.warning("a drawing ran past %g s: its drawing processes are killed and replaced", self.draw_timeout_s)
        # The executor keeps its processes privately; it has no way to stop a running job.
        for process in list((getattr(executor, "_processes", None) or {}).values()):
            with contextlib.suppress(OSError, ValueError):
                process.kill()
        self._replace(executor)

    def shutdown(self) -> None:
        """The processes end after the drawings they have; the waiting ones are dropped."""
        if self._executor is not None:
            self._executor.shutdown(wait=False, cancel_futures=True)
            self._executor = None

    async def close(self) -> None:
        """As `shutdown`, and the processes waited for (CLOSE_WAIT_S at most), so that the pool's
        queues are gone, and their named semaphores removed, before the web worker ends. A web
        worker ended by a signal, as uvicorn ends its workers, removes nothing at its end: then
        multiprocessing's resource tracker removes them, warning of "leaked semaphore objects"."""
        executor, self._executor = self._executor, None
        if executor is None:
            return
        loop = asyncio.get_running_loop()
        ended = loop.create_future()

        def end() -> None:  # in a thread: a drawing may still take a second to finish
            executor.shutdown(wait=True, cancel_futures=True)
            _call_in(loop, lambda _: ended.done() or ended.set_result(None), None)

        threading.Thread(target=end, name="closing the drawing processes", daemon=True).start()
        try:
            async with asyncio.timeout(CLOSE_WAIT_S):
                await ended
        except TimeoutError:
            logger.warning("the drawing processes had not ended %g s after the app's stop", CLOSE_WAIT_S)


def _warmed(done: Future[Drawing]) -> None:
    if not done.cancelled() and (error := done.exception()) is not None:
        logger.warning("a drawing process could not draw the sample plan: %r", error)


def _call_in(loop: asyncio.AbstractEventLoop, fn: Callable[[Any], None], arg: Any) -> None:
    with contextlib.suppress(RuntimeError):  # a loop closed meanwhile has no queue left to free
        loop.call_soon_threadsafe(fn, arg)


_pool: RenderPool | None = None


def pool() -> RenderPool:
    """The web worker's render pool (its processes start with the first drawing)."""
    global _pool
    if _pool is None:
        _pool = RenderPool(plan_settings.PROCESSES, plan_settings.WAITING_PER_PROCESS, plan_settings.DRAW_TIMEOUT_S)
    return _pool


def start() -> None:
    """The web worker's render pool started and warmed now (see RenderPool.start)."""
    pool().start()


async def close() -> None:
    """The web worker's render pool closed and its processes ended, if it was ever made (a later
    drawing makes a new one); see RenderPool.close."""
    global _pool
    if _pool is not None:
        closing, _pool = _pool, None
        await closing.close()
