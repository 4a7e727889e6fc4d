// When objects may be read natively: only where nobody can tell the
// difference from reading them through self.repo.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include "core/service.h"

namespace core {

// Where the repository's objects are, in the file system's bytes, for the
// native object store.
struct ObjectDatabase {
  std::string git_dir;      // <root>/.git
  std::string objects_dir;  // <root>/.git/objects
  std::uint64_t loose_object_size_limit;
};

// Whether `self.<name>` is the class's own method: not overridden by a
// subclass, nor shadowed in the instance.
bool own_method(Service& self, const host::Interned& name);

// The repository's object database when the native road may be taken:
// self.repo is exactly dulwich's Repo, its object store exactly dulwich's
// on-disk store of the repository root's .git/objects (SHA-1, no alternates
// beyond its own files), and every method named in `siblings` — those the
// calling method reaches through self — is the class's own. Nothing
// otherwise: the method then reads through self.repo as it always has.
std::optional<ObjectDatabase> native_road(Service& self, std::initializer_list<const host::Interned*> siblings = {});

}  // namespace core
