"""The investor stand-ins under their former name, for modules that still
import them so; they live in tests/support.py."""

from tests.support import FakeSession, daily_rows  # noqa: F401
