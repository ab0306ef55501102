"""Interleaved timing of two callables, so that both see the same machine load.

Times are the calling thread's CPU time: on a machine shared with other work, time spent
waiting for a core is not counted against either side.
"""

import gc
import itertools
import time

_clock = time.thread_time


def _batch(fn, n):
    loop = itertools.repeat(None, n)
    t0 = _clock()
    for _ in loop:
        fn()
    return _clock() - t0


def compare(subject, baseline, *, batch_seconds=0.02, rounds=15):
    """Per-call seconds of `subject` and `baseline`: the best of `rounds` alternating batches each.

    The batch size is calibrated on the slower of the two so that one batch lasts about
    `batch_seconds`. The best batch is the one least disturbed by other work on the machine.
    """
    subject()
    baseline()
    n = 1
    while True:
        slowest = max(_batch(subject, n), _batch(baseline, n))
        if slowest >= batch_seconds / 4 or n >= 1 << 20:
            break
        n *= 4
    n = max(1, int(n * batch_seconds / max(slowest, 1e-9)))

    best_s = best_b = float("inf")
    enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            if r % 2:
                tb = _batch(baseline, n)
                ts = _batch(subject, n)
            else:
                ts = _batch(subject, n)
                tb = _batch(baseline, n)
            best_s = min(best_s, ts)
            best_b = min(best_b, tb)
            gc.collect()
    finally:
        if enabled:
            gc.enable()
    return best_s / n, best_b / n
