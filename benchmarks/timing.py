"""Interleaved timing of two callables, so that both see the same machine load.

Times are the calling thread's CPU time: on a machine shared with other work, time spent
waiting for a core is not counted against either side. Each batch ends with a collection of
the youngest generation, timed with it.
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
    # The collector is off during a batch: what the calls left in reference
    # cycles is freed here, inside the timed window, so each side pays for
    # its own garbage whether it frees it at once or leaves it to the collector.
    gc.collect(0)
    return _clock() - t0


def compare(subject, baseline, *, batch_seconds=0.02, rounds=15):
    """(ratio, subject seconds, baseline seconds) for one call of each.

    The two run in alternating batches, the batch size calibrated on the slower of the two so
    that one batch lasts about `batch_seconds`. The ratio is the median over the rounds of
    subject / baseline within a round: both halves of a round see about the same load, and the
    median drops the rounds where only one half was disturbed. The per-call times are the best
    batch of each side.
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
    ratios = []
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
            ratios.append(ts / tb)
            best_s = min(best_s, ts)
            best_b = min(best_b, tb)
            gc.collect()
    finally:
        if enabled:
            gc.enable()
    ratios.sort()
    mid = len(ratios) // 2
    ratio = ratios[mid] if len(ratios) % 2 else (ratios[mid - 1] + ratios[mid]) / 2
    return ratio, best_s / n, best_b / n
