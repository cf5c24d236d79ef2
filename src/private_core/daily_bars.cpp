// private_core.daily_bars: placeholder until the module is written.
#include "kit/kit.hpp"

namespace {
void body(kit::Module&) {}
}  // namespace

KIT_MODULE(daily_bars, body)
