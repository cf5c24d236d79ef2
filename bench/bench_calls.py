"""The toolkit's own cost per call: a function of the core that does nothing
(the engine contract's `fetch_df`, whose body is its argument checks)
against an empty Python function with the same parameters, and a call
with one exact-type argument against the same in Python."""

from __future__ import annotations

import timeit

from _table import Figure

from private_core import stash_rules
from private_core.investor.FlowEngineContract import FlowEngineContract

ROUNDS = 7
N = 200_000


class PyContract:
    def fetch_df(self, namespace: str, op: str, params: dict) -> None:
        if type(namespace) is not str or type(op) is not str or type(params) is not dict:
            raise TypeError


def py_ttl_history():
    return None


def best(stmt, setup_globals) -> float:
    t = timeit.Timer(stmt, globals=setup_globals)
    return min(t.repeat(ROUNDS, N)) / N * 1e9


def figures() -> list[Figure]:
    core, py = object.__new__(FlowEngineContract), PyContract()
    params: dict = {}
    g = dict(core=core, py=py, params=params, ttl=stash_rules.ttl_eod_history, py_ttl=py_ttl_history)
    out = []
    # Alternate the two sides so that both see the same machine.
    pairs = [("no-argument call (ttl_eod_history)", "ttl()", "py_ttl()"),
             ("method, three typed positionals", "core.fetch_df('stock', 'flow', params)",
              "py.fetch_df('stock', 'flow', params)"),
             ("method, three typed keywords", "core.fetch_df(namespace='stock', op='flow', params=params)",
              "py.fetch_df(namespace='stock', op='flow', params=params)")]
    for label, ours, theirs in pairs:
        a = min(best(ours, g) for _ in range(2))
        b = min(best(theirs, g) for _ in range(2))
        out.append(Figure("calls", label, a, "ns/call", "same function in plain Python", b))
    return out


if __name__ == "__main__":
    for f in figures():
        print(f)
