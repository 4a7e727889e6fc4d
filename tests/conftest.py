"""Repositories made with git in temporary directories, and test doubles."""

from __future__ import annotations

import importlib.util
import os
import subprocess
import types
from pathlib import Path

import git_service_cython as gsc
import pytest
from git_env import BASE_TIME, GIT_ENV
from newer_git import SKIP_REASON, find_newer_git


def pytest_report_header():
    return f"git_service_cython: {gsc.__file__}"


def pytest_sessionstart(session):
    """A run against an installed wheel (`make wheel-check`) names the environment
    the modules must come from, so that no other build can stand in for it."""
    home = os.environ.get("GSC_MODULES_FROM")
    if not home:
        return
    for name in ("git_service_cython", "_git_store_probe"):
        spec = importlib.util.find_spec(name)
        origin = spec.origin if spec is not None else None
        if origin is None or not Path(origin).resolve().is_relative_to(Path(home).resolve()):
            raise pytest.UsageError(f"{name} is imported from {origin}, not from {home}")


@pytest.fixture(autouse=True)
def isolated_git(monkeypatch):
    for key, value in GIT_ENV.items():
        monkeypatch.setenv(key, value)


class GitRepo:
    """A working tree made with git, with helpers for building history; `program`
    is the git that runs them (the one on PATH by default)."""

    def __init__(self, path: Path, program: str = "git"):
        self.path = path
        self.program = program
        self._tick = 0

    def git(self, *args: str, env: dict | None = None, input: bytes | str | None = None) -> str:
        full_env = {**os.environ, **(env or {})}
        text = not isinstance(input, bytes)
        result = subprocess.run(
            [self.program, *args], cwd=self.path, env=full_env, input=input,
            capture_output=True, text=text, check=False,
        )
        if result.returncode != 0:
            raise AssertionError(f"git {' '.join(args)} failed: {result.stderr!r}")
        return result.stdout.strip() if text else result.stdout

    def write(self, relpath: str, content: str | bytes = "") -> Path:
        target = self.path / relpath
        target.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, bytes):
            target.write_bytes(content)
        else:
            target.write_text(content)
        return target

    def next_date(self) -> str:
        self._tick += 1
        return f"{BASE_TIME + self._tick * 60} +0000"

    def commit(self, message: str = "change", files: dict | None = None, date: int | str | None = None,
               allow_empty: bool = True, author: str | None = None) -> str:
        """Writes `files`, stages everything and commits; returns the new id."""
        for relpath, content in (files or {}).items():
            self.write(relpath, content)
        self.git("add", "-A")
        when = f"{date} +0000" if isinstance(date, int) else (date or self.next_date())
        env = {"GIT_AUTHOR_DATE": when, "GIT_COMMITTER_DATE": when}
        args = ["commit", "-q", "--no-verify", "-m", message]
        if allow_empty:
            args.append("--allow-empty")
        if author:
            args += ["--author", author]
        self.git(*args, env=env)
        return self.head()

    def head(self, rev: str = "HEAD") -> str:
        return self.git("rev-parse", rev)

    def linear_history(self, count: int, branch: str = "main", start: str | None = None,
                       prefix: str = "commit") -> list[str]:
        """Adds `count` commits to `branch` quickly with fast-import; returns their ids, oldest first."""
        lines = []
        parent = start if start is not None else self._rev_or_none(branch)
        for i in range(count):
            self._tick += 1
            when = BASE_TIME + self._tick * 60
            message = f"{prefix} {i}\n".encode()
            lines.append(f"commit refs/heads/{branch}\nmark :{i + 1}\n".encode())
            lines.append(f"author Ann Author <ann@example.com> {when} +0000\n".encode())
            lines.append(f"committer Carl Committer <carl@example.com> {when} +0000\n".encode())
            lines.append(b"data %d\n" % len(message) + message)
            if i == 0 and parent:
                lines.append(f"from {parent}\n".encode())
            lines.append(b"\n")
        lines.append(b"done\n")
        self.git("fast-import", "--quiet", "--done", "--force", input=b"".join(lines))
        marks = self.git("rev-list", "--reverse", f"-{count}", branch)
        return marks.split()

    def _rev_or_none(self, rev: str) -> str | None:
        result = subprocess.run([self.program, "rev-parse", "--verify", "-q", rev], cwd=self.path,
                                capture_output=True, text=True, check=False)
        return result.stdout.strip() if result.returncode == 0 else None


def init_repo(path: Path, branch: str = "main", program: str = "git", options: tuple[str, ...] = (),
              object_format: str | None = None) -> GitRepo:
    """A new repository made by `program` with `git init`'s `options`, driven by the same git;
    `object_format` "sha256" makes one whose ids are SHA-256 ones."""
    path.mkdir(parents=True, exist_ok=True)
    if object_format:
        options = (*options, f"--object-format={object_format}")
    subprocess.run([program, "init", "-q", "-b", branch, *options, str(path)], check=True,
                   env={**os.environ, **GIT_ENV})
    return GitRepo(path, program)


@pytest.fixture(scope="module", params=["sha1", "sha256"])
def object_format(request) -> str:
    """The object format of the repositories a test builds: each test that asks for it (or for a
    fixture that does) runs once for SHA-1 and once for SHA-256."""
    return request.param


@pytest.fixture
def probe_format(request):
    """The object format the store probe reads in for the test: the test's object_format where it
    has one, SHA-1 otherwise; the probe's earlier format is restored afterwards."""
    import _git_store_probe as probe

    wanted = request.getfixturevalue("object_format") if "object_format" in request.fixturenames else "sha1"
    before = probe.set_hash_format(wanted)
    try:
        yield wanted
    finally:
        probe.set_hash_format(before)


@pytest.fixture
def repo(tmp_path, request) -> GitRepo:
    """An empty repository whose current branch is main, in the test's object_format where it takes one."""
    object_format = request.getfixturevalue("object_format") if "object_format" in request.fixturenames else None
    return init_repo(tmp_path / "repo", object_format=object_format)


@pytest.fixture
def make_repo(tmp_path):
    """Makes further repositories: make_repo("name", branch="master")."""
    def make(name: str = "other", branch: str = "main") -> GitRepo:
        return init_repo(tmp_path / name, branch)
    return make


@pytest.fixture
def newer_git() -> str:
    """The path of a git that makes reftable repositories (see newer_git.py);
    skips the test where there is none."""
    program = find_newer_git()
    if program is None:
        pytest.skip(SKIP_REASON)
    return program


@pytest.fixture
def service_for():
    return lambda repo: gsc.GitServiceCython(str(repo.path))


@pytest.fixture
def hide_git(monkeypatch, tmp_path):
    """hide_git() hides the git program from then on: PATH holds only an empty directory."""
    def hide():
        empty = tmp_path / "no-git-bin"
        empty.mkdir(exist_ok=True)
        monkeypatch.setenv("PATH", str(empty))
    return hide


@pytest.fixture
def no_git(hide_git):
    """Hides the git program from the start of the test."""
    hide_git()


@pytest.fixture
def real_run_spy(monkeypatch):
    """Records the module's subprocess.run calls and lets real git answer them."""
    real_run = subprocess.run
    commands = []

    def spy(args, **kwargs):
        if "env" not in kwargs:  # the tests' own git runs always pass one
            commands.append(list(args))
        return real_run(args, **kwargs)

    monkeypatch.setattr(subprocess, "run", spy)
    return commands


class RunRecorder:
    """Stands in for subprocess.run: records each call and answers from a script.

    `answers` maps a tuple prefix of the argument list to a CompletedProcess-like
    object, an exception to raise, or a callable taking the argument list.
    """

    def __init__(self):
        self.calls: list[tuple[list, dict]] = []
        self.answers: list[tuple[tuple, object]] = []

    def answer(self, prefix: tuple, result=None, *, stdout="", stderr="", returncode=0):
        if result is None:
            result = types.SimpleNamespace(returncode=returncode, stdout=stdout, stderr=stderr)
        self.answers.append((tuple(prefix), result))

    def __call__(self, args, **kwargs):
        self.calls.append((list(args), kwargs))
        for prefix, result in self.answers:
            if tuple(args[: len(prefix)]) == prefix:
                if isinstance(result, BaseException):
                    raise result
                if callable(result) and not isinstance(result, types.SimpleNamespace):
                    return result(args)
                return result
        return types.SimpleNamespace(returncode=0, stdout="", stderr="")

    @property
    def commands(self) -> list[list]:
        return [args for args, _ in self.calls]


@pytest.fixture
def run_recorder(monkeypatch) -> RunRecorder:
    recorder = RunRecorder()
    monkeypatch.setattr(subprocess, "run", recorder)
    return recorder
