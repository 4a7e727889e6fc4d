"""The typed host sample (checked by `mypy --strict` in `make typecheck`) also runs as written."""

import importlib.util
from pathlib import Path


def load_sample():
    path = Path(__file__).parent / "typing" / "sample_usage.py"
    spec = importlib.util.spec_from_file_location("sample_usage", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_typed_sample_runs_against_a_repository(repo):
    repo.commit("first", files={"README.md": "hello\n"})
    repo.git("checkout", "-q", "-b", "feature")
    repo.commit("second", files={"src/a.txt": "a\n"})
    repo.git("checkout", "-q", "main")
    repo.git("tag", "-a", "v1", "-m", "release")
    repo.write("README.md", "changed\n")
    repo.git("stash", "push", "-q", "-m", "work")
    lines = load_sample().show_repository(repo.path)
    assert lines[0] == str(repo.path.resolve())
    assert any(line.startswith("v1 ") for line in lines)
