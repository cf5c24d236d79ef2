"""The fast paths' registry: the suite runs once with them on and once with
them all switched off (``--fast-paths=off``), and a whole run with them on
must have taken every registered path and sent every one of them at least
once to the general code (some test defeated its guard)."""

import pytest

from tests.conftest import fast_path_counts


def test_switch_is_package_wide_and_reported_by_every_module():
    from private_core import progress, stash_store

    before = stash_store.__fast_paths__()
    assert all(isinstance(taken, int) and isinstance(declined, int) for taken, declined in before.values())
    try:
        progress.__fast_paths__(False)
        assert stash_store.__fast_paths__() == before  # switching counts nothing
    finally:
        progress.__fast_paths__(True)


def test_every_fast_path_ran_and_was_declined(request):
    config = request.config
    if config.getoption("--fast-paths") == "off":
        pytest.skip("fast paths are switched off")
    if config.args_source != pytest.Config.ArgsSource.TESTPATHS:
        pytest.skip("only a run of the whole suite says which paths it reached")
    counts = fast_path_counts()
    assert not [name for name, (taken, _) in counts.items() if not taken], "fast paths no test ran"
    assert not [name for name, (_, declined) in counts.items() if not declined], "guards no test defeated"
