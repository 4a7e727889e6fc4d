"""The benchmark's own checks, at the smallest scale: a deterministic corpus and a well-formed table; the demo runs."""

import hashlib
import importlib.util
import json
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
    assert sorted(first) == ["history-main", "history-master", "history-plain", "refs", "worktree"]
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


def test_the_table_and_json_are_well_formed(bench, tmp_path, capsys):
    output = tmp_path / "rows.json"
    assert bench.main(["--scale", "tiny", "--root", str(tmp_path / "corpus"), "--repeats", "1",
                       "--only", "list_branches", "--json", str(output)]) == 0
    lines = [line for line in capsys.readouterr().out.splitlines() if line.startswith("|")]
    header = [cell.strip() for cell in lines[0].strip("|").split("|")]
    assert header == ["method", "repository", "road", "module ms", "floor ms", "ratio", "overhead ms",
                      "module spread ms"]
    rows = [[cell.strip() for cell in line.strip("|").split("|")] for line in lines[2:]]
    assert [(row[0], row[2]) for row in rows] == [("list_branches", "git"), ("list_branches", "no git")]
    for row in rows:
        module_ms, floor_ms, ratio = float(row[3]), float(row[4]), float(row[5])
        assert module_ms > 0 and floor_ms > 0 and ratio == pytest.approx(module_ms / floor_ms, rel=0.05)
    payload = json.loads(output.read_text())
    assert payload["scale"] == "tiny" and len(payload["rows"]) == 2
    assert set(payload["rows"][0]) >= {"method", "repo", "road", "module_ms", "floor_ms", "ratio", "overhead_ms"}


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
