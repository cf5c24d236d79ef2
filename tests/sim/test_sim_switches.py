import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
import requests

from tests.support import EOD, STOCK_FLOW
from varnix_sim import Simulator
from varnix_sim.__main__ import build_parser
from varnix_sim.__main__ import main as cli_main
from varnix_sim.endpoints import ROUTES

ROOT = Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("method, path, params", [
    ("GET", EOD, {"symbol": "xyz"}),
    ("GET", "/market-data/intraday/ohlcv", {"symbol": "XYZ"}),
    ("GET", "/market-data/intraday/orderbook", {"symbol": "XYZ", "target_date": "2025-06-27"}),
    ("POST", "/reporting/statements/values", {"symbol": ["FPT", "XYZ"], "statement_id": 1, "start_year": 2020, "end_year": 2021, "period": "year"}),
    ("POST", STOCK_FLOW, {"ids": ["xyz"], "group": "foreign"}),
])
def test_unknown_symbol_gets_an_error_field(api, sim, method, path, params):
    sim.configure(unknown_symbols=["XYZ"])
    response = api.get(path, **params) if method == "GET" else api.post(path, params)
    assert response.status_code == 200
    assert response.json() == {"error": "Unknown symbol XYZ", "data": []}
    assert api.get(EOD, symbol="FPT").json()["data"]


@pytest.mark.parametrize("rejected", [{"test-key"}, "*"])
def test_rejected_key_answers_401_with_detail(api, sim, rejected):
    sim.configure(rejected_keys=rejected, reject_detail="API key revoked")
    response = api.post("/auth/validate", {"apiKey": "test-key", "clientVersion": "1.0", "includeMessages": True})
    assert response.status_code == 401 and response.json() == {"detail": "API key revoked"}
    assert api.get(EOD, symbol="FPT").status_code == 401
    api.http.headers["Authorization"] = "Bearer another-key"
    expected = 401 if rejected == "*" else 200
    assert api.get(EOD, symbol="FPT").status_code == expected


def test_missing_key_is_refused_only_when_auth_is_required(api, sim):
    del api.http.headers["Authorization"]
    assert api.get(EOD, symbol="FPT").status_code == 200
    sim.configure(require_auth=True)
    response = api.get(EOD, symbol="FPT")
    assert response.status_code == 401 and response.json()["detail"]


@pytest.mark.parametrize("status", [404, 405])
def test_investor_post_refusal_leaves_get_working(api, sim, status):
    sim.configure(investor_post_status=status)
    body = {"ids": ["VNM"], "group": "foreign", "start": "2025-06-02", "end": "2025-06-06"}
    refused = api.post(STOCK_FLOW, body)
    assert refused.status_code == status and refused.json()["detail"]
    answered = api.get(STOCK_FLOW, ids="VNM", group="foreign", start="2025-06-02", end="2025-06-06")
    assert answered.status_code == 200 and len(answered.json()["data"]) == 5
    assert api.post("/reporting/statements/values", {"symbol": ["FPT"], "statement_id": 1, "start_year": 2020,
                                                      "end_year": 2020, "period": "year"}).status_code == 200
    post, get = sim.requests_to(STOCK_FLOW)
    assert (post.method, post.json) == ("POST", body)
    assert (get.method, get.params) == ("GET", {"ids": "VNM", "group": "foreign", "start": "2025-06-02", "end": "2025-06-06"})


def test_forced_failures_hit_only_their_paths(api, sim):
    sim.configure(fail_paths={"/api/v1/varnix/market-data/eod/ohlcv/": 500, "/auth/validate": 503})
    failed = api.get(EOD, symbol="FPT")
    assert failed.status_code == 500 and failed.json() == {"detail": "Internal Server Error"}
    assert api.post("/auth/validate", {"apiKey": "k", "clientVersion": "1"}).status_code == 503
    assert api.get("/market-data/intraday/orderbook", symbol="FPT").status_code == 200
    sim.configure(fail_paths="*")
    assert api.get("/market-data/intraday/orderbook", symbol="FPT").status_code == 500


@pytest.mark.parametrize("status", [200, 401, 502])
def test_bodies_that_are_not_json(api, sim, status):
    sim.configure(non_json_paths={EOD: status}, non_json_body="  gateway says no  ")
    response = api.get(EOD, symbol="FPT")
    assert response.status_code == status and response.text == "  gateway says no  "
    assert response.headers["Content-Type"].startswith("text/html")
    with pytest.raises(ValueError):
        response.json()


def test_delay_holds_every_answer(api, sim):
    sim.configure(delay=0.3)
    began = time.monotonic()
    assert api.get(EOD, symbol="FPT").status_code == 200
    assert 0.3 <= time.monotonic() - began < 8


def test_switch_values_are_checked(sim):
    for bad in ({"colour": "red"}, {"delay": -1}, {"investor_post_status": 200}, {"investor_shape": "xml"},
                {"fail_paths": {"/x": 42}}, {"today": "30/06/2025"}):
        with pytest.raises((TypeError, ValueError)):
            sim.configure(**bad)
    assert sim.switches.delay == 0.0


def test_request_log_keeps_what_was_sent(api, sim):
    api.get(EOD, symbol="fpt", start="2025-06-02")
    api.post("/reporting/statements/values", {"symbol": ["FPT"]})
    first, second = sim.requests
    assert (first.method, first.path, first.query) == ("GET", EOD, {"symbol": ["fpt"], "start": ["2025-06-02"]})
    assert first.headers["Authorization"] == "Bearer test-key" and first.json is None
    assert (second.method, second.path, second.json) == ("POST", "/reporting/statements/values", {"symbol": ["FPT"]})
    sim.clear_requests()
    assert sim.requests == []


@pytest.mark.parametrize("method, path, kwargs, status", [
    ("GET", "/nowhere", {}, 404),
    ("GET", "/../../etc/passwd", {}, 404),
    ("POST", EOD, {}, 405),
    ("DELETE", STOCK_FLOW, {}, 405),
    ("POST", "/reporting/statements/values", {"data": b"{not json"}, 400),
    ("POST", STOCK_FLOW, {"data": b"\xff\xfe garbage"}, 400),
    ("POST", STOCK_FLOW, {"data": b"[1, 2]"}, 400),
    ("GET", "/market-data/intraday/ohlcv?symbol=FPT&start=2025-02-30", {}, 400),
    ("OPTIONS", EOD, {}, 501),
])
def test_bad_requests_get_clean_json_answers(sim, method, path, kwargs, status):
    url = sim.base_url + path
    response = requests.request(method, url, timeout=10, headers={"Content-Type": "application/json"}, **kwargs)
    assert response.status_code == status
    assert response.headers["Content-Type"].startswith("application/json") and response.json()["detail"]
    if status == 405:
        assert response.headers["Allow"]
    assert requests.get(sim.base_url + EOD, params={"symbol": "FPT"}, timeout=10).status_code == 200


def test_garbage_on_the_wire_does_not_kill_the_server(sim):
    host, port = sim.root_url[len("http://"):].split(":")
    with socket.create_connection((host, int(port)), timeout=5) as conn:
        conn.sendall(b"\x00\x01 / HTTX/1.1\r\n\r\n")
        answer = conn.recv(4096)
    assert answer.startswith(b"HTTP/1.1 400") and b"application/json" in answer
    assert requests.get(sim.base_url + EOD, params={"symbol": "FPT"}, timeout=10).status_code == 200


def test_stop_releases_the_port_and_cuts_delays():
    sim = Simulator(delay=30)
    outcome = []

    def slow_call():
        try:
            outcome.append(requests.get(url, params={"symbol": "FPT"}, timeout=20).status_code)
        except requests.RequestException as exc:
            outcome.append(type(exc).__name__)

    with sim:
        url = sim.base_url + EOD
        caller = threading.Thread(target=slow_call)
        caller.start()
        deadline = time.monotonic() + 10
        while not sim.requests and time.monotonic() < deadline:
            time.sleep(0.01)
    caller.join(timeout=10)
    assert not caller.is_alive() and len(outcome) == 1
    assert not sim.running
    with pytest.raises(requests.ConnectionError):
        requests.get(url, params={"symbol": "FPT"}, timeout=5)


def test_command_line_prints_its_address_and_serves():
    proc = subprocess.Popen(
        [sys.executable, "-m", "varnix_sim", "--port", "0", "--today", "2025-06-30", "--unknown-symbol", "XYZ",
         "--fail", "/auth/validate=503", "--quiet"],
        cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        line = proc.stdout.readline()
        assert line.startswith("Varnix simulator listening on http://127.0.0.1:")
        base = line.split()[-1]
        assert base.endswith("/api/v1/varnix")
        bars = requests.get(base + EOD, params={"symbol": "FPT", "start": "2025-06-30"}, timeout=10).json()["data"]
        assert [b["time"] for b in bars] == ["2025-06-30"]
        assert requests.get(base + EOD, params={"symbol": "XYZ"}, timeout=10).json()["error"] == "Unknown symbol XYZ"
        assert requests.post(base + "/auth/validate", json={}, timeout=10).status_code == 503
    finally:
        proc.terminate()
        proc.wait(timeout=10)


@pytest.mark.parametrize("given, parsed", [
    ("/market-data/eod/ohlcv", ("/market-data/eod/ohlcv", 500)),
    ("/api/v1/varnix/auth/validate/=503", ("/auth/validate", 503)),
    ("*=502", ("*", 502)),
])
def test_fail_switch_reads_path_and_status(given, parsed):
    assert build_parser().parse_args(["--fail", given]).fail == [parsed]


@pytest.mark.parametrize("given, complaint", [
    ("/market-data/eod/ohlcv=abc", "status 'abc' of '/market-data/eod/ohlcv' is not a number"),
    ("/auth/validate=200", "status 200 of '/auth/validate' must lie between 400 and 599"),
    ("/auth/validate=600", "status 600 of '/auth/validate' must lie between 400 and 599"),
    ("/market-data/eod/ohlc", "unknown path '/market-data/eod/ohlc': use '*' or one of the paths in --help"),
    ("=503", "expected PATH[=STATUS], got '=503'"),
])
def test_malformed_fail_switch_is_a_usage_error(capsys, given, complaint):
    with pytest.raises(SystemExit) as info:
        cli_main(["--fail", given])
    assert info.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: python -m varnix_sim") and "Traceback" not in err
    assert err.splitlines()[-1] == "python -m varnix_sim: error: argument --fail: " + complaint


def test_help_explains_the_paths_the_fail_switch_takes(capsys):
    with pytest.raises(SystemExit):
        cli_main(["--help"])
    text = " ".join(capsys.readouterr().out.split())
    assert "'*' for every path" in text and "STATUS from 400 to 599, default 500" in text
    assert all(" " + path + " " in text + " " for path in ROUTES)
