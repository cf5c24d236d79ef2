"""Scenarios a hostile or unlucky caller can set up: each must end as the same
code written in Python would end, never with a dead interpreter."""

import pytest

from tests.child import assert_clean_exit, run_child

ENGINE = """
from private_core.investor.flow_engine import InvestorFlowEngine
engine = InvestorFlowEngine(session=None)
def nested(depth):
    payload = [{"symbol": "VNM", "buy": 1}]
    for _ in range(depth):
        payload = {"data": payload}
    return payload
"""


def test_deep_envelopes_unwrap_within_a_raised_recursion_limit():
    proc = run_child(ENGINE + """
import sys
sys.setrecursionlimit(8000)
print(len(engine._normalise_records(nested(7500), "stock")))
try:
    engine._normalise_records(nested(9000), "stock")
except RecursionError:
    print("RecursionError")
""")
    assert_clean_exit(proc, "1\nRecursionError")


@pytest.mark.parametrize("where", ["waiting", "fetching"])
def test_daemon_threads_inside_the_cache_at_exit(where):
    # One daemon thread blocks inside its fetch; another polls for the same
    # key.  The interpreter exits under both.
    proc = run_child("""
import threading, time
from private_core.stash_layer import BaseStashLayer

class Client(BaseStashLayer):
    pass

client = Client()
started = threading.Event()
def slow_fetch():
    started.set()
    time.sleep(30)

def call():
    client._fetch_with_cache("ns", ("k",), live=True, fetcher=slow_fetch, ttl_live=None, ttl_history=None,
                             wait_timeout=30.0, wait_interval=0.01)

threading.Thread(target=call, daemon=True).start()
started.wait(10)
if WHERE == "waiting":
    threading.Thread(target=call, daemon=True).start()
time.sleep(0.2)
print("exit")
""".replace("WHERE", repr(where)))
    assert_clean_exit(proc, "exit")


def test_an_interrupt_ends_the_wait_for_an_identical_fetch():
    # A run started in the background inherits SIGINT ignored, and then
    # interrupt_main() does nothing: the child takes Python's own handler.
    proc = run_child("""
import _thread, signal, threading, time
signal.signal(signal.SIGINT, signal.default_int_handler)
from private_core.stash_layer import BaseStashLayer

client = BaseStashLayer()
release = threading.Event()
started = threading.Event()
def slow_fetch():
    started.set()
    release.wait(30)
    return "data"

def call():
    return client._fetch_with_cache("ns", ("k",), live=True, fetcher=slow_fetch, ttl_live=None, ttl_history=None,
                                    wait_timeout=30.0, wait_interval=0.05)

worker = threading.Thread(target=call)
worker.start()
started.wait(10)
timer = threading.Timer(0.3, _thread.interrupt_main)
timer.start()
t0 = time.monotonic()
try:
    call()
except KeyboardInterrupt:
    late = time.monotonic() - t0 - 0.3
    print("KeyboardInterrupt", late < 0.2, client._cache._inflight)
release.set()
worker.join()
""")
    assert_clean_exit(proc)
    assert proc.stdout.split()[:2] == ["KeyboardInterrupt", "True"], proc.stdout + proc.stderr
    # The waiter's count was given back: only the worker's remained then.
    assert proc.stdout.strip().endswith("{('ns', ('k',)): 1}")


def test_daemon_threads_whose_answers_arrive_during_shutdown():
    proc = run_child("""
import http.server, json, threading, time
from private_core import daily_bars
from private_core.wire_link import HttpSession

class Slow(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        time.sleep(0.3)
        body = json.dumps({"data": [{"time": "2024-01-02", "open": 1, "high": 1, "low": 1, "close": 1,
                                     "volume": 1}]}).encode()
        try:
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except OSError:
            pass
    def log_message(self, *args):
        pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Slow)
server.daemon_threads = True
threading.Thread(target=server.serve_forever, daemon=True).start()
session = HttpSession("k" * 8, base_url=f"http://127.0.0.1:{server.server_address[1]}/api/v1/varnix")
for _ in range(4):
    threading.Thread(target=daily_bars.fetch_ohlcv, args=(session, ["VNM", "FPT"]),
                     kwargs={"show_progress": False}, daemon=True).start()
time.sleep(0.1)
print("exit")
""")
    assert_clean_exit(proc, "exit")
