"""The common shape of a benchmark figure, and the table that shows them."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Iterable, Optional


LEGEND = ("ratio: this build's time divided by the same-run baseline's time; "
          "below 1 is faster than the baseline, above 1 slower.")


@dataclass
class Figure:
    bench: str
    measure: str
    value: float
    unit: str
    baseline: str  # what the figure is compared with, measured in the same run
    baseline_value: Optional[float]


def print_table(figures: Iterable[Figure]) -> None:
    figures = list(figures)
    head = ("bench", "measure", "value", "unit", "same-run baseline", "baseline", "ratio")
    rows = []
    for f in figures:
        ratio = f"{f.value / f.baseline_value:.2f}x" if f.baseline_value else ""
        base = f"{f.baseline_value:,.3f}" if f.baseline_value is not None else ""
        rows.append((f.bench, f.measure, f"{f.value:,.3f}", f.unit, f.baseline, base, ratio))
    widths = [max(len(str(r[i])) for r in [head, *rows]) for i in range(len(head))]
    right = {2, 5, 6}

    def line(cells):
        return "  ".join(str(c).rjust(w) if i in right else str(c).ljust(w) for i, (c, w) in enumerate(zip(cells, widths)))

    print(line(head))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))
    print()
    print(LEGEND)
