"""The benchmark's own checks, at the smallest scale: a deterministic corpus and a well-formed table; the demo runs."""

import hashlib
import importlib.util
import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

PROJECT = Path(__file__).resolve().parent.parent


def load(name: str, path: Path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def bench():
    sys.path.insert(0, str(PROJECT / "bench"))
    try:
        yield load("bench_run", PROJECT / "bench" / "run.py")
    finally:
        sys.path.remove(str(PROJECT / "bench"))


def snapshot(repo: Path) -> list[str]:
    def git(*args):
        return subprocess.run(["git", *args], cwd=repo, capture_output=True, text=True, check=True).stdout

    return [git("for-each-ref", "--format=%(refname) %(objectname)"), git("stash", "list", "--format=%H %gs"),
            git("status", "--porcelain", "-u"), git("rev-parse", "HEAD")]


def commit_graph(repo: Path) -> str | None:
    """The digest of the repository's commit-graph file, None when it has none."""
    info = repo / ".git" / "objects" / "info"
    assert not (info / "commit-graphs").exists()  # one file, not a chain
    path = info / "commit-graph"
    return hashlib.sha256(path.read_bytes()).hexdigest() if path.exists() else None


def test_the_corpus_is_deterministic(bench, tmp_path):
    first = bench.corpus.ensure("tiny", tmp_path / "one")
    second = bench.corpus.ensure("tiny", tmp_path / "two")
    assert sorted(first) == ["history-main", "history-main-sha256", "history-master", "history-plain",
                             "history-plain-sha256", "refs", "refs-sha256", "worktree", "worktree-sha256"]
    for name in first:
        assert snapshot(first[name]) == snapshot(second[name]), name
        assert commit_graph(first[name]) == commit_graph(second[name]), name
    # A finished corpus is reused, not rebuilt.
    marker = first["refs"] / ".git" / "bench-corpus"
    before = marker.stat().st_mtime_ns
    bench.corpus.ensure("tiny", tmp_path / "one")
    assert marker.stat().st_mtime_ns == before


def test_the_histories_with_and_without_a_commit_graph(bench, tmp_path):
    repos = bench.corpus.ensure("tiny", tmp_path / "corpus")
    assert commit_graph(repos["history-main"]) is not None
    assert commit_graph(repos["history-master"]) is not None
    assert commit_graph(repos["history-plain"]) is None
    # git finds the graph sound.
    verify = subprocess.run(["git", "commit-graph", "verify"], cwd=repos["history-main"], capture_output=True,
                            check=False)
    assert verify.returncode == 0, verify.stderr
    # history-plain is history-main less its graph: copied when history-main is
    # built, made anew otherwise, the same either way.
    assert snapshot(repos["history-plain"]) == snapshot(repos["history-main"])
    fresh = tmp_path / "fresh" / "history-plain"
    bench.corpus.build_plain_history(fresh, bench.corpus.SCALES["tiny"])
    assert snapshot(fresh) == snapshot(repos["history-plain"])
    assert commit_graph(fresh) is None


def table_rows(output: str, which: int = 0) -> tuple[list[str], list[list[str]]]:
    """The header and rows of the output's first table (or of a later one)."""
    tables: list[list[str]] = []
    previous = ""
    for line in output.splitlines():
        if line.startswith("|"):
            if not previous.startswith("|"):
                tables.append([])
            tables[-1].append(line)
        previous = line
    lines = tables[which]
    header = [cell.strip() for cell in lines[0].strip("|").split("|")]
    return header, [[cell.strip() for cell in line.strip("|").split("|")] for line in lines[2:]]


def git_lines(repo: Path, *args: str) -> list[str]:
    """git's output lines, with the ids that subjects quote (a stash's "WIP on main: 1a2b3c4 ...") left out."""
    output = subprocess.run(["git", *args], cwd=repo, capture_output=True, text=True, check=True).stdout
    return [re.sub(r": [0-9a-f]{7,64} ", ": <id> ", line) for line in output.splitlines()]


def history_shape(repo: Path) -> list[tuple[str, str, int]]:
    """Every commit's subject, time and number of parents, in git's order."""
    lines = git_lines(repo, "log", "--all", "--format=%s%x00%at%x00%P")
    return [(subject, when, len(parents.split())) for subject, when, parents in (line.split("\0") for line in lines)]


def test_the_sha256_twins_hold_what_their_sha1_twins_hold(bench, tmp_path):
    repos = bench.corpus.ensure("tiny", tmp_path / "corpus")
    assert bench.corpus.SHA256_TWINS == {"history-main-sha256": "history-main", "history-plain-sha256": "history-plain",
                                         "refs-sha256": "refs", "worktree-sha256": "worktree"}
    for twin, name in bench.corpus.SHA256_TWINS.items():
        sha1, sha256 = repos[name], repos[twin]
        assert git_lines(sha256, "rev-parse", "--show-object-format") == ["sha256"], twin
        assert git_lines(sha1, "rev-parse", "--show-object-format") == ["sha1"], name
        assert len(git_lines(sha256, "rev-parse", "HEAD")[0]) == 64
        # The same refs, histories (subjects, dates, shapes), working tree and stashes.
        assert git_lines(sha256, "for-each-ref", "--format=%(refname) %(objecttype) %(subject)") == \
            git_lines(sha1, "for-each-ref", "--format=%(refname) %(objecttype) %(subject)"), twin
        assert history_shape(sha256) == history_shape(sha1), twin
        assert git_lines(sha256, "status", "--porcelain", "-u") == git_lines(sha1, "status", "--porcelain", "-u")
        assert git_lines(sha256, "stash", "list", "--format=%gs") == git_lines(sha1, "stash", "list", "--format=%gs")
        # A commit-graph where the SHA-1 twin has one, and one that git finds sound.
        assert (commit_graph(sha256) is None) == (commit_graph(sha1) is None), twin
        if commit_graph(sha256) is not None:
            verify = subprocess.run(["git", "commit-graph", "verify"], cwd=sha256, capture_output=True, check=False)
            assert verify.returncode == 0, verify.stderr
    assert commit_graph(repos["history-main-sha256"]) is not None
    # history-plain-sha256 is history-main-sha256 less its graph, built either way.
    fresh = tmp_path / "fresh" / "history-plain-sha256"
    bench.corpus.build_plain_history(fresh, bench.corpus.SCALES["tiny"], bench.corpus.SHA256)
    assert snapshot(fresh) == snapshot(repos["history-plain-sha256"]) == snapshot(repos["history-main-sha256"])
    assert commit_graph(fresh) is None


def test_the_table_and_json_are_well_formed(bench, tmp_path, capsys):
    output = tmp_path / "rows.json"
    assert bench.main(["--scale", "tiny", "--root", str(tmp_path / "corpus"), "--repeats", "1",
                       "--only", "list_branches", "--json", str(output)]) == 0
    header, rows = table_rows(capsys.readouterr().out)
    assert header == ["method", "repository", "road", "module ms", "floor ms", "ratio", "overhead ms",
                      "module spread ms", "pygit2 ms", "module / pygit2", "pygit2 peer"]
    assert [(row[0], row[2]) for row in rows] == [("list_branches", "git"), ("list_branches", "no git")]
    for row in rows:
        module_ms, floor_ms, ratio = float(row[3]), float(row[4]), float(row[5])
        assert module_ms > 0 and floor_ms > 0 and ratio == pytest.approx(module_ms / floor_ms, rel=0.05)
        assert row[8:] == ["", "", ""]  # pygit2 has no peer for the branch listing
    payload = json.loads(output.read_text())
    assert payload["scale"] == "tiny" and len(payload["rows"]) == 2
    assert "pygit2" in payload["versions"]
    assert set(payload["rows"][0]) >= {"method", "repo", "road", "module_ms", "floor_ms", "ratio", "overhead_ms",
                                       "pygit2_ms", "module_per_pygit2", "pygit2_peer"}
    assert payload["rows"][0]["pygit2_ms"] is None and payload["rows"][0]["module_per_pygit2"] is None


def test_pygit2_peers_answer_as_the_module_and_are_timed(bench, tmp_path, capsys):
    output = tmp_path / "rows.json"
    assert bench.main(["--scale", "tiny", "--root", str(tmp_path / "corpus"), "--repeats", "1",
                       "--only", "_commits", "--json", str(output)]) == 0
    _, rows = table_rows(capsys.readouterr().out)
    peered = {(row[0], row[1], row[2]) for row in rows if row[8]}
    for repo, base in (("history-main", "main"), ("history-master", "master"), ("history-plain", "main")):
        for method in ("list_commits(feature)", f"list_commits({base})", "list_commits(feature, skip=200)",
                       f"list_commits({base}, skip=200)", "list_commits(feature, full history)",
                       f"count_commits({base})", "count_commits(feature)"):
            assert (method, repo, "git") in peered, (method, repo)
        assert ("count_commits(feature)", repo, "no git") in peered, repo
    # The table rounds to hundredths, too coarse for a ratio of the tiny
    # corpus's timings: the ratios are checked in the JSON.
    for row in rows:
        if row[8]:
            assert float(row[8]) > 0 and float(row[9]) > 0 and row[10]
    payload = json.loads(output.read_text())
    for row in payload["rows"]:
        if row["pygit2_ms"] is not None:
            assert row["module_per_pygit2"] == pytest.approx(row["module_ms"] / row["pygit2_ms"])
            assert row["pygit2_peer"]


def test_the_sha256_rows_stand_beside_their_sha1_twins(bench, tmp_path, capsys):
    output = tmp_path / "rows.json"
    assert bench.main(["--scale", "tiny", "--root", str(tmp_path / "corpus"), "--repeats", "1",
                       "--only", "get_", "--json", str(output)]) == 0
    printed = capsys.readouterr().out
    _, rows = table_rows(printed)
    keys = {(row[0], row[1], row[2]) for row in rows}
    for method, road in (("get_merge_base(feature)", "git"), ("get_merge_base(feature)", "no git"),
                         ("get_commit_refs", "git")):
        for repo in ("history-main", "history-plain"):
            assert {(method, repo, road), (method, f"{repo}-sha256", road)} <= keys
    assert {("get_commit_refs(head)", "refs-sha256", "git"), ("get_file_status (scan)", "worktree-sha256", "no git")} \
        <= keys
    # Only the methods that read natively have twins; pygit2 reads no SHA-256 repository.
    assert not any(repo.endswith("-sha256") for method, repo, _ in keys if method in (
        "get_commit_refs_from_git_log", "get_branch_info", "get_commit_diff", "get_file_status", "get_stash_diff"))
    for row in rows:
        if row[1].endswith("-sha256"):
            assert row[8:] == ["", "", ""], row
    assert "pygit2 does not read SHA-256 repositories" in printed
    # The second table: each SHA-256 row by its SHA-1 twin, with the ratios of the JSON's times.
    header, beside = table_rows(printed, 1)
    assert header == ["method", "repository", "road", "SHA-1 ms", "SHA-256 ms", "SHA-256 / SHA-1",
                      "floors' SHA-256 / SHA-1"]
    twins = [key for key in keys if key[1].endswith("-sha256")]
    assert len(beside) == len(twins) and all(not row[1].endswith("-sha256") for row in beside)
    payload = {(row["method"], row["repo"], row["road"]): row for row in json.loads(output.read_text())["rows"]}
    for method, repo, road, sha1_ms, sha256_ms, *_ in beside:
        sha1, sha256 = payload[method, repo, road], payload[method, f"{repo}-sha256", road]
        assert (float(sha1_ms), float(sha256_ms)) == (round(sha1["module_ms"], 2), round(sha256["module_ms"], 2))


def test_twins_are_measured_in_the_same_turns(bench):
    calls = []

    def case(method, repo):
        return bench.Case(method, repo, "git", lambda: calls.append((method, repo, "module")),
                          lambda: calls.append((method, repo, "floor")))

    cases = [case("count_commits(main)", "history-main"), case("list_tags", "refs"),
             case("count_commits(main)", "history-main-sha256"), case("list_tags", "refs-sha256"),
             case("list_commits(main)", "history-main-sha256")]  # no SHA-1 twin among the cases
    rows = bench.measure_all(cases, 2)
    assert [(row.method, row.repo) for row in rows] == [(c.method, c.repo) for c in cases]
    # One warming call and two turns of each, a pair's calls taking turns with one another.
    runs = [call[:2] for call in calls]
    first = runs.index(("count_commits(main)", "history-main"))
    assert runs[first:first + 12].count(("count_commits(main)", "history-main-sha256")) == 6
    assert runs.index(("list_tags", "refs")) > first + 11
    assert runs[-6:] == [("list_commits(main)", "history-main-sha256")] * 6


def test_the_readme_gives_the_sha256_rows_beside_their_twins(bench, tmp_path):
    readme = tmp_path / "README.md"
    readme.write_text(f"{bench.README_BEGIN}\n{bench.README_END}\n")
    rows = [bench.Row("count_commits(main)", "history-main", "git", 60.0, 50.0, 55.0, 70.0, 700.0, "Walker"),
            bench.Row("list_tags", "refs", "git", 950.0, 900.0, 930.0, 1000.0),
            bench.Row("count_commits(main)", "history-main-sha256", "git", 66.0, 60.0, 60.0, 75.0)]
    bench.write_readme(readme, full_run(bench, rows))
    text = readme.read_text()
    _, table = table_rows(text)
    assert [row[:2] for row in table] == [["count_commits(main)", "history-main"], ["list_tags", "refs"],
                                         ["count_commits(main)", "history-main-sha256"]]
    header, beside = table_rows(text, 1)
    assert header[3:] == ["SHA-1 ms", "SHA-256 ms", "SHA-256 / SHA-1", "floors' SHA-256 / SHA-1"]
    assert beside == [["count_commits(main)", "history-main", "git", "60.00", "66.00", "1.100", "1.200"]]
    assert "pygit2 does not read SHA-256 repositories" in text
    # Without twins, no second table.
    bench.write_readme(readme, full_run(bench, rows[1:2]))
    assert "SHA-256 beside SHA-1" not in readme.read_text()


@pytest.mark.parametrize("road", ["git", "no git"])
def test_the_merge_base_and_status_peers_answer_as_the_module(bench, tmp_path, road):
    repos = bench.corpus.ensure("tiny", tmp_path / "corpus")
    cases = [case for case in bench.all_cases(repos) if case.road == road and case.peer is not None
             and (case.method.startswith("get_") or case.method.startswith("count_"))]
    assert {case.method for case in cases} >= {"get_merge_base(feature)", "count_commits(feature)"}
    if road == "no git":
        assert "get_file_status (scan)" in {case.method for case in cases}
    for case in cases:
        with bench.road(case.road):
            bench.check_peer(case)


def test_the_refs_peers_answer_as_the_module(bench, tmp_path):
    repos = bench.corpus.ensure("tiny", tmp_path / "corpus")
    # The refs are packed, with loose ones over some of them.
    git_dir = repos["refs"] / ".git"
    assert (git_dir / "packed-refs").read_bytes().startswith(b"# pack-refs with: peeled fully-peeled sorted")
    assert list((git_dir / "refs" / "heads").iterdir()) and list((git_dir / "refs" / "remotes").rglob("branch-*"))
    cases = {case.method: case for case in bench.refs_cases("refs", repos["refs"])}
    for method in ("get_commit_refs(head)", "a fresh service's first page"):
        assert cases[method].peer is not None
        bench.check_peer(cases[method])


def full_run(bench, rows, **changes) -> dict:
    payload = {"scale": "full", "repeats": 5, "only": None, "machine": "x86_64, 2 cores", "versions": "git 2",
               "rows": [{**bench.dataclasses.asdict(row), "ratio": row.ratio} for row in rows]}
    return {**payload, **changes}


def test_a_full_run_rewrites_only_the_readme_table(bench, tmp_path):
    readme = tmp_path / "README.md"
    readme.write_text(f"# Title\n\nBefore.\n\n{bench.README_BEGIN}\nold table\n{bench.README_END}\n\nAfter.\n")
    rows = [bench.Row("list_tags", "refs", "git", 950.0, 900.0, 930.0, 1000.0),
            bench.Row("count_commits(main)", "history-main", "git", 60.0, 62.0, 50.0, 80.0, 750.0, "Walker")]
    bench.write_readme(readme, full_run(bench, rows))
    text = readme.read_text()
    assert text.startswith(f"# Title\n\nBefore.\n\n{bench.README_BEGIN}\nScale full, 5 runs each, medians;")
    assert text.endswith(f"{bench.README_END}\n\nAfter.\n") and "old table" not in text
    header, table = table_rows(text)
    assert header[:3] == ["method", "repository", "road"] and len(header) == 11
    assert table == [["list_tags", "refs", "git", "950.00", "900.00", "1.056", "+50.00", "930.00–1000.00", "", "", ""],
                     ["count_commits(main)", "history-main", "git", "60.00", "62.00", "0.968", "-2.00",
                      "50.00–80.00", "750.00", "0.080", "Walker"]]
    # Written again from the same rows, it is the same.
    bench.write_readme(readme, full_run(bench, rows))
    assert readme.read_text() == text
    # A quick or partial run never replaces it.
    for changes in ({"scale": "quick"}, {"only": "list_tags"}):
        with pytest.raises(bench.NotAFullRun):
            bench.write_readme(readme, full_run(bench, rows, **changes))
    assert readme.read_text() == text
    with pytest.raises(SystemExit):
        bench.main(["--scale", "quick", "--readme", str(readme)])
    assert readme.read_text() == text


def test_the_project_readme_has_its_table_between_the_markers(bench):
    text = (PROJECT / "README.md").read_text()
    assert text.count(bench.README_BEGIN) == 1 and text.count(bench.README_END) == 1
    section = text[text.index(bench.README_BEGIN):text.index(bench.README_END)]
    header, rows = table_rows(section)
    assert header == ["method", "repository", "road", "module ms", "floor ms", "ratio", "overhead ms",
                      "module spread ms", "pygit2 ms", "module / pygit2", "pygit2 peer"]
    assert {"get_commit_refs(head)", "a fresh service's first page"} <= {row[0] for row in rows}


def test_a_peer_that_answers_differently_stops_the_run(bench):
    case = bench.Case("count_commits(main)", "history-main", "git", lambda: 5, lambda: None,
                      bench.Peer(lambda: 6, "a wrong count"))
    with pytest.raises(bench.PeerMismatch, match="count_commits"):
        bench.measure(case, 1)
    records = [bench.gsc.CommitInfo("a" * 40, "one", "A <a@b>", 1), bench.gsc.CommitInfo("b" * 40, "two", "A <a@b>", 2)]
    case = bench.Case("list_commits(main)", "history-main", "git", lambda: records, lambda: None,
                      bench.Peer(lambda: records[:1], "too short"))
    with pytest.raises(bench.PeerMismatch, match="lengths 2 and 1; first difference at 1"):
        bench.measure(case, 1)


def test_the_demo_shows_every_pane(repo, capsys):
    repo.commit("first", files={"a.txt": "a\n"})
    repo.git("tag", "v1")
    repo.write("a.txt", "changed\n")
    demo = load("demo", PROJECT / "demo" / "demo.py")
    assert demo.main(["demo", str(repo.path)]) == 0
    out = capsys.readouterr().out
    for title in ("Branches", "Remote branches", "Commits of main", "Commit count of main", "Working tree",
                  "Tags (1)", "Stashes", "Diff of"):
        assert f"== {title}" in out, title
    assert "\033[" not in out  # not a terminal: no colour
    assert "modified   a.txt" in out


# --- the huge corpus, at a size of its shape small enough for a test ----------------------------------------

@pytest.fixture(scope="module")
def small_huge(bench, tmp_path_factory):
    """The huge corpus's repositories at a few hundred commits (a merge every 50, 40 files, 300 refs)."""
    scale = bench.corpus.HugeScale(commits=500, tags=60, branches=20, files=40, merge_every=50, feature_commits=6,
                                   loose_every=4, files_per_directory=7, ignored_files=5, stashes=2)
    base = tmp_path_factory.mktemp("huge")
    builders = bench.corpus.huge_builders(scale)
    repos = bench.corpus.build_all(base, builders, bench.corpus.HUGE_ORDER, bench.corpus.HUGE_AFTER,
                                   bench.corpus.marker_text(scale))
    return scale, repos


def test_the_huge_corpus_has_its_shape(small_huge):
    scale, repos = small_huge
    history = repos["history"]
    assert int(git_lines(history, "rev-list", "--count", "main")[0]) == scale.commits
    merges = git_lines(history, "rev-list", "--merges", "main")
    first_parents = git_lines(history, "rev-list", "--first-parent", "main")
    # A merge every `merge_every` commits of main's line, each bringing two commits of a side branch.
    assert abs(len(merges) - len(first_parents) // scale.merge_every) <= 1 and merges
    assert len(first_parents) + 2 * len(merges) == scale.commits
    fork = git_lines(history, "merge-base", "main", "feature")[0]
    assert first_parents.index(fork) == scale.commits // 50 - 1
    assert int(git_lines(history, "rev-list", "--count", "main..feature")[0]) == scale.feature_commits
    assert git_lines(history, "for-each-ref", "--format=%(refname)") == [
        "refs/heads/feature", "refs/heads/main", "refs/remotes/origin/HEAD", "refs/remotes/origin/feature",
        "refs/remotes/origin/main", "refs/tags/v1.0"]
    # One graph file, a chain of three, none; the same commits and refs in all three, the packs shared.
    assert commit_graph(history) is not None
    chain = (repos["history-split"] / ".git/objects/info/commit-graphs/commit-graph-chain").read_text().split()
    assert len(chain) == 3
    assert not (repos["history-plain"] / ".git/objects/info/commit-graph").exists()
    for name in ("history-split", "history-plain"):
        assert snapshot(repos[name]) == snapshot(history), name
        pack = next((repos[name] / ".git/objects/pack").glob("*.pack"))
        assert pack.stat().st_nlink >= 3
    for name in ("history", "history-split"):
        verify = subprocess.run(["git", "commit-graph", "verify"], cwd=repos[name], capture_output=True, check=False)
        assert verify.returncode == 0, verify.stderr
    # Refs: tags (a third annotated) and branches of both kinds, packed, one in `loose_every` loose.
    refs = repos["refs"]
    assert len(git_lines(refs, "for-each-ref", "refs/tags/")) == scale.tags
    assert len(git_lines(refs, "for-each-ref", "refs/heads/branch-*")) == scale.branches
    loose = [path for path in (refs / ".git/refs").rglob("*") if path.is_file()]
    light = [i for i in range(scale.tags) if i % 3]
    assert len(loose) == 2 * len(range(0, scale.branches, scale.loose_every)) + len(light[::scale.loose_every])
    # The working tree: its files, a few directories' worth, some changed and some new.
    worktree = repos["worktree"]
    assert len(git_lines(worktree, "ls-files")) == scale.files + 1  # and .gitignore
    assert len({line.rsplit("/", 1)[0] for line in git_lines(worktree, "ls-files") if "/" in line}) == \
        -(-scale.files // scale.files_per_directory)
    assert any(line.startswith("??") for line in git_lines(worktree, "status", "--porcelain", "-u"))


def test_the_huge_tables_and_the_fresh_processes(bench, small_huge):
    _, repos = small_huge
    cases = [case for case in bench.huge_cases(repos) if case.method.startswith(("count_commits(feature)",
                                                                                 "list_branches"))]
    rows = bench.measure_all(cases, 1)
    for case, row in zip(cases, rows, strict=True):
        if case.task is not None:
            bench.measure_fresh(case, row, repos[case.repo])
            assert row.first_ms > 0 and row.peak_mb > 10, row
            assert (row.pygit2_first_ms is None) == (case.peer is None), row
    size = {"size": "small", "commits": 500, "refs": 100, "files": 40, "repeats": 1,
            "mapped_mb": {name: bench.packs_and_graph_mb(path) for name, path in repos.items()},
            "imported_mb": {"module": 20.0, "pygit2": 30.0}, "rows": [bench.row_json(row) for row in rows]}
    bigger = {**size, "size": "bigger", "rows": [{**bench.row_json(row), "module_ms": 2 * row.module_ms}
                                                 for row in rows]}
    section = bench.huge_section({"machine": "m", "versions": "v", "sizes": [size, bigger]})
    header, table = table_rows(section)
    assert header == bench.HUGE_HEADER and len(table) == len(rows)
    assert all(row[10] for row in table if row[2] == "no git")  # the fresh processes' peak memory
    header, growth = table_rows(section, 1)
    assert header[3:6] == ["small ms", "bigger ms", "bigger / small"]
    assert {row[5] for row in growth} == {"2.0"}
