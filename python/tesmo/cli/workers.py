"""The worker processes of ``train --jobs``."""

from __future__ import annotations

import ctypes
import multiprocessing
import os
import signal
import sys
import threading
import time
from typing import Any

from tesmo.shards import ProcessPool

# prctl(2): the signal a process gets when its parent ends.
_PR_SET_PDEATHSIG = 1


def _end_with(parent: int) -> None:
    """End this worker quietly as soon as the process ``parent`` is gone.

    A worker left behind by a killed command would train its shard to the
    end and print a broken pipe's traceback when it sends the result. On
    Linux the kernel sends SIGTERM when the parent ends; elsewhere a thread
    looks every quarter second.
    """
    if sys.platform.startswith("linux"):
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            if libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0) == 0:
                if os.getppid() != parent:  # gone before the request was made
                    os._exit(0)
                return
        except (OSError, AttributeError):
            pass

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(0.25)
        os._exit(0)

    threading.Thread(target=watch, daemon=True).start()


def _start_worker(parent: int) -> None:
    if parent < 0:
        parent = os.getppid()
    # Ctrl-C reaches the whole process group; it is for the process that
    # joins. SIGTERM, which stops a worker, must not run a handler that a
    # forked worker inherited from its parent.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_SETMASK, set())
    _end_with(parent)


class WorkerPool(ProcessPool):
    """The pool of ``train --jobs``, whose workers also end when this process does."""

    def _start_pool(self) -> Any:
        # Forked workers' parent is this process, which may be gone before a
        # worker starts; with another start method it is the server that
        # starts them, which ends with this process.
        context = multiprocessing.get_context()
        parent = os.getpid() if context.get_start_method() == "fork" else -1
        return context.Pool(self._processes, initializer=_start_worker, initargs=(parent,))
