"""Opens a session on a local stand-in of the service and validates a key."""

from __future__ import annotations

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from private_core.key_gate import validate_api_key
from private_core.wire_link import HttpSession


class Handler(BaseHTTPRequestHandler):
    def do_POST(self):  # noqa: N802 - http.server's naming
        body = json.loads(self.rfile.read(int(self.headers.get("Content-Length", 0))) or b"{}")
        ok = self.path.endswith("/auth/validate") and body.get("apiKey") == "demo-key"
        answer = {"valid": True, "plan": "demo", "messages": ["Welcome, " + body.get("clientVersion", "?")]}
        data = json.dumps(answer if ok else {"detail": "Unknown API key"}).encode()
        self.send_response(200 if ok else 401)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


def main() -> None:
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    base = f"http://127.0.0.1:{server.server_address[1]}/api/v1/varnix"
    try:
        with HttpSession("demo-key", base_url=base, version="0.1.0") as session:
            print("service:", base)
            print("validated:", validate_api_key(session, client_version="0.1.0"))
    finally:
        server.shutdown()


if __name__ == "__main__":
    main()
