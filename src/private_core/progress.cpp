// private_core.progress: placeholder with the three public calls as no-ops,
// so that the fetchers can be imported until the display is written.
#include "kit/kit.hpp"

namespace {
using kit::arg;

const kit::Sig start_sig{"start_progress", {arg("total").int_(), arg("symbol").str()}, "None"};
const kit::Sig update_sig{"update_progress", {arg("current").int_()}, "None"};
const kit::Sig finish_sig{"finish_progress", {}, "None"};

kit::Object noop(kit::Call&) { return {}; }

void body(kit::Module& m) {
    m.set("_state", kit::None());
    m.def({start_sig, noop, "start_progress(int total: int, str symbol: str) -> None"});
    m.def({update_sig, noop, "update_progress(int current: int) -> None"});
    m.def({finish_sig, noop, "finish_progress() -> None"});
}
}  // namespace

KIT_MODULE(progress, body)
