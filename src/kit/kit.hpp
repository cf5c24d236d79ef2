// The toolkit shared by every extension module of the package: owned
// references and errors (object.hpp), watchers, guards and the fast-path
// registry (guard.hpp), module state (state.hpp), signatures and argument
// parsing (signature.hpp), docstrings (docstring.hpp), the function type
// (function.hpp), modules and class building (module.hpp).
#pragma once

#include "object.hpp"
#include "guard.hpp"
#include "state.hpp"
#include "signature.hpp"
#include "docstring.hpp"
#include "function.hpp"
#include "module.hpp"
