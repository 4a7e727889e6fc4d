"""What the native road left to dulwich, and why, while a test's calls ran.

The module logs each reason at DEBUG on its logger, once per call as
"<method>: <reason>" (a file's reason once per file identity in the process:
tests that read it use a fresh copy of the repository per case); the probe
gives the reasons of its last store call. The hostile suites name, next to
each damage, what the native road must give for it: a reason, a tuple of
reasons, NOTHING where the store reads the damaged repository itself, or
AnyOf(reasons) where which of them a call meets first depends on the
repository's ids."""

from __future__ import annotations

import logging
from collections.abc import Iterator
from contextlib import contextmanager

import _git_store_probe as probe

LOGGER = "git_service_cython"

# The store read every file of the case itself: nothing was declined.
NOTHING = None


class AnyOf(tuple):
    """One or more of these reasons, and no other."""

    def __new__(cls, *reasons: str):
        return super().__new__(cls, reasons)


Expected = str | tuple[str, ...] | AnyOf | None


def expected_reasons(expected: Expected) -> set[str]:
    """Every reason `expected` names (of AnyOf, every reason it allows)."""
    if expected is None:
        return set()
    return {expected} if isinstance(expected, str) else set(expected)


class Heard(logging.Handler):
    """The module's messages while listening, in order."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(record.getMessage())

    @property
    def reasons(self) -> set[str]:
        """Each message's reason, after the name of the method that met it."""
        return {message.split(": ", 1)[1] for message in self.messages}


@contextmanager
def listening() -> Iterator[Heard]:
    """The module's logger enabled for DEBUG while the block runs; gives what it logged."""
    logger = logging.getLogger(LOGGER)
    heard, level = Heard(), logger.level
    logger.addHandler(heard)
    logger.setLevel(logging.DEBUG)
    try:
        yield heard
    finally:
        logger.removeHandler(heard)
        logger.setLevel(level)


def probe_reasons() -> set[str]:
    """The reasons the probe's last store call declined for."""
    return {reason for reason, _ in probe.last_declines()}


def assert_declined(reasons: set[str], expected: Expected) -> None:
    """`reasons` are exactly what the table names for the case."""
    if isinstance(expected, AnyOf):
        assert reasons and reasons <= set(expected), f"declined for {sorted(reasons)}, the table says {expected!r}"
        return
    assert reasons == expected_reasons(expected), f"declined for {sorted(reasons)}, the table says {expected!r}"


def assert_declined_on_road(reasons: set[str], expected: Expected, git_on_path: bool) -> None:
    """`expected` is what the native road declines with git hidden. With git on the search path git answers
    some calls (the scan among them, which then reads no index and no tree), so the native road declines no
    more than that."""
    if git_on_path:
        assert reasons <= expected_reasons(expected), f"declined for {sorted(reasons)}, the table says {expected!r}"
    else:
        assert_declined(reasons, expected)
