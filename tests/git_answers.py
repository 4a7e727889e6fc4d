"""What git itself says of a repository: the ground truth the format suites compare the panes with."""

from __future__ import annotations

from collections import deque


class GitAnswers:
    """git's parents, log fields and refs of a repository; `git(*args)` runs the git that reads it."""

    def git(self, *args: str) -> str:
        raise NotImplementedError

    def read_git_answers(self) -> None:
        self.parents = {}
        for line in self.git("rev-list", "--parents", "--all").splitlines():
            commit, *parents = line.split()
            self.parents[commit] = parents
        self.logged = {}
        for line in self.git("log", "--all", "--format=%H%x00%s%x00%an <%ae>%x00%ct").splitlines():
            commit, summary, author, time = line.split("\x00")
            self.logged[commit] = (summary, author, int(time))
        self.refs = []  # (name, the id it holds, the commit a tag peels to)
        for line in self.git("for-each-ref", "--format=%(refname) %(objectname) %(*objectname)").splitlines():
            name, target, *peeled = line.split()
            self.refs.append((name, target, peeled[0] if peeled else target))

    def head(self, rev: str) -> str:
        return self.git("rev-parse", rev)

    def walk(self, head: str, limit: int = -1) -> list[str]:
        """The breadth-first walk from `head`: each commit at its first reach."""
        seen, queue, order = set(), deque([head]), []
        while queue and (limit < 0 or len(order) < limit):
            commit = queue.popleft()
            if commit in seen:
                continue
            seen.add(commit)
            order.append(commit)
            queue.extend(self.parents[commit])
        return order

    def names_at(self, prefix: str, commit: str, peeled: bool = False) -> list[str]:
        return sorted(name[len(prefix):] for name, target, peel in self.refs
                      if name.startswith(prefix) and (peel if peeled else target) == commit)
