"""A git that makes reftable repositories, for the tests that need one.

The git on the machine may be older than 2.45, the first to write reftable
repositories. `make newer-git` builds a newer one into a cache outside the
clone and links it at build/newer-git; `make test` (and the sanitizer and
wheel runs) name it in GSC_NEWER_GIT. The tests never build it themselves."""

from __future__ import annotations

import functools
import os
import re
import shutil
import subprocess
from pathlib import Path

REFTABLE_SINCE = (2, 45)
SKIP_REASON = "needs git 2.45 or later: run make newer-git"
BUILT = Path(__file__).resolve().parent.parent / "build" / "newer-git" / "bin" / "git"


def git_version(program: str | os.PathLike) -> tuple[int, int] | None:
    """(major, minor) of `program --version`, or None where it does not run."""
    try:
        result = subprocess.run([str(program), "--version"], capture_output=True, text=True,
                                check=False, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    match = re.match(r"git version (\d+)\.(\d+)", result.stdout)
    return (int(match[1]), int(match[2])) if result.returncode == 0 and match else None


@functools.cache
def find_newer_git() -> str | None:
    """The path of a git that makes reftable repositories: the one GSC_NEWER_GIT
    names (which must be one), else the one `make newer-git` linked into the
    build directory, else the git on PATH when it is new enough; None if none is."""
    named = os.environ.get("GSC_NEWER_GIT")
    if named:
        version = git_version(named)
        if version is None or version < REFTABLE_SINCE:
            raise RuntimeError(f"GSC_NEWER_GIT={named} is not a git 2.45 or later (version: {version})")
        return named
    for candidate in (BUILT, shutil.which("git")):
        if candidate is not None:
            version = git_version(candidate)
            if version is not None and version >= REFTABLE_SINCE:
                return str(candidate)
    return None
