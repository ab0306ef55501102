"""Ctrl-C for tests however the suite was started: a shell starts a background job (`bash tools/test &`), and
some CI runners start everything, with SIGINT ignored, and a child process inherits that."""

import contextlib
import signal


@contextlib.contextmanager
def python_handler():
    """Python's own SIGINT handler (KeyboardInterrupt) for the block, whatever was there before."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def default_in_child():
    """preexec_fn for a child that must die or raise on SIGINT: the default disposition, which a Python
    child turns into KeyboardInterrupt at startup (an ignored SIGINT would stay ignored)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
