"""What every function of the core shares: its module travels with the call,
its docstring is written from its signature, it counts against the recursion
limit, and it pickles and reads like a Python function."""

import importlib
import json
import pickle
from pathlib import Path

import pytest

from tests.child import assert_clean_exit, run_child

DOCS = json.loads((Path(__file__).parent / "data" / "docstrings.json").read_text())


def _resolve(module, qualname):
    obj = importlib.import_module(module)
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("module,qualname", [(m, q) for m, fs in DOCS.items() for q in fs])
def test_docstring_is_the_signature_line(module, qualname):
    assert _resolve(module, qualname).__doc__ == DOCS[module][qualname]


@pytest.mark.parametrize("module,qualname", [("private_core.daily_bars", "fetch_ohlcv"),
                                             ("private_core.wire_link", "HttpSession.get"),
                                             ("private_core.stash_layer", "BaseStashLayer._fetch_with_cache")])
def test_functions_pickle_by_reference(module, qualname):
    fn = _resolve(module, qualname)
    assert pickle.loads(pickle.dumps(fn)) is fn


def test_defaults_read_as_for_python_functions():
    from private_core import daily_bars, stash_layer, wire_link
    assert daily_bars.fetch_ohlcv.__defaults__ == (None, None, "1D")
    assert daily_bars.fetch_ohlcv.__kwdefaults__ == {"show_progress": True}
    assert wire_link.HttpSession.__init__.__defaults__ is None
    assert wire_link.HttpSession.__init__.__kwdefaults__ == {
        "base_url": wire_link.BASE_URL, "version": "0.0.0", "timeout": 30, "user_agent": None}
    kw = stash_layer.BaseStashLayer._fetch_with_cache.__kwdefaults__
    assert kw == {"params": None, "wait_timeout": 1.0, "wait_interval": 0.05}


def test_a_cycle_of_native_calls_ends_in_recursion_error():
    proc = run_child("""
        from private_core import progress
        progress._strip_ansi = progress._len_noansi
        try:
            progress._len_noansi("x")
        except RecursionError:
            print("RecursionError")
    """)
    assert_clean_exit(proc, "RecursionError")


def test_greenlets_switching_inside_native_calls_keep_their_modules():
    # Greenlet A draws a progress line; its stdout switches to B in the
    # middle of the draw.  B is inside a call into another module when it
    # switches back; A must finish its draw in its own module, and B after.
    pytest.importorskip("greenlet")
    proc = run_child("""
        import gc, importlib, sys
        import greenlet
        from private_core import progress, stash_rules

        class Tty:
            def __init__(self): self.out = []
            def isatty(self): return True
            def write(self, s):
                self.out.append(s)
                if len(self.out) == 1:
                    b.switch()
            def flush(self): pass

        tty = Tty()
        progress.sys = type("S", (), {"stdout": tty})()

        def in_b(end):
            main_a.switch()
            return True

        def run_a():
            progress.start_progress(3, "AAA")
            progress.finish_progress()
            b.switch()

        def run_b():
            stash_rules.is_today = in_b
            print("B", stash_rules.touches_latest_trading_day(None))

        main_a = greenlet.greenlet(run_a)
        b = greenlet.greenlet(run_b)
        main_a.switch()
        print("A", any("AAA" in s for s in tty.out))
    """)
    assert_clean_exit(proc)
    assert proc.stdout.split() == ["B", "True", "A", "True"]


def test_rereading_a_dropped_module_keeps_calls_safe():
    proc = run_child("""
        import gc, sys
        from private_core import stash_rules
        f = stash_rules.ttl_eod_latest
        del sys.modules["private_core.stash_rules"], stash_rules
        gc.collect()
        import private_core.stash_rules as again
        print(f().total_seconds(), again.ttl_eod_latest().total_seconds())
    """)
    assert_clean_exit(proc, "60.0 60.0")


def test_cache_layers_of_two_store_instances_keep_to_their_own():
    """The cache layer calls into the store directly; after both modules are
    dropped and imported again, old and new clients, and a client holding
    the other instance's cache, all hit safely."""
    proc = run_child("""
        import gc, sys
        from private_core import stash_layer as old_layer
        old = old_layer.BaseStashLayer()
        for name in ("private_core.stash_layer", "private_core.stash_store"):
            del sys.modules[name]
        del old_layer
        gc.collect()
        from private_core import stash_layer
        new = stash_layer.BaseStashLayer()
        mixed = stash_layer.BaseStashLayer()
        mixed._cache = type(old._cache)()
        out = []
        for client in (old, new, mixed):
            for _ in range(2):
                out.append(client._fetch_with_cache("ns", ("k",), live=False, fetcher=lambda: "d", ttl_live=None,
                                                    ttl_history=None))
        print(*out)
    """)
    assert_clean_exit(proc, "d d d d d d")


def test_cached_globals_follow_every_change_at_once(monkeypatch):
    # Module globals are kept between calls; a rebind, a deletion or a new
    # `time` must show on the very next call, as in Python.
    from private_core import progress

    class Meter:
        total, last_draw_t, min_redraw_interval = 10, 0.0, 0.0

    monkeypatch.setattr(progress, "_state", Meter())
    drawn = []
    monkeypatch.setattr(progress, "_draw_progress", lambda current, force=False: drawn.append(current))
    for i in range(3):
        progress.update_progress(i)  # warm-up
    assert drawn == [0, 1, 2]
    monkeypatch.setattr(progress, "_draw_progress", lambda current, force=False: drawn.append(-current))
    progress.update_progress(4)
    assert drawn[-1] == -4

    monkeypatch.setattr(progress, "time", type("Clock", (), {"perf_counter": staticmethod(lambda: -1.0)}))
    Meter.min_redraw_interval = 0.5
    progress.update_progress(5)  # now - last_draw_t = -1 < 0.5: throttled by the new clock
    assert drawn[-1] == -4

    monkeypatch.delattr(progress, "_draw_progress")
    Meter.min_redraw_interval = -5.0
    with pytest.raises(NameError, match="'_draw_progress' is not defined"):
        progress.update_progress(6)


def test_a_second_instance_of_a_module_keeps_its_own_state(monkeypatch):
    # Each module object has its own state and its own kept globals: a
    # replaced clock in one instance does not leak into the other.
    import importlib.util
    from private_core import progress
    spec = importlib.util.find_spec("private_core.progress")
    second = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(second)
    assert second is not progress and second._draw_progress is not progress._draw_progress
    drawn = {"first": [], "second": []}
    for mod, label in ((progress, "first"), (second, "second")):
        meter = type("M", (), dict(total=9, last_draw_t=0.0, min_redraw_interval=0.5))()
        monkeypatch.setattr(mod, "_state", meter)
        monkeypatch.setattr(mod, "_draw_progress", lambda current, force=False, label=label: drawn[label].append(current))
    monkeypatch.setattr(second, "time", type("Clock", (), {"perf_counter": staticmethod(lambda: 0.1)}))
    for _ in range(2):
        progress.update_progress(1)   # the real clock: long after 0.0, drawn
        second.update_progress(1)     # its own clock says 0.1: throttled
    assert drawn == {"first": [1, 1], "second": []}
