// The bar modules' table accelerator.  Include after price_fetch.hpp.
//
// fast_table(cx, all_rows) must equal
//
//     _to_dataframe(all_rows)
//
// while the module's `_to_dataframe` is helpers' own, helpers' `_typed_table`
// and `pd` are what they were at import (path "<module>.table").  That is
// helpers' `_typed_table(pd.DataFrame.from_records(list(all_rows)))`; here
// the records' typed columns (columnar.hpp) make the raw table instead of
// from_records walking the records in Python, and when each symbol's rows
// stand together the groups are put in the order of their symbols and
// helpers is told which columns ascend within each (its `ascending`), so it
// sorts nothing it would leave in place.
//
// While helpers' `_parse_time` and `_TIME_KEYS` are its own as well and
// every text of the time column (the first of `_TIME_KEYS` present) is a
// plain ISO date, or every one a plain ISO date-time, that column comes
// already as the datetime64 array pandas parses such texts to (path
// "<module>.times"), which `_parse_time` gives back as it is.
//
// Known differences (none observable through helpers as it stands):
//  - a replaced `pandas.DataFrame.from_records` is not called;
//  - `_SHORT_KEYS` is taken to name no time key (helpers' own does not).
#pragma once

// The time column's index among `cols`, or npos.
std::size_t time_column(const pc::Columns& cols, const Object& time_keys) {
    if (!PyTuple_CheckExact(time_keys.get())) return pc::Columns::npos;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(time_keys.get()); ++i) {
        const std::size_t j = cols.find(PyTuple_GET_ITEM(time_keys.get(), i));
        if (j != pc::Columns::npos) return j;
    }
    return pc::Columns::npos;
}

std::optional<Object> fast_table(kit::Ctx cx, const Object& all_rows) {
    State& st = cx.state<State>();
    std::optional<pc::Columns> cols;
    auto helpers_intact = [&] {
        return st.helpers && st.to_dataframe.holds(cx.global("_to_dataframe"_n)) &&
               st.typed_table.intact(st.helpers, cx["_typed_table"_n]) && st.pandas.intact(st.helpers, cx["pd"_n]);
    };
    if (!st.fp_table.take([&] { return helpers_intact() && (cols = pc::typed_columns(st.columnar, all_rows)); }))
        return std::nullopt;

    // The time column parsed here when it can be (it then holds datetime64).
    (void)st.fp_times.take([&] {
        return st.parse_time.intact(st.helpers, cx["_parse_time"_n]) &&
               st.time_keys.intact(st.helpers, cx["_TIME_KEYS"_n]) &&
               cols->parse_times(st.columnar, time_column(*cols, st.time_keys.original), false);
    });

    Object ascending;
    if (auto runs = cols->runs(cols->find(cx["symbol"_n]))) {
        const std::size_t symbol = cols->find(cx["symbol"_n]);
        Object names = kit::list();
        for (std::size_t j = 0; j < cols->keys.size(); ++j) {
            if (j != symbol && cols->ascends(j, *runs)) kit::append(names, cols->keys[j]);
        }
        std::stable_sort(runs->begin(), runs->end(), [](const pc::Columns::Run& a, const pc::Columns::Run& b) {
            return PyUnicode_Compare(a.value, b.value) < 0;
        });
        cols->take(st.columnar, *runs);
        ascending = Object::steal(PyList_AsTuple(names.get()));
    }
    Object frame = st.pandas.original.attr(cx["DataFrame"_n])(cols->dict());
    if (!ascending) return st.typed_table.original(frame);
    return st.typed_table.original(frame, kw(cx["ascending"_n], ascending));
}

// fast_bars(cx, all_rows, interval) must equal
//
//     resample_ohlcv_multi(_to_dataframe(all_rows), interval=interval)
//
// as fast_table stands in for `_to_dataframe` (same paths, same differences).
std::optional<Object> fast_bars(kit::Ctx cx, const Object& all_rows, const Object& interval) {
    if (auto table = fast_table(cx, all_rows))
        return cx.global("resample_ohlcv_multi"_n)(*table, kw(cx["interval"_n], interval));
    return std::nullopt;
}
