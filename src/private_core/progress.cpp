// private_core.progress: the one-line progress display of the batch fetchers.
//
// The line is rewritten in place on standard output: spinner (or done token),
// label, a bar fitted to the terminal width, and the count, percentage, rate,
// remaining and elapsed time on the right.  Everything the code reads from the
// outside world (`sys.stdout`, the clock, the terminal width, the meter in
// `_state`, the other helpers) is looked up in the module's globals at each
// use, so callers and tests can swap any of them.
#include "kit/kit.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

using namespace kit::literals;
using kit::Arg;
using kit::Call;
using kit::Object;
using kit::Sig;
using kit::arg;
using kit::kw;

// ---------------------------------------------------------------------------
// Python arithmetic on objects: the draw works on whatever the meter holds
// (ints of any size, the clock's floats), exactly as the interpreter would.
using kit::mul;
using kit::sub;
using kit::truediv;
using kit::trunc_div;

// a + b + c ...: one join when every piece is an exact str (the usual case),
// otherwise the `+` protocol from the left, so odd palettes fail as in Python.
Object concat(std::initializer_list<kit::Piece> parts) {
    bool all_str = true;
    for (const kit::Piece& p : parts) {
        if (p.obj && !PyUnicode_CheckExact(p.obj)) {
            all_str = false;
            break;
        }
    }
    if (all_str) return kit::cat(parts);
    auto it = parts.begin();
    Object acc = it->as_object();
    for (++it; it != parts.end(); ++it) acc = kit::add(acc, it->as_object());
    return acc;
}

struct State : kit::ModState {
    kit::ModuleAttr perf_counter;  // time.perf_counter
    kit::ModuleAttr re_sub;        // re.sub
    Object strip_ansi, len_noansi, palette;  // this module's own functions
    kit::FieldGuard meter;                   // `_Meter` as built at import

    int traverse(visitproc visit, void* arg) {
        if (int r = perf_counter.traverse(visit, arg)) return r;
        if (int r = re_sub.traverse(visit, arg)) return r;
        if (int r = kit::visit(strip_ansi, visit, arg)) return r;
        if (int r = kit::visit(palette, visit, arg)) return r;
        if (int r = meter.traverse(visit, arg)) return r;
        return kit::visit(len_noansi, visit, arg);
    }
    void clear() {
        perf_counter.clear();
        re_sub.clear();
        strip_ansi = {};
        len_noansi = {};
        palette = {};
        meter.clear();
    }
};

// time.perf_counter(), read as Python reads it: the module global `time`,
// then its attribute.  While both are still the originals the same clock is
// read directly and gives the same float.
// The direct read: true, with the seconds in `now`, while `time` (the
// module global as read) and its perf_counter are the originals.
bool clock_direct(kit::Ctx cx, const Object& time, double& now) {
    if (!cx.state<State>().perf_counter.intact(time, cx["perf_counter"_n])) return false;
    PyTime_t t;
    kit::check_rc(PyTime_PerfCounter(&t));
    now = PyTime_AsSecondsDouble(t);
    return true;
}

Object perf_counter(kit::Ctx cx) {
    Object time = cx.global("time"_n);
    double now;
    if (clock_direct(cx, time, now)) return kit::floating(now);
    return time.method(cx["perf_counter"_n]);
}

// The escape sequences `_strip_ansi` removes: ESC "[" digits-or-";" letter,
// matched left to right as re.sub matches "\x1b\[[0-9;]*[a-zA-Z]".  Calls
// `keep(i, j)` for each run [i, j) of code points that stays.
template <class Keep>
void scan_ansi(PyObject* s, Keep&& keep) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    Py_ssize_t run = 0;
    for (Py_ssize_t i = 0; i < n;) {
        if (PyUnicode_READ(kind, data, i) == 0x1b && i + 1 < n && PyUnicode_READ(kind, data, i + 1) == '[') {
            Py_ssize_t j = i + 2;
            Py_UCS4 ch = 0;
            while (j < n && (((ch = PyUnicode_READ(kind, data, j)) >= '0' && ch <= '9') || ch == ';')) ++j;
            if (j < n && ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'))) {
                if (i > run) keep(run, i);
                i = run = j + 1;
                continue;
            }
        }
        ++i;
    }
    if (n > run) keep(run, n);
}

// re.sub(pattern, "", s) for the module's pattern, done here while `re` and
// its `sub` are the originals.
Object strip_ansi_of(kit::Ctx cx, PyObject* s) {
    Object re = cx.global("re"_n);
    if (!PyUnicode_CheckExact(s) || !cx.state<State>().re_sub.intact(re, cx["sub"_n]))
        return re.method(cx["sub"_n], cx["\x1b\\[[0-9;]*[a-zA-Z]"_n], cx[""_n], s);
    Object parts = kit::list();
    Py_ssize_t kept = 0;
    scan_ansi(s, [&](Py_ssize_t i, Py_ssize_t j) {
        kit::append(parts, Object::steal(PyUnicode_Substring(s, i, j)));
        kept += j - i;
    });
    if (kept == PyUnicode_GET_LENGTH(s)) return Object::borrow(s);
    return Object::steal(PyUnicode_Join(cx[""_n], parts.get()));
}

// len(_strip_ansi(s)): counted in place while `_strip_ansi` is this module's
// own function and `re.sub` the original.
Object len_noansi_of(kit::Ctx cx, PyObject* s) {
    State& st = cx.state<State>();
    Object strip = cx.global("_strip_ansi"_n);
    if (strip.is(st.strip_ansi) && PyUnicode_CheckExact(s) && st.re_sub.intact(cx.global("re"_n), cx["sub"_n])) {
        Py_ssize_t kept = 0;
        scan_ansi(s, [&](Py_ssize_t i, Py_ssize_t j) { kept += j - i; });
        return kit::integer(kept);
    }
    return kit::integer(strip(s).len());
}

// _len_noansi(s) as the module global: this module's own function runs
// directly.
Object call_len_noansi(kit::Ctx cx, const Object& s) {
    Object fn = cx.global("_len_noansi"_n);
    if (fn.is(cx.state<State>().len_noansi) && PyUnicode_CheckExact(s.get())) return len_noansi_of(cx, s.get());
    return fn(s);
}

Object sys_stdout(kit::Ctx cx) { return cx.global("sys"_n).attr(cx["stdout"_n]); }

// ---------------------------------------------------------------------------
constexpr Sig isatty_sig{"_isatty", {}, "bool"};

Object isatty(Call& c) { return sys_stdout(c.cx()).method(c.cx()["isatty"_n]); }

constexpr Sig ansi_ok_sig{"_ansi_ok", {}, "bool"};

// Colours follow the terminal test alone, on every platform.
Object ansi_ok(Call& c) { return c.cx().global("_isatty"_n)(); }

// ---------------------------------------------------------------------------
constexpr Sig fmt_time_sig{"_fmt_time", {arg("seconds").dbl().ann("float")}, "str"};

Object fmt_time(Call& c) {
    kit::Ctx cx = c.cx();
    const double seconds = c.dbl(fmt_time_sig["seconds"]);
    if (cx.global("math"_n).method(cx["isinf"_n], c.raw(fmt_time_sig["seconds"])).truthy() || seconds < 0)
        return kit::str("--:--");
    // int(): truncation, and ValueError for NaN, as the interpreter does.
    Object whole = Object::steal(PyLong_FromDouble(seconds + 0.5));
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(whole.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) kit::fail();
    if (!overflow) {
        long long m = v / 60, s = v % 60;
        char buf[64];
        if (m >= 100) {
            std::snprintf(buf, sizeof buf, "%lldh%02lldm", m / 60, m % 60);
        } else {
            std::snprintf(buf, sizeof buf, "%02lld:%02lld", m, s);
        }
        return kit::str(buf);
    }
    // Durations beyond 64 bits of seconds: same rules on Python ints.
    Object sixty = kit::integer(60);
    Object ms = Object::steal(PyNumber_Divmod(whole.get(), sixty.get()));
    Object hm = Object::steal(PyNumber_Divmod(ms.item(0).get(), sixty.get()));
    return kit::cat({kit::format(hm.item(0), "d"), "h", kit::format(hm.item(1), "02d"), "m"});
}

constexpr Sig fmt_rate_sig{"_fmt_rate", {arg("rate").dbl().ann("float")}, "str"};

Object fmt_rate(Call& c) {
    kit::Ctx cx = c.cx();
    const double rate = c.dbl(fmt_rate_sig["rate"]);
    if (!cx.global("math"_n).method(cx["isfinite"_n], c.raw(fmt_rate_sig["rate"])).truthy() || rate <= 0)
        return kit::str("--/s");
    // float.__format__: correctly rounded, ties to even (2.25 -> "2.2").
    const char* spec = rate < 1 ? "0.2f" : rate < 10 ? "0.1f" : "0.0f";
    return kit::cat({kit::format(c[fmt_rate_sig["rate"]], spec), "/s"});
}

// ---------------------------------------------------------------------------
constexpr Sig term_width_sig{"_term_width", {arg("default").int_().def_int(80).ann("int")}, "int"};

Object term_width(Call& c) {
    kit::Ctx cx = c.cx();
    Object dflt = c[term_width_sig["default"]];
    try {
        return cx.global("shutil"_n)
            .method(cx["get_terminal_size"_n], kw(cx["fallback"_n], kit::tuple(dflt, 24)))
            .attr(cx["columns"_n]);
    } catch (kit::Error&) {
        kit::catch_if(PyExc_Exception);
        return dflt;
    }
}

// pal(code) for the meter's bound `palette`: the class's own method runs
// directly (reading `enable_color` each time, as it does).
Object paint(kit::Ctx cx, const Object& pal, const Object& code) {
    PyObject* p = pal.get();
    if (PyMethod_Check(p) && PyMethod_GET_FUNCTION(p) == cx.state<State>().palette.get() &&
        PyUnicode_CheckExact(code.get())) {
        if (Object::borrow(PyMethod_GET_SELF(p)).attr(cx["enable_color"_n]).truthy()) return code;
        return kit::str("");
    }
    return pal(code);
}

// ---------------------------------------------------------------------------
constexpr Sig compose_right_sig{"_compose_right",
                            {arg("current").int_().ann("int"), arg("total").int_().ann("int"),
                             arg("rate").dbl().ann("float"), arg("remaining").dbl().ann("float"),
                             arg("elapsed").dbl().ann("float"), arg("pal"), arg("completed").ann("bool")},
                            "List[Tuple[str, str]]"};

Object compose_right(Call& c) {
    constexpr const Sig& s = compose_right_sig;
    kit::Ctx cx = c.cx();
    Object current = c[s["current"]], total = c[s["total"]], pal = c[s["pal"]];
    // pal(<module colour>), in the order the Python expression evaluates.
    auto colour = [&](auto name) { return paint(cx, pal, cx.global(name)); };
    Object percent = total.truthy() ? trunc_div(mul(current, kit::integer(100)), total) : kit::integer(0);

    Object progress = concat({colour("_DIM"_n), current.str(), "/", total.str(), colour("_RESET"_n)});
    Object pct = concat({colour("_BLUE"_n), kit::format(percent, "3d"), "%", colour("_RESET"_n)});
    Object rate = concat({colour("_YELLOW"_n), cx.global("_fmt_rate"_n)(c.raw(s["rate"])), colour("_RESET"_n)});
    Object eta;
    if (c[s["completed"]].truthy()) {
        eta = concat({colour("_GREEN"_n), "done", colour("_RESET"_n)});
    } else {
        eta = concat(
            {"ETA ", colour("_YELLOW"_n), cx.global("_fmt_time"_n)(c.raw(s["remaining"])), colour("_RESET"_n)});
    }
    Object elapsed = concat({colour("_DIM"_n), "+", cx.global("_fmt_time"_n)(c.raw(s["elapsed"])), colour("_RESET"_n)});

    Object items = Object::steal(PyList_New(5));
    PyList_SET_ITEM(items.get(), 0, kit::tuple(cx["progress"_n], progress).release());
    PyList_SET_ITEM(items.get(), 1, kit::tuple(cx["percent"_n], pct).release());
    PyList_SET_ITEM(items.get(), 2, kit::tuple(cx["rate"_n], rate).release());
    PyList_SET_ITEM(items.get(), 3, kit::tuple(cx["eta"_n], eta).release());
    PyList_SET_ITEM(items.get(), 4, kit::tuple(cx["elapsed"_n], elapsed).release());
    return items;
}

// ---------------------------------------------------------------------------
constexpr Sig join_right_sig{"_join_right", {arg("parts").list().ann("List[str]")}, "str"};

Object join_right(Call& c) {
    PyObject* parts = c.raw(join_right_sig["parts"]);
    Object kept = kit::list();
    // Indexing anew each round: a part's __bool__ may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts); ++i) {
        Object p = Object::borrow(PyList_GET_ITEM(parts, i));
        if (p.truthy()) kit::check_rc(PyList_Append(kept.get(), p.get()));
    }
    return Object::steal(PyUnicode_Join(kit::str("  ").get(), kept.get()));
}

constexpr Sig strip_ansi_sig{"_strip_ansi", {arg("s").str().ann("str")}, "str"};

Object strip_ansi(Call& c) { return strip_ansi_of(c.cx(), c.raw(strip_ansi_sig["s"])); }

constexpr Sig len_noansi_sig{"_len_noansi", {arg("s").str().ann("str")}, "int"};

Object len_noansi(Call& c) { return len_noansi_of(c.cx(), c.raw(len_noansi_sig["s"])); }

constexpr Sig pad_to_width_sig{"_pad_to_width", {arg("s").str().ann("str"), arg("width").int_().ann("int")}, "str"};

Object pad_to_width(Call& c) {
    kit::Ctx cx = c.cx();
    Object s = c[pad_to_width_sig["s"]], width = c[pad_to_width_sig["width"]];
    Object s_len = call_len_noansi(cx, s);
    if (s_len.lt(width)) return concat({s, mul(kit::str(" "), sub(width, s_len))});
    return s;
}

// ---------------------------------------------------------------------------
constexpr Sig palette_sig{"palette", {arg("self"), arg("code").str().ann("str")}, "str"};

Object palette(Call& c) {
    kit::Ctx cx = c.cx();
    if (c.self().attr(cx["enable_color"_n]).truthy()) return c[palette_sig["code"]];
    return kit::str("");
}

// ---------------------------------------------------------------------------
constexpr Sig start_sig{"start_progress", {arg("total").int_().ann("int"), arg("symbol").str().ann("str")}, "None"};

Object start_progress(Call& c) {
    kit::Ctx cx = c.cx();
    Object total = c[start_sig["total"]];
    if (total.le(kit::integer(0)) || !cx.global("_isatty"_n)().truthy()) {
        cx.set_global("_state"_n, kit::None());
        return {};
    }
    Object start_t = perf_counter(cx);
    Object enable_color = cx.global("_ansi_ok"_n)();
    Object meter = cx.global("_Meter"_n)(kw(cx["total"_n], total), kw(cx["start_t"_n], start_t),
                                         kw(cx["last_draw_t"_n], 0.0), kw(cx["symbol"_n], c[start_sig["symbol"]]),
                                         kw(cx["enable_color"_n], enable_color));
    // Stored before the first draw, so a failing stdout leaves it in place.
    cx.set_global("_state"_n, meter);
    cx.global("_draw_progress"_n)(0, kw(cx["force"_n], true));
    return {};
}

constexpr Sig update_sig{"update_progress", {arg("current").int_().ann("int")}, "None"};

Object update_progress(Call& c) {
    kit::Ctx cx = c.cx();
    State& st = cx.state<State>();
    Object m = cx.global("_state"_n);
    if (m.is_none()) return {};
    // The clock is read first, as the Python code reads it; read directly,
    // it needs no float object unless a slow path asks for one.
    double now_d = 0;
    Object now;
    Object time = cx.global("time"_n);
    if (!clock_direct(cx, time, now_d)) now = time.method(cx["perf_counter"_n]);
    PyObject* current = c.raw(update_sig["current"]);
    Object fields = st.meter.dict_of(m);
    // Reports below the total are throttled; reaching the total always draws.
    if (kit::less(current, kit::FieldGuard::field(m, cx["total"_n], fields).get())) {
        Object last = kit::FieldGuard::field(m, cx["last_draw_t"_n], fields);
        Object interval = kit::FieldGuard::field(m, cx["min_redraw_interval"_n], fields);
        if (!now && PyFloat_CheckExact(last.get()) && PyFloat_CheckExact(interval.get())) {
            // Float arithmetic as the interpreter does it, without the objects.
            if (now_d - PyFloat_AS_DOUBLE(last.get()) < PyFloat_AS_DOUBLE(interval.get())) return {};
        } else {
            if (!now) now = kit::floating(now_d);
            if (kit::less(sub(now, last).get(), interval.get())) return {};
        }
    }
    cx.global("_draw_progress"_n)(current);
    return {};
}

constexpr Sig finish_sig{"finish_progress", {}, "None"};

Object finish_progress(Call& c) {
    kit::Ctx cx = c.cx();
    Object m = cx.global("_state"_n);
    if (m.is_none()) return {};
    cx.global("_draw_progress"_n)(m.attr(cx["total"_n]), kw(cx["force"_n], true));
    sys_stdout(cx).method(cx["write"_n], "\n");
    sys_stdout(cx).method(cx["flush"_n]);
    return {};
}

// ---------------------------------------------------------------------------
// The draw's inner `build_right(items)`: the texts of the (label, text)
// pairs that are not empty, joined by `_join_right`.  Nobody outside the draw
// can reach it, so it runs as a plain C++ function; what it is given comes
// from `_compose_right`, which callers may replace, so the list and each
// pair are checked as the inner function's own argument check and unpacking
// would check them.
Object build_right(kit::Ctx cx, const Object& items) {
    if (!PyList_CheckExact(items.get())) kit::arg_type_error("items", "list", items.get());
    Object texts = kit::list();
    // Indexing anew each round: a part's __bool__ may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        Object item = Object::borrow(PyList_GET_ITEM(items.get(), i));
        Object text = kit::unpack<2>(item)[1];
        if (text.truthy()) kit::append(texts, text);
    }
    return cx.global("_join_right"_n)(texts);
}

constexpr Sig draw_sig{"_draw_progress", {arg("current").int_().ann("int"), arg("force").def_bool(false).ann("bool")},
                   "None"};

// `force` is accepted for the callers' sake; throttling is theirs.
Object draw_progress(Call& c) {
    kit::Ctx cx = c.cx();
    Object m = cx.global("_state"_n);
    if (m.is_none()) return {};
    const Object zero = kit::integer(0);
    const Object bar_min = kit::integer(10);

    Object total = m.attr(cx["total"_n]);
    Object current = c[draw_sig["current"]];
    if (total.lt(current)) current = total;
    if (!current.gt(zero)) current = zero;

    Object now = perf_counter(cx);
    Object elapsed = sub(now, m.attr(cx["start_t"_n]));
    const Object tiny = kit::floating(1e-9);
    if (!elapsed.gt(tiny)) elapsed = tiny;
    Object rate = truediv(current, elapsed);
    Object remaining = rate.gt(zero) ? truediv(sub(total, current), rate)
                                     : kit::floating(std::numeric_limits<double>::infinity());

    Object completed = Object::steal(PyObject_RichCompare(current.get(), total.get(), Py_EQ));
    const bool done = completed.truthy();
    Object spin;
    if (done) {
        spin = cx.global("_DONE_TOKEN"_n);
    } else {
        // The frame follows the clock (a tenth of a second each), not the updates.
        Object spinner = cx.global("_SPINNER"_n);
        Object tick = Object::steal(PyNumber_Long(mul(now, kit::integer(10)).get()));
        Object idx = Object::steal(PyNumber_Remainder(tick.get(), kit::integer(spinner.len()).get()));
        spin = spinner.item(idx);
    }

    Object pal = m.attr(cx["palette"_n]);
    auto colour = [&](auto name) { return paint(cx, pal, cx.global(name)); };
    Object left = concat({colour("_BOLD"_n), spin, colour("_RESET"_n), " ", colour("_CYAN"_n),
                          m.attr(cx["symbol"_n]), colour("_RESET"_n)});

    Object right_items = cx.global("_compose_right"_n)(current, total, rate, remaining, elapsed, pal, completed);
    Object whole = Object::steal(PySlice_New(nullptr, nullptr, nullptr));
    Object visible_items = right_items.item(whole);

    Object width = cx.global("_term_width"_n)();
    const Object min_width = kit::integer(40);
    if (!width.gt(min_width)) width = min_width;
    Object right = build_right(cx, visible_items);

    // " [" and "]" around the bar, and the space before the right part.
    Object budget_right_bar = sub(sub(width, call_len_noansi(cx, left)), kit::integer(4));
    if (budget_right_bar.lt(bar_min)) budget_right_bar = bar_min;
    Object room = sub(budget_right_bar, call_len_noansi(cx, right));

    // Blank right-hand items, least useful first, until the bar has room.
    PyObject* const drop_priority[] = {cx["elapsed"_n], cx["eta"_n], cx["rate"_n],
                                       cx["percent"_n]};
    for (PyObject* label : drop_priority) {
        if (!room.lt(bar_min)) break;
        PyObject* vis = visible_items.get();  // exactly a list: build_right accepted it
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(vis); ++i) {
            Object item = Object::borrow(PyList_GET_ITEM(vis, i));
            auto [k, t] = kit::unpack<2>(item);
            if (kit::check_rc(PyObject_RichCompareBool(k.get(), label, Py_EQ)) && t.truthy()) {
                kit::check_rc(PyList_SetItem(vis, i, kit::tuple(k, cx[""_n]).release()));
                break;
            }
        }
        right = build_right(cx, visible_items);
        room = sub(budget_right_bar, call_len_noansi(cx, right));
    }

    Object bar_w = room.gt(bar_min) ? room : bar_min;
    right = build_right(cx, visible_items);

    // Filled cells on integers too, so that they always agree with the count.
    Object filled;
    if (done) {
        filled = bar_w;
    } else {
        Object share = total.eq(zero) ? zero : trunc_div(mul(bar_w, current), total);
        filled = share.lt(bar_w) ? share : bar_w;
    }
    Object bar = concat({colour("_GREEN"_n), mul(cx.global("_BAR_FILLED"_n), filled), colour("_RESET"_n)});
    Object empty_cells = sub(bar_w, filled);
    if (empty_cells.gt(zero)) {
        bar = concat({bar, concat({colour("_DIM"_n), mul(cx.global("_BAR_EMPTY"_n), empty_cells),
                                   colour("_RESET"_n)})});
    }

    Object line = concat({left, " [", bar, "]"});
    if (right.truthy()) line = concat({line, " ", right});
    Object padded = cx.global("_pad_to_width"_n)(line, width);
    sys_stdout(cx).method(cx["write"_n], concat({"\r", padded}));
    sys_stdout(cx).method(cx["flush"_n]);
    m.set_attr(cx["last_draw_t"_n], now);
    return {};
}

// ---------------------------------------------------------------------------
constexpr const char* kStartDoc = "Kh\xE1\xBB\x9Fi t\xE1\xBA\xA1o meter m\xE1\xBB\x9Bi.";
constexpr const char* kUpdateDoc =
    "C\xE1\xBA\xADp nh\xE1\xBA\xADt tr\xE1\xBA\xA1ng th\xC3\xA1i ti\xE1\xBA\xBFn \xC4\x91\xE1\xBB\x99.";
constexpr const char* kFinishDoc = "Ho\xC3\xA0n t\xE1\xBA\xA5t meter v\xC3\xA0 xu\xE1\xBB\x91ng d\xC3\xB2ng.";

void body(kit::Module& m) {
    m.set("math", kit::import("math"));
    m.set("os", kit::import("os"));
    m.set("re", kit::import("re"));
    m.set("shutil", kit::import("shutil"));
    m.set("sys", kit::import("sys"));
    m.set("time", kit::import("time"));
    State& st = m.state<State>();
    st.perf_counter.bind(m.get("time"), m.cx["perf_counter"_n]);
    st.re_sub.bind(m.get("re"), m.cx["sub"_n]);
    m.from_import("dataclasses", {"dataclass"});
    m.from_import("typing", {"List", "Tuple"});

    m.set("_SPINNER", kit::tuple("-", "\\", "|", "/"));
    m.set("_DONE_TOKEN", kit::str("OK"));
    m.set("_BAR_FILLED", kit::str("#"));
    m.set("_BAR_EMPTY", kit::str("."));
    m.set("_RESET", kit::str("\x1b[0m"));
    m.set("_DIM", kit::str("\x1b[2m"));
    m.set("_BOLD", kit::str("\x1b[1m"));
    m.set("_CYAN", kit::str("\x1b[36m"));
    m.set("_GREEN", kit::str("\x1b[38;2;93;105;244m"));  // 24-bit, not the basic green
    m.set("_YELLOW", kit::str("\x1b[33m"));
    m.set("_BLUE", kit::str("\x1b[34m"));

    m.def(isatty_sig, isatty);
    m.def(ansi_ok_sig, ansi_ok);
    m.def(fmt_time_sig, fmt_time);
    m.def(fmt_rate_sig, fmt_rate);
    m.def(term_width_sig, term_width);
    m.def(compose_right_sig, compose_right);
    m.def(join_right_sig, join_right);
    st.strip_ansi = m.def(strip_ansi_sig, strip_ansi);
    st.len_noansi = m.def(len_noansi_sig, len_noansi);
    m.def(pad_to_width_sig, pad_to_width);

    kit::ClassDef meter(m, "_Meter");
    meter.annotate("total", kit::type(&PyLong_Type))
        .annotate("start_t", kit::type(&PyFloat_Type))
        .annotate("last_draw_t", kit::type(&PyFloat_Type))
        .annotate("symbol", kit::type(&PyUnicode_Type))
        .annotate("enable_color", kit::type(&PyBool_Type))
        .annotate("min_redraw_interval", kit::type(&PyFloat_Type))
        .attr("min_redraw_interval", kit::floating(1.0 / 24));
    st.palette = meter.method(palette_sig, palette);
    m.set("_Meter", m.get("dataclass")(meter.build()));
    st.meter.bind(m.get("_Meter"), {m.cx["total"_n], m.cx["last_draw_t"_n], m.cx["min_redraw_interval"_n]});

    m.set("_state", kit::None());

    m.def(start_sig, start_progress, kStartDoc);
    m.def(update_sig, update_progress, kUpdateDoc);
    m.def(finish_sig, finish_progress, kFinishDoc);
    m.def(draw_sig, draw_progress);

    m.set_all({"start_progress", "update_progress", "finish_progress"});
}

}  // namespace

KIT_MODULE(progress, State, body,
           "The one-line progress display of the batch fetchers: start_progress, update_progress and\n"
           "finish_progress.")
