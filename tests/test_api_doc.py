"""docs/api.md, the API reference, is what scripts/gen_api.py writes from the
stubs and the built modules today, and names every public function."""

import importlib.util

from tests.support import ROOT


def test_api_reference_is_current():
    spec = importlib.util.spec_from_file_location("gen_api", ROOT / "scripts" / "gen_api.py")
    gen_api = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(gen_api)
    page = (ROOT / "docs" / "api.md").read_text()
    assert page == gen_api.render(), "stale API reference: run .venv/bin/python scripts/gen_api.py"
    for name in ("fetch_df", "`ids`", "`group`", "`start`, `end`", "`interval`", "validate_api_key", "HttpSession"):
        assert name in page
