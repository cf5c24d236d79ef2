"""The three public calls: meter life, throttle, final line, and what a real
terminal (or a file) receives from a child process."""

from __future__ import annotations

import fcntl
import os
import re
import select
import struct
import subprocess
import sys
import termios
import textwrap
import time
import tty

import pytest

from tests.support import traced_growth


@pytest.mark.parametrize("name, doc", [
    ("start_progress", "start_progress(int total: int, str symbol: str) -> None\n\nKhởi tạo meter mới."),
    ("update_progress", "update_progress(int current: int) -> None\n\nCập nhật trạng thái tiến độ."),
    ("finish_progress", "finish_progress() -> None\n\nHoàn tất meter và xuống dòng."),
    ("_compose_right", "_compose_right(int current: int, int total: int, double rate: float, double remaining: float,"
                       " double elapsed: float, pal, completed: bool) -> List[Tuple[str, str]]"),
])
def test_docstrings(progress, name, doc):
    assert getattr(progress, name).__doc__ == doc


def test_start_draws_the_first_line(progress, term, clock, columns):
    clock.t = 8.0
    progress.start_progress(10, "Batch EOD")
    m = progress._state
    assert (m.total, m.start_t, m.last_draw_t, m.symbol, m.enable_color) == (10, 8.0, 8.0, "Batch EOD", True)
    assert len(term.writes) == 1 and "\n" not in term.last
    assert progress._strip_ansi(term.last) == "\r- Batch EOD [" + "." * 30 + "] 0/10    0%  --/s  ETA --:--  +00:00"


@pytest.mark.parametrize("total", [0, -1])
def test_no_meter_for_empty_batches(progress, term, clock, total):
    progress.start_progress(3, "old")
    del term.writes[:]
    progress.start_progress(total, "X")
    assert progress._state is None
    progress.update_progress(1)
    progress.finish_progress()
    progress._draw_progress(1)
    assert term.writes == [] and term.flushes == 1


def test_nothing_written_to_a_file(progress, monkeypatch, tmp_path):
    with open(tmp_path / "out.txt", "w") as f:
        monkeypatch.setattr(progress.sys, "stdout", f)
        progress.start_progress(3, "X")
        for i in (1, 2, 3):
            progress.update_progress(i)
        progress.finish_progress()
    assert progress._state is None
    assert (tmp_path / "out.txt").read_text() == ""


def test_throttle(progress, term, clock, plain):
    progress.start_progress(10, "X")
    clock.t = 0.04
    progress.update_progress(3)
    assert len(term.writes) == 1
    progress.update_progress(10)  # reaching the total is always drawn
    assert len(term.writes) == 2 and "10/10" in term.last
    clock.t = 0.04 + 1 / 24
    progress.update_progress(4)
    assert len(term.writes) == 3 and "] 4/10 " in plain(term.last)
    progress.update_progress(5)
    assert len(term.writes) == 3


def test_finish_draws_total_and_line_feed(progress, term, clock, columns):
    progress.start_progress(5, "X")
    progress._state.enable_color = False
    clock.t = 1.0
    progress.update_progress(2)
    progress.finish_progress()
    assert term.writes[-1] == "\n"
    assert re.fullmatch(r"\rOK X \[#+\] 5/5  100%  5\.0/s  done  \+00:01", term.writes[-2])
    # The meter stays; the next report draws on the fresh line.
    clock.t = 2.0
    progress.update_progress(3)
    progress.finish_progress()
    assert term.writes[-3].startswith("\r- X [") and " 3/5 " in term.writes[-3]
    assert term.writes[-1] == "\n"


def test_stdout_errors_propagate(progress, term, clock, monkeypatch):
    def broken(s):
        raise OSError("closed")

    monkeypatch.setattr(term, "write", broken)
    with pytest.raises(OSError, match="closed"):
        progress.start_progress(4, "X")
    # The meter was stored before the draw failed.
    assert progress._state.total == 4 and progress._state.last_draw_t == 0.0

    def bad_isatty():
        raise ValueError("I/O operation on closed file.")

    monkeypatch.setattr(term, "isatty", bad_isatty)
    with pytest.raises(ValueError, match="closed file"):
        progress.start_progress(4, "X")


@pytest.mark.parametrize("call, message", [
    (lambda p: p.update_progress(True), "Argument 'current' has incorrect type (expected int, got bool)"),
    (lambda p: p.start_progress(3.0, "X"), "Argument 'total' has incorrect type (expected int, got float)"),
    (lambda p: p.start_progress(3, b"X"), "Argument 'symbol' has incorrect type (expected str, got bytes)"),
    (lambda p: p._draw_progress(True), "Argument 'current' has incorrect type (expected int, got bool)"),
    (lambda p: p._join_right(("a",)), "Argument 'parts' has incorrect type (expected list, got tuple)"),
    (lambda p: p._join_right([1]), "sequence item 0: expected str instance, int found"),
    (lambda p: p._pad_to_width("a", 2.0), "Argument 'width' has incorrect type (expected int, got float)"),
    (lambda p: p._fmt_time("1"), "must be real number, not str"),
])
def test_public_calls_refuse_bad_arguments(progress, term, call, message):
    with pytest.raises(TypeError) as info:
        call(progress)
    assert str(info.value) == message
    assert term.writes == []


# ---------------------------------------------------------------------------
BATCH = textwrap.dedent("""
    from private_core.progress import start_progress, update_progress, finish_progress
    start_progress(3, "Batch EOD")
    for i in range(1, 4):
        update_progress(i)
    finish_progress()
""")


def read_until_closed(fd: int, timeout: float = 30.0) -> bytes:
    chunks, deadline = [], time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        assert left > 0, "terminal output did not end"
        if not select.select([fd], [], [], left)[0]:
            continue
        try:
            data = os.read(fd, 65536)
        except OSError:  # EIO: every writer has closed the terminal
            break
        if not data:
            break
        chunks.append(data)
    return b"".join(chunks)


def run_batch(stdout: int, tmp_path, master: int | None = None) -> bytes:
    """Runs BATCH in a child writing to `stdout`; returns what the terminal
    `master` received (b"" without one).  The child's stderr must stay empty."""
    env = {k: v for k, v in os.environ.items() if k not in ("COLUMNS", "LINES")}
    with open(tmp_path / "stderr.txt", "w+b") as err:
        proc = subprocess.Popen([sys.executable, "-c", BATCH], stdin=subprocess.DEVNULL, stdout=stdout,
                                stderr=err, env=env)
        if master is not None:
            os.close(stdout)  # the child holds the only writer now
        try:
            received = read_until_closed(master) if master is not None else b""
            proc.wait(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=10)
        err.seek(0)
        assert (proc.returncode, err.read()) == (0, b"")
    return received


def test_real_terminal_receives_the_lines(progress, tmp_path):
    master, slave = os.openpty()
    try:
        try:
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
            tty.setraw(slave)  # keep the bytes as written ("\n" not turned into "\r\n")
        except BaseException:
            os.close(slave)
            raise
        out = run_batch(slave, tmp_path, master).decode()
    finally:
        os.close(master)
    assert out.startswith("\r") and out.endswith("\n") and out.count("\n") == 1
    assert "\x1b[38;2;93;105;244m" in out
    lines = [progress._strip_ansi(s) for s in out[1:-1].split("\r")]
    assert 3 <= len(lines) <= 5  # first, (throttled updates), total reached, final
    assert all(len(line) == 80 for line in lines)
    assert re.fullmatch(r"[-\\|/] Batch EOD \[\.{31}\] 0/3    0%  --/s  ETA --:--  \+00:00 *", lines[0])
    assert re.fullmatch(r"OK Batch EOD \[#+\] 3/3  100%  \d+(\.\d+)?/s  done  \+00:00 *", lines[-1])


def test_redirected_to_a_file_writes_nothing(tmp_path):
    path = tmp_path / "out.txt"
    with open(path, "wb") as f:
        run_batch(f.fileno(), tmp_path)
    assert path.read_bytes() == b""


# ---------------------------------------------------------------------------
@pytest.mark.slow
def test_memory_stays_flat(progress, term, clock, columns):
    def round_(i):
        clock.t += 0.05
        progress.start_progress(50, "Batch")
        progress.update_progress(i % 50)
        progress.update_progress(i % 50)  # throttled
        progress.finish_progress()
        for bad in (lambda: progress.update_progress(True), lambda: progress.start_progress(1, None),
                    lambda: progress._join_right([1]), lambda: progress._fmt_time(float("nan"))):
            try:
                bad()
            except (TypeError, ValueError):
                pass
        progress.start_progress(0, "X")
        del term.writes[:]

    def rounds(n):
        for i in range(n):
            round_(i)

    rounds(2000)
    grown = traced_growth(lambda: rounds(25_000))  # about 300,000 calls
    assert grown < 64 * 1024, grown
