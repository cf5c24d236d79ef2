"""Shared fixtures of the whole suite live in the subsystem folders; this file
only makes sure the package under test is the built one."""

import os

import pytest


def pytest_collection_modifyitems(config, items):
    # Under the sanitizer freed memory waits in its quarantine, so the
    # process's size measures that, not the modules (tracemalloc's figures
    # are unaffected and keep their tests).
    if not os.environ.get("PRIVATE_CORE_SANITIZED"):
        return
    skip = pytest.mark.skip(reason="resident size is not measurable under the sanitizer")
    for item in items:
        if item.get_closest_marker("rss"):
            item.add_marker(skip)
