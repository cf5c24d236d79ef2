// private_core.stash_store: placeholder until the module is written.
#include "kit/kit.hpp"

namespace {
void body(kit::Module&) {}
}  // namespace

KIT_MODULE(stash_store, body)
