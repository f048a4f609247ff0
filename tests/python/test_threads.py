"""A factorisation under Python threads: the GIL is let go during the work,
and Ctrl-C (KeyboardInterrupt) from another thread stops it within a round."""

import _thread
import signal
import threading

import numpy as np
import pytest

import korvane

# large enough that a round takes a while, so the rounds are still running
# when the interrupt arrives
V = np.random.default_rng(5).random((513, 3000)).astype(np.float32)


def rounds_until_interrupted(interrupt):
    seen = []

    def progress(done, total):
        seen.append(done)
        if done == 3:
            threading.Thread(target=interrupt).start()

    with pytest.raises(KeyboardInterrupt):
        korvane.nmf(V, 10, iterations=2000, tol=0, progress=progress)
    return seen


def test_interrupt_main_from_a_thread_stops_the_rounds():
    seen = rounds_until_interrupted(_thread.interrupt_main)
    # the interrupt is seen at the end of the round it arrives in
    assert 3 <= len(seen) < 100 and seen == list(range(1, len(seen) + 1))


def test_sigint_sent_to_the_main_thread_stops_the_rounds():
    main = threading.main_thread().ident
    seen = rounds_until_interrupted(lambda: signal.pthread_kill(main, signal.SIGINT))
    assert 3 <= len(seen) < 100


def test_interrupt_without_progress_callable():
    started = threading.Event()

    def interrupt():
        started.wait()
        _thread.interrupt_main()

    threading.Thread(target=interrupt).start()
    with pytest.raises(KeyboardInterrupt):
        started.set()
        korvane.nmf(V, 10, iterations=2000, tol=0)


def test_a_python_thread_runs_during_the_factorisation():
    count = [0]
    during = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            count[0] += 1

    t = threading.Thread(target=spin)
    t.start()
    try:
        korvane.nmf(V, 10, iterations=20, tol=0, progress=lambda done, total: during.append(count[0]))
    finally:
        stop.set()
        t.join()
    # between the first and the last round the thread went on counting
    assert during[-1] - during[0] > 1000


def test_ctrl_c_after_a_save_is_still_a_keyboard_interrupt(tmp_path):
    # the files room's stop handler would end the process on SIGINT
    d = korvane.decompose(np.random.default_rng(1).standard_normal((4000, 1)) * 0.1, 2, rate=8000, seed=1,
                          iterations=5)
    d.save(tmp_path / "run")
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    test_sigint_sent_to_the_main_thread_stops_the_rounds()
