"""HTTP transport of the simulator: switches, request log, server thread."""

from __future__ import annotations

import copy
import json
import socket
import sys
import threading
from dataclasses import dataclass, field, fields, replace
from datetime import date, datetime, time, timedelta, timezone
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Dict, Iterable, List, Mapping, Optional, Union
from urllib.parse import parse_qs, urlsplit

from .endpoints import API_ROOT, INVESTOR_PREFIX, ROUTES, ApiError, Call

MAX_BODY = 1 << 20
MAX_DELAY = 120.0
_VIETNAM = timezone(timedelta(hours=7))
DEFAULT_NON_JSON_BODY = "<html><body><h1>Service temporarily unavailable</h1></body></html>"


@dataclass(frozen=True)
class Switches:
    """Misbehaviour switches and clock of one simulator.

    ``unknown_symbols``: symbols (or ICB codes) answered 200 with an "error".
    ``rejected_keys``: API keys answered 401 {"detail": reject_detail}; "*" rejects every key.
    ``require_auth``: answer 401 to requests without a bearer key.
    ``investor_post_status``: status (404 or 405) for POSTs to the investor endpoints.
    ``fail_paths``: path -> status of a forced error answer; "*" matches every path.
    ``non_json_paths``: path -> status of an answer whose body is ``non_json_body``.
    ``delay``: seconds to wait before answering any request.
    ``investor_shape``: "envelope" ({"error", "data"}), "list" (bare rows) or "by_id" (id -> rows).
    ``today``: the simulated date (market closed, all of its data published); None follows the clock.
    """

    unknown_symbols: frozenset = frozenset()
    rejected_keys: frozenset = frozenset()
    reject_detail: str = "Invalid API key"
    require_auth: bool = False
    investor_post_status: Optional[int] = None
    fail_paths: Mapping[str, int] = field(default_factory=dict)
    non_json_paths: Mapping[str, int] = field(default_factory=dict)
    non_json_body: str = DEFAULT_NON_JSON_BODY
    delay: float = 0.0
    investor_shape: str = "envelope"
    plan: str = "pro"
    today: Optional[date] = None

    def now(self) -> datetime:
        if self.today is not None:
            return datetime.combine(self.today, time(23, 59, 59))
        return datetime.now(_VIETNAM).replace(tzinfo=None)


SWITCH_NAMES = tuple(f.name for f in fields(Switches))


def normalise_path(path: str) -> str:
    """A path relative to the API root, with one leading slash and none trailing."""
    if path == "*":
        return path
    if path.startswith(API_ROOT):
        path = path[len(API_ROOT):]
    return "/" + path.strip("/")


def _path_map(value: Union[None, str, Iterable[str], Mapping[str, int]], default: int) -> Dict[str, int]:
    if value is None:
        return {}
    if isinstance(value, str):
        value = [value]
    if isinstance(value, Mapping):
        items = value.items()
    else:
        items = ((p, default) for p in value)
    out = {}
    for path, status in items:
        status = int(status)
        if not 100 <= status <= 599:
            raise ValueError("status out of range: " + str(status))
        out[normalise_path(path)] = status
    return out


def _text_set(value: Union[None, str, Iterable[str]], upper: bool) -> frozenset:
    if value is None:
        return frozenset()
    if isinstance(value, str):
        value = [value]
    return frozenset(v.strip().upper() if upper else v for v in value)


def coerce_switches(base: Switches, changes: Dict[str, Any]) -> Switches:
    unknown_names = set(changes) - set(SWITCH_NAMES)
    if unknown_names:
        raise TypeError("Unknown simulator switch: " + ", ".join(sorted(unknown_names)))
    values = dict(changes)
    if "unknown_symbols" in values:
        values["unknown_symbols"] = _text_set(values["unknown_symbols"], upper=True)
    if "rejected_keys" in values:
        values["rejected_keys"] = _text_set(values["rejected_keys"], upper=False)
    if "fail_paths" in values:
        values["fail_paths"] = _path_map(values["fail_paths"], 500)
    if "non_json_paths" in values:
        values["non_json_paths"] = _path_map(values["non_json_paths"], 200)
    if values.get("investor_post_status") is not None:
        status = int(values["investor_post_status"])
        if not 400 <= status <= 599:
            raise ValueError("investor_post_status must be an error status such as 404 or 405")
        values["investor_post_status"] = status
    if "delay" in values:
        delay = float(values["delay"] or 0.0)
        if not 0.0 <= delay <= MAX_DELAY:
            raise ValueError("delay must lie between 0 and " + str(MAX_DELAY) + " seconds")
        values["delay"] = delay
    if values.get("investor_shape") is not None and values["investor_shape"] not in ("envelope", "list", "by_id"):
        raise ValueError("investor_shape must be 'envelope', 'list' or 'by_id'")
    if isinstance(values.get("today"), str):
        values["today"] = date.fromisoformat(values["today"])
    return replace(base, **values)


@dataclass(frozen=True)
class RecordedRequest:
    """One request as the simulator received it."""

    method: str
    path: str
    query: Dict[str, List[str]]
    json: Any
    body: str
    headers: Dict[str, str]

    @property
    def params(self) -> Dict[str, Union[str, List[str]]]:
        """Query parameters, a repeated one as a list."""
        return {k: (v[0] if len(v) == 1 else list(v)) for k, v in self.query.items()}


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, simulator) -> None:
        self.simulator = simulator
        self._connections: set = set()
        self._connections_lock = threading.Lock()
        super().__init__(address, _Handler)

    def process_request(self, request, client_address) -> None:
        with self._connections_lock:
            self._connections.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request) -> None:
        with self._connections_lock:
            self._connections.discard(request)
        super().shutdown_request(request)

    def drop_connections(self) -> None:
        with self._connections_lock:
            connections = list(self._connections)
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


class _BodyError(Exception):
    def __init__(self, status: int, detail: str) -> None:
        super().__init__(detail)
        self.status = status
        self.detail = detail


def _matches(table: Mapping[str, int], path: str) -> Optional[int]:
    if path in table:
        return table[path]
    return table.get("*")


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Idle keep-alive connections are dropped after this many seconds.
    timeout = 30

    def version_string(self) -> str:
        return "VarnixSim/1.0"

    def do_GET(self) -> None:
        self._handle("GET")

    def do_POST(self) -> None:
        self._handle("POST")

    def do_PUT(self) -> None:
        self._handle("PUT")

    def do_PATCH(self) -> None:
        self._handle("PATCH")

    def do_DELETE(self) -> None:
        self._handle("DELETE")

    def log_message(self, format: str, *args: Any) -> None:
        if self.server.simulator.verbose:
            sys.stderr.write("%s - %s\n" % (self.address_string(), format % args))

    def send_error(self, code: int, message: Optional[str] = None, explain: Optional[str] = None) -> None:
        # Protocol-level failures (bad request line, unsupported method) answer in JSON too.
        try:
            phrase = HTTPStatus(code).phrase
        except ValueError:
            phrase = "Error"
        if getattr(self, "request_version", "HTTP/0.9") == "HTTP/0.9":
            # The request line was unreadable; answer with a status line all the same.
            self.request_version = "HTTP/1.0"
        self.close_connection = True
        self._send(code, {"detail": message or phrase}, close=True)

    # -- plumbing ---------------------------------------------------------

    def _read_body(self) -> bytes:
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            raise _BodyError(411, "Length Required")
        length_text = self.headers.get("Content-Length")
        if length_text is None:
            return b""
        try:
            length = int(length_text)
        except ValueError:
            raise _BodyError(400, "Invalid Content-Length") from None
        if length < 0:
            raise _BodyError(400, "Invalid Content-Length")
        if length > MAX_BODY:
            raise _BodyError(413, "Request body too large")
        return self.rfile.read(length)

    def _send(self, status: int, payload: Any, *, close: bool = False, headers: Optional[Dict[str, str]] = None,
              raw: Optional[str] = None) -> None:
        if raw is not None:
            data = raw.encode("utf-8")
            content_type = "text/html; charset=utf-8"
        else:
            data = json.dumps(payload, ensure_ascii=False).encode("utf-8")
            content_type = "application/json; charset=utf-8"
        try:
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(data)))
            for name, value in (headers or {}).items():
                self.send_header(name, value)
            if close:
                self.send_header("Connection", "close")
                self.close_connection = True
            self.end_headers()
            if self.command != "HEAD":
                self.wfile.write(data)
        except OSError:
            # The client went away; nothing left to tell it.
            self.close_connection = True

    def _handle(self, method: str) -> None:
        sim = self.server.simulator
        split = urlsplit(self.path)
        query = parse_qs(split.query, keep_blank_values=True)
        try:
            raw_body = self._read_body()
        except _BodyError as exc:
            sim._record(RecordedRequest(method, split.path, query, None, "", dict(self.headers.items())))
            self._send(exc.status, {"detail": exc.detail}, close=True)
            return
        text = raw_body.decode("utf-8", errors="replace")
        body: Any = None
        body_ok = True
        if raw_body.strip():
            try:
                body = json.loads(text)
            except ValueError:
                body_ok = False
        inside = split.path == API_ROOT or split.path.startswith(API_ROOT + "/")
        path = normalise_path(split.path) if inside else split.path
        sim._record(RecordedRequest(method, path, query, body, text, dict(self.headers.items())))

        switches = sim.switches
        if switches.delay:
            sim._stopping.wait(switches.delay)
        try:
            self._answer(method, path, inside, query, body, body_ok, switches)
        except Exception as exc:  # a fault in a generator must not kill the connection thread
            sim._faults.append(repr(exc))
            self._send(500, {"detail": "Internal simulator error"})

    def _answer(self, method: str, path: str, inside: bool, query: Dict[str, List[str]], body: Any,
                body_ok: bool, switches: Switches) -> None:
        if not inside:
            self._send(404, {"detail": "Not Found"})
            return
        forced = _matches(switches.fail_paths, path)
        if forced is not None:
            self._send(forced, {"detail": HTTPStatus(forced).phrase})
            return
        garbled = _matches(switches.non_json_paths, path)
        if garbled is not None:
            self._send(garbled, None, raw=switches.non_json_body)
            return

        key = None
        authorization = self.headers.get("Authorization", "")
        if authorization[:7].lower() == "bearer ":
            key = authorization[7:].strip() or None
        if path == "/auth/validate" and isinstance(body, dict) and isinstance(body.get("apiKey"), str):
            key = body["apiKey"]
        if key is None and switches.require_auth:
            self._send(401, {"detail": "Missing API key"})
            return
        if key is not None and ("*" in switches.rejected_keys or key in switches.rejected_keys):
            self._send(401, {"detail": switches.reject_detail})
            return

        methods = ROUTES.get(path)
        if methods is None:
            self._send(404, {"detail": "Not Found"})
            return
        handler = methods.get(method)
        if handler is None:
            self._send(405, {"detail": "Method Not Allowed"}, headers={"Allow": ", ".join(sorted(methods))})
            return
        if method == "POST" and path.startswith(INVESTOR_PREFIX) and switches.investor_post_status:
            status = switches.investor_post_status
            self._send(status, {"detail": HTTPStatus(status).phrase})
            return
        if not body_ok:
            self._send(400, {"detail": "Malformed JSON body"})
            return
        call = Call(
            method=method,
            query=query,
            body=body,
            unknown_symbols=switches.unknown_symbols,
            now=switches.now(),
            investor_shape=switches.investor_shape,
            plan=switches.plan,
        )
        try:
            payload = handler(call)
        except ApiError as exc:
            self._send(exc.status, {"detail": exc.detail})
            return
        self._send(200, payload)


class Simulator:
    """A local Varnix service on 127.0.0.1, serving in a background thread::

        with Simulator(unknown_symbols={"XYZ"}) as sim:
            requests.get(sim.base_url + "/market-data/eod/ohlcv", params={"symbol": "FPT"})

    Switches (see :class:`Switches`) are given to the constructor or to
    :meth:`configure` at any time; :meth:`reset` restores the defaults.
    Every request received is kept in :attr:`requests`.
    """

    def __init__(self, host: str = "127.0.0.1", port: int = 0, *, verbose: bool = False, **switches: Any) -> None:
        self.host = host
        self.port = port
        self.verbose = verbose
        self._lock = threading.Lock()
        self._switches = coerce_switches(Switches(), switches)
        self._log: List[RecordedRequest] = []
        self._faults: List[str] = []
        self._stopping = threading.Event()
        self._server: Optional[_Server] = None
        self._thread: Optional[threading.Thread] = None

    # -- switches -----------------------------------------------------------

    @property
    def switches(self) -> Switches:
        with self._lock:
            return self._switches

    def configure(self, **switches: Any) -> "Simulator":
        """Change some switches; the others keep their values."""
        with self._lock:
            self._switches = coerce_switches(self._switches, switches)
        return self

    def reset(self) -> "Simulator":
        """Back to well-behaved defaults, with an empty request log."""
        with self._lock:
            self._switches = Switches()
            self._log.clear()
        return self

    # -- request log --------------------------------------------------------

    def _record(self, request: RecordedRequest) -> None:
        with self._lock:
            self._log.append(request)
            if len(self._log) > 10_000:
                del self._log[:1_000]

    @property
    def requests(self) -> List[RecordedRequest]:
        """Requests received so far, oldest first (a copy)."""
        with self._lock:
            return list(self._log)

    def requests_to(self, path: str) -> List[RecordedRequest]:
        wanted = normalise_path(path)
        return [r for r in self.requests if r.path == wanted]

    def clear_requests(self) -> None:
        with self._lock:
            self._log.clear()

    @property
    def faults(self) -> List[str]:
        """Unexpected exceptions raised while answering (should stay empty)."""
        return copy.copy(self._faults)

    # -- lifecycle ----------------------------------------------------------

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    @property
    def root_url(self) -> str:
        if self._server is None:
            raise RuntimeError("simulator is not started")
        host, port = self._server.server_address[:2]
        return "http://" + str(host) + ":" + str(port)

    @property
    def base_url(self) -> str:
        return self.root_url + API_ROOT

    def _bind(self) -> None:
        if self._server is not None:
            raise RuntimeError("simulator already started")
        self._stopping.clear()
        self._server = _Server((self.host, self.port), self)

    def start(self) -> "Simulator":
        self._bind()
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.1},
                                        name="varnix-sim", daemon=True)
        self._thread.start()
        return self

    def serve_forever(self) -> None:
        """Serve on the calling thread until interrupted."""
        if self._server is None:
            self._bind()
        try:
            self._server.serve_forever(poll_interval=0.2)
        finally:
            self._close()

    def stop(self) -> None:
        server = self._server
        if server is None:
            return
        self._stopping.set()
        if self._thread is not None:
            server.shutdown()
            self._thread.join(timeout=5)
            self._thread = None
        self._close()

    def _close(self) -> None:
        server = self._server
        if server is None:
            return
        self._stopping.set()
        server.drop_connections()
        server.server_close()
        self._server = None

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, exc_type, exc_value, traceback) -> None:
        self.stop()
