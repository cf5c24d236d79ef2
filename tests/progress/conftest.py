"""Fixtures of the progress display: a fake terminal on standard output, a
fake performance counter and a settable terminal width, all swapped in
through the module's own globals or ``sys``."""

from __future__ import annotations

import os
import re
import types

import pytest

from private_core import progress as progress_module

ANSI = re.compile("\x1b\\[[0-9;]*[a-zA-Z]")


@pytest.fixture
def plain():
    """plain(text): text without colour sequences."""
    return lambda text: ANSI.sub("", text)


class FakeTerminal:
    """A stdout stand-in that records what it is given."""

    def __init__(self, tty: bool = True) -> None:
        self.tty = tty
        self.writes: list[str] = []
        self.flushes = 0

    def write(self, s: str) -> int:
        self.writes.append(s)
        return len(s)

    def flush(self) -> None:
        self.flushes += 1

    def isatty(self) -> bool:
        return self.tty

    @property
    def last(self) -> str:
        return self.writes[-1]


class FakeClock:
    def __init__(self, t: float = 0.0) -> None:
        self.t = t

    def __call__(self) -> float:
        return self.t


@pytest.fixture
def progress(monkeypatch):
    """The module, with no meter before and after the test."""
    monkeypatch.setattr(progress_module, "_state", None)
    yield progress_module


@pytest.fixture
def term(progress, monkeypatch):
    # Through the module's `sys`: pytest's own capture rebinds sys.stdout
    # between the set-up and the call of a test.
    fake = FakeTerminal()
    monkeypatch.setattr(progress, "sys", types.SimpleNamespace(stdout=fake))
    return fake


@pytest.fixture
def clock(progress, monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(progress, "time", types.SimpleNamespace(perf_counter=fake))
    return fake


@pytest.fixture
def columns(progress, monkeypatch):
    """columns(n) makes the terminal n columns wide (through `shutil`)."""

    def set_columns(n: int) -> None:
        size = os.terminal_size((n, 24))
        monkeypatch.setattr(progress, "shutil", types.SimpleNamespace(get_terminal_size=lambda fallback: size))

    set_columns(80)
    return set_columns
