"""Fixtures of the whole suite; the helpers behind them are in tests/support.py.
The folders' own conftest files add theirs and may override these."""

import importlib
import os

import pytest

from private_core.wire_link import HttpSession
from tests.child import FAST_PATHS_OFF
from tests.support import API_ROOT


MODULES = ["wire_link", "key_gate", "progress", "daily_bars", "tick_bars", "statement_desk", "stash_store",
           "stash_rules", "stash_layer", "investor.FlowEngineContract", "investor.flow_engine"]


def pytest_addoption(parser):
    parser.addoption("--fast-paths", choices=("on", "off"), default="on",
                     help="run with the modules' fast paths on (default) or all switched off")


def pytest_configure(config):
    if config.getoption("--fast-paths") == "off":
        importlib.import_module("private_core.progress").__fast_paths__(False)
        os.environ[FAST_PATHS_OFF] = "1"


def fast_path_counts():
    """{"module: path": (taken, declined)} over the modules as now imported."""
    counts = {}
    for name in MODULES:
        module = importlib.import_module("private_core." + name)
        for path, pair in module.__fast_paths__().items():
            counts[f"{name}: {path}"] = pair
    return counts


# What the modules do, not how the project is built, typed or documented:
# the run with fast paths off leaves these out.
NOT_BEHAVIOUR = ("test_setup.py", "test_packaging.py", "test_typing.py", "test_api_doc.py", "test_stubs.py")


def pytest_collection_modifyitems(config, items):
    if config.getoption("--fast-paths") == "off":
        kept = [item for item in items if item.path.name not in NOT_BEHAVIOUR]
        config.hook.pytest_deselected(items=[item for item in items if item.path.name in NOT_BEHAVIOUR])
        items[:] = kept
    # The registry's check reads what the whole run did: it goes last.
    last = [item for item in items if item.name == "test_every_fast_path_ran_and_was_declined"]
    for item in last:
        items.remove(item)
        items.append(item)
    # Under the sanitizer freed memory waits in its quarantine, so the
    # process's size measures that, not the modules (tracemalloc's figures
    # are unaffected and keep their tests).
    if not os.environ.get("PRIVATE_CORE_SANITIZED"):
        return
    skip = pytest.mark.skip(reason="resident size is not measurable under the sanitizer")
    for item in items:
        if item.get_closest_marker("rss"):
            item.add_marker(skip)


@pytest.fixture
def session(httpserver):
    """An HttpSession with the key "test-key" at the local test server's API root."""
    with HttpSession("test-key", base_url=httpserver.url_for(API_ROOT)) as s:
        yield s
