"""The exceptions of the nodrix package.

Every error names what went wrong in the program's own terms: a result file
that cannot be read names the file and the damage, a failed run carries the
program's messages (file, line and block of a description) and its exit
status.
"""

from __future__ import annotations

import os
import re
from dataclasses import dataclass


class NodrixError(Exception):
    """Base of every error this package raises."""


class ResultFileError(NodrixError):
    """A result file (chart, report, table) that is missing or damaged."""

    def __init__(self, path, what: str):
        self.path = str(path)
        self.what = what
        super().__init__(f"{self.path}: {what}")


class ChartFileError(ResultFileError):
    """A chart file (.qxy, .qsp, .qsg or a text form) that cannot be read.

    ``damage`` is "truncated" when the file ends inside a structure, "format"
    when a field holds what no chart file holds, "missing" when there is no
    such file.
    """

    def __init__(self, path, what: str, damage: str):
        self.damage = damage
        super().__init__(path, what)


class ReportFileError(ResultFileError):
    """An estimator or power-meter report that lacks its result lines."""


# "Nodrix-E-link.toml:43: block 3 (laser): unknown parameter ..."
_MESSAGE = re.compile(r"^Nodrix-([PTIWEF])-(.*)$")
_WHERE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): (?:block (?P<block>\d+) \((?P<kind>[^)]*)\): )?(?P<text>.*)$")

SEVERITIES = {"P": "report", "T": "trace", "I": "information", "W": "warning", "E": "error", "F": "fatal"}


@dataclass(frozen=True)
class Message:
    """One message line of the program, split into its parts where it names them."""

    severity: str          # "error", "warning", ...
    text: str              # the message without its place
    file: str | None = None
    line: int | None = None
    block: int | None = None
    kind: str | None = None
    raw: str = ""

    def __str__(self) -> str:
        return self.raw


def parse_messages(text: str) -> list[Message]:
    """The program's message lines ("Nodrix-E-...") in a text, in order."""
    messages = []
    for line in text.splitlines():
        found = _MESSAGE.match(line)
        if not found:
            continue
        severity, body = SEVERITIES[found.group(1)], found.group(2)
        where = _WHERE.match(body)
        if where:
            block = where.group("block")
            messages.append(Message(severity, where.group("text"), where.group("file"), int(where.group("line")),
                                    int(block) if block else None, where.group("kind"), line))
        else:
            messages.append(Message(severity, body, raw=line))
    return messages


class ProgramError(NodrixError):
    """A nodrix program that ended with an error: its exit status, its messages
    and the whole of what it wrote on the standard error."""

    def __init__(self, command: list[str], status: int, stderr: str, stdout: str = ""):
        self.command = list(command)
        self.status = status
        self.stderr = stderr
        self.stdout = stdout
        self.messages = parse_messages(stderr)
        errors = [m.raw for m in self.messages if m.severity in ("error", "fatal")]
        # The closing line of the program ("link.toml: 2 errors; nothing was run").
        tail = [line for line in stderr.splitlines() if line and not _MESSAGE.match(line)]
        lines = errors + tail[-1:] if errors else (tail or [f"exit status {status}"])
        program = " ".join([os.path.basename(command[0])] + command[1:2])
        super().__init__(f"{program} ended with status {status}:\n" + "\n".join(lines))

    @property
    def errors(self) -> list[Message]:
        return [m for m in self.messages if m.severity in ("error", "fatal")]
