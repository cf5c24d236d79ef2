// private_core.investor.FlowEngineContract: placeholder until the module is written.
#include "kit/kit.hpp"

namespace {
void body(kit::Module&) {}
}  // namespace

KIT_MODULE(FlowEngineContract, body)
