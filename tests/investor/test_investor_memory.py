"""Many calls, good and bad, leave the process the size it was."""

from __future__ import annotations

import gc
import tracemalloc

import pytest

from investor_fakes import FakeSession
from private_core.investor import flow_engine
from private_core.investor.FlowEngineContract import FlowEngineContract
from varnix.exceptions import HttpError

ROUNDS = 6_000  # x 17 calls


class QuietSession(FakeSession):
    """Keeps no record of its calls, so that only the engine could grow."""

    def _send(self, method, path, sent):
        self.calls.clear()
        return super()._send(method, path, sent)


def answer(method, path, sent):
    if method == "POST" and sent.get("group") == "refused":
        return HttpError("refused", status_code=405)
    return None if sent.get("ids") in (["VNM"], "VNM") else {"data": {"VNM": [{"date": "2024-01-02", "v": 1}]}}


def rounds(n: int) -> None:
    engine = flow_engine.InvestorFlowEngine(QuietSession(answer))
    good = [
        lambda: engine._prepare_payload({"ids": [" VNM ", None, ""], "group": " Foreign ", "interval": " 1w "}),
        lambda: engine._to_query_params({"ids": ["VNM", " ", "FPT"], "group": "foreign"}),
        lambda: engine._normalise_records({"data": {"VNM": [{"a": 1}], "FPT": []}}, "stock"),
        lambda: flow_engine._strict_str(float("nan")),
        lambda: engine._request("/x", {"ids": ["VNM"], "group": "refused"}),
        lambda: engine.fetch_df("stock", "flow", {"ids": "VNM"}),
        lambda: FlowEngineContract.fetch_df(engine, "stock", "flow", {}),
    ]
    bad = [
        lambda: engine.fetch_df("bond", "flow", {}),
        lambda: engine.fetch_df("market", "foreign_room", {}),
        lambda: engine.fetch_df("stock", "flow", []),
        lambda: engine.fetch_df("stock"),
        lambda: engine.fetch_df("stock", "flow", {"ids": ["A", "B"]}, extra=1),
        lambda: engine._normalise_records([1], "stock"),
        lambda: engine._normalise_records({"a": 1}, "stock"),
        lambda: engine._ensure_mapping({}, "stock", 1),
        lambda: engine._to_dataframe(None, "stock"),
        lambda: engine._resample_frame(None, "stock", b"1W"),
    ]
    for i in range(n):
        for call in good:
            call()
        for call in bad:
            with pytest.raises(Exception):
                call()
        if i % 50 == 0:  # the pandas paths: batch, table, weekly buckets
            engine.fetch_df("stock", "flow", {"ids": ["A", "B"], "interval": "1W"})


@pytest.mark.slow
def test_memory_stays_flat(monkeypatch):
    for name in ("start_progress", "update_progress", "finish_progress"):
        monkeypatch.setattr(flow_engine, name, lambda *a: None)
    rounds(200)  # warm caches: interned names, pandas' lazy imports
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        rounds(ROUNDS)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # ~100,000 calls: a single leaked object per call would be several MB.
    assert grown < 256 * 1024, grown
