"""The public methods of GitServiceCython, in the class's order, each with its
parameters and one sample call: the one list every suite takes them from.

test_module checks this list against the class itself, so a method the class
gains fails there until it is listed here; the suites then call it too.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from pathlib import Path


@dataclasses.dataclass(frozen=True)
class Samples:
    """What the sample calls use of the repository they run on."""

    commit: str  # a commit id on main, as text
    shas: list[str]  # ids for the decorations to label
    tree: object  # a tree read through dulwich
    path_parts: list[str]  # a path inside that tree
    root: Path  # the repository's working tree


@dataclasses.dataclass(frozen=True)
class Param:
    """One parameter: its name, what it accepts and a valid value for a sample call.

    `kind` is str, bytes, list (exactly that type, or None) or int (a signed
    32-bit integer); "str!" and "list!" refuse None too; None takes anything.
    """

    name: str
    kind: object
    sample: Callable[[Samples], object]


def branch(name: str) -> Param:
    return Param("branch", str, lambda samples: name)


METHODS: dict[str, list[Param]] = {
    "_find_repo_root": [Param("path", None, lambda s: s.root)],
    "_iter_commits_optimized": [Param("head_sha", bytes, lambda s: s.commit.encode()),
                                Param("max_count", int, lambda s: -1)],
    "_get_remote_commits": [branch("main")],
    "list_commits": [branch("main"), Param("max_count", int, lambda s: 200), Param("skip", int, lambda s: 0),
                     Param("show_full_history", None, lambda s: False)],
    "count_commits": [branch("main")],
    "list_branches": [],
    "list_remote_branches": [],
    "list_tags": [],
    "get_merge_base": [branch("feature"), Param("base_branch", str, lambda s: "main")],
    "get_commit_refs_from_git_log": [branch("main"), Param("commit_shas", list, lambda s: list(s.shas))],
    "get_commit_refs": [Param("commit_sha", str, lambda s: s.commit)],
    "get_branch_info": [branch("main")],
    "get_commit_diff": [Param("sha_hex", str, lambda s: s.commit)],
    "_find_in_tree": [Param("tree", None, lambda s: s.tree), Param("path_parts", None, lambda s: list(s.path_parts))],
    "_is_ignored": [Param("file_path", str, lambda s: "build/x.log")],
    "_build_head_file_map": [Param("tree", None, lambda s: s.tree), Param("base_path", None, lambda s: "")],
    "_compile_gitignore_patterns": [],
    "_is_path_ignored": [Param("file_path", "str!", lambda s: "a/b.log"),
                         Param("compiled_patterns", "list!", lambda s: [])],
    "_is_directory_ignored": [Param("dir_path", "str!", lambda s: "a/build"),
                              Param("compiled_patterns", "list!", lambda s: [])],
    "get_file_status": [],
    "list_stashes": [],
    "get_stash_diff": [Param("stash_index", int, lambda s: 0)],
    "__reduce__": [],
    "__setstate__": [Param("state", None, lambda s: (None, None))],
}

# Methods whose sample call would change the service it is made on.
CHANGES_THE_SERVICE = {"__setstate__"}


def sample_args(name: str, samples: Samples) -> list:
    return [param.sample(samples) for param in METHODS[name]]


def sample_call(name: str, samples: Samples) -> Callable[[object], object]:
    """function(service) making the method's sample call; a walk is read to its end."""
    args = sample_args(name, samples)
    if name == "_find_repo_root":
        return lambda service: type(service)._find_repo_root(*args)
    if name == "_iter_commits_optimized":
        return lambda service: [pair[0] for pair in service._iter_commits_optimized(*args)]
    return lambda service: getattr(service, name)(*args)
