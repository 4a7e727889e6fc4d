// The file status computed through dulwich and the file system alone, for
// when git cannot be run.
#pragma once

#include "core/service.h"

namespace status {

// The scan's records, de-duplicated and sorted by path.
host::Ref scan_file_status(core::Service& self);

}  // namespace status
