"""Builds the benchmark repositories: deterministic, quick to make, kept outside the source tree.

Every repository is made with `git fast-import` and `git update-ref --stdin`
from fixed identities, dates and a seeded random generator, so two builds at
one scale hold the same objects and refs. A finished repository carries a
marker file; later runs reuse it.

The histories come in three kinds: `history-main` and `history-master` carry
a commit-graph file, as repositories that git maintains do (`git gc` and
`git maintenance` write one), and `history-plain` is `history-main` without
it, so that both situations are measured.

Some repositories have a SHA-256 twin (`history-main-sha256` beside
`history-main`, ...): the same histories, refs and working trees made in a
repository of git's SHA-256 object format (`git init --object-format=sha256`),
so that the rows that read objects natively are measured in both formats.

    python bench/corpus.py [--scale tiny|quick|full] [--root DIR]
"""

from __future__ import annotations

import argparse
import dataclasses
import functools
import os
import random
import shutil
import subprocess
import tempfile
import time
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path
from typing import Self

VERSION = 3  # bump when what is built changes, so old corpora are rebuilt
BASE_TIME = 1_600_000_000
AUTHOR = "Ann Author <ann@example.com>"
COMMITTER = "Carl Committer <carl@example.com>"
GIT_ENV = {
    "GIT_CONFIG_GLOBAL": os.devnull,
    "GIT_CONFIG_NOSYSTEM": "1",
    "GIT_AUTHOR_NAME": "Ann Author",
    "GIT_AUTHOR_EMAIL": "ann@example.com",
    "GIT_COMMITTER_NAME": "Carl Committer",
    "GIT_COMMITTER_EMAIL": "carl@example.com",
    "GIT_AUTHOR_DATE": f"{BASE_TIME} +0000",
    "GIT_COMMITTER_DATE": f"{BASE_TIME} +0000",
}


@dataclasses.dataclass(frozen=True)
class Scale:
    commits: int  # the linear main
    feature_commits: int  # the feature branch's own commits
    tags: int
    branches: int  # local, and as many remote-tracking
    files: int  # tracked files of the working tree
    ignored_files: int  # files under the ignored node_modules
    stashes: int


SCALES = {
    "tiny": Scale(commits=60, feature_commits=3, tags=30, branches=10, files=120, ignored_files=20, stashes=2),
    "quick": Scale(commits=5_000, feature_commits=12, tags=5_000, branches=400, files=3_000, ignored_files=500,
                   stashes=5),
    "full": Scale(commits=100_000, feature_commits=40, tags=50_000, branches=2_000, files=30_000,
                  ignored_files=3_000, stashes=20),
}


def default_root() -> Path:
    return Path(tempfile.gettempdir()) / "git_service_cython-bench"


def git(repo: Path, *args: str, input: bytes | None = None, env: dict | None = None) -> str:
    result = subprocess.run(["git", *args], cwd=repo, input=input, capture_output=True,
                            env={**os.environ, **GIT_ENV, **(env or {})})
    if result.returncode != 0:
        raise RuntimeError(f"git {' '.join(args[:3])} failed in {repo}: {result.stderr.decode(errors='replace')}")
    return result.stdout.decode()


# The object formats a repository can be made in; a SHA-1 repository is made
# as `git init` makes one by default.
SHA1, SHA256 = "sha1", "sha256"


def twin_name(name: str, object_format: str) -> str:
    """The name of `name`'s repository in that object format: "history-main" or "history-main-sha256"."""
    return name if object_format == SHA1 else f"{name}-{object_format}"


def init(path: Path, branch: str, object_format: str = SHA1) -> Path:
    if path.exists():
        shutil.rmtree(path)
    path.mkdir(parents=True)
    format_option = [] if object_format == SHA1 else [f"--object-format={object_format}"]
    git(path, "init", "-q", "-b", branch, *format_option)
    return path


class Stream:
    """A fast-import stream with marks for the commits it writes."""

    def __init__(self):
        self.parts: list[bytes] = []
        self.marks = 0

    def data(self, payload: bytes) -> None:
        self.parts.append(b"data %d\n" % len(payload) + payload + b"\n")

    def commit(self, ref: str, when: int, message: str, parent: str | None = None,
               files: dict[str, bytes] | None = None, merged: str | None = None) -> str:
        self.marks += 1
        mark = f":{self.marks}"
        self.parts.append(f"commit {ref}\nmark {mark}\n".encode())
        self.parts.append(f"author {AUTHOR} {when} +0000\ncommitter {COMMITTER} {when} +0000\n".encode())
        self.data(message.encode())
        if parent:
            self.parts.append(f"from {parent}\n".encode())
        if merged:
            self.parts.append(f"merge {merged}\n".encode())
        for path, content in (files or {}).items():
            self.parts.append(f"M 100644 inline {path}\n".encode())
            self.data(content)
        return mark

    def tag(self, name: str, target: str, when: int, message: bytes) -> None:
        self.parts.append(f"tag {name}\nfrom {target}\ntagger {COMMITTER} {when} +0000\n".encode())
        self.data(message)

    def run(self, repo: Path) -> dict[str, str]:
        """Feeds the stream to git; returns the commit id of every mark (40 or 64 digits, the repository's)."""
        marks_file = repo / ".git" / "bench-marks"
        self.parts.append(b"done\n")
        git(repo, "fast-import", "--quiet", "--done", f"--export-marks={marks_file}", input=b"".join(self.parts))
        return read_marks(marks_file)


class FedStream(Stream):
    """A stream fed to git as it is written, for histories too long to hold: `with FedStream(repo) as stream`,
    then `stream.marks_read` once the block ends."""

    FEED_AT = 20_000  # parts held before they are written

    def __init__(self, repo: Path):
        super().__init__()
        self.marks_file = repo / ".git" / "bench-marks"
        self.process = subprocess.Popen(
            ["git", "fast-import", "--quiet", "--done", f"--export-marks={self.marks_file}"], cwd=repo,
            stdin=subprocess.PIPE, stderr=subprocess.PIPE, env={**os.environ, **GIT_ENV})
        self.marks_read: dict[str, str] = {}

    def data(self, payload: bytes) -> None:
        super().data(payload)
        if len(self.parts) >= self.FEED_AT:
            self.feed()

    def feed(self) -> None:
        self.process.stdin.write(b"".join(self.parts))
        self.parts.clear()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, kind, error, trace) -> None:
        if kind is None:
            self.parts.append(b"done\n")
            self.feed()
        self.process.stdin.close()
        failure = self.process.stderr.read()
        if self.process.wait() != 0 and kind is None:
            raise RuntimeError(f"git fast-import failed: {failure.decode(errors='replace')}")
        if kind is None:
            self.marks_read = read_marks(self.marks_file)


def read_marks(marks_file: Path) -> dict[str, str]:
    marks = dict(line.split() for line in marks_file.read_text().splitlines())
    marks_file.unlink()
    return marks


def linear_history(stream: Stream, ref: str, count: int, start_time: int, prefix: str,
                   parent: str | None = None) -> list[str]:
    """Commits that each change one of a hundred small files; returns their marks, oldest first."""
    marks = []
    for i in range(count):
        files = {f"src/file{i % 100:02d}.txt": f"{prefix} {i}\n".encode()}
        marks.append(stream.commit(ref, start_time + i * 60, f"{prefix} {i}\n\nBody of {prefix} {i}.\n",
                                   parent if i == 0 else None, files))
    return marks


def build_history(path: Path, scale: Scale, base: str, commit_graph: bool = True,
                  object_format: str = SHA1) -> None:
    """A linear `base` branch, a feature branch forked near its head, origin's tracking refs, a commit-graph."""
    repo = init(path, base, object_format)
    stream = Stream()
    main = linear_history(stream, f"refs/heads/{base}", scale.commits, BASE_TIME, "main")
    fork = main[-max(1, scale.commits // 50)]
    feature_start = BASE_TIME + scale.commits * 60
    feature = linear_history(stream, "refs/heads/feature", scale.feature_commits, feature_start, "feature", fork)
    check_out_feature(repo, stream.run(repo), base, main, feature)
    if commit_graph:
        git(repo, "commit-graph", "write", "--reachable")


def check_out_feature(repo: Path, marks: dict[str, str], base: str, main: list[str], feature: list[str],
                      updates: tuple[str, ...] = ()) -> None:
    """origin's tracking refs a little behind `base` and halfway along feature, a tag, and feature checked out
    (with `updates` made in the same transaction)."""
    updates = (
        *updates,
        f"create refs/remotes/origin/{base} {marks[main[-10]]}",
        f"create refs/remotes/origin/feature {marks[feature[len(feature) // 2]]}",
        f"create refs/remotes/origin/HEAD {marks[main[-10]]}",
        f"create refs/tags/v1.0 {marks[main[-20]]}",
    )
    git(repo, "update-ref", "--stdin", input=("\n".join(updates) + "\n").encode())
    git(repo, "symbolic-ref", "HEAD", "refs/heads/feature")
    git(repo, "reset", "-q", "--hard")


# What a copy of a finished history leaves out: its commit-graph, its index
# (rebuilt with the working tree) and its marker.
NOT_COPIED = {"commit-graph", "commit-graphs", "index", "bench-corpus"}


def build_plain_history(path: Path, scale: Scale, object_format: str = SHA1) -> None:
    """history-main without a commit-graph: copied from history-main (of the same object format) when that is
    built, else made anew.

    Both ways give the same objects and refs; the copy saves writing the whole history again."""
    template = path.parent / twin_name("history-main", object_format)
    if not is_finished(template, scale):
        build_history(path, scale, "main", commit_graph=False, object_format=object_format)
        return
    if path.exists():
        shutil.rmtree(path)
    path.mkdir(parents=True)
    shutil.copytree(template / ".git", path / ".git", ignore=lambda _, names: NOT_COPIED.intersection(names))
    git(path, "reset", "-q", "--hard")


def build_refs(path: Path, scale: Scale, object_format: str = SHA1, loose_every: int | None = None) -> None:
    """Tags (two thirds lightweight, a third annotated, a few with empty subjects) and many branches,
    packed as a clone or `git gc` leaves them, with loose refs on top as later work leaves them: ten branches
    of each kind, or with `loose_every` one in that many branches and lightweight tags."""
    repo = init(path, "main", object_format)
    stream = Stream()
    history = linear_history(stream, "refs/heads/main", max(200, scale.branches), BASE_TIME, "main")
    rng = random.Random(7)
    annotated_every = 3
    empty_subjects = {scale.tags // 4, scale.tags // 2, (3 * scale.tags) // 4}
    for i in range(0, scale.tags, annotated_every):
        target = history[rng.randrange(len(history))]
        if i in empty_subjects or (i + 1) in empty_subjects or (i + 2) in empty_subjects:
            message = b""  # git prints an empty subject; the listing reads the tag object
        else:
            message = b"Release %d\n\nNotes.\n" % i
        stream.tag(f"annotated-{i:06d}", target, BASE_TIME + 10_000_000 + i, message)
    marks = stream.run(repo)
    ids = [marks[mark] for mark in history]
    updates = []
    for i in range(scale.tags):
        if i % annotated_every != 0:
            updates.append(f"create refs/tags/light-{i:06d} {ids[rng.randrange(len(ids))]}")
    for i in range(scale.branches):
        updates.append(f"create refs/heads/branch-{i:05d} {ids[rng.randrange(len(ids))]}")
        updates.append(f"create refs/remotes/origin/branch-{i:05d} {ids[rng.randrange(len(ids))]}")
    git(repo, "update-ref", "--stdin", input=("\n".join(updates) + "\n").encode())
    git(repo, "pack-refs", "--all")
    moved = []
    for i in range(0, scale.branches, loose_every or max(1, scale.branches // 10)):
        moved.append(f"update refs/heads/branch-{i:05d} {ids[rng.randrange(len(ids))]}")
        moved.append(f"update refs/remotes/origin/branch-{i:05d} {ids[rng.randrange(len(ids))]}")
    if loose_every:
        light = [i for i in range(scale.tags) if i % annotated_every != 0]
        for i in light[::loose_every]:
            moved.append(f"update refs/tags/light-{i:06d} {ids[rng.randrange(len(ids))]}")
    git(repo, "update-ref", "--stdin", input=("\n".join(moved) + "\n").encode())
    git(repo, "reset", "-q", "--hard")


def file_content(rng: random.Random, index: int) -> bytes:
    words = " ".join(f"w{rng.randrange(10_000)}" for _ in range(30))
    return f"file {index}\n{words}\n".encode()


def tracked_paths(count: int, per_directory: int = 100) -> list[str]:
    """`count` paths, `per_directory` to a directory, ten directories to a package."""
    paths = []
    for i in range(count):
        top, middle = divmod(i // per_directory, 10)
        paths.append(f"pkg{top:03d}/mod{middle}/file{i % per_directory:02d}.txt")
    return paths


def build_worktree(path: Path, scale: Scale, object_format: str = SHA1, per_directory: int = 100) -> None:
    """A working tree with an ignored node_modules, modified, staged, untracked files and stashes."""
    repo = init(path, "main", object_format)
    rng = random.Random(11)
    paths = tracked_paths(scale.files, per_directory)
    files = {p: file_content(rng, i) for i, p in enumerate(paths)}
    files[".gitignore"] = b"node_modules/\n*.log\n/build/\n"
    stream = Stream()
    stream.commit("refs/heads/main", BASE_TIME, "Initial tree\n", None, files)
    stream.run(repo)
    git(repo, "reset", "-q", "--hard")
    for i in range(scale.ignored_files):
        target = repo / "node_modules" / f"dep{i // 50:03d}" / f"index{i % 50}.js"
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(b"module.exports = %d;\n" % i)
    (repo / "debug.log").write_text("ignored\n")
    when = BASE_TIME + 3600
    for s in range(scale.stashes):
        (repo / paths[s]).write_bytes(b"stashed change %d\n" % s)
        message = [] if s % 3 == 0 else ["-m", f"work in progress {s}"]
        git(repo, "stash", "push", "-q", *message,
            env={"GIT_AUTHOR_DATE": f"{when + s} +0000", "GIT_COMMITTER_DATE": f"{when + s} +0000"})
    modified = rng.sample(range(scale.files), max(1, scale.files // 100))
    for i in modified:
        with open(repo / paths[i], "ab") as handle:
            handle.write(b"local change\n")
    staged = modified[: max(1, len(modified) // 5)]
    git(repo, "add", "--", *[paths[i] for i in staged])
    for i in staged[: max(1, len(staged) // 2)]:
        with open(repo / paths[i], "ab") as handle:
            handle.write(b"changed again after staging\n")
    for i in range(max(1, scale.files // 200)):
        untracked = repo / "new" / f"untracked{i:04d}.txt"
        untracked.parent.mkdir(exist_ok=True)
        untracked.write_text(f"untracked {i}\n")


BUILDERS = {
    "history-main": lambda path, scale: build_history(path, scale, "main"),
    "history-master": lambda path, scale: build_history(path, scale, "master"),
    "history-plain": build_plain_history,
    "refs": build_refs,
    "worktree": build_worktree,
}
# The repositories whose rows are measured in both object formats: those
# whose methods read objects and refs natively (the history pane, counting,
# the merge base, the refs of a commit and the fallback scan).
TWINNED = ("history-main", "history-plain", "refs", "worktree")
SHA256_TWINS = {twin_name(name, SHA256): name for name in TWINNED}
BUILDERS.update({
    twin_name("history-main", SHA256): lambda path, scale: build_history(path, scale, "main", object_format=SHA256),
    twin_name("history-plain", SHA256): lambda path, scale: build_plain_history(path, scale, SHA256),
    twin_name("refs", SHA256): lambda path, scale: build_refs(path, scale, SHA256),
    twin_name("worktree", SHA256): lambda path, scale: build_worktree(path, scale, SHA256),
})
# A repository built only once another is finished.
AFTER = {"history-plain": "history-main", "history-plain-sha256": "history-main-sha256"}
# Two builders run at a time (git does the work, in its own processes), the
# longest first so that both finish at about the same time.
BUILD_ORDER = ("history-main", "history-main-sha256", "worktree", "worktree-sha256", "history-master",
               "history-plain", "history-plain-sha256", "refs", "refs-sha256")
BUILD_WORKERS = 2


def marker_text(scale: Scale | HugeScale) -> str:
    return f"{VERSION} {scale}\n"


def is_finished(path: Path, scale: Scale) -> bool:
    """Whether `path` holds a repository built by this version at this scale."""
    marker = path / ".git" / "bench-corpus"
    return marker.exists() and marker.read_text() == marker_text(scale)


def ensure(scale_name: str, root: Path | None = None) -> dict[str, Path]:
    """The corpus at `scale_name`, built where it is missing or out of date."""
    scale = SCALES[scale_name]
    base = (root or default_root()) / scale_name
    builders = {name: functools.partial(builder, scale=scale) for name, builder in BUILDERS.items()}
    return build_all(base, builders, BUILD_ORDER, AFTER, marker_text(scale))


def build_all(base: Path, builders: dict[str, Callable[[Path], None]], order: tuple[str, ...],
              after: dict[str, str], marker: str) -> dict[str, Path]:
    """Every repository of `builders` under `base`, built in `order` where its marker is not `marker`, one
    waiting for the one `after` names."""
    repos = {name: base / name for name in builders}
    built: dict[str, Future] = {}

    def build(name: str) -> None:
        if name in after:
            built[after[name]].result()
        path = repos[name]
        marker_file = path / ".git" / "bench-corpus"
        if not (marker_file.exists() and marker_file.read_text() == marker):
            builders[name](path)
            marker_file.write_text(marker)

    with ThreadPoolExecutor(max_workers=BUILD_WORKERS) as pool:
        for name in order:  # a repository is submitted after the one it waits for
            built[name] = pool.submit(build, name)
    for future in built.values():
        future.result()
    return repos


# --- the huge corpus ------------------------------------------------------------------------------
#
# The size of the largest repositories people open: a history of a million
# commits with merges, two hundred thousand refs, a hundred thousand files.
# It is built at three sizes of the same shape (a tenth and a hundredth of
# it), so that how each pane's cost grows can be read off one table.


@dataclasses.dataclass(frozen=True)
class HugeScale:
    commits: int  # every commit of the main history, the merged side branches' included
    tags: int
    branches: int  # local, and as many remote-tracking
    files: int  # tracked files of the working tree
    merge_every: int = 300  # a side branch of two commits is merged this often
    feature_commits: int = 40  # forked a fiftieth of the history back from main's head
    loose_every: int = 10  # one in this many branches and lightweight tags is loose
    files_per_directory: int = 30
    ignored_files: int = 3_000
    stashes: int = 5

    def as_scale(self) -> Scale:
        """The shape the plain builders take."""
        return Scale(commits=self.commits, feature_commits=self.feature_commits, tags=self.tags,
                     branches=self.branches, files=self.files, ignored_files=self.ignored_files,
                     stashes=self.stashes)


HUGE_SIZES = {
    "10k": HugeScale(commits=10_000, tags=1_400, branches=300, files=10_000),
    "100k": HugeScale(commits=100_000, tags=14_000, branches=3_000, files=30_000),
    "1m": HugeScale(commits=1_000_000, tags=140_000, branches=30_000, files=100_000),
}
LARGEST = "1m"


def merged_history(stream: Stream, scale: HugeScale) -> list[str]:
    """main's history: commits that each change one of a hundred files, and every `merge_every` commits a
    merge of a two-commit side branch forked five commits back. Returns main's first-parent marks, oldest
    first."""
    line: list[str] = []
    written = 0
    when = BASE_TIME
    while written < scale.commits:
        i = len(line)
        merged = None
        if i >= 5 and i % scale.merge_every == 0 and written + 3 <= scale.commits:
            side = line[-5]
            for j in range(2):
                when += 60
                side = stream.commit("refs/heads/side", when, f"side {i}.{j}\n", side if j == 0 else None,
                                     {f"side/file{i % 10}.txt": f"side {i}.{j}\n".encode()})
            written += 2
            merged = side
        when += 60
        line.append(stream.commit("refs/heads/main", when, f"main {i}\n\nBody of main {i}.\n",
                                  line[-1] if line and merged else None,
                                  {f"src/file{i % 100:02d}.txt": f"main {i}\n".encode()}, merged))
        written += 1
    return line


def build_huge_history(path: Path, scale: HugeScale) -> None:
    """main (with merges), a feature branch forked a fiftieth of the history back, origin's tracking refs and
    a tag; a commit-graph of one file."""
    repo = init(path, "main")
    with FedStream(repo) as stream:
        main = merged_history(stream, scale)
        fork = main[-max(1, scale.commits // 50)]
        feature_start = BASE_TIME + 2 * scale.commits * 60
        feature = linear_history(stream, "refs/heads/feature", scale.feature_commits, feature_start, "feature",
                                 fork)
    check_out_feature(repo, stream.marks_read, "main", main, feature, ("delete refs/heads/side",))
    git(repo, "commit-graph", "write", "--reachable")


def linked_copy(template: Path, path: Path) -> None:
    """A copy of `template`'s repository without its commit-graph, its pack files linked, not copied."""
    if path.exists():
        shutil.rmtree(path)
    path.mkdir(parents=True)

    def link_packs(source: str, target: str) -> None:
        if "/objects/pack/" in source:
            os.link(source, target)
        else:
            shutil.copy2(source, target)

    shutil.copytree(template / ".git", path / ".git", ignore=lambda _, names: NOT_COPIED.intersection(names),
                    copy_function=link_packs)
    git(path, "reset", "-q", "--hard")


def build_split_history(path: Path, template: Path) -> None:
    """The history with its commit-graph as a chain of three files, as `git maintenance` leaves it: the
    oldest four fifths, the next fifth less the newest 2 %, the rest."""
    linked_copy(template, path)
    first_parents = git(path, "rev-list", "--first-parent", "main").split()
    for tip, split in ((first_parents[len(first_parents) // 5], "--split"),
                       (first_parents[len(first_parents) // 50], "--split=no-merge")):
        git(path, "commit-graph", "write", split, "--stdin-commits", input=f"{tip}\n".encode())
    git(path, "commit-graph", "write", "--reachable", "--split=no-merge")


def huge_builders(scale: HugeScale) -> dict[str, Callable[[Path], None]]:
    plain = scale.as_scale()
    return {
        "history": lambda path: build_huge_history(path, scale),
        "history-split": lambda path: build_split_history(path, path.parent / "history"),
        "history-plain": lambda path: linked_copy(path.parent / "history", path),
        "refs": lambda path: build_refs(path, plain, loose_every=scale.loose_every),
        "worktree": lambda path: build_worktree(path, plain, per_directory=scale.files_per_directory),
    }


HUGE_AFTER = {"history-split": "history", "history-plain": "history"}
HUGE_ORDER = ("history", "worktree", "refs", "history-split", "history-plain")


def ensure_huge(size: str, root: Path | None = None) -> dict[str, Path]:
    """The huge corpus at one of its sizes, built where it is missing or out of date."""
    scale = HUGE_SIZES[size]
    base = (root or default_root()) / "huge" / size
    builders = huge_builders(scale)
    return build_all(base, builders, HUGE_ORDER, HUGE_AFTER, marker_text(scale))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", choices=[*sorted(SCALES), "huge"], default="quick")
    parser.add_argument("--root", type=Path, default=None)
    args = parser.parse_args()
    if args.scale == "huge":
        for size in HUGE_SIZES:
            started = time.monotonic()
            repos = ensure_huge(size, args.root)
            print(f"{size}: ready in {time.monotonic() - started:.0f} s")
            for name, path in repos.items():
                print(f"  {name}: {path} ({disk_size(path) / 2**20:.0f} MB)")
        return
    for name, path in ensure(args.scale, args.root).items():
        print(f"{name}: {path}")


def disk_size(path: Path) -> int:
    """Bytes the repository takes on disk, linked files counted where they lie."""
    return sum(entry.stat().st_size for entry in path.rglob("*") if entry.is_file() and not entry.is_symlink())


if __name__ == "__main__":
    main()
