"""Links as data, built or loaded in Python and handed to the nodrix program.

A link is what its TOML description holds: the run settings ([link]),
defaults per kind ([defaults.KIND]) and the blocks in schedule order
([[block]]: id, kind, connections and parameters).  The rules of what a link
may hold are the program's: `Link.check()` asks `nodrix check`, and
`kinds()` reads the registry the program prints (`nodrix blocks --json`).
"""

from __future__ import annotations

import copy
import json
import os
import re
import tempfile
import tomllib
from dataclasses import dataclass, field
from functools import lru_cache
from pathlib import Path

import tomli_w

from .errors import NodrixError, ProgramError
from .program import Completed, call
from .results import Run, Sweep

# ---- The registry, as the program prints it ----


@dataclass(frozen=True)
class Parameter:
    name: str
    type: str                   # real, integer, flag, choice, text, file, integers
    unit: str
    help: str
    required: bool
    allowed: str                # the allowed values in words
    default: object = None      # in its own type; None when required
    low: float | None = None
    high: float | None = None
    choices: tuple = ()


@dataclass(frozen=True)
class Kind:
    name: str
    routine: str
    help: str
    inputs: tuple
    outputs: tuple
    parameters: dict = field(default_factory=dict)

    def __str__(self) -> str:
        lines = [f"{self.name} ({self.routine}): {self.help}" if self.routine else f"{self.name}: {self.help}"]
        for port in self.inputs + self.outputs:
            lines.append(f"  {port['key']}: {port['signal']} signal, {port['help']}")
        for p in self.parameters.values():
            unit = f" [{p.unit}]" if p.unit else ""
            default = "(required)" if p.required else repr(p.default)
            lines.append(f"  {p.name}{unit} = {default}  ({p.type}; {p.allowed}): {p.help}")
        return "\n".join(lines)


def _kind(data: dict) -> Kind:
    parameters = {p["name"]: Parameter(p["name"], p["type"], p["unit"], p["help"], p["required"], p["allowed"],
                                       p.get("default"), p.get("low"), p.get("high"),
                                       tuple(c["name"] for c in p.get("choices", ())))
                  for p in data["parameters"]}
    return Kind(data["name"], data["routine"], data["help"], tuple(data["inputs"]), tuple(data["outputs"]),
                parameters)


@lru_cache(maxsize=None)
def _registry(program: str) -> dict:
    return json.loads(call(["blocks", "--json"], progress=False).stdout)


def kinds() -> dict[str, Kind]:
    """Every block kind the program knows, by name; "link" holds the run settings."""
    from .program import find_program

    data = _registry(find_program())
    found = {k["name"]: _kind(k) for k in data["kinds"]}
    found["link"] = _kind(data["link"])
    return found


def kind(name: str) -> Kind:
    """One kind; an unknown one raises the program's error (with the closest name)."""
    known = kinds()
    if name in known:
        return known[name]
    call(["blocks", name, "--json"], progress=False)  # raises ProgramError with "did you mean"
    raise NodrixError(f"unknown kind {name!r}")


# ---- Values as a link file writes them ----

def toml_value(value) -> str:
    """A value as a link file (and -set) writes it."""
    value = _plain(value)
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(toml_value(v) for v in value) + "]"
    return tomli_w.dumps({"v": value}).split("=", 1)[1].strip()


def set_words(changes) -> list[str]:
    """-set arguments from {"3.power_mw": 2.0} or ["3.power_mw=2"]."""
    if changes is None:
        return []
    if isinstance(changes, dict):
        items = [f"{target}={value if isinstance(value, str) else toml_value(value)}"
                 for target, value in changes.items()]
    else:
        items = [str(c) for c in changes]
    return [w for item in items for w in ("-set", item)]


class Block:
    """One [[block]]: its instance number, kind, connections and parameters."""

    def __init__(self, id: int, kind: str, **values):
        self.id = id
        self.kind = kind
        self.values = dict(values)

    def __getitem__(self, name):
        return self.values[name]

    def __setitem__(self, name, value):
        self.values[name] = value

    def __delitem__(self, name):
        del self.values[name]

    def __contains__(self, name) -> bool:
        return name in self.values

    def get(self, name, default=None):
        return self.values.get(name, default)

    def __repr__(self) -> str:
        values = "".join(f", {k}={v!r}" for k, v in self.values.items())
        return f"Block({self.id}, {self.kind!r}{values})"

    def as_dict(self) -> dict:
        head = {k: _plain(v) for k, v in (("id", self.id), ("kind", self.kind)) if v is not None}
        return head | {k: _plain(v) for k, v in self.values.items()}


def _plain(value):
    """NumPy numbers (a value taken from a sweep's table, say) as Python's own."""
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value.item() if hasattr(value, "item") and not isinstance(value, (str, bytes)) else value


@dataclass(frozen=True)
class PlanChannel:
    """A channel of a link's channel plan as the program expands it: its
    number, its frequency and the instance numbers of its blocks."""
    channel: int
    frequency_thz: float
    blocks: tuple


# A channel row of the expanded schedule `nodrix check` prints.
_PLAN_ROW = re.compile(r"^  channel +(\d+) +(\S+) THz  blocks ([\d,]+)$", re.M)


class Link:
    """A link description: settings, defaults per kind and blocks in schedule order."""

    def __init__(self, name: str | None = None, **settings):
        self.settings: dict = ({"name": name} if name is not None else {}) | settings
        self.defaults: dict[str, dict] = {}
        self.blocks: list[Block] = []
        self.source: Path | None = None           # the file it was loaded from
        self.directory: Path = Path.cwd()         # where its relative file names are taken from
        self._other: dict = {}                    # sections the program will judge
        self._loaded: str | None = None

    @classmethod
    def load(cls, path) -> Link:
        """Reads a link file.  A file that is no TOML raises NodrixError naming
        it; what the TOML holds is judged by the program (check, run)."""
        path = Path(path)
        try:
            with open(path, "rb") as f:
                data = tomllib.load(f)
        except FileNotFoundError:
            raise NodrixError(f"{path}: no such link file") from None
        except tomllib.TOMLDecodeError as e:
            raise NodrixError(f"{path}: not a readable link description: {e}") from None
        link = cls()
        link.settings = dict(data.pop("link", {}))
        link.defaults = {k: dict(v) for k, v in data.pop("defaults", {}).items()}
        for entry in data.pop("block", []):
            entry = dict(entry)
            link.blocks.append(Block(entry.pop("id", None), entry.pop("kind", None), **entry))
        link._other = data
        link.source = path.resolve()
        link.directory = link.source.parent
        link._loaded = link.to_toml()
        return link

    @property
    def name(self) -> str | None:
        return self.settings.get("name")

    @property
    def changed(self) -> bool:
        """True when the link differs from the file it was loaded from (or has none)."""
        return self._loaded is None or self.to_toml() != self._loaded

    def copy(self) -> Link:
        return copy.deepcopy(self)

    def block(self, id: int) -> Block:
        for b in self.blocks:
            if b.id == id:
                return b
        raise KeyError(f"link {self.name}: no block {id}")

    def add(self, kind: str, id: int, *, after: int | None = None, **values) -> Block:
        """Adds a block at the end of the schedule, or right after block `after`."""
        new = Block(id, kind, **values)
        at = len(self.blocks) if after is None else self.blocks.index(self.block(after)) + 1
        self.blocks.insert(at, new)
        return new

    def remove(self, id: int) -> Block:
        found = self.block(id)
        self.blocks.remove(found)
        return found

    def as_dict(self, directory: Path | None = None) -> dict:
        """The description as TOML tables; relative data file names made absolute
        when it is to be written outside its own directory."""
        data = {"link": _plain(self.settings)}
        if self.defaults:
            data["defaults"] = _plain(self.defaults)
        data.update(copy.deepcopy(self._other))
        data["block"] = [b.as_dict() for b in self.blocks]
        if directory is not None and Path(directory).resolve() != self.directory.resolve():
            self._anchor_files(data)
        return data

    def _anchor_files(self, data: dict) -> None:
        known = kinds()

        def anchor(kind_name, values):
            found = known.get(kind_name)
            if found is None:
                return
            for name, value in values.items():
                parameter = found.parameters.get(name)
                if parameter is not None and parameter.type == "file" and isinstance(value, str) and value \
                        and not os.path.isabs(value):
                    values[name] = str(self.directory / value)

        anchor("link", data["link"])
        for kind_name, values in data.get("defaults", {}).items():
            anchor(kind_name, values)
        for b in data["block"]:
            anchor(b.get("kind"), b)

    def to_toml(self, directory: Path | None = None) -> str:
        """The link file's text: [link], [defaults.KIND], then one [[block]] per
        block, so that the program's messages name each block's own lines."""
        data = self.as_dict(directory)
        blocks = data.pop("block")
        parts = [tomli_w.dumps(data)]
        for b in blocks:
            table = next((k for k, v in b.items() if isinstance(v, dict)), None)
            if table is not None:
                raise NodrixError(f"link {self.name}: block {b.get('id')}: {table} holds a table; a block's values "
                                  f"are numbers, texts, flags and lists")
            parts.append("[[block]]\n" + tomli_w.dumps(b))
        return "\n".join(parts)

    def save(self, path) -> Path:
        """Writes the description as a link file; data files it names stay the
        same files wherever it is written."""
        path = Path(path)
        text = self.to_toml(path.resolve().parent)
        part = path.with_name(f".{path.name}.{os.getpid()}.part")
        part.write_text(text, encoding="utf-8")
        os.replace(part, path)
        return path

    def __repr__(self) -> str:
        return f"Link({self.name!r}, {len(self.blocks)} blocks)"

    # ---- The program's verbs ----

    def check(self, *, set=None, window: float | None = None) -> Completed:
        """`nodrix check`: the schedule (its output) and warnings; ProgramError
        with every mistake (file, line, block) when the link is not sound."""
        with _link_file(self, None) as path:
            return call(["check", path, *set_words(set), *(["-window", toml_value(window)] if window else [])],
                        progress=False)

    def channels(self, *, set=None) -> list[PlanChannel]:
        """The channels of the link's [channels] plan as the program expands
        them (`nodrix check`'s schedule), each with its blocks' instance
        numbers; none for a link without a plan."""
        printed = self.check(set=set).stdout
        return [PlanChannel(int(k), float(f), tuple(int(b) for b in blocks.split(",")))
                for k, f, blocks in _PLAN_ROW.findall(printed)]

    def run(self, **options) -> Run:
        return run(self, **options)

    def sweep(self, **options) -> Sweep:
        return sweep(self, **options)


class _link_file:
    """The file the program reads for a link: its own file while it is unchanged,
    else the link written to `beside` (or to a scratch directory)."""

    def __init__(self, link, beside: Path | None):
        self.link, self.beside, self.scratch = link, beside, None

    def __enter__(self) -> str:
        if isinstance(self.link, (str, os.PathLike)):
            return str(self.link)
        if not self.link.changed and self.link.source is not None:
            return str(self.link.source)
        if self.beside is not None:
            return str(self.link.save(self.beside))
        self.scratch = tempfile.TemporaryDirectory(prefix="nodrix-link-")
        return str(self.link.save(Path(self.scratch.name) / f"{self.link.name or 'link'}.toml"))

    def __exit__(self, *exc) -> None:
        if self.scratch is not None:
            self.scratch.cleanup()


def _link_name(link) -> str:
    if isinstance(link, Link):
        return link.name or "link"
    return Link.load(link).name or Path(link).stem


def run(link, *, set=None, simulate: bool = True, out=None, window: float | None = None,
        maxmem_mib: int | None = None, progress=None) -> Run:
    """`nodrix run`: runs a Link (or a link file) into `out` (default NAME-run)
    and returns the run.  A link built or changed in Python is written beside
    the results as OUT.link.toml, the file the program runs.  The program's
    summary is kept as console.txt.  Its errors raise ProgramError."""
    out = Path(out if out is not None else f"{_link_name(link)}-run")
    words = ["run"]
    with _link_file(link, out.with_name(out.name + ".link.toml")) as path:
        words += [path, "-o", str(out), *set_words(set)]
        if simulate:
            words.append("-simulate")
        if window is not None:
            words += ["-window", toml_value(window)]
        if maxmem_mib is not None:
            words += ["-maxmem", str(maxmem_mib)]
        console = out / "console.txt"
        if console.exists():
            console.unlink()  # a summary of an earlier run is none of this one's
        done = call(words, progress=progress)
    part = out / f".console.txt.{os.getpid()}.part"
    part.write_text(done.stdout, encoding="utf-8")
    os.replace(part, console)
    return Run(out)


def _values_word(values) -> str:
    """--vary VALUES: a list as "a,b,c" (texts with commas quoted), a range as written."""
    if isinstance(values, str):
        return values
    words = []
    for v in values:
        if isinstance(v, str):
            words.append(toml_value(v) if ("," in v or v.startswith(("[", '"', "'"))) else v)
        else:
            words.append(toml_value(v))
    return ",".join(words)


class SweepError(ProgramError):
    """A sweep whose points did not all complete; `sweep` holds what they left."""

    def __init__(self, error: ProgramError, sweep: Sweep | None):
        super().__init__(error.command, error.status, error.stderr, error.stdout)
        self.sweep = sweep


def sweep(link, *, vary: dict, seeds: int | None = None, zip: bool = False, jobs: int | None = None, set=None,
          window: float | None = None, out=None, slurm: bool = False, slurm_dry_run: bool = False,
          slurm_args: str | None = None, converge: bool = False, converge_factor: float | None = None,
          converge_tolerance_db: float | None = None, progress=None) -> Sweep:
    """`nodrix sweep`: runs a Link (or a link file) over the values of `vary`
    ({"3.power_mw": [0.5, 1, 2]} or {"3.power_mw": "0.25:16:x2"}) and returns
    the sweep (default directory NAME-sweep).  `converge` judges every point's
    step plan against steps `converge_factor` times shorter (the table's
    columns convergence, power_change_db and q_eye_change_db).  A link built or changed in
    Python is written beside it as OUT.link.toml.  A sweep whose points did not
    all complete raises SweepError, which holds the sweep."""
    out = Path(out if out is not None else f"{_link_name(link)}-sweep")
    with _link_file(link, out.with_name(out.name + ".link.toml")) as path:
        words = ["sweep", path, "-o", str(out)]
        for target, values in vary.items():
            words += ["--vary", f"{target}={_values_word(values)}"]
        if zip:
            words.append("--zip")
        if seeds is not None:
            words += ["--seeds", str(seeds)]
        if jobs is not None:
            words += ["-j", str(jobs)]
        words += set_words(set)
        if window is not None:
            words += ["-window", toml_value(window)]
        if slurm or slurm_dry_run:
            words.append("--slurm-dry-run" if slurm_dry_run else "--slurm")
        if slurm_args:
            words += ["--slurm-args", slurm_args]
        if converge:
            words.append("--converge")
        if converge_factor is not None:
            words += ["--converge-factor", toml_value(converge_factor)]
        if converge_tolerance_db is not None:
            words += ["--converge-tolerance", toml_value(converge_tolerance_db)]
        try:
            call(words, progress=progress)
        except ProgramError as e:
            made = Sweep(out) if (out / "sweep.toml").is_file() else None
            raise SweepError(e, made) from None
    return Sweep(out)
