// The toolkit shared by every extension module of the package: owned
// references and errors (object.hpp), signatures, argument parsing and the
// function type (function.hpp), modules and class building (module.hpp).
#pragma once

#include "object.hpp"
#include "function.hpp"
#include "module.hpp"
