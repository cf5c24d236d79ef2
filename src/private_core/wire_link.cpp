// private_core.wire_link: HttpSession, the one door to the Varnix service.
#include "kit/kit.hpp"

namespace {

using namespace kit::literals;
using kit::arg;
using kit::Call;
using kit::kw;
using kit::kwonly;
using kit::Object;
using kit::Sig;

constexpr const char* kBaseUrl = "https://api.varnix.vn/api/v1/varnix";
constexpr long long kDefaultTimeout = 30;
// Shown to the user when the service cannot be reached at all.
constexpr const char* kTransportMessage =
    "\xE2\x9B\x94\xEF\xB8\x8F T\xE1\xBA\xA3i d\xE1\xBB\xAF li\xE1\xBB\x87u l\xE1\xBB\x97i vui l\xC3\xB2ng "
    "t\xE1\xBA\xA3i l\xE1\xBA\xA1i!";

// ---------------------------------------------------------------------------
constexpr Sig default_user_agent_sig{"_default_user_agent", {arg("version").str().ann("str")}, "str"};

Object default_user_agent(Call& c) { return kit::cat({"varnix/", c[default_user_agent_sig["version"]]}); }

// ---------------------------------------------------------------------------
constexpr Sig init_sig{
    "__init__",
    {arg("self"), arg("api_key").str().ann("str"), kwonly("base_url").str().def_slot(0, "BASE_URL").ann("str"),
     kwonly("version").str().def_str("0.0.0").ann("str"),
     kwonly("timeout").int_().def_slot(1, "DEFAULT_TIMEOUT").ann("int"),
     kwonly("user_agent").str().opt().def_none().ann("Optional[str]")},
    "None"};

Object init(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    Object api_key = c[init_sig["api_key"]];
    self.set_attr(cx["api_key"_n], api_key);
    self.set_attr(cx["base_url"_n], c[init_sig["base_url"]].method(cx["rstrip"_n], "/"));
    self.set_attr(cx["timeout"_n], c[init_sig["timeout"]]);
    Object session = cx.global("requests"_n).attr(cx["Session"_n])();
    self.set_attr(cx["_session"_n], session);

    Object user_agent = c[init_sig["user_agent"]];
    if (!user_agent.truthy()) user_agent = cx.global("_default_user_agent"_n)(c[init_sig["version"]]);
    Object headers = kit::dict();
    headers.set_item(kit::str("Authorization"), kit::cat({"Bearer ", api_key}));
    headers.set_item(kit::str("Accept"), kit::str("application/json"));
    headers.set_item(kit::str("Content-Type"), kit::str("application/json"));
    headers.set_item(kit::str("User-Agent"), user_agent);
    session.attr(cx["headers"_n]).method(cx["update"_n], headers);
    return {};
}

// ---------------------------------------------------------------------------
constexpr Sig prepare_url_sig{"_prepare_url", {arg("self"), arg("path").str().ann("str")}, "str"};

Object prepare_url(Call& c) {
    kit::Ctx cx = c.cx();
    Object path = c[prepare_url_sig["path"]];
    // Absolute URLs bypass the API root.
    if (path.method(cx["startswith"_n], "http://").truthy()) return path;
    if (path.method(cx["startswith"_n], "https://").truthy()) return path;
    Object root = kit::cat({c.self().attr(cx["base_url"_n]).str(), "/"});
    return cx.global("urljoin"_n)(root, path.method(cx["lstrip"_n], "/"));
}

// ---------------------------------------------------------------------------
constexpr Sig request_sig{"request",
                          {arg("self"), arg("method").str().ann("str"), arg("path").str().ann("str"),
                           kwonly("params").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
                           kwonly("json_body").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
                           kwonly("data").def_none().ann("Optional[Any]"),
                           kwonly("headers").dict().opt().def_none().ann("Optional[Dict[str, str]]"),
                           kwonly("timeout").int_().opt().def_none().ann("Optional[int]")},
                          "requests.Response"};

Object request(Call& c) {
    kit::Ctx cx = c.cx();
    Object self = c.self();
    Object method = c[request_sig["method"]], params = c[request_sig["params"]], headers = c[request_sig["headers"]],
           timeout = c[request_sig["timeout"]];
    Object url = self.method(cx["_prepare_url"_n], c[request_sig["path"]]);

    Object merged = kit::dict();
    if (headers.truthy()) merged.method(cx["update"_n], headers);
    cx.global("logger"_n).method(cx["debug"_n], "HTTP %s %s params=%s", method, url, params);

    Object request_exception = cx.global("requests"_n).attr(cx["RequestException"_n]);
    Object response;
    try {
        response = self.attr(cx["_session"_n])
                       .method(cx["request"_n], method, url, kw(cx["params"_n], params),
                               kw(cx["json"_n], c[request_sig["json_body"]]), kw(cx["data"_n], c[request_sig["data"]]),
                               kw(cx["headers"_n], merged.truthy() ? merged : kit::None()),
                               kw(cx["timeout"_n], timeout.truthy() ? timeout : self.attr(cx["timeout"_n])));
    } catch (kit::Error&) {
        Object exc = kit::catch_if(request_exception);
        Object HttpError = kit::import_name("varnix.exceptions", "HttpError");
        kit::raise_from(HttpError, kTransportMessage, exc);
    }

    Object status = response.attr(cx["status_code"_n]);
    if (status.ge(kit::integer(400))) {
        Object payload;
        try {
            payload = response.method(cx["json"_n]);
        } catch (kit::Error&) {
            kit::catch_if(PyExc_ValueError);
            payload = response.attr(cx["text"_n]);
        }
        Object HttpError = kit::import_name("varnix.exceptions", "HttpError");
        Object message = kit::cat({"Varnix backend returned HTTP ", status.str(), " for ", url.str()});
        kit::raise(HttpError(message, kw(cx["status_code"_n], status), kw(cx["payload"_n], payload)));
    }
    return response;
}

// ---------------------------------------------------------------------------
constexpr Sig get_sig{"get",
                      {arg("self"), arg("path").str().ann("str"),
                       kwonly("params").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
                       kwonly("headers").dict().opt().def_none().ann("Optional[Dict[str, str]]"),
                       kwonly("timeout").int_().opt().def_none().ann("Optional[int]")},
                      "requests.Response"};

Object get(Call& c) {
    kit::Ctx cx = c.cx();
    return c.self().method(cx["request"_n], "GET", c[get_sig["path"]], kw(cx["params"_n], c[get_sig["params"]]),
                           kw(cx["headers"_n], c[get_sig["headers"]]), kw(cx["timeout"_n], c[get_sig["timeout"]]));
}

constexpr Sig post_sig{"post",
                       {arg("self"), arg("path").str().ann("str"),
                        kwonly("json_body").dict().opt().def_none().ann("Optional[Dict[str, Any]]"),
                        kwonly("data").def_none().ann("Optional[Any]"),
                        kwonly("headers").dict().opt().def_none().ann("Optional[Dict[str, str]]"),
                        kwonly("timeout").int_().opt().def_none().ann("Optional[int]")},
                       "requests.Response"};

Object post(Call& c) {
    kit::Ctx cx = c.cx();
    return c.self().method(cx["request"_n], "POST", c[post_sig["path"]],
                           kw(cx["json_body"_n], c[post_sig["json_body"]]), kw(cx["data"_n], c[post_sig["data"]]),
                           kw(cx["headers"_n], c[post_sig["headers"]]), kw(cx["timeout"_n], c[post_sig["timeout"]]));
}

// ---------------------------------------------------------------------------
constexpr Sig close_sig{"close", {arg("self")}, "None"};

Object close(Call& c) {
    kit::Ctx cx = c.cx();
    c.self().attr(cx["_session"_n]).method(cx["close"_n]);
    return {};
}

constexpr Sig enter_sig{"__enter__", {arg("self")}, "'HttpSession'"};

Object enter(Call& c) { return c.self(); }

constexpr Sig exit_sig{"__exit__", {arg("self"), arg("exc_type"), arg("exc_value"), arg("traceback")}, "None"};

Object exit_(Call& c) {
    kit::Ctx cx = c.cx();
    c.self().method(cx["close"_n]);
    return {};
}

// ---------------------------------------------------------------------------
void body(kit::Module& m) {
    kit::Ctx cx = m.cx;
    m.set("logging", kit::import("logging"));
    m.set("requests", kit::import("requests"));
    m.from_import("typing", {"TYPE_CHECKING", "Any", "Dict", "Optional"});
    m.from_import("urllib.parse", {"urljoin"});
    m.set("logger", m.get("logging").attr(cx["getLogger"_n])(m.name()));
    m.set("BASE_URL", kit::str(kBaseUrl));
    m.set("DEFAULT_TIMEOUT", kit::integer(kDefaultTimeout));

    m.def(default_user_agent_sig, default_user_agent);

    // The defaults of base_url and timeout are the constants' values now.
    kit::ClassDef cls(m, "HttpSession", "Lightweight wrapper around :class:`requests.Session` with Varnix defaults.");
    cls.method(init_sig, init, nullptr, {m.get("BASE_URL"), m.get("DEFAULT_TIMEOUT")});
    cls.method(prepare_url_sig, prepare_url);
    cls.method(request_sig, request);
    cls.method(get_sig, get);
    cls.method(post_sig, post);
    cls.method(close_sig, close);
    cls.method(enter_sig, enter);
    cls.method(exit_sig, exit_);
    m.set("HttpSession", cls.build());

    m.set_all({"BASE_URL", "DEFAULT_TIMEOUT", "HttpSession"});
}

}  // namespace

KIT_MODULE(wire_link, kit::ModState, body,
           "HttpSession: the authenticated session through which every request to the Varnix service goes\n"
           "(headers, URL joining, time-out, error mapping).")
