"""Retries with back-off, and the bounded worker pool that every transfer runs on."""

import importlib
import queue
import random
import re
import threading
import time

import httpx


def _token_class():
    """The native transport's CancelToken; None where the transport is not built."""
    try:
        return importlib.import_module("cirrova.transport").CancelToken
    except (ImportError, AttributeError):  # then requests in flight cannot be aborted
        return None


_CancelToken = _token_class()

#: Attempts per request (the first try included).
ATTEMPTS = 4
#: Back-off before the n-th retry is about BACKOFF_BASE * 2**n seconds, jittered, at most BACKOFF_CAP.
BACKOFF_BASE = 0.25
BACKOFF_CAP = 8.0
#: A Retry-After longer than this is cut to it: a transfer should not hang for an hour on one reply.
RETRY_AFTER_CAP = 60.0
#: Seconds a stopping transfer waits for its workers. The native transport aborts their requests within
#: 0.2 s; a worker still inside a request after this (httpx's own transport cannot abort one) is left to
#: end on its own, its temporary files removed.
JOIN_GRACE = 1.0
#: Bytes of a reply's body that a message quotes.
EXCERPT = 300


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
    """A worker saw the transfer being cancelled before, between or during its requests."""


class _NoToken:
    def cancel(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


class Stop(threading.Event):
    """The cancel flag of one transfer. Setting it also cancels the native transport's token that every
    worker runs under, so requests in flight abort too, and the temporary files that workers opened are
    tracked here so that a worker left running cannot leave one behind."""

    def __init__(self):
        super().__init__()
        self.token = _CancelToken() if _CancelToken is not None else _NoToken()
        self._files = set()
        self._files_lock = threading.Lock()
        self._abandoned = False

    def set(self):
        super().set()
        self.token.cancel()

    def track(self, temp):
        with self._files_lock:
            abandoned = self._abandoned
            if not abandoned:
                self._files.add(temp)
        if abandoned:
            temp.discard()
            raise Cancelled()

    def untrack(self, temp):
        with self._files_lock:
            self._files.discard(temp)

    def abandon(self):
        """Workers are being left running: their temporary files go now, and they can open no more."""
        with self._files_lock:
            self._abandoned = True
            files, self._files = self._files, set()
        for temp in files:
            temp.discard()


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


def excerpt(response, limit=EXCERPT):
    """At most `limit` bytes of a reply's body as text; an unread body is read no further than that."""
    try:
        data = response.content[:limit]
    except httpx.ResponseNotRead:
        data = b""
        for chunk in response.stream:  # raw bytes; whoever owns the response closes it
            data += chunk[:limit - len(data)]
            if len(data) >= limit:
                break
    return data.decode("utf-8", "replace")


def transient(status):
    """A status that another try may turn into success."""
    return status >= 500 or status == 429


def status_error(response, what):
    """The exception for an unexpected status: Retry for 5xx and 429, TransferError otherwise."""
    status = response.status_code
    # An error's body explains it; the body of an unexpected success is data, not worth quoting.
    error = TransferError(f"{what} 失败: {status} {excerpt(response) if status >= 300 else ''}".rstrip(), status)
    if transient(status):
        return Retry(error, retry_after(response))
    return error


def check_status(response, expected, what):
    """Returns when the status is expected; raises Retry for 5xx and 429, TransferError otherwise."""
    if response.status_code not in expected:
        raise status_error(response, what)
    release(response)


def attempt(cancel, send):
    """Runs send() up to ATTEMPTS times; transport errors and Retry outcomes are retried after a pause."""
    for n in range(ATTEMPTS):
        if cancel.is_set():
            raise Cancelled()
        try:
            return send()
        except httpx.TransportError as exc:
            if cancel.is_set():  # the request was aborted because the transfer stops
                raise Cancelled() from exc
            error, wait = exc, None
        except Retry as exc:
            error, wait = exc.error, exc.retry_after
        if n + 1 == ATTEMPTS:
            raise error
        delay = backoff(n)
        pause(delay if wait is None else max(wait, delay), cancel)
    raise AssertionError("unreachable")


# The clients' composite errors carry the status after the first ": "; others carry a status_code.
_TRANSIENT = re.compile(r"^[^:]*: (5\d\d|429)\b")
#: The cancel flag of retries outside a transfer: never set.
NEVER = threading.Event()


def retried(send):
    """send(), an idempotent service call, retried as transfers retry their requests: on transport errors and
    on errors carrying a 5xx or 429 (a busy service answers "InternalError, please try again")."""
    def once():
        try:
            return send()
        except Exception as exc:
            status = getattr(exc, "status_code", None)
            if transient(status) if isinstance(status, int) else _TRANSIENT.match(str(exc)):
                raise Retry(exc) from exc
            raise

    return attempt(NEVER, once)


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
        with job.cancel.token:  # the native transport aborts this thread's requests when the transfer stops
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
    run on the caller's thread. The first failure is raised with later ones as notes. A failure or an
    interrupt stops the jobs not yet started and aborts the requests in flight; workers get JOIN_GRACE
    seconds to end, and one that does not (a request that cannot be aborted) is left behind as a daemon
    thread whose temporary files are removed. Otherwise every worker is joined before this returns."""
    events = queue.SimpleQueue()
    cancel = Stop()
    first, later = None, []
    in_flight = 0
    source = iter(jobs)
    exhausted = False
    deadline = None  # set when the first failure stops the transfer
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
            event = _next_event(events, deadline)
            if event is None:
                break  # the jobs still running after the failure are left behind
            kind, tag, result, error = event
            if kind == "progress":
                if first is None and on_progress is not None:
                    on_progress(tag, result)
                continue
            in_flight -= 1
            if error is not None:
                if first is None:
                    first = error
                    cancel.set()
                    deadline = time.monotonic() + JOIN_GRACE
                elif not isinstance(error, Cancelled) and error is not first:
                    later.append(error)
            elif first is None and on_done is not None:
                on_done(tag, result)
    except BaseException:
        # An interrupt, a failing callback or a failing read of the source: stop and join, then raise it.
        cancel.set()
        _finish(pool, cancel, drop_queued=True)
        raise
    _finish(pool, cancel, drop_queued=first is not None, deadline=deadline)
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

    def join(self, drop_queued=False, timeout=None):
        """Joins the workers within `timeout` seconds (None: without limit); returns those still running."""
        if drop_queued:
            while True:
                try:
                    self.queue.get_nowait()
                except queue.Empty:
                    break
        for _ in self.threads:
            self.queue.put(None)
        deadline = None if timeout is None else time.monotonic() + timeout
        for thread in self.threads:
            if thread.ident is not None:
                thread.join(None if deadline is None else max(0.0, deadline - time.monotonic()))
        return [t for t in self.threads if t.is_alive()]


def _finish(pool, cancel, drop_queued, deadline=None):
    """Joins the workers: without limit when all went well, else within the grace left (from `deadline`,
    when the stop began earlier); the workers still running then are abandoned."""
    timeout = None
    if cancel.is_set():
        timeout = JOIN_GRACE if deadline is None else max(0.0, deadline - time.monotonic())
    if pool.join(drop_queued=drop_queued, timeout=timeout):
        cancel.abandon()


def _next_event(events, deadline=None):
    """The next event, or None once `deadline` (a monotonic time) has passed."""
    # A bounded wait keeps the caller's thread responsive to Ctrl-C on every platform.
    while True:
        wait = 0.2 if deadline is None else min(0.2, deadline - time.monotonic())
        if wait <= 0:
            return None
        try:
            return events.get(timeout=wait)
        except queue.Empty:
            continue
