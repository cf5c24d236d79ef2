"""Many calls, good and bad, leave the process the size it was."""

from __future__ import annotations

import pytest

from private_core.investor import flow_engine
from private_core.investor.FlowEngineContract import FlowEngineContract
from tests.support import FakeSession, raising, replace_progress, traced_growth
from varnix.exceptions import HttpError

ROUNDS = 6_000  # x 17 calls


def answer(method, path, sent):
    if method == "POST" and sent.get("group") == "refused":
        return HttpError("refused", status_code=405)
    return None if sent.get("ids") in (["VNM"], "VNM") else {"data": {"VNM": [{"date": "2024-01-02", "v": 1}]}}


def rounds(n: int) -> None:
    # A session that keeps no record of its calls: only the engine could grow.
    engine = flow_engine.InvestorFlowEngine(FakeSession(answer, record=False))
    good = [
        lambda: engine._prepare_payload({"ids": [" VNM ", None, ""], "group": " Foreign ", "interval": " 1w "}),
        lambda: engine._to_query_params({"ids": ["VNM", " ", "FPT"], "group": "foreign"}),
        lambda: engine._normalise_records({"data": {"VNM": [{"a": 1}], "FPT": []}}, "stock"),
        lambda: flow_engine._strict_str(float("nan")),
        lambda: engine._request("/x", {"ids": ["VNM"], "group": "refused"}),
        lambda: engine.fetch_df("stock", "flow", {"ids": "VNM"}),
        lambda: FlowEngineContract.fetch_df(engine, "stock", "flow", {}),
    ]
    bad = [raising(Exception, call) for call in [
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
    ]]
    calls = good + bad
    for i in range(n):
        for call in calls:
            call()
        if i % 50 == 0:  # the pandas paths: batch, table, weekly buckets
            engine.fetch_df("stock", "flow", {"ids": ["A", "B"], "interval": "1W"})


@pytest.mark.slow
def test_memory_stays_flat(monkeypatch):
    replace_progress(monkeypatch, flow_engine, keep=False)
    rounds(200)  # warm caches: interned names, pandas' lazy imports
    grown = traced_growth(lambda: rounds(ROUNDS))
    # ~100,000 calls: a single leaked object per call would be several MB.
    assert grown < 256 * 1024, grown
