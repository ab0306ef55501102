"""Retries with back-off, and the bounded worker pool that every transfer runs on."""

import queue
import random
import threading

import httpx

#: Attempts per request (the first try included).
ATTEMPTS = 4
#: Back-off before the n-th retry is about BACKOFF_BASE * 2**n seconds, jittered, at most BACKOFF_CAP.
BACKOFF_BASE = 0.25
BACKOFF_CAP = 8.0
#: A Retry-After longer than this is cut to it: a transfer should not hang for an hour on one reply.
RETRY_AFTER_CAP = 60.0


class TransferError(Exception):
    """A request of a transfer failed: an unexpected status or a reply that does not fit the request."""

    def __init__(self, message, status_code=None):
        super().__init__(message)
        self.status_code = status_code


class Retry(Exception):
    """Raised inside an attempt when the outcome may succeed on another try."""

    def __init__(self, error, retry_after=None):
        super().__init__(error)
        self.error, self.retry_after = error, retry_after


class Cancelled(Exception):
    """A worker saw the transfer being cancelled before or between its requests."""


def pause(delay, cancel):
    """Sleeps between attempts; returns early when the transfer is cancelled. Tests replace it."""
    cancel.wait(delay)


def backoff(attempt):
    """Exponential back-off with equal jitter: half fixed, half random, so retries of parallel parts spread out."""
    ceiling = min(BACKOFF_CAP, BACKOFF_BASE * (2 ** attempt))
    return ceiling / 2 + random.uniform(0, ceiling / 2)


def retry_after(response):
    """Seconds from a Retry-After header in its delta-seconds form; None when absent or a date."""
    value = response.headers.get("Retry-After")
    if not value:
        return None
    try:
        seconds = float(value.strip())
    except ValueError:
        return None  # an HTTP date would need the wall clock; the back-off applies instead
    return min(max(seconds, 0.0), RETRY_AFTER_CAP)


def check_status(response, expected, what):
    """Returns when the status is expected; raises Retry for 5xx and 429, TransferError otherwise."""
    release(response)
    status = response.status_code
    if status in expected:
        return
    text = response.text[:300] if response.content else ""
    error = TransferError(f"{what} 失败: {status} {text}".rstrip(), status)
    if status >= 500 or status == 429:
        raise Retry(error, retry_after(response))
    raise error


def attempt(cancel, send):
    """Runs send() up to ATTEMPTS times; transport errors and Retry outcomes are retried after a pause."""
    for n in range(ATTEMPTS):
        if cancel.is_set():
            raise Cancelled()
        try:
            return send()
        except httpx.TransportError as exc:
            error, wait = exc, None
        except Retry as exc:
            error, wait = exc.error, exc.retry_after
        if n + 1 == ATTEMPTS:
            raise error
        delay = backoff(n)
        pause(delay if wait is None else max(wait, delay), cancel)
    raise AssertionError("unreachable")


_NO_STREAM = httpx.ByteStream(b"")


def release(response):
    """Lets a response go as soon as its last reference does.

    httpx binds a response and its stream to each other, so without this a response, the part it
    received and the request with the part it sent would live until the cycle collector runs: with
    several workers that is many parts more than `concurrency` held at once.
    """
    response.stream = _NO_STREAM
    return response


class Job:
    """What a worker sees of its transfer: the cancel flag and a way to report bytes to the caller's thread."""

    def __init__(self, tag, events, cancel, fn=None):
        self.tag, self._events, self.cancel, self.fn = tag, events, cancel, fn

    def progress(self, nbytes):
        self._events.put(("progress", self.tag, nbytes, None))


def _run(job):
    # The job lets go of fn (and the part it holds) before the caller hears that the slot is free.
    fn, job.fn = job.fn, None
    if job.cancel.is_set():
        del fn
        job._events.put(("done", job.tag, None, Cancelled()))
        return
    try:
        result = fn(job)
    except BaseException as exc:  # handed to the caller's thread, which decides
        del fn
        job._events.put(("done", job.tag, None, exc))
    else:
        del fn
        job._events.put(("done", job.tag, result, None))


class InlineJob:
    """A Job run on the current thread: parts of one item of a batch, one after another."""

    def __init__(self, tag, cancel, report):
        self.tag, self.cancel, self._report = tag, cancel, report

    def progress(self, nbytes):
        self._report(self.tag, nbytes)


def run_inline(cancel, jobs, on_progress=None, on_done=None):
    """drive() with a concurrency of one on the current thread, under an outer cancel flag."""
    report = on_progress or (lambda tag, nbytes: None)
    for tag, fn in jobs:
        result = fn(InlineJob(tag, cancel, report))
        del fn
        if on_done is not None:
            on_done(tag, result)


def drive(concurrency, jobs, on_progress=None, on_done=None):
    """Runs jobs, an iterable of (tag, fn) advanced lazily on the caller's thread, with at most
    `concurrency` at once. fn(job) runs on a worker; on_progress(tag, nbytes) and on_done(tag, result)
    run on the caller's thread. Every worker is joined before this returns or raises. The first failure
    is raised with later ones as notes; a failure or an interrupt stops the jobs not yet started, and a
    running job at its next request."""
    events = queue.SimpleQueue()
    cancel = threading.Event()
    first, later = None, []
    in_flight = 0
    source = iter(jobs)
    exhausted = False
    pool = Workers(concurrency)
    try:
        while True:
            # Reading the next job may read a part of the source: only when a worker is free.
            while first is None and not exhausted and in_flight < concurrency:
                try:
                    tag, fn = next(source)
                except StopIteration:
                    exhausted = True
                    break
                pool.submit(Job(tag, events, cancel, fn))
                del fn
                in_flight += 1
            if in_flight == 0:
                break
            kind, tag, result, error = _next_event(events)
            if kind == "progress":
                if first is None and on_progress is not None:
                    on_progress(tag, result)
                continue
            in_flight -= 1
            if error is not None:
                if first is None:
                    first = error
                    cancel.set()
                elif not isinstance(error, Cancelled) and error is not first:
                    later.append(error)
            elif first is None and on_done is not None:
                on_done(tag, result)
    except BaseException:
        # An interrupt, a failing callback or a failing read of the source: stop and join, then raise it.
        cancel.set()
        pool.join(drop_queued=True)
        raise
    pool.join()
    if first is not None:
        for error in later:
            first.add_note(f"later failure: {error!r}")
        raise first


class Workers:
    """Up to `size` threads taking jobs from one queue; started as jobs arrive, all joined by join()."""

    def __init__(self, size):
        self.size = size
        self.queue = queue.SimpleQueue()
        self.threads = []

    def submit(self, job):
        self.queue.put(job)
        if len(self.threads) < self.size:
            thread = threading.Thread(target=self._work, name=f"cirrova-transfer-{len(self.threads)}", daemon=True)
            # Listed before it starts, so an interrupt between the two cannot leave it unjoined.
            self.threads.append(thread)
            thread.start()

    def _work(self):
        while True:
            job = self.queue.get()
            if job is None:
                return
            _run(job)
            del job

    def join(self, drop_queued=False):
        if drop_queued:
            while True:
                try:
                    self.queue.get_nowait()
                except queue.Empty:
                    break
        for _ in self.threads:
            self.queue.put(None)
        for thread in self.threads:
            if thread.ident is not None:
                thread.join()


def _next_event(events):
    # A bounded wait keeps the caller's thread responsive to Ctrl-C on every platform.
    while True:
        try:
            return events.get(timeout=0.2)
        except queue.Empty:
            continue
