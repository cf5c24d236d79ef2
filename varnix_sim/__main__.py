"""Run the simulator in the foreground: ``python -m varnix_sim [--port N] ...``."""

from __future__ import annotations

import argparse
import signal
import sys
from typing import Callable, List, Optional, Tuple

from .endpoints import API_ROOT, ROUTES
from .server import MAX_DELAY, Simulator, normalise_path


def path_status(default: int, lowest: int) -> Callable[[str], Tuple[str, int]]:
    """Reads PATH[=STATUS]: a path the simulator serves (or '*') and a status
    from `lowest` to 599, `default` when none is given."""

    def parse(text: str) -> Tuple[str, int]:
        path, given, status = text.partition("=")
        path = path.strip()
        if not path:
            raise argparse.ArgumentTypeError(f"expected PATH[=STATUS], got {text!r}")
        key = normalise_path(path)
        if key != "*" and key not in ROUTES:
            raise argparse.ArgumentTypeError(f"unknown path {path!r}: use '*' or one of the paths in --help")
        if not given:
            return key, default
        try:
            code = int(status)
        except ValueError:
            raise argparse.ArgumentTypeError(f"status {status!r} of {path!r} is not a number") from None
        if not lowest <= code <= 599:
            raise argparse.ArgumentTypeError(f"status {code} of {path!r} must lie between {lowest} and 599")
        return key, code

    return parse


def build_parser() -> argparse.ArgumentParser:
    paths = "\n".join("  " + path for path in ROUTES)
    parser = argparse.ArgumentParser(
        prog="python -m varnix_sim", description="Local Varnix service simulator.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=f"paths for --fail and --non-json (under {API_ROOT}, which may be written too;\n"
               f"a trailing slash is ignored):\n{paths}")
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=0, help="port to bind (default: any free port)")
    parser.add_argument("--today", help="simulated date YYYY-MM-DD (default: the clock)")
    parser.add_argument("--unknown-symbol", action="append", default=[], metavar="SYMBOL",
                        help="answer this symbol or ICB code with an error field (repeatable)")
    parser.add_argument("--reject-key", action="append", default=[], metavar="KEY",
                        help="answer this API key with 401; '*' rejects every key (repeatable)")
    parser.add_argument("--reject-detail", help="detail text of the 401 answer")
    parser.add_argument("--require-auth", action="store_true", help="answer 401 without a bearer key")
    parser.add_argument("--investor-post-status", type=int, choices=(404, 405),
                        help="answer POSTs to the investor endpoints with this status")
    parser.add_argument("--fail", action="append", default=[], metavar="PATH[=STATUS]", type=path_status(500, 400),
                        help="answer PATH, one of the paths below or '*' for every path, with an error: "
                             "STATUS from 400 to 599, default 500; e.g. --fail /market-data/eod/ohlcv=503 "
                             "(repeatable)")
    parser.add_argument("--non-json", action="append", default=[], metavar="PATH[=STATUS]",
                        type=path_status(200, 100),
                        help="answer PATH (as for --fail) with a body that is not JSON: STATUS from 100 to 599, "
                             "default 200 (repeatable)")
    parser.add_argument("--delay", type=float, default=0.0, help="seconds to wait before every answer")
    parser.add_argument("--investor-shape", choices=("envelope", "list", "by_id"), default="envelope",
                        help="layout of investor answers")
    parser.add_argument("--quiet", action="store_true", help="do not log requests")
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    if not 0 <= args.delay <= MAX_DELAY:
        print("--delay must lie between 0 and %s" % MAX_DELAY, file=sys.stderr)
        return 2
    switches = dict(
        unknown_symbols=args.unknown_symbol,
        rejected_keys=args.reject_key,
        require_auth=args.require_auth,
        investor_post_status=args.investor_post_status,
        fail_paths=dict(args.fail),
        non_json_paths=dict(args.non_json),
        delay=args.delay,
        investor_shape=args.investor_shape,
        today=args.today,
    )
    if args.reject_detail:
        switches["reject_detail"] = args.reject_detail
    try:
        sim = Simulator(args.host, args.port, verbose=not args.quiet, **switches)
        sim._bind()
    except (ValueError, OSError) as exc:
        print("varnix_sim: " + str(exc), file=sys.stderr)
        return 2
    def _terminate(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, _terminate)
    print("Varnix simulator listening on " + sim.base_url, flush=True)
    try:
        sim.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
