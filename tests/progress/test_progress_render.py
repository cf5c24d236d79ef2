"""Text helpers and the drawing of one line."""

from __future__ import annotations

import dataclasses
import math
import types

import pytest

NOCOLOR = lambda code: ""  # noqa: E731


def put_meter(progress, total=10, symbol="Batch EOD", color=False, start=0.0):
    progress._state = progress._Meter(total=total, start_t=start, last_draw_t=0.0, symbol=symbol, enable_color=color)
    return progress._state


def test_module_constants(progress):
    assert progress._SPINNER == ("-", "\\", "|", "/")
    assert progress._GREEN == "\x1b[38;2;93;105;244m"


def test_meter_is_a_dataclass(progress):
    M = progress._Meter
    assert [f.name for f in dataclasses.fields(M)] == [
        "total", "start_t", "last_draw_t", "symbol", "enable_color", "min_redraw_interval"]
    a = M(5, 1.0, 0.0, "X", True)
    assert a.min_redraw_interval == 1 / 24
    assert a == M(total=5, start_t=1.0, last_draw_t=0.0, symbol="X", enable_color=True)
    assert repr(a).startswith("_Meter(total=5, start_t=1.0,")
    assert a.palette("\x1b[1m") == "\x1b[1m"
    assert M(5, 1.0, 0.0, "X", False).palette("\x1b[1m") == ""
    with pytest.raises(TypeError, match="expected str, got int"):
        a.palette(1)


@pytest.mark.parametrize("seconds, text", [
    (0, "00:00"), (59.4, "00:59"), (59.5, "01:00"), (3600, "60:00"), (5999.4, "99:59"),
    (5999.5, "1h40m"), (36000, "10h00m"), (-1, "--:--"), (math.inf, "--:--"), (-math.inf, "--:--"),
    (1e20, format(int(1e20 + 0.5) // 3600, "d") + "h" + format(int(1e20 + 0.5) // 60 % 60, "02d") + "m"),
])
def test_fmt_time(progress, seconds, text):
    assert progress._fmt_time(seconds) == text


@pytest.mark.parametrize("rate, text", [
    (0, "--/s"), (-3.0, "--/s"), (math.inf, "--/s"), (math.nan, "--/s"), (0.5, "0.50/s"),
    (0.005, "0.01/s"), (0.125, "0.12/s"), (2.25, "2.2/s"), (9.96, "10.0/s"), (10, "10/s"), (12.5, "12/s"),
    (13.5, "14/s"), (1e22, "10000000000000000000000/s"),
])
def test_fmt_rate(progress, rate, text):
    assert progress._fmt_rate(rate) == text


@pytest.mark.parametrize("fn, name, value, text", [
    ("_fmt_time", "isinf", 30.0, "--:--"),
    ("_fmt_rate", "isfinite", 2.0, "--/s"),
])
def test_time_and_rate_consult_the_math_module_at_call_time(progress, monkeypatch, fn, name, value, text):
    seen = []

    def spy(x):
        seen.append(x)
        return name == "isinf"  # claims 30 s is infinite, and 2/s is not finite

    monkeypatch.setattr(progress, "math", types.SimpleNamespace(**{name: spy}))
    assert getattr(progress, fn)(value) == text
    assert seen == [value]


def test_text_helpers(progress):
    assert progress._join_right(["a", "", "b"]) == "a  b"
    assert progress._join_right([]) == ""
    assert progress._pad_to_width("\x1b[1mab\x1b[0m", 4) == "\x1b[1mab\x1b[0m  "
    assert progress._pad_to_width("abcdef", 4) == "abcdef"
    assert progress._strip_ansi("\x1b[38;2;1;2;3mx\x1b[0my\x1b[") == "xy\x1b["
    assert progress._len_noansi("\x1b[2mé\x1b[0m") == 1


def test_term_width(progress, monkeypatch):
    seen = []

    def get_terminal_size(fallback):
        seen.append(fallback)
        raise OSError("no terminal")

    monkeypatch.setattr(progress.shutil, "get_terminal_size", get_terminal_size)
    assert progress._term_width() == 80
    assert progress._term_width(55) == 55
    assert seen == [(80, 24), (55, 24)]


def test_compose_right_colourless_start(progress):
    assert progress._compose_right(0, 5, 0.0, math.inf, 1e-9, NOCOLOR, False) == [
        ("progress", "0/5"), ("percent", "  0%"), ("rate", "--/s"), ("eta", "ETA --:--"), ("elapsed", "+00:00")]


# The share is computed on integers: through floats 29/100 showed 28%.
@pytest.mark.parametrize("current, total, percent", [
    (29, 100, " 29%"), (57, 100, " 57%"), (2, 3, " 66%"), (1, 7, " 14%"), (100, 100, "100%"),
    (-1, 3, "-33%"), (10**30 - 1, 10**30, " 99%"), (5, 0, "  0%"),
])
def test_percent_is_exact(progress, current, total, percent):
    assert progress._compose_right(current, total, 1.0, 1.0, 1.0, NOCOLOR, False)[1] == ("percent", percent)


def test_examples_of_80_and_40_columns(progress, term, clock, columns):
    put_meter(progress)
    clock.t = 2.0
    progress._draw_progress(3)
    assert term.last == "\r- Batch EOD [########.....................] 3/10   30%  1.5/s  ETA 00:05  +00:02"
    assert progress._state.last_draw_t == 2.0
    columns(40)
    progress._draw_progress(3)
    assert term.last == "\r- Batch EOD [####...........] 3/10   30%"
    assert term.flushes == 2


def test_colour_spans(progress, term, clock, columns):
    put_meter(progress, color=True)
    clock.t = 2.0
    columns(40)
    progress._draw_progress(3)
    assert term.last == (
        "\r\x1b[1m-\x1b[0m \x1b[36mBatch EOD\x1b[0m [\x1b[38;2;93;105;244m####\x1b[0m\x1b[2m...........\x1b[0m]"
        " \x1b[2m3/10\x1b[0m  \x1b[34m 30%\x1b[0m")
    columns(80)
    progress._draw_progress(10)
    assert "ETA" not in term.last and "\x1b[38;2;93;105;244mdone\x1b[0m" in term.last
    assert "\x1b[2m" not in term.last.split("]")[0]  # a full bar has no empty span


@pytest.mark.parametrize("width, symbol, shown", [
    (61, "Batch EOD", "3/10   30%  1.5/s  ETA 00:05  +00:02"),
    (60, "Batch EOD", "3/10   30%  1.5/s  ETA 00:05"),
    (52, "Batch EOD", "3/10   30%  1.5/s"),
    (41, "Batch EOD", "3/10   30%"),
    (40, "L" * 20, "3/10"),
    (40, "L" * 30, "3/10"),
])
def test_right_items_blanked_in_order(progress, term, clock, columns, width, symbol, shown):
    put_meter(progress, symbol=symbol)
    clock.t = 2.0
    columns(width)
    progress._draw_progress(3)
    line = term.last[1:]
    assert line.endswith("] " + shown + " " * (len(line) - len(line.rstrip())))
    bar = line.split("[", 1)[1].split("]", 1)[0]
    # Everything fits, or the bar keeps its 10 cells and the line overflows.
    assert len(line) == max(width, len(symbol) + 2 + 4 + 10 + len(shown))
    assert len(bar) >= 10


@pytest.mark.parametrize("current, shown", [(12, "OK Batch EOD [" + "#" * 32 + "] 10/10  100%  5.0/s  done  +00:02"),
                                            (-4, "- Batch EOD [" + "." * 30 + "] 0/10    0%  --/s  ETA --:--  +00:02")])
def test_current_is_clamped(progress, term, clock, current, shown, columns):
    put_meter(progress)
    clock.t = 2.0
    progress._draw_progress(current)
    assert term.last == "\r" + shown.ljust(80)


def test_narrow_terminal_counts_as_40(progress, term, clock, columns):
    put_meter(progress, symbol="X")
    columns(12)
    progress._draw_progress(0)
    assert len(term.last) == 41


@pytest.mark.parametrize("t, frame", [(2.0, "-"), (2.1, "\\"), (2.2, "|"), (2.3, "/"), (2.4, "-")])
def test_spinner_follows_the_clock(progress, term, clock, columns, t, frame):
    put_meter(progress)
    clock.t = t
    progress._draw_progress(1)
    assert term.last.startswith("\r" + frame + " Batch EOD [")


# Filled cells on integers as well: with 100 cells 29 of 100 fills 29, not 28.
@pytest.mark.parametrize("current, total", [(29, 100), (57, 100), (1, 3), (2, 3), (99, 100), (7, 9)])
def test_filled_cells_are_exact(progress, term, clock, columns, plain, current, total):
    put_meter(progress, total=total, symbol="X")
    clock.t = 2.0
    progress._draw_progress(current)
    bar_w = len(plain(term.last).split("[", 1)[1].split("]", 1)[0])
    columns(80 + 100 - bar_w)  # make the bar exactly 100 cells
    progress._draw_progress(current)
    bar = plain(term.last).split("[", 1)[1].split("]", 1)[0]
    assert len(bar) == 100
    filled = current * 100 // total
    assert bar == "#" * filled + "." * (100 - filled)


ANSI_CASES = ["plain", "", "\x1b[0m", "a\x1b[1;32mb\x1b[0mc", "\x1b[", "\x1b[12;34", "x\x1b[\x1b[2my",
              "\x1b[1\u00e9", "\x1b[\u0661m", "\x1b\x1b[mZ", "\u1ea1\x1b[38;2;93;105;244m#\x1b[0m\U0001f600",
              "\x1b[;;;A\x1b[99z"]


@pytest.mark.parametrize("text", ANSI_CASES)
def test_escape_sequences_go_as_re_sub_removes_them(progress, text):
    import re
    expected = re.sub("\x1b\\[[0-9;]*[a-zA-Z]", "", text)
    assert progress._strip_ansi(text) == expected
    assert progress._len_noansi(text) == len(expected)
    assert progress._pad_to_width(text, 20) == text + " " * (20 - len(expected))  # counted in place


def test_replaced_helpers_are_used_at_once(progress, monkeypatch):
    import re
    import time
    for text in ANSI_CASES:  # warm-up on the counted path
        progress._pad_to_width(text, 1)
    monkeypatch.setattr(re, "sub", lambda pattern, repl, s: "re.sub saw " + s)
    assert progress._strip_ansi("\x1b[0mab") == "re.sub saw \x1b[0mab"
    assert progress._len_noansi("ab") == len("re.sub saw ab")
    assert progress._pad_to_width("ab", 14) == "ab "
    monkeypatch.undo()
    monkeypatch.setattr(progress, "_strip_ansi", lambda s: s * 2)
    assert progress._len_noansi("\x1b[0mab") == 12
    assert progress._pad_to_width("\x1b[0mab", 13) == "\x1b[0mab "
    monkeypatch.setattr(progress, "_len_noansi", lambda s: 1000)
    assert progress._pad_to_width("ab", 5) == "ab"
    monkeypatch.undo()
    ticks = iter([100.0, 100.5])
    monkeypatch.setattr(time, "perf_counter", lambda: next(ticks))
    drawn = []
    monkeypatch.setattr(progress, "_draw_progress", lambda current, force=False: drawn.append(current))
    monkeypatch.setattr(progress, "_state", type("M", (), dict(total=9, last_draw_t=99.9, min_redraw_interval=0.3))())
    progress.update_progress(1)  # 100.0 - 99.9 < 0.3: skipped, by the patched clock
    progress.update_progress(2)  # 100.5 - 99.9 >= 0.3: drawn
    assert drawn == [2]


def test_meter_and_palette_changes_are_seen_at_once(progress, monkeypatch):
    # The meter's fields and its palette are read directly while `_Meter`
    # is untouched; a changed class, a subclass or a property must win.
    drawn = []
    monkeypatch.setattr(progress, "_draw_progress", lambda current, force=False: drawn.append(current))
    meter = progress._Meter(total=10, start_t=0.0, last_draw_t=1e18, symbol="X", enable_color=True)
    monkeypatch.setattr(progress, "_state", meter)
    for i in range(3):
        progress.update_progress(i)  # warm-up: throttled
    assert drawn == []
    monkeypatch.setattr(progress._Meter, "last_draw_t", property(lambda self: -1e18), raising=False)
    progress.update_progress(4)
    assert drawn == [4]

    class Sub(progress._Meter):
        total = property(lambda self: 0, lambda self, value: None)

    monkeypatch.undo()
    monkeypatch.setattr(progress, "_draw_progress", lambda current, force=False: drawn.append(current))
    monkeypatch.setattr(progress, "_state", Sub(total=10, start_t=0.0, last_draw_t=1e18, symbol="X", enable_color=True))
    progress.update_progress(5)  # 5 < total is false for the subclass: drawn
    assert drawn == [4, 5]

    assert progress._Meter.palette(meter, "\x1b[1m") == "\x1b[1m"
    monkeypatch.setattr(progress._Meter, "palette", lambda self, code: "<" + code + ">")
    right = progress._compose_right(1, 2, 1.0, 1.0, 1.0, meter.palette, False)
    assert right[0][1].startswith("<\x1b[2m>")


def test_a_palette_set_on_the_meter_itself_is_used(progress, term, clock, columns):
    meter = put_meter(progress, color=True)
    progress._draw_progress(1)  # warm-up through the class's own palette
    assert "\x1b[36m" in term.last
    meter.palette = lambda code: "<>" if code else ""
    progress._draw_progress(2)
    assert "\x1b[36m" not in term.last and "<>" in term.last


def test_text_that_is_not_plain_str_joins_by_its_own_plus(progress, term, clock, columns, monkeypatch):
    # The line is the one the same code written in Python draws.
    from tests.hostile import reference_progress as reference

    class Loud(str):
        def __add__(self, other):
            return str.__add__(self, str(other).upper())

        def __radd__(self, other):
            return str.__add__(str(other).upper(), self)

    for name in ("sys", "time", "shutil"):
        monkeypatch.setattr(reference, name, getattr(progress, name))
    for mod in (reference, progress):
        monkeypatch.setattr(mod, "_state", mod._Meter(total=10, start_t=0.0, last_draw_t=0.0, symbol=Loud("batch"),
                                                      enable_color=True))
        clock.t = 2.0
        mod._draw_progress(3)
    python_line, line = term.writes
    assert "\x1b[36Mbatch" in line and line == python_line
