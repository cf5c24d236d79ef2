// private_core.tick_bars: placeholder until the module is written.
#include "kit/kit.hpp"

namespace {
void body(kit::Module&) {}
}  // namespace

KIT_MODULE(tick_bars, body)
