"""Every pane that reads objects answers alike on its two roads: through the
native object store, and through dulwich (forced by a repository object that
is not dulwich's own class, or a subclass that overrides a method the pane
reaches through self) — on repositories packed every way git packs them, with
unusual commits, commit-graphs and damage."""

from __future__ import annotations

import itertools
import os
import random
import shutil
import sys
import threading
import time
from pathlib import Path

import git_service_cython as gsc
import pytest
from dulwich.repo import Repo
from roads import OwnWalk, library_service, outcome
from store_helpers import build_history, commit_shapes, git, import_commits


class OwnMap(gsc.GitServiceCython):
    """A subclass with a HEAD file map of its own: the scan reads through dulwich."""

    def _build_head_file_map(self, tree, base_path=""):
        return super()._build_head_file_map(tree, base_path)


BRANCHES = ("main", "odd", "a", "b", "c", "missing")


def history_answers(service, commits: list[str]) -> dict:
    """What the history and decoration panes answer without git."""
    answers = {}
    for branch in BRANCHES:
        answers[f"list {branch}"] = outcome(lambda b=branch: service.list_commits(b))
        answers[f"full {branch}"] = outcome(lambda b=branch: service.list_commits(b, show_full_history=True))
        answers[f"page {branch}"] = outcome(lambda b=branch: service.list_commits(b, max_count=4, skip=3))
        answers[f"count {branch}"] = outcome(lambda b=branch: service.count_commits(b))
        answers[f"merge base {branch}"] = outcome(lambda b=branch: service.get_merge_base(b))
        answers[f"remote {branch}"] = outcome(lambda b=branch: service._get_remote_commits(b))
    for commit in commits:
        answers[f"refs {commit}"] = outcome(lambda c=commit: service.get_commit_refs(c))
    return answers


def tree_answers(service, path: Path) -> dict:
    with Repo(str(path)) as repo:
        tree = repo[repo[repo.refs[b"refs/heads/main"]].tree]
        return {
            "map": outcome(lambda: service._build_head_file_map(tree)),
            "map under a base": outcome(lambda: service._build_head_file_map(tree, "base")),
            "find file": outcome(lambda: service._find_in_tree(tree, ["dir", "sub", "f1.txt"])),
            "find dir": outcome(lambda: service._find_in_tree(tree, ("dir",))),
            "find past a file": outcome(lambda: service._find_in_tree(tree, ["edited.txt", "x"])),
            "find absent": outcome(lambda: service._find_in_tree(tree, ["dir", "nothing"])),
        }


def commit_ids(path: Path) -> list[str]:
    return git(path, "rev-list", "--all").split() + git(path, "rev-list", "--all", "--objects").split()[:5]


def prepare(path: Path) -> None:
    """Branches for the walks: origin's main, and a feature branch off an older main."""
    git(path, "update-ref", "refs/remotes/origin/main", "main~3")
    git(path, "update-ref", "refs/remotes/origin/a", "a")


@pytest.fixture(scope="module")
def variants(tmp_path_factory):
    root = tmp_path_factory.mktemp("native")
    build_history(root / "loose")
    prepare(root / "loose")
    made = {"loose": root / "loose"}
    recipes = {
        "offset deltas": ["repack", "-adq"],
        "reference deltas": ["-c", "repack.useDeltaBaseOffset=false", "repack", "-adfq"],
        "deep chains": ["repack", "-adfq", "--depth=250", "--window=250"],
        "index version 1": ["-c", "pack.indexVersion=1", "repack", "-adfq"],
    }
    for name, args in recipes.items():
        shutil.copytree(root / "loose", root / name, symlinks=True)
        git(root / name, *args)
        made[name] = root / name
    graphs = {
        "commit-graph": [["commit-graph", "write", "--reachable"]],
        "split commit-graph": [["commit-graph", "write", "--reachable", "--split"],
                               ["commit", "-q", "--allow-empty", "-m", "more"],
                               ["commit-graph", "write", "--reachable", "--split=no-merge"]],
        "stale commit-graph": [["commit-graph", "write", "--reachable"],
                               ["commit", "-q", "--allow-empty", "-m", "after the graph"],
                               ["commit", "-q", "--allow-empty", "-m", "and another"]],
    }
    for name, steps in graphs.items():
        shutil.copytree(root / "offset deltas", root / name, symlinks=True)
        for args in steps:
            git(root / name, *args)
        made[name] = root / name
    return made


VARIANTS = ["loose", "offset deltas", "reference deltas", "deep chains", "index version 1", "commit-graph",
            "split commit-graph", "stale commit-graph"]


@pytest.mark.parametrize("name", VARIANTS)
def test_history_answers_alike_on_both_roads(variants, name, hide_git):
    path = variants[name]
    ids = commit_ids(path)
    hide_git()
    native = history_answers(gsc.GitServiceCython(str(path)), ids)
    assert native == history_answers(library_service(path), ids)
    assert native == history_answers(OwnWalk(str(path)), ids)
    # The walks reached what they were meant to: records, counts and merge parents.
    assert native["count main"] > 30 and len(native["list main"]) > 30
    assert any(refs["is_merge"] for key, refs in native.items() if key.startswith("refs ") and type(refs) is dict)


@pytest.mark.parametrize("name", ["loose", "reference deltas", "commit-graph"])
def test_trees_answer_alike_on_both_roads(variants, name):
    path = variants[name]
    native = tree_answers(gsc.GitServiceCython(str(path)), path)
    assert native == tree_answers(library_service(path), path)
    assert len(native["map"]) > 5 and type(native["find file"]) is bytes and native["find absent"] is None


def test_decorations_answer_alike_on_both_roads(variants):
    path = variants["split commit-graph"]
    ids = git(path, "rev-list", "-n", "40", "main").split()
    native = gsc.GitServiceCython(str(path)).get_commit_refs_from_git_log("main", ids)
    assert native == library_service(path).get_commit_refs_from_git_log("main", ids)
    assert any(entry["is_merge"] for entry in native.values())


def status_tree(path: Path) -> None:
    """Every kind of change in the working tree of a repository with history."""
    (path / "edited.txt").write_text("changed\n")
    (path / "dir" / "sub" / "f1.txt").unlink()
    (path / "new.txt").write_text("new\n")
    (path / "dir" / "staged.txt").write_text("staged\n")
    git(path, "add", "dir/staged.txt")
    (path / "dir" / "staged.txt").write_text("staged, then changed\n")
    (path / "big.bin").write_bytes(os.urandom(1 << 16) * 300)  # over 16 MiB
    git(path, "add", "big.bin")
    os.symlink("edited.txt", path / "link")
    git(path, "add", "link")


@pytest.mark.parametrize("name", ["loose", "offset deltas", "commit-graph"])
def test_the_scan_answers_alike_on_both_roads(variants, name, tmp_path, hide_git):
    path = tmp_path / "tree"
    shutil.copytree(variants[name], path, symlinks=True)
    git(path, "checkout", "-q", "-f", "main")
    status_tree(path)
    hide_git()
    native = gsc.GitServiceCython(str(path)).get_file_status()
    assert native == library_service(path).get_file_status()
    assert native == OwnMap(str(path)).get_file_status()
    assert {record.status for record in native} == {"modified", "deleted", "untracked", "staged"}


# --- commits in every shape dulwich reads --------------------------------------------------------------

# The listing shows these from the store; dulwich's road shows a time beyond
# 64 bits and raises on a commit without a committer or message, so the
# store leaves those to it, while walks that need only parents go on natively.
LISTED_SHAPES = ("committer first", "carriage return after the zone", "negative time", "encoding first",
                 "second author", "plus time", "continued author")
OTHER_SHAPES = ("no committer", "no blank line", "twenty-digit time")


@pytest.fixture(scope="module")
def shaped(tmp_path_factory):
    """main chains the commits of LISTED_SHAPES; each of OTHER_SHAPES heads a branch of its own off main,
    with a plain commit on top. Loose, and packed."""
    root = tmp_path_factory.mktemp("shapes")
    path = root / "loose"
    git(root, "init", "-q", "-b", "main", str(path))
    git(path, "commit", "-q", "--allow-empty", "-m", "root")
    tree = git(path, "rev-parse", "HEAD^{tree}")

    def write(name: str, parent: str) -> str:
        text = commit_shapes(tree, parent)[name]
        return git(path, "hash-object", "-t", "commit", "-w", "--literally", "--stdin", input=text)

    head = git(path, "rev-parse", "HEAD")
    for name in LISTED_SHAPES:
        head = write(name, head)
    git(path, "update-ref", "refs/heads/main", head)
    for name in OTHER_SHAPES:
        tip = git(path, "commit-tree", tree, "-p", write(name, head), "-m", "on top")
        git(path, "update-ref", f"refs/heads/{name.replace(' ', '-')}", tip)
    shutil.copytree(path, root / "packed", symlinks=True)
    git(root / "packed", "repack", "-adfq")
    return {"loose": path, "packed": root / "packed"}


def shaped_answers(service) -> dict:
    answers = {}
    for branch in ("main", *(name.replace(" ", "-") for name in OTHER_SHAPES)):
        answers[f"list {branch}"] = outcome(lambda b=branch: service.list_commits(b))
        answers[f"page {branch}"] = outcome(lambda b=branch: service.list_commits(b, max_count=3, skip=2))
        answers[f"full {branch}"] = outcome(lambda b=branch: service.list_commits(b, show_full_history=True))
        answers[f"count {branch}"] = outcome(lambda b=branch: service.count_commits(b))
        answers[f"merge base {branch}"] = outcome(lambda b=branch: service.get_merge_base(b))
    return answers


@pytest.mark.parametrize("name", ["loose", "packed"])
def test_commits_in_every_shape_dulwich_reads_answer_alike_on_both_roads(shaped, name, hide_git, monkeypatch):
    path = shaped[name]
    hide_git()
    native = shaped_answers(gsc.GitServiceCython(str(path)))
    assert native == shaped_answers(library_service(path))
    assert native == shaped_answers(OwnWalk(str(path)))
    listed = native["list main"]
    assert len(listed) == len(LISTED_SHAPES) + 1
    assert listed[0].author == "Ann\n<ann@example.com>" and listed[1].timestamp == 1700000001
    assert listed[LISTED_SHAPES[::-1].index("negative time")].timestamp == -1
    assert isinstance(native["list no-committer"], tuple) and isinstance(native["list no-blank-line"], tuple)
    assert native["list twenty-digit-time"][1].timestamp == 12345678901234567890

    def unread(self, name):
        raise AssertionError("read through dulwich")

    # The store itself answers the listing of main and every walk for ids and
    # parents through the other shapes.
    monkeypatch.setattr(Repo, "__getitem__", unread)
    service = gsc.GitServiceCython(str(path))
    assert service.list_commits("main") == listed
    for branch in (name.replace(" ", "-") for name in OTHER_SHAPES):
        assert service.count_commits(branch) == native[f"count {branch}"] == 2  # the shaped commit and the one on top
        assert service.get_merge_base(branch) == native[f"merge base {branch}"]


# --- damage --------------------------------------------------------------------------------------------


def flip(path: Path, position: int) -> None:
    data = bytearray(path.read_bytes())
    data[position % len(data)] ^= 0x10
    path.write_bytes(bytes(data))


def damaged(variants, tmp_path, source: str, damage) -> Path:
    path = tmp_path / "damaged"
    shutil.copytree(variants[source], path, symlinks=True)
    damage(path / ".git" / "objects")
    return path


def pack_file(objects: Path, suffix: str) -> Path:
    return next((objects / "pack").glob(f"*{suffix}"))


def loose_commit(objects: Path) -> Path:
    return next(path for path in sorted(objects.glob("??/*")) if path.parent.name not in ("info", "pack"))


DAMAGE = {
    "pack truncated": ("offset deltas", lambda o: os.truncate(pack_file(o, ".pack"), 4000)),
    "pack bit flipped early": ("offset deltas", lambda o: flip(pack_file(o, ".pack"), 600)),
    "pack bit flipped late": ("offset deltas", lambda o: flip(pack_file(o, ".pack"), -2000)),
    "pack header": ("offset deltas", lambda o: flip(pack_file(o, ".pack"), 5)),
    "index truncated": ("offset deltas", lambda o: os.truncate(pack_file(o, ".idx"), 1500)),
    "index fanout": ("offset deltas", lambda o: flip(pack_file(o, ".idx"), 8 + 4 * 128)),
    "index ids": ("offset deltas", lambda o: flip(pack_file(o, ".idx"), 8 + 1024 + 45)),
    "index offsets": ("offset deltas", lambda o: flip(pack_file(o, ".idx"), -60)),
    "reference delta pack": ("reference deltas", lambda o: flip(pack_file(o, ".pack"), 3000)),
    "loose object truncated": ("loose", lambda o: os.truncate(loose_commit(o), 30)),
    "loose object bit flipped": ("loose", lambda o: flip(loose_commit(o), 20)),
    "commit-graph bit flipped": ("commit-graph", lambda o: flip(o / "info" / "commit-graph", 2000)),
    "commit-graph truncated": ("commit-graph", lambda o: os.truncate(o / "info" / "commit-graph", 900)),
}


@pytest.mark.parametrize("case", list(DAMAGE))
def test_damaged_repositories_answer_alike_on_both_roads(variants, tmp_path, case, hide_git):
    source, damage = DAMAGE[case]
    path = damaged(variants, tmp_path, source, damage)
    ids = commit_ids(variants[source])
    hide_git()
    assert history_answers(gsc.GitServiceCython(str(path)), ids) == history_answers(library_service(path), ids)
    assert tree_answers(gsc.GitServiceCython(str(path)), variants[source]) == tree_answers(
        library_service(path), variants[source])


def test_a_pack_replaced_between_calls_is_read_afresh(variants, tmp_path):
    path = tmp_path / "repacked"
    shutil.copytree(variants["loose"], path, symlinks=True)
    service = gsc.GitServiceCython(str(path))
    before = service.list_commits("main")
    git(path, "repack", "-adq")
    assert service.list_commits("main") == before
    git(path, "-c", "repack.useDeltaBaseOffset=false", "repack", "-adfq")
    git(path, "prune-packed")
    assert service.list_commits("main") == before == library_service(path).list_commits("main")


def test_a_commit_graph_stands_for_commits_it_holds(variants, tmp_path, hide_git):
    # Walks that need only ids and parents trust a sound commit-graph as git
    # does once each row was compared with its commit: a commit object damaged
    # after that is not read by them again. (A row whose commit cannot be read
    # when it is first compared vouches for nothing: tests/test_commit_graph.py.)
    path = tmp_path / "graph"
    shutil.copytree(variants["commit-graph"], path, symlinks=True)
    (idx,) = (path / ".git" / "objects" / "pack").glob("*.idx")
    commits = [(int(fields[4]), int(fields[3])) for fields in map(str.split, git(path, "verify-pack", "-v", str(idx))
                                                                  .splitlines()) if fields[1:2] == ["commit"]]
    hide_git()
    count = gsc.GitServiceCython(str(path)).count_commits("main")
    # Every commit's deflated data damaged, the pack's header and trailer
    # left as they were (a pack dulwich refuses as a whole is another matter:
    # tests/test_hostile_packs.py).
    pack = idx.with_suffix(".pack")
    data = bytearray(pack.read_bytes())
    for offset, size in commits:
        data[offset + size // 2] ^= 0x10
    os.chmod(pack, 0o644)
    pack.write_bytes(bytes(data))
    assert gsc.GitServiceCython(str(path)).count_commits("main") == count
    with pytest.raises(Exception):  # noqa: B017 - whatever dulwich raises for the damaged commits
        library_service(path).count_commits("main")


# --- the GIL ---------------------------------------------------------------------------------------------


def test_other_threads_run_while_a_count_reads_the_store(tmp_path, hide_git):
    path = tmp_path / "long"
    git(tmp_path, "init", "-q", "-b", "main", str(path))
    lines = [b"commit refs/heads/main\ncommitter C <c@x> %d +0000\ndata 2\nc\n\n" % (1_600_000_000 + i)
             for i in range(60_000)]
    git(path, "fast-import", "--quiet", input=b"".join(lines))
    service = gsc.GitServiceCython(str(path))
    hide_git()
    ticks, done = [], threading.Event()

    def interface():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=interface)
    switch = sys.getswitchinterval()
    thread.start()
    try:
        started = time.perf_counter()
        assert service.count_commits("main") == 60_000
        elapsed = time.perf_counter() - started
    finally:
        done.set()
        thread.join()
    during = [tick for tick in ticks if started <= tick <= started + elapsed]
    # With the GIL held the thread could not tick at all until the count ended.
    assert elapsed > 20 * switch
    assert len(during) >= 5
    gaps = [b - a for a, b in itertools.pairwise(during)]
    assert max(gaps, default=0) < elapsed / 2


def test_counts_by_generation_match_git_on_a_tangled_history(tmp_path, hide_git):
    # Branches that fork, merge each other both ways and merge octopus-style,
    # counted from a commit-graph by generation and by walking both histories.
    path = tmp_path / "tangle"
    git(tmp_path, "init", "-q", "-b", "main", str(path))
    rng = random.Random(5)
    import_commits(path, [(f"b{i % 7}", rng.sample(range(1, i + 1), k=min(i, rng.choice([1, 1, 1, 2, 3]))))
                          for i in range(400)])
    for i in range(7):
        git(path, "branch", "-f", "main" if i == 0 else f"x{i}", f"b{i}")
    expected = {f"x{i}": int(git(path, "rev-list", "--count", f"x{i}", "^main")) for i in range(1, 7)}
    plain = gsc.GitServiceCython(str(path))
    git(path, "commit-graph", "write", "--reachable")
    with_graph = gsc.GitServiceCython(str(path))
    hide_git()
    assert sum(expected.values()) > 50
    assert {branch: plain.count_commits(branch) for branch in expected} == expected
    assert {branch: with_graph.count_commits(branch) for branch in expected} == expected
    assert {branch: OwnWalk(str(path)).count_commits(branch) for branch in expected} == expected


def test_objects_kept_between_calls_are_never_read_for_a_changed_pack(variants, tmp_path, hide_git):
    # A page read once is kept under the pack file's identity; a pack changed
    # in place (same size, same name) is another file, read afresh.
    path = tmp_path / "changed"
    shutil.copytree(variants["offset deltas"], path, symlinks=True)
    hide_git()
    service = gsc.GitServiceCython(str(path))
    before = service.list_commits("main")
    pack = pack_file(path / ".git" / "objects", ".pack")
    os.chmod(pack, 0o644)
    for position in (300, 700, 1100):
        flip(pack, position)
    after = outcome(lambda: service.list_commits("main"))
    assert after == outcome(lambda: library_service(path).list_commits("main"))
    assert after != before


def test_a_damaged_multi_pack_index_is_passed_over_as_git_passes_over_it(variants, tmp_path, hide_git):
    # The store lists the packs themselves and never reads a multi-pack-index, as git does once the
    # file fails its checks; dulwich reads it first on every lookup, and raises while it is damaged.
    path = tmp_path / "midx"
    shutil.copytree(variants["offset deltas"], path, symlinks=True)
    ids = commit_ids(path)
    intact = history_answers(gsc.GitServiceCython(str(path)), ids)
    git(path, "multi-pack-index", "write")
    midx = path / ".git" / "objects" / "pack" / "multi-pack-index"
    os.chmod(midx, 0o644)
    os.truncate(midx, 10)  # too short: git says so and reads the packs
    truth = int(git(path, "rev-list", "--count", "main"))
    hide_git()
    native = history_answers(gsc.GitServiceCython(str(path)), ids)
    # What the store answers itself (a commit it leaves to dulwich, as on branch "odd", meets the file).
    plain = [key for key in native if " odd" not in key]
    assert [native[key] for key in plain] == [intact[key] for key in plain] and native["count main"] == truth
    with pytest.raises(Exception):  # noqa: B017 - whatever dulwich raises for the damaged file
        library_service(path).list_commits("main")
