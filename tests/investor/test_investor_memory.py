"""Many calls, good and bad, leave the process the size it was."""

from __future__ import annotations

import gc
import tracemalloc

import pytest

from investor_fakes import FakeSession
from private_core.investor import flow_engine
from private_core.investor.FlowEngineContract import FlowEngineContract
from varnix.exceptions import HttpError

ROUNDS = 10_000


def answer(method, path, sent):
    if method == "POST" and sent.get("group") == "refused":
        return HttpError("refused", status_code=405)
    return None if sent.get("ids") in (["VNM"], "VNM") else {"data": {"VNM": [{"date": "2024-01-02", "v": 1}]}}


class QuietSession(FakeSession):
    """Keeps no record of its calls, so that only the engine could grow."""

    def __init__(self, answer) -> None:
        super().__init__(answer)
        self.calls = Discard()


class Discard(list):
    def append(self, item) -> None:
        pass


def calls():
    engine = flow_engine.InvestorFlowEngine(QuietSession(answer))
    good = [
        lambda: engine._prepare_payload({"ids": [" VNM ", None, ""], "group": " Foreign ", "interval": " 1w ",
                                         "start": "2024-01-01", "x": None}),
        lambda: engine._to_query_params({"ids": ["VNM", " ", "FPT"], "group": "foreign"}),
        lambda: engine._normalise_records({"data": {"VNM": [{"a": 1}], "FPT": []}}, "stock"),
        lambda: engine._ensure_mapping({"a": 1}, "sector", "8300"),
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
        lambda: engine._normalise_records([1], "stock"),
        lambda: engine._normalise_records({"a": 1}, "stock"),
        lambda: engine._ensure_mapping({}, "stock", 1),
        lambda: engine._to_dataframe(None, "stock"),
        lambda: engine._resample_frame(None, "stock", b"1W"),
        lambda: engine.fetch_df("stock", "flow", {"ids": ["A", "B"], "group": "x"}, extra=1),
    ]
    return good, bad


def run(good, bad, rounds):
    for _ in range(rounds):
        for call in good:
            call()
        for call in bad:
            try:
                call()
            except Exception:
                pass


@pytest.mark.slow
def test_memory_stays_flat(monkeypatch):
    for name in ("start_progress", "update_progress", "finish_progress"):
        monkeypatch.setattr(flow_engine, name, lambda *a: None)
    good, bad = calls()
    run(good, bad, 200)  # warm caches: interned names, pandas' lazy imports
    heavy_engine = flow_engine.InvestorFlowEngine(QuietSession(answer))
    frame_calls = [
        lambda: heavy_engine.fetch_df("stock", "flow", {"ids": ["A", "B"], "interval": "1W"}),
        lambda: heavy_engine._resample_frame(heavy_engine._to_dataframe(rows_for_frame(), "stock"), "stock", "1M"),
    ]
    run(frame_calls, [], 20)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        run(good, bad, ROUNDS // 2)
        run(frame_calls, [], 200)
        run(good, bad, ROUNDS // 2)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # ~180,000 calls: a single leaked object per call would be several MB.
    assert grown < 256 * 1024, grown


def rows_for_frame():
    return [{"symbol": "VNM", "date": f"2024-01-{d:02d}", "v": d} for d in range(1, 29)]
