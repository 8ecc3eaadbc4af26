"""Separate Windows (each its own prefix, wineserver and display) run side
by side where the machine has the cores, one after the other where not,
with the same outcome either way."""
import os
import threading


class Stopped(Exception):
    """Another job failed or the user interrupted: this one ended early."""


# Set once the user interrupts (Ctrl-C, TERM, HUP): from then on no job
# starts another Wine process but to end what runs, so that none is left
# behind and no prefix is taken for whole that was cut short.
INTERRUPTED = threading.Event()


def interrupt():
    INTERRUPTED.set()


def check_interrupted():
    if INTERRUPTED.is_set():
        raise Stopped()


def run_all(jobs, cores=None):
    """Runs each job, a function of one argument: an event that tells it to
    stop (raising Stopped) before its next step, set once another job
    failed. Raises the first failure in the jobs' order, as running them one
    after the other would."""
    stop = threading.Event()
    if len(jobs) < 2 or (cores or os.cpu_count() or 1) < 2:
        for job in jobs:
            job(stop)
        return
    failures = [None] * len(jobs)

    def run(number):
        try:
            jobs[number](stop)
        except BaseException as error:   # handed to the calling thread below
            failures[number] = error
            stop.set()

    threads = [threading.Thread(target=run, args=(number,)) for number in range(len(jobs))]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            thread.join()
    except KeyboardInterrupt:
        INTERRUPTED.set()
        stop.set()
        for thread in threads:
            thread.join()
        raise
    for failure in failures:
        if failure is not None and not isinstance(failure, Stopped):
            raise failure
