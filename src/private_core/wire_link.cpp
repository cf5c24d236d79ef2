// private_core.wire_link: HttpSession, the one door to the Varnix service.
#include "kit/kit.hpp"

namespace {

using kit::Call;
using kit::Object;
using kit::Sig;
using kit::arg;
using kit::kw;
using kit::kwonly;

constexpr const char* kBaseUrl = "https://api.varnix.vn/api/v1/varnix";
constexpr long long kDefaultTimeout = 30;
// Shown to the user when the service cannot be reached at all.
constexpr const char* kTransportMessage = "\xE2\x9B\x94\xEF\xB8\x8F T\xE1\xBA\xA3i d\xE1\xBB\xAF li\xE1\xBB\x87u l\xE1\xBB\x97i vui l\xC3\xB2ng t\xE1\xBA\xA3i l\xE1\xBA\xA1i!";

// ---------------------------------------------------------------------------
const Sig default_user_agent_sig{"_default_user_agent", {arg("version").str().ann("str")}, "str"};

Object default_user_agent(Call& c) { return kit::cat({"varnix/", c.arg(0)}); }

// ---------------------------------------------------------------------------
const Sig init_sig{"__init__",
                   {arg("self"), arg("api_key").str().ann("str"),
                    kwonly("base_url").str().def_slot(0).ann("str"),
                    kwonly("version").str().def_str("0.0.0").ann("str"),
                    kwonly("timeout").int_().def_slot(1).ann("int"),
                    kwonly("user_agent").str().opt().def_none().ann("Optional[str]")},
                   "None"};

Object init(Call& c) {
    Object self = c.self();
    Object api_key = c.arg(1);
    self.set_attr("api_key", api_key);
    self.set_attr("base_url", c.arg(2).method("rstrip", "/"));
    self.set_attr("timeout", c.arg(4));
    Object session = kit::global("requests").attr("Session")();
    self.set_attr("_session", session);

    Object user_agent = c.arg(5);
    if (!user_agent.truthy()) user_agent = kit::global("_default_user_agent")(c.arg(3));
    Object headers = kit::dict();
    headers.set_item(kit::str("Authorization"), kit::cat({"Bearer ", api_key}));
    headers.set_item(kit::str("Accept"), kit::str("application/json"));
    headers.set_item(kit::str("Content-Type"), kit::str("application/json"));
    headers.set_item(kit::str("User-Agent"), user_agent);
    session.attr("headers").method("update", headers);
    return {};
}

// ---------------------------------------------------------------------------
const Sig prepare_url_sig{"_prepare_url", {arg("self"), arg("path").str().ann("str")}, "str"};

Object prepare_url(Call& c) {
    Object path = c.arg(1);
    // Absolute URLs bypass the API root.
    if (path.method("startswith", "http://").truthy()) return path;
    if (path.method("startswith", "https://").truthy()) return path;
    Object root = kit::cat({c.self().attr("base_url").str(), "/"});
    return kit::global("urljoin")(root, path.method("lstrip", "/"));
}

// ---------------------------------------------------------------------------
const Sig request_sig{"request",
                      {arg("self"), arg("method").str().ann("str"), arg("path").str().ann("str"),
                       kwonly("params").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
                       kwonly("json_body").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
                       kwonly("data").def_none().ann("Optional[Any]"),
                       kwonly("headers").dict().opt().def_none().ann("Optional[Dict[str, str]]"),
                       kwonly("timeout").int_().opt().def_none().ann("Optional[int]")},
                      "requests.Response"};

Object request(Call& c) {
    Object self = c.self();
    Object method = c.arg(1), params = c.arg(3), headers = c.arg(6), timeout = c.arg(7);
    Object url = self.method("_prepare_url", c.arg(2));

    Object merged = kit::dict();
    if (headers.truthy()) merged.method("update", headers);
    kit::global("logger").method("debug", "HTTP %s %s params=%s", method, url, params);

    Object request_exception = kit::global("requests").attr("RequestException");
    Object response;
    try {
        response = self.attr("_session").method(
            "request", method, url, kw("params", params), kw("json", c.arg(4)), kw("data", c.arg(5)),
            kw("headers", merged.truthy() ? merged : kit::None()),
            kw("timeout", timeout.truthy() ? timeout : self.attr("timeout")));
    } catch (kit::Error&) {
        Object exc = kit::catch_if(request_exception);
        Object HttpError = kit::import_name("varnix.exceptions", "HttpError");
        kit::raise_from(HttpError, kTransportMessage, exc);
    }

    Object status = response.attr("status_code");
    if (status.ge(kit::integer(400))) {
        Object payload;
        try {
            payload = response.method("json");
        } catch (kit::Error&) {
            kit::catch_if(PyExc_ValueError);
            payload = response.attr("text");
        }
        Object HttpError = kit::import_name("varnix.exceptions", "HttpError");
        Object message = kit::cat({"Varnix backend returned HTTP ", status.str(), " for ", url.str()});
        kit::raise(HttpError(message, kw("status_code", status), kw("payload", payload)));
    }
    return response;
}

// ---------------------------------------------------------------------------
const Sig get_sig{"get",
                  {arg("self"), arg("path").str().ann("str"),
                   kwonly("params").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
                   kwonly("headers").dict().opt().def_none().ann("Optional[Dict[str, str]]"),
                   kwonly("timeout").int_().opt().def_none().ann("Optional[int]")},
                  "requests.Response"};

Object get(Call& c) {
    return c.self().method("request", "GET", c.arg(1), kw("params", c.arg(2)), kw("headers", c.arg(3)),
                           kw("timeout", c.arg(4)));
}

const Sig post_sig{"post",
                   {arg("self"), arg("path").str().ann("str"),
                    kwonly("json_body").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
                    kwonly("data").def_none().ann("Optional[Any]"),
                    kwonly("headers").dict().opt().def_none().ann("Optional[Dict[str, str]]"),
                    kwonly("timeout").int_().opt().def_none().ann("Optional[int]")},
                   "requests.Response"};

Object post(Call& c) {
    return c.self().method("request", "POST", c.arg(1), kw("json_body", c.arg(2)), kw("data", c.arg(3)),
                           kw("headers", c.arg(4)), kw("timeout", c.arg(5)));
}

// ---------------------------------------------------------------------------
const Sig close_sig{"close", {arg("self")}, "None"};

Object close(Call& c) {
    c.self().attr("_session").method("close");
    return {};
}

const Sig enter_sig{"__enter__", {arg("self")}, "'HttpSession'"};

Object enter(Call& c) { return c.self(); }

const Sig exit_sig{"__exit__", {arg("self"), arg("exc_type"), arg("exc_value"), arg("traceback")}, "None"};

Object exit_(Call& c) {
    c.self().method("close");
    return {};
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    m.set("logging", kit::import("logging"));
    m.set("requests", kit::import("requests"));
    m.from_import("typing", {"TYPE_CHECKING", "Any", "Dict", "Optional"});
    m.from_import("urllib.parse", {"urljoin"});
    m.set("logger", m.get("logging").attr("getLogger")(m.name()));
    m.set("BASE_URL", kit::str(kBaseUrl));
    m.set("DEFAULT_TIMEOUT", kit::integer(kDefaultTimeout));

    m.def({default_user_agent_sig, default_user_agent, "_default_user_agent(str version: str) -> str"});

    // The defaults of base_url and timeout are the constants' values now.
    kit::ClassDef cls(m, "HttpSession", "Lightweight wrapper around :class:`requests.Session` with Varnix defaults.");
    cls.method(init_sig, init,
               "HttpSession.__init__(self, str api_key: str, *, str base_url: str = BASE_URL, str version: str = '0.0.0', "
               "int timeout: int = DEFAULT_TIMEOUT, str user_agent: Optional[str] = None) -> None",
               {m.get("BASE_URL"), m.get("DEFAULT_TIMEOUT")});
    cls.method(prepare_url_sig, prepare_url, "HttpSession._prepare_url(self, str path: str) -> str");
    cls.method(request_sig, request,
               "HttpSession.request(self, str method: str, str path: str, *, dict params: Optional[Dict[str, Any]] = None, "
               "dict json_body: Optional[Dict[str, Any]] = None, data: Optional[Any] = None, "
               "dict headers: Optional[Dict[str, str]] = None, int timeout: Optional[int] = None) -> requests.Response");
    cls.method(get_sig, get,
               "HttpSession.get(self, str path: str, *, dict params: Optional[Dict[str, Any]] = None, "
               "dict headers: Optional[Dict[str, str]] = None, int timeout: Optional[int] = None) -> requests.Response");
    cls.method(post_sig, post,
               "HttpSession.post(self, str path: str, *, dict json_body: Optional[Dict[str, Any]] = None, "
               "data: Optional[Any] = None, dict headers: Optional[Dict[str, str]] = None, "
               "int timeout: Optional[int] = None) -> requests.Response");
    cls.method(close_sig, close, "HttpSession.close(self) -> None");
    cls.method(enter_sig, enter, "HttpSession.__enter__(self) -> 'HttpSession'");
    cls.method(exit_sig, exit_, "HttpSession.__exit__(self, exc_type, exc_value, traceback) -> None");
    m.set("HttpSession", cls.build());
}

}  // namespace

KIT_MODULE(wire_link, body)
