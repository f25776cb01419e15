"""The nodrix programs: where they are and how they are called.

The package finds the programs of a build tree: the one the environment
variable NODRIX_BUILD names, or else the build/ directory of the source tree
this package lies in; a `nodrix` on PATH serves when neither holds one.

A simulation shows its progress only on a terminal.  When progress is asked
for, the program's standard error is a pseudo-terminal, so the program draws
its progress line; the package relays that line and keeps the messages apart
for the exception a failure raises.
"""

from __future__ import annotations

import os
import pty
import selectors
import shutil
import signal
import subprocess
import sys
import termios
import tty
from dataclasses import dataclass, field
from pathlib import Path

from .errors import Message, NodrixError, ProgramError, parse_messages

# Where each program lies in a build tree.
_PROGRAMS = {"nodrix": "main/nodrix", "nodrix-chart": "tools/nodrix-chart"}
_SOURCE_BUILD = Path(__file__).resolve().parents[2] / "build"


def build_directory() -> Path | None:
    """The build tree the programs are taken from, or None."""
    named = os.environ.get("NODRIX_BUILD")
    if named:
        return Path(named)
    return _SOURCE_BUILD if _SOURCE_BUILD.is_dir() else None


def find_program(name: str = "nodrix") -> str:
    """The path of a nodrix program; NodrixError when it is nowhere."""
    build = build_directory()
    if build is not None:
        candidate = build / _PROGRAMS[name]
        if os.access(candidate, os.X_OK):
            return str(candidate)
        if os.environ.get("NODRIX_BUILD"):
            raise NodrixError(f"{candidate}: no {name} program in NODRIX_BUILD={build}; build it there "
                              f"(cmake --build {build})")
    on_path = shutil.which(name)
    if on_path:
        return on_path
    raise NodrixError(f"the {name} program was not found: build it (bash scripts/setup.sh, then "
                      f"cmake -S . -B build && cmake --build build), or name its build directory in NODRIX_BUILD")


@dataclass
class Completed:
    """A program that ended with status 0: what it printed, its messages apart."""

    command: list[str]
    status: int
    stdout: str
    stderr: str
    messages: list[Message] = field(default_factory=list)

    @property
    def warnings(self) -> list[Message]:
        return [m for m in self.messages if m.severity == "warning"]


def _progress_wanted(progress) -> bool:
    if progress is not None:
        return bool(progress)
    if "ipykernel" in sys.modules:
        return True
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


class _ProgressSplitter:
    """Splits a standard error that holds a progress line ("\\r..." redrawn in
    place) into that line, relayed as it comes, and the message lines."""

    def __init__(self, relay):
        self.relay = relay
        self.messages: list[str] = []
        self.buffer = ""
        self.in_progress = False

    def feed(self, text: str) -> None:
        for ch in text:
            if ch == "\r":
                self._end_segment()
                self.in_progress = True
                self.relay("\r")
            elif ch == "\n":
                if self.in_progress:
                    # A message that began while the line was drawn.
                    at = self.buffer.find("Nodrix-")
                    if at >= 0:
                        self.relay(self.buffer[:at])
                        self.messages.append(self.buffer[at:] + "\n")
                    else:
                        self.relay(self.buffer + "\n")
                else:
                    self.messages.append(self.buffer + "\n")
                self.buffer, self.in_progress = "", False
            else:
                self.buffer += ch

    def _end_segment(self) -> None:
        if self.in_progress:
            self.relay(self.buffer)
        elif self.buffer:
            self.messages.append(self.buffer)
        self.buffer = ""

    def close(self) -> str:
        self._end_segment()
        return "".join(self.messages)


def _relay_to(stream):
    def relay(text: str) -> None:
        if text:
            stream.write(text)
            stream.flush()
    return relay


def _run_with_progress(command: list[str], cwd, stream) -> tuple[int, str, str]:
    master, slave = pty.openpty()
    tty.setraw(slave)  # no line-end translation: the bytes as the program wrote them
    attributes = termios.tcgetattr(slave)
    attributes[3] &= ~termios.ECHO
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    splitter = _ProgressSplitter(_relay_to(stream))
    try:
        process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=slave, close_fds=True)
    except BaseException:
        os.close(master)
        raise
    finally:
        os.close(slave)
    out = []
    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ, "out")
    selector.register(master, selectors.EVENT_READ, "err")
    try:
        while selector.get_map():
            for key, _ in selector.select():
                try:
                    chunk = os.read(key.fd, 65536)
                except OSError:  # the pseudo-terminal closes with its last writer
                    chunk = b""
                if not chunk:
                    selector.unregister(key.fileobj)
                elif key.data == "out":
                    out.append(chunk)
                else:
                    splitter.feed(chunk.decode("utf-8", errors="replace"))
        status = process.wait()
    except KeyboardInterrupt:
        _interrupt(process)
        raise
    finally:
        selector.close()
        os.close(master)
        process.stdout.close()
    return status, b"".join(out).decode("utf-8", errors="replace"), splitter.close()


def _interrupt(process: subprocess.Popen) -> None:
    """Passes an interruption on: the program removes its working files and ends."""
    if process.poll() is None:
        process.send_signal(signal.SIGINT)
        try:
            process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def call(arguments: list[str], *, program: str = "nodrix", cwd=None, progress=None, stream=None) -> Completed:
    """Runs a nodrix program with its arguments.  Returns what it printed when
    it ended with status 0, raises ProgramError with its messages otherwise.

    progress: True relays the program's progress line to `stream` (the
    standard error by default), False does not, None when the standard error
    is a terminal or a notebook's."""
    command = [find_program(program)] + [str(a) for a in arguments]
    if _progress_wanted(progress):
        status, stdout, stderr = _run_with_progress(command, cwd, stream or sys.stderr)
    else:
        process = subprocess.Popen(command, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, errors="replace")
        try:
            stdout, stderr = process.communicate()
        except KeyboardInterrupt:
            _interrupt(process)
            raise
        status = process.returncode
    if status != 0:
        raise ProgramError(command, status, stderr, stdout)
    return Completed(command, status, stdout, stderr, parse_messages(stderr))
