// Working-tree status: the ignore rules, the HEAD file map, the porcelain
// status and the scan that computes the status through dulwich.
#pragma once

#include "core/service.h"

namespace status {

using core::Service;
using host::Ref;

Ref compile_gitignore_patterns(Service& self);
Ref is_path_ignored(Service& self, PyObject* file_path, PyObject* compiled_patterns);
Ref is_directory_ignored(Service& self, PyObject* dir_path, PyObject* compiled_patterns);
Ref is_ignored(Service& self, PyObject* file_path);
Ref build_head_file_map(Service& self, PyObject* tree, PyObject* base_path);
Ref get_file_status(Service& self);

}  // namespace status
