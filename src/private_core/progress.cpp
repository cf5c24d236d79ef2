// private_core.progress: the one-line progress display of the batch fetchers.
//
// The line is rewritten in place on standard output: spinner (or done token),
// label, a bar fitted to the terminal width, and the count, percentage, rate,
// remaining and elapsed time on the right.  Everything the code reads from the
// outside world (`sys.stdout`, the clock, the terminal width, the meter in
// `_state`, the other helpers) is looked up in the module's globals at each
// use, so callers and tests can swap any of them.
//
// The code below follows the display's definition step by step; the few
// accelerators that stand in for parts of it while nothing was swapped are
// in progress_fast.hpp, each headed by the code it must equal.
#include "kit/kit.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

using namespace kit::literals;
using kit::Arg;
using kit::arg;
using kit::Call;
using kit::kw;
using kit::Object;
using kit::Sig;

// ---------------------------------------------------------------------------
// Python arithmetic on objects: the draw works on whatever the meter holds
// (ints of any size, the clock's floats), exactly as the interpreter would.
using kit::mul;
using kit::sub;
using kit::truediv;
using kit::trunc_div;

#include "progress_fast.hpp"

// a + b + c ...: the `+` protocol from the left, as the Python expression.
Object concat(kit::Ctx cx, std::initializer_list<kit::Piece> parts) {
    if (auto r = fast_concat(cx, parts)) return *r;
    auto it = parts.begin();
    Object acc = it->as_object();
    for (++it; it != parts.end(); ++it) acc = kit::add(acc, it->as_object());
    return acc;
}

// time.perf_counter(): the module global `time`, then its attribute.
Object perf_counter(kit::Ctx cx) { return cx.global("time"_n).method(cx["perf_counter"_n]); }

// _len_noansi(s), the module global, called from the draw.
Object call_len_noansi(kit::Ctx cx, const Object& s) {
    Object fn = cx.global("_len_noansi"_n);
    if (auto r = fast_len_noansi_call(cx, fn, s)) return *r;
    return fn(s);
}

// pal(code).
Object paint(kit::Ctx cx, const Object& pal, const Object& code) {
    if (auto r = fast_paint(cx, pal, code)) return *r;
    return pal(code);
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
    if (auto r = fast_fmt_time(cx, whole)) return *r;
    const Object sixty = kit::integer(60);
    Object ms = Object::steal(PyNumber_Divmod(whole.get(), sixty.get()));
    Object m = ms.item(0), s = ms.item(1);
    if (m.ge(kit::integer(100))) {
        Object hm = Object::steal(PyNumber_Divmod(m.get(), sixty.get()));
        return kit::cat({kit::format(hm.item(0), "d"), "h", kit::format(hm.item(1), "02d"), "m"});
    }
    return kit::cat({kit::format(m, "02d"), ":", kit::format(s, "02d")});
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

// ---------------------------------------------------------------------------
constexpr Sig compose_right_sig{
    "_compose_right",
    {arg("current").int_().ann("int"), arg("total").int_().ann("int"), arg("rate").dbl().ann("float"),
     arg("remaining").dbl().ann("float"), arg("elapsed").dbl().ann("float"), arg("pal"), arg("completed").ann("bool")},
    "List[Tuple[str, str]]"};

Object compose_right(Call& c) {
    constexpr const Sig& s = compose_right_sig;
    kit::Ctx cx = c.cx();
    Object current = c[s["current"]], total = c[s["total"]], pal = c[s["pal"]];
    // pal(<module colour>), in the order the Python expression evaluates.
    auto colour = [&](auto name) { return paint(cx, pal, cx.global(name)); };
    Object percent = total.truthy() ? trunc_div(mul(current, kit::integer(100)), total) : kit::integer(0);

    Object progress = concat(cx, {colour("_DIM"_n), current.str(), "/", total.str(), colour("_RESET"_n)});
    Object pct = concat(cx, {colour("_BLUE"_n), kit::format(percent, "3d"), "%", colour("_RESET"_n)});
    Object rate = concat(cx, {colour("_YELLOW"_n), cx.global("_fmt_rate"_n)(c.raw(s["rate"])), colour("_RESET"_n)});
    Object eta;
    if (c[s["completed"]].truthy()) {
        eta = concat(cx, {colour("_GREEN"_n), "done", colour("_RESET"_n)});
    } else {
        eta = concat(
            cx, {"ETA ", colour("_YELLOW"_n), cx.global("_fmt_time"_n)(c.raw(s["remaining"])), colour("_RESET"_n)});
    }
    Object elapsed =
        concat(cx, {colour("_DIM"_n), "+", cx.global("_fmt_time"_n)(c.raw(s["elapsed"])), colour("_RESET"_n)});

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

Object strip_ansi(Call& c) {
    kit::Ctx cx = c.cx();
    PyObject* s = c.raw(strip_ansi_sig["s"]);
    return cx.global("re"_n).method(cx["sub"_n], cx["\x1b\\[[0-9;]*[a-zA-Z]"_n], cx[""_n], s);
}

constexpr Sig len_noansi_sig{"_len_noansi", {arg("s").str().ann("str")}, "int"};

Object len_noansi(Call& c) {
    kit::Ctx cx = c.cx();
    PyObject* s = c.raw(len_noansi_sig["s"]);
    return kit::integer(cx.global("_strip_ansi"_n)(s).len());
}

constexpr Sig pad_to_width_sig{"_pad_to_width", {arg("s").str().ann("str"), arg("width").int_().ann("int")}, "str"};

Object pad_to_width(Call& c) {
    kit::Ctx cx = c.cx();
    Object s = c[pad_to_width_sig["s"]], width = c[pad_to_width_sig["width"]];
    Object s_len = call_len_noansi(cx, s);
    if (s_len.lt(width)) return concat(cx, {s, mul(kit::str(" "), sub(width, s_len))});
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
    Object meter =
        cx.global("_Meter"_n)(kw(cx["total"_n], total), kw(cx["start_t"_n], start_t), kw(cx["last_draw_t"_n], 0.0),
                              kw(cx["symbol"_n], c[start_sig["symbol"]]), kw(cx["enable_color"_n], enable_color));
    // Stored before the first draw, so a failing stdout leaves it in place.
    cx.set_global("_state"_n, meter);
    cx.global("_draw_progress"_n)(0, kw(cx["force"_n], true));
    return {};
}

constexpr Sig update_sig{"update_progress", {arg("current").int_().ann("int")}, "None"};

Object update_progress(Call& c) {
    kit::Ctx cx = c.cx();
    Object m = cx.global("_state"_n);
    if (m.is_none()) return {};
    PyObject* current = c.raw(update_sig["current"]);
    if (auto r = fast_update(cx, cx.global("time"_n), m, current)) return *r;
    Object now = perf_counter(cx);
    // Reports below the total are throttled; reaching the total always draws.
    if (kit::less(current, cx.global("_state"_n).attr(cx["total"_n]).get())) {
        Object since = sub(now, cx.global("_state"_n).attr(cx["last_draw_t"_n]));
        if (kit::less(since.get(), cx.global("_state"_n).attr(cx["min_redraw_interval"_n]).get())) return {};
    }
    cx.global("_draw_progress"_n)(current);
    return {};
}

constexpr Sig finish_sig{"finish_progress", {}, "None"};

Object finish_progress(Call& c) {
    kit::Ctx cx = c.cx();
    if (cx.global("_state"_n).is_none()) return {};
    cx.global("_draw_progress"_n)(cx.global("_state"_n).attr(cx["total"_n]), kw(cx["force"_n], true));
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

constexpr Sig draw_sig{
    "_draw_progress", {arg("current").int_().ann("int"), arg("force").def_bool(false).ann("bool")}, "None"};

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
    Object remaining =
        rate.gt(zero) ? truediv(sub(total, current), rate) : kit::floating(std::numeric_limits<double>::infinity());

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
    Object left = concat(cx, {colour("_BOLD"_n), spin, colour("_RESET"_n), " ", colour("_CYAN"_n),
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
    PyObject* const drop_priority[] = {cx["elapsed"_n], cx["eta"_n], cx["rate"_n], cx["percent"_n]};
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
    Object bar = concat(cx, {colour("_GREEN"_n), mul(cx.global("_BAR_FILLED"_n), filled), colour("_RESET"_n)});
    Object empty_cells = sub(bar_w, filled);
    if (empty_cells.gt(zero)) {
        bar = concat(
            cx, {bar, concat(cx, {colour("_DIM"_n), mul(cx.global("_BAR_EMPTY"_n), empty_cells), colour("_RESET"_n)})});
    }

    Object line = concat(cx, {left, " [", bar, "]"});
    if (right.truthy()) line = concat(cx, {line, " ", right});
    Object padded = cx.global("_pad_to_width"_n)(line, width);
    sys_stdout(cx).method(cx["write"_n], concat(cx, {"\r", padded}));
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
    st.strip_ansi.bind(m.def(strip_ansi_sig, strip_ansi));
    st.len_noansi.bind(m.def(len_noansi_sig, len_noansi));
    m.def(pad_to_width_sig, pad_to_width);

    kit::ClassDef meter(m, "_Meter");
    meter.annotate("total", kit::type(&PyLong_Type))
        .annotate("start_t", kit::type(&PyFloat_Type))
        .annotate("last_draw_t", kit::type(&PyFloat_Type))
        .annotate("symbol", kit::type(&PyUnicode_Type))
        .annotate("enable_color", kit::type(&PyBool_Type))
        .annotate("min_redraw_interval", kit::type(&PyFloat_Type))
        .attr("min_redraw_interval", kit::floating(1.0 / 24));
    st.palette.bind(meter.method(palette_sig, palette));
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
