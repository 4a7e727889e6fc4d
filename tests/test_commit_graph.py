"""A commit-graph is a cache: whatever its bytes say, and whenever they change,
the walks that use it answer as the commits themselves do (or as the graph's
undamaged self would), and never read outside it.

Graphs here are written by git, then changed by hand with their checksums
recomputed, so that only the store's own checks stand between a bad row and an
answer. Tests that take `object_format` run on SHA-1 repositories and on
SHA-256 ones, whose graphs are of hash version 2 (32-byte ids and checksums,
rows of 48 bytes)."""

from __future__ import annotations

import itertools
import os
import random
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

import _git_store_probe as probe
import git_service_cython as gsc
import profiles
import pytest
from decline_reasons import NOTHING, assert_declined, listening
from hypothesis import given
from hypothesis import strategies as st
from roads import library_service, outcome
from store_helpers import ID_SIZES, checksum, commit_facts, git, import_commits, loose_path, write_graph_chain

FUZZ = profiles.examples(ci=60, fuzz=1_000)

# Why the native road stops trusting a graph (decline_reasons): the call that finds a row wrong, and the file
# refused from then on (told once per file).
ROW_DISAGREES = "commit-graph: a row disagrees with its commit"
ROW_DISAGREED = "commit-graph: a row disagreed with its commit"

NO_PARENT = 0x70000000
BRANCHES = ("main", "feature", "side", "octopus")


def answers(service) -> dict:
    """What the history panes answer for every branch."""
    found = {}
    for branch in BRANCHES:
        found[f"list {branch}"] = outcome(lambda b=branch: service.list_commits(b))
        found[f"full {branch}"] = outcome(lambda b=branch: service.list_commits(b, show_full_history=True))
        found[f"count {branch}"] = outcome(lambda b=branch: service.count_commits(b))
        found[f"merge base {branch}"] = outcome(lambda b=branch: service.get_merge_base(b))
        found[f"remote {branch}"] = outcome(lambda b=branch: service._get_remote_commits(b))
    return found


def without_git():
    """subprocess.run as it fails when git is not installed."""
    def missing(*args, **kwargs):
        raise FileNotFoundError(2, "No such file or directory: 'git'")
    patch = pytest.MonkeyPatch()
    patch.setattr(subprocess, "run", missing)
    return patch


# --- graph files ------------------------------------------------------------------------------------------


class GraphFile:
    """One commit-graph file's chunks, changed in place and sealed with a new checksum. Its object format is
    the one its header names (hash version 1 for SHA-1, 2 for SHA-256); a CDAT row is a tree id, then the
    words `PARENT1`, `PARENT2` and `LEVEL` (level and the time's high bits), then the time's low bits."""

    PARENT1, PARENT2, LEVEL = 0, 4, 8  # past the row's tree id

    def __init__(self, data: bytes):
        self.data = bytearray(data)
        self.object_format = {1: "sha1", 2: "sha256"}[data[5]]
        self.id_size = ID_SIZES[self.object_format]
        chunks = data[6]
        self.table = {}
        for i in range(chunks):
            chunk_id, start = struct.unpack_from(">4sQ", data, 8 + 12 * i)
            end = struct.unpack_from(">Q", data, 8 + 12 * (i + 1) + 4)[0]
            self.table[chunk_id] = (start, end)
        self.count = struct.unpack_from(">I", data, self.table[b"OIDF"][0] + 4 * 255)[0]

    def word(self, offset: int) -> int:
        return struct.unpack_from(">I", self.data, offset)[0]

    def set_word(self, offset: int, value: int) -> None:
        struct.pack_into(">I", self.data, offset, value & 0xFFFFFFFF)

    def row(self, index: int) -> int:
        """Where the words of row `index` start (past its tree id)."""
        return self.table[b"CDAT"][0] + (self.id_size + 16) * index + self.id_size

    def id_at(self, index: int) -> str:
        start = self.table[b"OIDL"][0] + self.id_size * index
        return bytes(self.data[start:start + self.id_size]).hex()

    def sealed(self) -> bytes:
        body = bytes(self.data[:-self.id_size])
        return body + checksum(body, self.object_format)


class Graphs:
    """The graph of a repository, single or chained, read and written back as git names its files."""

    def __init__(self, path: Path):
        self.info = path / ".git" / "objects" / "info"
        self.chain = self.info / "commit-graphs" / "commit-graph-chain"
        if self.chain.exists():
            names = self.chain.read_text().split()
            self.layers = [GraphFile((self.info / "commit-graphs" / f"graph-{name}.graph").read_bytes())
                           for name in names]
        else:
            self.layers = [GraphFile((self.info / "commit-graph").read_bytes())]
        self.stamp = time.time_ns()

    def write(self) -> None:
        """Seals every layer (each names the checksums of those below it) and writes them as new files."""
        sealed = []
        for k, layer in enumerate(self.layers):
            size = layer.id_size
            if b"BASE" in layer.table:
                start = layer.table[b"BASE"][0]
                for b in range(k):
                    layer.data[start + size * b:start + size * (b + 1)] = sealed[b][-size:]
            sealed.append(layer.sealed())
        # A distinct modification time for each write: the store keeps what it
        # learnt of a file under its identity, which a rewrite must change.
        self.stamp += 1_000_003
        if not self.chain.exists():
            target = self.info / "commit-graph"
            self._replace(target, sealed[0])
            return
        names = []
        for layer, data in zip(self.layers, sealed, strict=True):
            name = data[-layer.id_size:].hex()
            self._replace(self.info / "commit-graphs" / f"graph-{name}.graph", data)
            names.append(name)
        self._replace(self.chain, "".join(f"{name}\n" for name in names).encode())

    def _replace(self, target: Path, data: bytes) -> None:
        temporary = target.with_name(target.name + ".new")
        temporary.write_bytes(data)
        os.utime(temporary, ns=(self.stamp, self.stamp))
        os.replace(temporary, target)

    def position_of(self, hexid: str) -> int:
        first = 0
        for layer in self.layers:
            for index in range(layer.count):
                if layer.id_at(index) == hexid:
                    return first + index
            first += layer.count
        raise KeyError(hexid)

    def locate(self, position: int) -> tuple[GraphFile, int]:
        for layer in self.layers:
            if position < layer.count:
                return layer, position
            position -= layer.count
        raise IndexError(position)


# --- histories ----------------------------------------------------------------------------------------------


def tangled_history(path: Path, seed: int, count: int = 36, object_format: str = "sha1") -> None:
    """Branches that fork and merge each other, octopus merges among them, and origin's copies."""
    git(path.parent, "init", "-q", "-b", "main", f"--object-format={object_format}", str(path))
    rng = random.Random(seed)
    commits, tips = [], {}
    for i in range(count):
        branch = ("main", "feature", "side", "octopus")[i % 4]
        # Each branch goes on from its own tip (or forks from main's), so
        # that every commit stays reachable; some merge others in.
        own = tips.get(branch, tips.get("main"))
        others = [mark for mark in range(1, i + 1) if mark != own]
        parents = ([own] if own else []) + rng.sample(others, k=min(len(others), rng.choice([0, 0, 0, 1, 2])))
        tips[branch] = i + 1
        commits.append((branch, parents))
    import_commits(path, commits)
    git(path, "update-ref", "refs/remotes/origin/main", "main~1")
    git(path, "update-ref", "refs/remotes/origin/feature", "feature")
    git(path, "update-ref", "refs/remotes/origin/octopus", "octopus~2")


@pytest.fixture(scope="module")
def histories(tmp_path_factory, object_format):
    """A tangled history with a whole graph and one with a chain of three, and a line of commits in
    the shapes dulwich reads beyond git's own with a chain of two, with the dulwich road's answers."""
    root = tmp_path_factory.mktemp("graphs")
    made = {}
    for name, seed in (("single", 11), ("chained", 23), ("shaped", 0)):
        path = root / name
        if name == "shaped":
            chain = shaped_history(path, object_format)
            write_graph_chain(path, [chain[:5], chain[5:]], commit_facts(path), object_format=object_format)
        else:
            tangled_history(path, seed, object_format=object_format)
        if name == "single":
            git(path, "commit-graph", "write", "--reachable")
        elif name == "chained":
            # Three layers: the history as it grew.
            oldest_first = git(path, "rev-list", "--all", "--reverse").split()
            for tip in (oldest_first[11], oldest_first[23]):
                git(path, "commit-graph", "write", "--stdin-commits", "--split=no-merge", input=f"{tip}\n".encode())
            git(path, "commit-graph", "write", "--reachable", "--split=no-merge")
        patch = without_git()
        try:
            expected = answers(library_service(path))
        finally:
            patch.undo()
        made[name] = (path, expected)
    assert len(Graphs(made["chained"][0]).layers) == 3
    return made


def test_the_histories_have_what_the_property_needs(histories, object_format):
    for path, _ in histories.values():
        assert {layer.object_format for layer in Graphs(path).layers} == {object_format}
    for path, expected in (histories["single"], histories["chained"]):
        graphs = Graphs(path)
        rows = [(layer, i) for layer in graphs.layers for i in range(layer.count)]
        assert any(layer.word(layer.row(i) + GraphFile.PARENT2) & 0x80000000 for layer, i in rows)  # an octopus
        assert all(type(expected[f"count {branch}"]) is int for branch in BRANCHES)
        assert expected["list feature"] and expected["remote main"]


# --- the property --------------------------------------------------------------------------------------------

MUTATIONS = st.lists(st.tuples(
    st.sampled_from(["first parent", "second parent", "edge", "level", "fanout", "chunk offset"]),
    st.integers(min_value=0, max_value=1 << 16), st.integers(min_value=0, max_value=0xFFFFFFFF),
    st.booleans()), min_size=1, max_size=3)


def mutate(layer: GraphFile, total: int, kind: str, where: int, value: int, plausible: bool) -> None:
    """One change to a layer. `plausible` keeps a position or level within the graph's own range."""
    position = value % (total + 2) if plausible else value
    index = where % layer.count
    if kind == "first parent":
        layer.set_word(layer.row(index) + GraphFile.PARENT1, position if value % 5 else NO_PARENT)
    elif kind == "second parent":
        choice = value % 3
        word = position if choice == 0 else NO_PARENT if choice == 1 else 0x80000000 | (value % 8 if plausible else value)
        layer.set_word(layer.row(index) + GraphFile.PARENT2, word)
    elif kind == "edge" and b"EDGE" in layer.table:
        start, end = layer.table[b"EDGE"]
        if end > start:
            offset = start + 4 * (where % ((end - start) // 4))
            layer.set_word(offset, position | (value & 0x80000000))
    elif kind == "level":
        level = value % (layer.count + 3) if plausible else value >> 2
        word = layer.word(layer.row(index) + GraphFile.LEVEL)
        layer.set_word(layer.row(index) + GraphFile.LEVEL, (level << 2) | (word & 3))
    elif kind == "fanout":
        start = layer.table[b"OIDF"][0]
        layer.set_word(start + 4 * (where % 256), value % (layer.count + 2) if plausible else value)
    elif kind == "chunk offset":
        entry = 8 + 12 * (where % len(layer.table)) + 4
        old = struct.unpack_from(">Q", layer.data, entry)[0]
        new = old + (value % 64) - 32 if plausible else value
        struct.pack_into(">Q", layer.data, entry, max(new, 0))


@FUZZ
@given(variant=st.sampled_from(["single", "chained", "shaped"]), layer_choice=st.integers(min_value=0, max_value=2),
       mutations=MUTATIONS)
def test_changed_graphs_never_change_an_answer(histories, tmp_path, object_format, variant, layer_choice, mutations):
    path, expected = histories[variant]
    work = tmp_path / variant
    if not work.exists():
        shutil.copytree(path, work, symlinks=True)
    graphs = Graphs(work)
    total = sum(layer.count for layer in graphs.layers)
    original = [bytes(layer.data) for layer in graphs.layers]
    layer = graphs.layers[layer_choice % len(graphs.layers)]
    for kind, where, value, plausible in mutations:
        mutate(layer, total, kind, where, value, plausible)
    graphs.write()
    patch = without_git()
    try:
        found = answers(gsc.GitServiceCython(str(work)))
    finally:
        patch.undo()
        for layer, data in zip(graphs.layers, original, strict=True):
            layer.data = bytearray(data)
        graphs.write()
    # The listing reads every commit it shows; the walks of ids and parents
    # trust the graph only once its rows agree with the commits. Both give
    # the commits' own answer (which is also what the undamaged graph gives).
    assert found == expected


# --- the faults, one by one --------------------------------------------------------------------------------


def linear_with_fork(path: Path, object_format: str = "sha1") -> dict[str, str]:
    """main: A-B-C-D; feature: B-F; the ids by name."""
    git(path.parent, "init", "-q", "-b", "main", f"--object-format={object_format}", str(path))
    lines = []
    for i, (name, parent) in enumerate([("A", None), ("B", "A"), ("C", "B"), ("D", "C"), ("F", "B")]):
        branch = "feature" if name == "F" else "main"
        lines.append(b"commit refs/heads/%s\nmark :%d\ncommitter C <c@x> %d +0000\ndata 1\n%s\n"
                     % (branch.encode(), i + 1, 1_600_000_000 + i, name.encode()))
        if parent:
            lines.append(b"from :%d\n" % ("ABCDF".index(parent) + 1))
        lines.append(b"\n")
    git(path, "fast-import", "--quiet", "--force", input=b"".join(lines))
    ids = {name: git(path, "rev-parse", rev) for name, rev in
           [("A", "main~3"), ("B", "main~2"), ("C", "main~1"), ("D", "main"), ("F", "feature")]}
    git(path, "commit-graph", "write", "--reachable")
    return ids


def test_levels_that_disagree_with_the_parents_do_not_count(tmp_path, object_format):
    # The levels git may hold beside corrected dates, unchecked by it: C's
    # level below its parent's made painting by generation count A and B as
    # the feature's own.
    path = tmp_path / "levels"
    ids = linear_with_fork(path, object_format)
    graphs = Graphs(path)
    graph = graphs.layers[0]
    row = graph.row(graphs.position_of(ids["C"])) + GraphFile.LEVEL
    graph.set_word(row, (1 << 2) | (graph.word(row) & 3))
    graphs.write()
    truth = int(git(path, "rev-list", "--count", "feature", "^main"))
    patch = without_git()
    try:
        with listening() as heard:
            assert gsc.GitServiceCython(str(path)).count_commits("feature") == truth == 1
        assert_declined(heard.reasons, NOTHING)  # the store counts without the levels itself
        assert library_service(path).count_commits("feature") == truth
    finally:
        patch.undo()


def commit_damage(path: Path):
    """What damages the deflated data of every commit of the repository's one pack, its header and trailer kept."""
    (idx,) = (path / ".git" / "objects" / "pack").glob("*.idx")
    pack = idx.with_suffix(".pack")
    spots = [int(fields[4]) + int(fields[3]) // 2 for fields in map(str.split, git(path, "verify-pack", "-v", str(idx))
                                                                     .splitlines()) if fields[1:2] == ["commit"]]

    def damage() -> None:
        data = bytearray(pack.read_bytes())
        for spot in spots:
            data[spot] ^= 0x10
        os.chmod(pack, 0o644)
        pack.write_bytes(bytes(data))
    return damage


def test_a_graph_naming_the_other_hash_version_stands_for_no_commit(tmp_path, object_format):
    # A graph whose header names the other object format (version 1 in a SHA-256 repository, 2 in a SHA-1
    # one), sealed with the repository's own hash, is not used: once the commits are damaged the walks meet
    # the damage, as on dulwich's road; the same graph with its own version stands for them.
    made = {}
    for name in ("own version", "other version"):
        path = made[name] = tmp_path / name.replace(" ", "-")
        linear_with_fork(path, object_format)
        git(path, "repack", "-adq")
    graphs = Graphs(made["other version"])
    graphs.layers[0].data[5] = 3 - graphs.layers[0].data[5]
    graphs.write()
    damages = [commit_damage(path) for path in made.values()]
    patch = without_git()
    try:
        for path, damage in zip(made.values(), damages, strict=True):
            assert gsc.GitServiceCython(str(path)).count_commits("main") == 4  # each row compared with its commit
            damage()
        assert gsc.GitServiceCython(str(made["own version"])).count_commits("main") == 4
        with listening() as heard:
            native = answers(gsc.GitServiceCython(str(made["other version"])))
        other = {"sha1": 2, "sha256": 1}[object_format]
        assert_declined(heard.reasons, (f"commit-graph: hash version {other}",
                                        "pack: object data does not inflate to its size"))
        assert native == answers(library_service(made["other version"]))
        assert type(native["count main"]) is tuple
    finally:
        patch.undo()


def test_a_listing_follows_the_commits_and_walks_decline_a_row_that_disagrees(tmp_path, object_format):
    # The graph says D's parent is B; the commit says C.
    path = tmp_path / "rows"
    ids = linear_with_fork(path, object_format)
    graphs = Graphs(path)
    graph = graphs.layers[0]
    graph.set_word(graph.row(graphs.position_of(ids["D"])) + GraphFile.PARENT1, graphs.position_of(ids["B"]))
    graphs.write()
    patch = without_git()
    try:
        with listening() as heard:
            native = answers(gsc.GitServiceCython(str(path)))
        # The listing reads its commits without the graph; the first count finds the row wrong as it
        # compares D with its commit, and the walks after it refuse the file.
        assert_declined(heard.reasons, (ROW_DISAGREES, ROW_DISAGREED))
        assert [commit.sha for commit in native["list main"]] == [ids[name] for name in "DCBA"]
        assert native["count main"] == 4
        assert native == answers(library_service(path))
        # Once a row was found wrong, the file is not trusted again.
        with listening() as heard:
            assert gsc.GitServiceCython(str(path)).count_commits("main") == 4
        assert_declined(heard.reasons, NOTHING)  # the refusal was told; the commits are counted natively
    finally:
        patch.undo()


def test_a_row_that_disagrees_condemns_its_own_layer_only(tmp_path, object_format, probe_format):
    # A chain of two: A, B and C below, D and F above, and D's row names B where the commit says C.
    # Positions of the upper layer are rows of its own file: the counts that agree (across both
    # layers, walked and painted by generation) check rows in both files, the walk that meets D's
    # row condemns the upper file alone, and a chain of the base alone is used as before.
    path = tmp_path / "layers"
    ids = linear_with_fork(path, object_format)
    facts = commit_facts(path)
    tree, _, when = facts[ids["D"]]
    facts[ids["D"]] = (tree, [ids["B"]], when)
    write_graph_chain(path, [[ids[name] for name in "ABC"], [ids["D"], ids["F"]]], facts,
                      object_format=object_format)
    git_dir, objects = str(path / ".git"), str(path / ".git" / "objects")
    assert len(probe.graph_open(git_dir, objects)) == 5
    assert probe.count_reachable(git_dir, objects, ids["F"], None) == 3
    assert probe.count_reachable(git_dir, objects, ids["F"], ids["C"]) == 1
    assert probe.last_declines() == []
    assert probe.count_reachable(git_dir, objects, ids["D"], None) is None
    assert [reason for reason, _ in probe.last_declines()] == ["commit-graph: a row disagrees with its commit"]
    assert probe.graph_open(git_dir, objects) is None
    chain = path / ".git" / "objects" / "info" / "commit-graphs" / "commit-graph-chain"
    chain.write_text(chain.read_text().splitlines(keepends=True)[0])
    assert sorted(hexid for hexid, _ in probe.graph_open(git_dir, objects)) == sorted(ids[name] for name in "ABC")
    assert probe.count_reachable(git_dir, objects, ids["C"], None) == 3
    assert probe.count_reachable(git_dir, objects, ids["D"], ids["A"]) == 3
    assert probe.last_declines() == []


def test_a_graph_rewritten_in_place_between_calls_is_checked_again(tmp_path, object_format):
    path = tmp_path / "live"
    tangled_history(path, seed=5, object_format=object_format)
    git(path, "commit-graph", "write", "--reachable")
    service = gsc.GitServiceCython(str(path))
    patch = without_git()
    try:
        undamaged = answers(service)
        graph_path = path / ".git" / "objects" / "info" / "commit-graph"
        times = os.stat(graph_path)
        graphs = Graphs(path)
        graph = graphs.layers[0]
        rng = random.Random(3)
        for index in rng.sample(range(graph.count), 8):
            graph.set_word(graph.row(index) + GraphFile.PARENT1, rng.randrange(graph.count))
            graph.set_word(graph.row(index) + GraphFile.LEVEL, rng.randrange(1, 4) << 2)
        os.chmod(graph_path, 0o644)
        with open(graph_path, "r+b") as file:  # the same file, the same size
            file.write(graph.sealed())
        os.utime(graph_path, ns=(times.st_atime_ns, times.st_mtime_ns))
        assert os.stat(graph_path).st_size == times.st_size
        with listening() as heard:
            after = answers(service)
        assert_declined(heard.reasons, (ROW_DISAGREES, ROW_DISAGREED))
        assert after == undamaged == answers(library_service(path))
    finally:
        patch.undo()


REWRITER_CHILD = """
import subprocess, sys
import git_service_cython as gsc

def missing(*args, **kwargs):
    raise FileNotFoundError(2, "No such file or directory: 'git'")

subprocess.run = missing
service = gsc.GitServiceCython(sys.argv[1])
for _ in range(int(sys.argv[2])):
    for call in (lambda: service.count_commits("feature"), lambda: service.count_commits("main"),
                 lambda: service.list_commits("feature", max_count=400),
                 lambda: service.get_merge_base("feature"), lambda: service._get_remote_commits("main")):
        try:
            call()
        except Exception:
            pass
print("done")
"""


def test_a_graph_written_in_place_during_long_walks_never_crashes(tmp_path, object_format):
    # Another program writing into the graph while the module walks it: the
    # walks see the new bytes through their mapping, and must stay inside it.
    # (Rows of SHA-256 graphs lie elsewhere: fewer rounds of them.)
    path = tmp_path / "busy"
    rounds = {"sha1": 400, "sha256": 100}[object_format]
    git(tmp_path, "init", "-q", "-b", "main", f"--object-format={object_format}", str(path))
    rng = random.Random(9)
    lines = []
    for i in range(4000):
        branch = b"feature" if i >= 3800 else b"main"
        lines.append(b"commit refs/heads/%s\nmark :%d\ncommitter C <c@x> %d +0000\ndata 1\nc\n"
                     % (branch, i + 1, 1_600_000_000 + i))
        if i == 3800:
            lines.append(b"from :3000\n")
        elif i:
            lines.append(b"from :%d\n" % i)
        if i > 10 and i % 50 == 0:
            lines.extend(b"merge :%d\n" % rng.randrange(1, i) for _ in range(rng.choice([1, 2])))
        lines.append(b"\n")
    git(path, "fast-import", "--quiet", "--force", input=b"".join(lines))
    git(path, "update-ref", "refs/remotes/origin/main", "main~5")
    git(path, "commit-graph", "write", "--reachable")
    graph_path = path / ".git" / "objects" / "info" / "commit-graph"
    graph = GraphFile(graph_path.read_bytes())
    os.chmod(graph_path, 0o644)
    child = subprocess.Popen([sys.executable, "-c", REWRITER_CHILD, str(path), str(rounds)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    regions = [graph.table[chunk] for chunk in (b"OIDF", b"CDAT", b"EDGE", b"OIDL") if chunk in graph.table]
    writes = 0
    try:
        with open(graph_path, "r+b") as file:
            while child.poll() is None:
                start, end = rng.choice(regions)
                at = start + 4 * rng.randrange((end - start) // 4)
                words = min(rng.randrange(1, 64), (end - at) // 4)
                file.seek(at)
                file.write(rng.choice([os.urandom(4), b"\x7f\xff\xff\xff", b"\xff\xff\xff\xff",
                                       b"\x80\x00\x00\x07", struct.pack(">I", rng.randrange(8000))]) * words)
                file.flush()
                writes += 1
                if writes % 200 == 0:
                    file.seek(0)
                    file.write(bytes(graph.data))  # put it back now and then, so that walks get far
                    file.flush()
        out, err = child.communicate(timeout=600)
    finally:
        if child.poll() is None:
            child.kill()
    assert child.returncode == 0, err[-3000:]
    assert out.strip() == "done" and writes > 100


# --- a commit in two layers of a chain ----------------------------------------------------------------------


def test_a_commit_in_two_layers_of_a_chain_is_one_commit(tmp_path, object_format):
    # main: A-B-C, then D and E on C, merged by M; feature: F on B. The upper layer repeats C, and E's
    # row names that copy while D's names the one below: a walk that told commits apart by position
    # would meet C (and count it) twice. git accepts such a chain.
    path = tmp_path / "repeats"
    git(tmp_path, "init", "-q", "-b", "main", f"--object-format={object_format}", str(path))
    import_commits(path, [("main", []), ("main", [1]), ("main", [2]), ("side", [3]), ("main", [3]),
                          ("main", [5, 4]), ("feature", [2])])
    git(path, "update-ref", "refs/remotes/origin/main", "main~1")
    ids = git(path, "rev-list", "--all", "--topo-order", "--reverse").split()
    facts = commit_facts(path)
    named = {name: git(path, "rev-parse", rev) for name, rev in
             [("C", "main~1~1"), ("E", "main^1"), ("M", "main"), ("B", "feature~1")]}
    lower = [named["B"], named["C"], git(path, "rev-parse", "main~4")]
    upper = [hexid for hexid in ids if hexid not in lower] + [named["C"]]
    write_graph_chain(path, [lower, upper], facts, object_format=object_format,
                      copy_for=lambda child, parent, held: held[-1] if child == named["E"] else held[0])
    git(path, "commit-graph", "verify")
    truth = int(git(path, "rev-list", "--count", "main"))
    patch = without_git()
    try:
        with listening() as heard:
            native = answers(gsc.GitServiceCython(str(path)))
        # Walks tell commits apart by position: the store does not use such a chain.
        assert_declined(heard.reasons, "commit-graph: a commit in two layers of the chain")
        assert native["count main"] == truth == 6
        assert len({commit.sha for commit in native["list main"]}) == len(native["list main"]) == 6
        assert native == answers(library_service(path))
    finally:
        patch.undo()


@pytest.fixture(scope="module")
def tangled(tmp_path_factory, object_format):
    """A tangled history without a graph, its commits oldest first, and the dulwich road's answers."""
    path = tmp_path_factory.mktemp("layers") / "repo"
    tangled_history(path, seed=31, object_format=object_format)
    patch = without_git()
    try:
        expected = answers(library_service(path))
    finally:
        patch.undo()
    return path, git(path, "rev-list", "--all", "--topo-order", "--reverse").split(), expected


@FUZZ
@given(data=st.data())
def test_chains_that_repeat_commits_never_change_an_answer(tangled, object_format, data):
    path, oldest_first, expected = tangled
    facts = commit_facts(path)
    # Layers cut from the history as it grew, each repeating some commits of the layers below, whose
    # children name one copy or the other.
    cuts = sorted(data.draw(st.sets(st.integers(min_value=1, max_value=len(oldest_first) - 1),
                                    min_size=1, max_size=3)))
    bounds = [0, *cuts, len(oldest_first)]
    layers = []
    for low, high in itertools.pairwise(bounds):
        below = oldest_first[:low]
        repeated = data.draw(st.lists(st.sampled_from(below), unique=True, min_size=1, max_size=4)) if below else []
        layers.append(oldest_first[low:high] + repeated)
    picks = data.draw(st.lists(st.booleans(), min_size=2))
    choice = iter(picks * (len(facts) * 8))
    write_graph_chain(path, layers, facts, object_format=object_format,
                      copy_for=lambda child, parent, held: held[-1] if next(choice) else held[0])
    patch = without_git()
    try:
        assert answers(gsc.GitServiceCython(str(path))) == expected
    finally:
        patch.undo()


# --- commits the store may not read, under rows that lie ---------------------------------------------------

PERSON = b"C <c@x>"

# Commit shapes dulwich reads, beyond the one git writes: {tree} and {parent} filled in.
SHAPES = {
    "committer first": b"tree {tree}\nparent {parent}\ncommitter %s 1600000001 +0000\nauthor %s 1600000001 +0000\n\nm\n",
    "CR after the zone": b"tree {tree}\nparent {parent}\nauthor %s 1600000002 +0000\ncommitter %s 1600000002 +0000\r\n\nm\n",
    "negative time": b"tree {tree}\nparent {parent}\nauthor %s -5 +0000\ncommitter %s -5 +0000\n\nm\n",
    "no committer": b"tree {tree}\nparent {parent}\nauthor %s 1600000003 +0000\n\nm\n",
    "no blank line": b"tree {tree}\nparent {parent}\nauthor %s 1600000004 +0000\ncommitter %s 1600000004 +0000\n",
    "encoding first": b"tree {tree}\nparent {parent}\nauthor %s 1600000005 +0000\nencoding UTF-8\ncommitter %s 1600000005 +0000\n\nm\n",
    "second author": b"tree {tree}\nparent {parent}\nauthor %s 1600000006 +0000\nauthor X <x@x> 1 +0000\ncommitter %s 1600000006 +0000\n\nm\n",
    "20-digit time": b"tree {tree}\nparent {parent}\nauthor %s 1600000007 +0000\ncommitter %s 16000000000000000007 +0000\n\nm\n",
    "plus time": b"tree {tree}\nparent {parent}\nauthor %s 1600000008 +0000\ncommitter %s +1600000008 +0000\n\nm\n",
}


def shaped_history(path: Path, object_format: str = "sha1") -> list[str]:
    """main: A, then one commit in each shape, each on the one before; feature: on the third shape.
    The commits' ids, oldest first."""
    git(path.parent, "init", "-q", "-b", "main", f"--object-format={object_format}", str(path))
    import_commits(path, [("main", [])])
    chain = [git(path, "rev-parse", "main")]
    empty_tree = git(path, "mktree", input=b"")
    for shape in SHAPES.values():
        text = shape.replace(b"%s", PERSON).replace(b"{tree}", empty_tree.encode())
        text = text.replace(b"{parent}", chain[-1].encode())
        chain.append(git(path, "hash-object", "-t", "commit", "--literally", "-w", "--stdin", input=text))
    git(path, "update-ref", "refs/heads/main", chain[-1])
    git(path, "update-ref", "refs/heads/feature", chain[3])
    git(path, "update-ref", "refs/remotes/origin/main", chain[-2])
    return chain


@pytest.mark.parametrize("shape", list(SHAPES))
def test_a_row_that_lies_about_a_commit_of_any_shape_changes_nothing(tmp_path, shape):
    # The row of the commit in `shape` names the first commit as its parent instead of the one it has (that of
    # the commit whose parent is the first names none).
    path = tmp_path / "shapes"
    chain = shaped_history(path)
    patch = without_git()
    try:
        expected = answers(library_service(path))
    finally:
        patch.undo()
    facts = commit_facts(path)
    forged = chain[1 + list(SHAPES).index(shape)]
    tree, parents, when = facts[forged]
    facts[forged] = (tree, [] if parents == [chain[0]] else [chain[0]], when)
    write_graph_chain(path, [chain], facts)
    patch = without_git()
    try:
        with listening() as heard:
            assert answers(gsc.GitServiceCython(str(path))) == expected
        # A walk finds the row wrong (the listing reads its commits without the graph) and the file is
        # refused after.
        assert_declined(heard.reasons, (ROW_DISAGREES, ROW_DISAGREED))
    finally:
        patch.undo()


def test_a_row_that_lies_about_a_damaged_commit_gives_dulwichs_answer(tmp_path, object_format):
    # A commit the store cannot read: the graph does not vouch for it, so the answers are those of
    # the plain road (which meets the damage itself), not those of the row.
    path = tmp_path / "damaged"
    linear = linear_with_fork(path, object_format)
    git(path, "repack", "-q", "-a", "-d")
    (pack,) = (path / ".git" / "objects" / "pack").glob("*.pack")
    moved = tmp_path / "moved.pack"
    os.rename(pack, moved)
    pack.with_suffix(".idx").unlink()
    git(path, "unpack-objects", "-q", input=moved.read_bytes())
    facts = commit_facts(path)
    tree, _, when = facts[linear["C"]]
    facts[linear["C"]] = (tree, [linear["A"]], when)  # C's row skips B
    (path / ".git" / "objects" / "info" / "commit-graph").unlink()
    write_graph_chain(path, [list(linear.values())], facts, object_format=object_format)
    loose = loose_path(path / ".git", linear["C"])
    os.chmod(loose, 0o644)
    loose.write_bytes(loose.read_bytes()[:-6] + b"\0" * 6)  # the stream no longer ends
    patch = without_git()
    try:
        with listening() as heard:
            native = answers(gsc.GitServiceCython(str(path)))
        assert_declined(heard.reasons, "loose object: zlib stream damaged")
        assert native == answers(library_service(path))
    finally:
        patch.undo()
