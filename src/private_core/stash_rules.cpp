// private_core.stash_rules: placeholder until the module is written.
#include "kit/kit.hpp"

namespace {
void body(kit::Module&) {}
}  // namespace

KIT_MODULE(stash_rules, body)
