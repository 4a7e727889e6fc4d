// The class's method table and the module function, declared once each.
#pragma once

#include <span>

#include "host/host.h"

namespace module {

// The methods of GitServiceCython after __init__, in the class's order.
std::span<const host::FunctionSpec> service_methods();

// __init__'s parameters, parsed by the type's init slot.
const host::FunctionSpec& init_spec();

// __pyx_unpickle_GitServiceCython.
const host::FunctionSpec& unpickle_spec();

}  // namespace module
