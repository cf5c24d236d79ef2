"""Cost of `update_progress`: a call that draws a line and a call that the
throttle skips, in ns per call, next to baselines measured in the same run
(interleaved, best of the rounds, the cost of the timing lambda taken off).

    .venv/bin/python bench/bench_progress.py

Standard output is replaced by a sink that reports a terminal and discards
the text, and the width is fixed at 100 columns, so the figures are the
module's own work rather than the terminal's.  The real clock is used.
"""

from __future__ import annotations

import os
import re
import time
import timeit
import types

from private_core import progress


class Sink:
    def write(self, s: str) -> int:
        return len(s)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return True


# --- baselines -------------------------------------------------------------
def noop(current):
    return None


class PyMeter:
    def __init__(self, total):
        self.total, self.start_t, self.last_draw_t, self.symbol = total, time.perf_counter(), 0.0, "Batch EOD"
        self.min_redraw_interval = 1 / 24


py_state = None
ANSI = re.compile("\x1b\\[[0-9;]*[a-zA-Z]")


def py_update(current):
    """The throttle test written in Python."""
    st = py_state
    if st is None:
        return
    now = time.perf_counter()
    if current < st.total and now - st.last_draw_t < st.min_redraw_interval:
        return
    py_draw(current, now)


def py_draw(current, now, sink=Sink()):
    """A plain Python rendering of a comparable coloured line."""
    m = py_state
    elapsed = max(1e-9, now - m.start_t)
    rate = current / elapsed
    remaining = (m.total - current) / rate if rate > 0 else float("inf")
    right = "  ".join([f"\x1b[2m{current}/{m.total}\x1b[0m", f"\x1b[34m{current * 100 // m.total:3d}%\x1b[0m",
                       f"\x1b[33m{rate:0.1f}/s\x1b[0m", f"ETA \x1b[33m{int(remaining + 0.5):02d}\x1b[0m",
                       f"\x1b[2m+{int(elapsed + 0.5):02d}\x1b[0m"])
    left = "\x1b[1m-\x1b[0m \x1b[36m" + m.symbol + "\x1b[0m"
    bar_w = max(10, 100 - len(ANSI.sub("", left)) - 4 - len(ANSI.sub("", right)))
    filled = bar_w * current // m.total
    line = f"{left} [\x1b[38;2;93;105;244m{'#' * filled}\x1b[0m\x1b[2m{'.' * (bar_w - filled)}\x1b[0m] {right}"
    sink.write("\r" + line + " " * max(0, 100 - len(ANSI.sub("", line))))
    sink.flush()
    m.last_draw_t = now


def per_call_ns(*fns, number: int, repeat: int = 9) -> list[float]:
    """Best ns per call of each function, with the cost of calling an empty
    lambda taken off (each is timed through a lambda); the runs alternate
    between the functions so that a busy moment of the machine hits all."""
    timers = [timeit.Timer(fn) for fn in (lambda: None, *fns)]
    best = [float("inf")] * len(timers)
    for _ in range(repeat):
        for i, t in enumerate(timers):
            best[i] = min(best[i], t.timeit(number))
    empty, *rest = (b / number * 1e9 for b in best)
    return [ns - empty for ns in rest]


def measure() -> list:
    """(label, ns per call) pairs; the baselines come first."""
    global py_state
    size = os.terminal_size((100, 24))
    progress.sys = types.SimpleNamespace(stdout=Sink())
    progress.shutil = types.SimpleNamespace(get_terminal_size=lambda fallback: size)

    progress.start_progress(1000, "Batch EOD")
    meter = progress._state
    py_state = PyMeter(1000)
    update = progress.update_progress

    rows = []
    py_state.min_redraw_interval = meter.min_redraw_interval = 1e9
    empty, clock, py_skip, skip = per_call_ns(lambda: noop(500), time.perf_counter, lambda: py_update(500),
                                              lambda: update(500), number=200_000)
    rows += [("baseline: empty Python function call", empty), ("baseline: time.perf_counter()", clock),
             ("baseline: throttle test in Python (skipped)", py_skip),
             ("update_progress, skipped by the throttle", skip)]

    py_state.min_redraw_interval = meter.min_redraw_interval = 0.0
    py_draw_ns, draw = per_call_ns(lambda: py_update(500), lambda: update(500), number=20_000, repeat=5)
    rows += [("baseline: comparable line drawn in Python", py_draw_ns), ("update_progress, drawing a line", draw)]
    return rows


def figures() -> list:
    from _table import Figure

    rows = dict(measure())
    return [
        Figure("progress", "update_progress, skipped by the throttle", rows["update_progress, skipped by the throttle"],
               "ns/call", "throttle test in Python", rows["baseline: throttle test in Python (skipped)"]),
        Figure("progress", "update_progress, drawing a line", rows["update_progress, drawing a line"], "ns/call",
               "comparable line drawn in Python", rows["baseline: comparable line drawn in Python"]),
    ]


def main() -> None:
    rows = measure()
    width = max(len(r[0]) for r in rows)
    for label, ns in rows:
        print(f"{label:<{width}}  {ns:10.1f} ns/call")


if __name__ == "__main__":
    main()
