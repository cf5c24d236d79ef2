"""Each module binds its names in the documented order (dunders aside)."""

import importlib

import pytest

SURFACES = {
    "key_gate": ["Optional", "ValidationError", "ApiKeyValidationError", "HttpError", "ApiKeyValidationResponse",
                 "HttpSession", "logger", "VALIDATION_ENDPOINT", "validate_api_key"],
    "wire_link": ["logging", "requests", "TYPE_CHECKING", "Any", "Dict", "Optional", "urljoin", "logger", "BASE_URL",
                  "DEFAULT_TIMEOUT", "_default_user_agent", "HttpSession"],
    "stash_layer": ["time", "timedelta", "Any", "Callable", "Dict", "Optional", "pd", "CacheKey", "Namespace",
                    "_Cache", "BaseStashLayer"],
    "progress": ["math", "os", "re", "shutil", "sys", "time", "dataclass", "List", "Tuple",
                 "_SPINNER", "_DONE_TOKEN", "_BAR_FILLED", "_BAR_EMPTY", "_RESET", "_DIM", "_BOLD", "_CYAN",
                 "_GREEN", "_YELLOW", "_BLUE",
                 "_isatty", "_ansi_ok", "_fmt_time", "_fmt_rate", "_term_width", "_compose_right", "_join_right",
                 "_strip_ansi", "_len_noansi", "_pad_to_width", "_Meter", "_state",
                 "start_progress", "update_progress", "finish_progress", "_draw_progress"],
}


@pytest.mark.parametrize("name", SURFACES)
def test_names_bound_in_order(name):
    module = importlib.import_module("private_core." + name)
    assert [n for n in vars(module) if not n.startswith("__")] == SURFACES[name]
