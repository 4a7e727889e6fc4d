// The host layer: everything that touches the CPython API directly.
#pragma once

#include "host/error.h"
#include "host/function.h"
#include "host/logging.h"
#include "host/objects.h"
#include "host/ref.h"
#include "host/text.h"
#include "host/threads.h"
