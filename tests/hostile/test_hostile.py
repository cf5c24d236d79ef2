"""Scenarios a hostile or unlucky caller can set up: each must end as the same
code written in Python would end, never with a dead interpreter."""

import os
import resource

import pytest

from tests.child import assert_clean_exit, run_child

HERE = os.path.dirname(os.path.abspath(__file__))

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


# --- One table: hostile values and small stacks --------------------------
# Each case runs in a child interpreter.  A progress case draws one line
# with the module's `_compose_right` replaced by `wrap(original(...))`, once
# with the native module and once with the same code in plain Python
# (reference_progress.py): both must end alike, in the same exception and
# message or the same written text.  A key case has a session stand-in raise
# HttpError with the payload given: the outcome is stated, and the key must
# appear in no log record, message or traceback.  A stack case must end in
# RecursionError, as Python does.

DRAW = """
import os, sys, types
from collections import UserList
sys.path.insert(0, HERE)
import reference_progress
from private_core import progress

class Terminal:
    def __init__(self):
        self.writes = []
    def write(self, s):
        self.writes.append(s)
        return len(s)
    def flush(self):
        pass
    def isatty(self):
        return True

def outcome(mod, wrap, columns):
    term = Terminal()
    mod.sys = types.SimpleNamespace(stdout=term)
    mod.time = types.SimpleNamespace(perf_counter=lambda: 2.0)
    mod.shutil = types.SimpleNamespace(get_terminal_size=lambda fallback: os.terminal_size((columns, 24)))
    mod._state = mod._Meter(total=10, start_t=0.0, last_draw_t=0.0, symbol="Batch EOD", enable_color=True)
    original = mod._compose_right
    mod._compose_right = lambda *args: wrap(original(*args))
    try:
        mod._draw_progress(3)
        return "drawn " + repr(term.writes)
    except Exception as exc:
        return f"{type(exc).__name__}: {exc}"

print(outcome(reference_progress, WRAP, COLUMNS))
print(outcome(progress, WRAP, COLUMNS))
"""

KEY = """
import logging, traceback
from private_core.key_gate import validate_api_key
from varnix.exceptions import HttpError

records = []
class Keep(logging.Handler):
    def emit(self, record):
        records.append(record)
logger = logging.getLogger("private_core.key_gate")
logger.addHandler(Keep())
logger.setLevel(logging.DEBUG)

class Key(str):
    pass

l = []
CYCLE = (l, "Key secret-key")
l.append(CYCLE)

answer = PAYLOAD  # off the traceback's lines

class Session:
    api_key = API_KEY
    def post(self, path, *, json_body=None):
        raise HttpError("Varnix backend returned HTTP 400 for x", status_code=400, payload=answer)

try:
    validate_api_key(Session(), client_version="1.0")
except Exception as exc:
    shown = "".join(traceback.format_exception(exc))
    shown += "".join(r.getMessage() + repr(r.args) for r in records)
    print(f"{type(exc).__name__}: {exc}")
    print(repr(records[-1].args[1])[:80])
    print("leaked" if "secret-key" in shown else "masked")
"""

CYCLE = """
import sys, threading
from private_core import progress
from private_core.wire_link import HttpSession

class Session(HttpSession):
    def _prepare_url(self, path):
        return self.get(path)

def run():
    try:
        CALL
    except RecursionError:
        print("RecursionError")

if THREAD:
    threading.stack_size(512 * 1024)
    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
else:
    sys.setrecursionlimit(100_000)
    run()
"""

PROGRESS_CYCLE = "progress._strip_ansi = progress._len_noansi; progress._len_noansi('x')"
SESSION_CYCLE = "Session('secret-key', base_url='http://127.0.0.1:9').get('x')"
REJECTED = "ApiKeyValidationError: Backend rejected API key validation (HTTP 400)"


def draw(wrap, columns=80):
    return DRAW.replace("HERE", repr(HERE)).replace("WRAP", wrap).replace("COLUMNS", str(columns)), None, {}


def key(api_key, payload):
    return KEY.replace("API_KEY", api_key).replace("PAYLOAD", payload), None, {}


def stack(call, thread=False, mib=None):
    code = CYCLE.replace("CALL", call).replace("THREAD", str(thread))
    kwargs = {}
    if mib:
        size = mib * 1024 * 1024
        kwargs["preexec_fn"] = lambda: resource.setrlimit(resource.RLIMIT_STACK, (size, size))
    return code, "RecursionError", kwargs


HOSTILE = {
    # _compose_right replaced: its answer is checked as the draw's inner
    # function checks its argument, and each pair as unpacking checks it.
    "right items a tuple": draw("tuple"),
    "right items a UserList": draw("UserList"),
    "right items a str": draw("lambda items: ''.join(text for _, text in items)"),
    "right item too short": draw("lambda items: [('progress', 'x'), ('a',)]"),
    "right item too long": draw("lambda items: [pair + ('x',) for pair in items]"),
    "right item not iterable": draw("lambda items: [1]"),
    "right item a one-shot iterator": draw("lambda items: [iter(pair) for pair in items]"),
    "right item text not a str": draw("lambda items: [('progress', 5)]"),
    "right items as lists, blanked on a narrow terminal": draw("lambda items: [list(pair) for pair in items]", 40),
    # Masking walks dicts, lists and tuples with their lengths checked, and
    # masks a key of any kind of str.
    "short tuples in a payload list": key("'secret-key'", "[(), ('a',)]"),
    "key echoed in a tuple": key("'secret-key'", "{'detail': [{'input': ('apiKey', 'secret-key')}, ()]}"),
    "key in a tuple used as a dict key": key("'secret-key'", "{('apiKey', 'secret-key'): 1}"),
    "key in a cycle through a tuple": key("'secret-key'", "[CYCLE]"),
    "key a str subclass": key("Key('secret-key')", "{'detail': 'Key secret-key revoked'}"),
    "key a str subclass, echoed in a tuple": key("Key('secret-key')", "[('secret-key',)]"),
    # Native recursion on small stacks.
    "progress cycle, 512 KiB thread": stack(PROGRESS_CYCLE, thread=True),
    "progress cycle, 2 MiB stack": stack(PROGRESS_CYCLE, mib=2),
    "progress cycle, 4 MiB stack": stack(PROGRESS_CYCLE, mib=4),
    "session cycle, 512 KiB thread": stack(SESSION_CYCLE, thread=True),
    "session cycle, 2 MiB stack": stack(SESSION_CYCLE, mib=2),
}

KEY_OUTCOMES = {
    "short tuples in a payload list": (REJECTED, "[(), ('a',)]"),
    "key echoed in a tuple": (REJECTED, "{'detail': [{'input': ('apiKey', '***')}, ()]}"),
    "key in a tuple used as a dict key": (REJECTED, "{('apiKey', '***'): 1}"),
    "key in a cycle through a tuple": (REJECTED, "[([(...)], 'Key ***')]"),
    "key a str subclass": ("ApiKeyValidationError: Key *** revoked", "{'detail': 'Key *** revoked'}"),
    "key a str subclass, echoed in a tuple": (REJECTED, "[('***',)]"),
}


@pytest.mark.parametrize("case", list(HOSTILE))
def test_hostile(case):
    code, expected, kwargs = HOSTILE[case]
    proc = run_child(code, **kwargs)
    assert_clean_exit(proc)
    lines = proc.stdout.splitlines()
    if case in KEY_OUTCOMES:
        assert lines == [*KEY_OUTCOMES[case], "masked"]
    elif expected is None:  # native and plain Python alike
        reference, native = lines
        assert native == reference
    else:
        assert lines == [expected]
