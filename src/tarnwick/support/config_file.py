"""Reading `tarnwick.toml` (or the `[tool.tarnwick]` table of a `pyproject.toml`) into a
`TarnwickConfig`, with errors that name the key; and finding it, as linters find theirs."""

from __future__ import annotations

import math
import os

from tarnwick.support.figures import decoding_error, written
from tarnwick.support.files import FileProblem, read_limited
from tarnwick.config import (
    BudgetConfig, ConfigError, ComponentRule, HistoryConfig, PolicyConfig, ProjectConfig, RegionSpec, ReportConfig,
    ReservedRangeSpec, StackConfig, TarnwickConfig, ThreadSpec,
)

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Any, Callable, Optional, Union

CATEGORIES = ("flash", "ram", "other")
MAX_TOP = 100_000  # the largest entries a report lists; more is a slip of the keyboard


def _kind(value: Any) -> str:
    return {bool: "a boolean", int: "an integer", float: "a number", str: "a string",
            list: "an array", dict: "a table"}.get(type(value), type(value).__name__)


class _Reader:
    """Checks a TOML table's values, each error naming its key."""

    def __init__(self, path: str):
        self.path = path

    def fail(self, key: str, reason: str):
        raise ConfigError(self.path, f"{key}: {reason}")

    def table(self, value: Any, key: str, allowed: Optional[set] = None,
              required: tuple = ()) -> dict:
        if not isinstance(value, dict):
            self.fail(key, f"must be a table, not {_kind(value)}")
        if allowed is not None:
            for name in value:
                if name not in allowed:
                    self.fail(f"{key}.{name}" if key else name,
                              f"unknown key (known: {', '.join(sorted(allowed))})")
        for name in required:
            if name not in value:
                self.fail(f"{key}.{name}", "is required")
        return value

    def boolean(self, value: Any, key: str) -> bool:
        if not isinstance(value, bool):
            self.fail(key, f"must be true or false, not {_kind(value)}")
        return value

    def text(self, value: Any, key: str) -> str:
        if not isinstance(value, str) or not value.strip():
            self.fail(key, "must be a non-empty string")
        return value

    def integer(self, value: Any, key: str, minimum: int = 0, maximum: int = 1 << 64) -> int:
        """An integer from `minimum` to `maximum`: by default a figure of the 64-bit address
        space (an address, a length, a count of bytes)."""
        if isinstance(value, bool) or not isinstance(value, int):
            self.fail(key, f"must be an integer, not {_kind(value)}")
        if value < minimum:
            self.fail(key, f"must be at least {minimum}, not {written(value, '')}")
        if value > maximum:
            self.fail(key, f"must be at most {maximum:,}, not {written(value, '')}")
        return value

    def ratio(self, value: Any, key: str) -> float:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            self.fail(key, f"must be a number from 0 to 1, not {_kind(value)}")
        if not math.isfinite(value) or not 0 <= value <= 1:
            self.fail(key, f"must be from 0 to 1, not {value}")
        return float(value)

    def texts(self, value: Any, key: str) -> list:
        if not isinstance(value, list):
            self.fail(key, f"must be an array of strings, not {_kind(value)}")
        return [self.text(item, f"{key}[{index}]") for index, item in enumerate(value)]

    def mapping(self, value: Any, key: str, check: Callable[[Any, str], Any]) -> dict:
        return {name: check(item, f"{key}.{name}") for name, item in self.table(value, key).items()}

    def array_of_tables(self, value: Any, key: str, build: Callable[[dict, str], Any]) -> list:
        if not isinstance(value, list):
            self.fail(key, f"must be an array of tables, not {_kind(value)}")
        return [build(self.table(item, f"{key}[{index}]"), f"{key}[{index}]")
                for index, item in enumerate(value)]


_POLICIES = ("warn_on_near_capacity_ratio", "partition_max_bytes", "fail_on_overflow",
             "fail_on_reserved_region_violation", "fail_on_budget", "fail_on_stack_overflow",
             "fail_on_system_overlap", "fail_on_slot_headroom")


def _budgets(r: "_Reader", value: Any, key: str, base: BudgetConfig) -> BudgetConfig:
    budgets = r.table(value, key, {"flash", "ram"})
    return BudgetConfig(
        flash={**base.flash, **r.mapping(budgets.get("flash", {}), f"{key}.flash", r.ratio)},
        ram={**base.ram, **r.mapping(budgets.get("ram", {}), f"{key}.ram", r.ratio)})


def _policies(r: "_Reader", value: Any, key: str, base: PolicyConfig) -> PolicyConfig:
    policies = r.table(value, key, set(_POLICIES))

    def get(name: str, check):
        return check(policies[name], f"{key}.{name}") if name in policies else getattr(base, name)

    return PolicyConfig(
        warn_on_near_capacity_ratio=get("warn_on_near_capacity_ratio", r.ratio),
        partition_max_bytes={**base.partition_max_bytes,
                             **r.mapping(policies.get("partition_max_bytes", {}),
                                         f"{key}.partition_max_bytes", r.integer)},
        fail_on_overflow=get("fail_on_overflow", r.boolean),
        fail_on_reserved_region_violation=get("fail_on_reserved_region_violation", r.boolean),
        fail_on_budget=get("fail_on_budget", r.boolean),
        fail_on_stack_overflow=get("fail_on_stack_overflow", r.boolean),
        fail_on_system_overlap=get("fail_on_system_overlap", r.boolean),
        fail_on_slot_headroom=get("fail_on_slot_headroom", r.boolean))


def parse_config(data: dict, path: str = "<config>", target: Optional[str] = None) -> TarnwickConfig:
    """The configuration of `data`. `[targets.NAME]` tables hold budgets and policies for one
    target of several: those of the target named (`target`, else `project.name`) are laid over
    the others; every target's table is checked, named or not. `[system]` is read by
    `tarnwick.system.description`."""
    r = _Reader(path)
    r.table(data, "", {"project", "budgets", "policies", "reports", "regions", "reserved_ranges",
                       "components", "targets", "stack", "system", "history"})
    config = TarnwickConfig()
    if "project" in data:
        project = r.table(data["project"], "project", {"name"})
        if "name" in project:
            config.project = ProjectConfig(name=r.text(project["name"], "project.name"))
    if "budgets" in data:
        config.budgets = _budgets(r, data["budgets"], "budgets", BudgetConfig())
    if "policies" in data:
        config.policies = _policies(r, data["policies"], "policies", PolicyConfig())
    chosen = target or config.project.name
    for name, table in r.table(data.get("targets", {}), "targets").items():
        key = f"targets.{name}"
        r.table(table, key, {"budgets", "policies"})
        budgets = _budgets(r, table.get("budgets", {}), f"{key}.budgets", config.budgets)
        policies = _policies(r, table.get("policies", {}), f"{key}.policies", config.policies)
        if name == chosen:
            config.budgets, config.policies = budgets, policies
    if "reports" in data:
        reports = r.table(data["reports"], "reports", {"enable_sankey_view",
                                                       "enable_relationship_graph_view", "top_entries"})
        defaults = ReportConfig()
        config.reports = ReportConfig(
            enable_sankey_view=r.boolean(reports.get("enable_sankey_view", defaults.enable_sankey_view),
                                         "reports.enable_sankey_view"),
            enable_relationship_graph_view=r.boolean(
                reports.get("enable_relationship_graph_view", defaults.enable_relationship_graph_view),
                "reports.enable_relationship_graph_view"),
            top_entries=r.integer(reports.get("top_entries", defaults.top_entries), "reports.top_entries",
                                  maximum=MAX_TOP))

    def region(item: dict, key: str) -> RegionSpec:
        r.table(item, key, {"name", "origin", "length", "category"}, ("name", "origin", "length"))
        category = item.get("category")
        if category is not None and category not in CATEGORIES:
            r.fail(f"{key}.category", f"must be one of {', '.join(CATEGORIES)}, not {category!r}")
        return RegionSpec(r.text(item["name"], f"{key}.name"), r.integer(item["origin"], f"{key}.origin"),
                          r.integer(item["length"], f"{key}.length", minimum=0), category)

    def reserved(item: dict, key: str) -> ReservedRangeSpec:
        r.table(item, key, {"name", "start", "length"}, ("name", "start", "length"))
        return ReservedRangeSpec(r.text(item["name"], f"{key}.name"), r.integer(item["start"], f"{key}.start"),
                                 r.integer(item["length"], f"{key}.length", minimum=1))

    def component(item: dict, key: str) -> ComponentRule:
        r.table(item, key, {"pattern", "component"}, ("pattern", "component"))
        return ComponentRule(r.text(item["pattern"], f"{key}.pattern"),
                             r.text(item["component"], f"{key}.component"))

    config.regions = r.array_of_tables(data.get("regions", []), "regions", region)
    seen: set = set()
    for entry in config.regions:
        if entry.name in seen:
            r.fail("regions", f"region {entry.name!r} is given twice")
        seen.add(entry.name)
    config.reserved_ranges = r.array_of_tables(data.get("reserved_ranges", []), "reserved_ranges", reserved)
    config.components = r.array_of_tables(data.get("components", []), "components", component)
    if "stack" in data:
        config.stack = _stack(r, data["stack"], path)
    if "history" in data:
        config.history = _history(r, data["history"], path)
    return config


def _history(r: "_Reader", value: Any, path: str) -> HistoryConfig:
    history = r.table(value, "history", {"store", "branch", "trend_builds"})
    store = r.text(history["store"], "history.store") if "store" in history else None
    if store is not None and "://" not in store and path != "<config>":
        # a file is relative to the configuration, as the build's other paths in it are
        store = os.path.join(os.path.dirname(os.path.abspath(path)), store)
    return HistoryConfig(
        store=store, branch=r.text(history["branch"], "history.branch") if "branch" in history else None,
        trend_builds=r.integer(history.get("trend_builds", HistoryConfig.trend_builds), "history.trend_builds",
                               minimum=2, maximum=1000))


def _stack(r: "_Reader", value: Any, path: str) -> StackConfig:
    stack = r.table(value, "stack", {"size", "entry_point", "interrupts", "threads", "interrupt_nesting",
                                     "exception_frame_bytes", "folders", "frames", "calls", "recursion"})
    defaults = StackConfig()
    here = os.path.dirname(os.path.abspath(path)) if path != "<config>" else os.getcwd()
    threads = stack.get("threads", [])
    if not isinstance(threads, list):
        r.fail("stack.threads", f"must be an array of strings or tables, not {_kind(threads)}")
    return StackConfig(
        size=r.integer(stack["size"], "stack.size", minimum=1) if "size" in stack else None,
        entry_point=r.text(stack["entry_point"], "stack.entry_point") if "entry_point" in stack else None,
        interrupts=r.texts(stack.get("interrupts", []), "stack.interrupts"),
        threads=[r.text(item, f"stack.threads[{index}]") for index, item in enumerate(threads)
                 if not isinstance(item, dict)],
        interrupt_nesting=r.integer(stack.get("interrupt_nesting", defaults.interrupt_nesting),
                                    "stack.interrupt_nesting", maximum=256),
        exception_frame_bytes=r.integer(stack.get("exception_frame_bytes", defaults.exception_frame_bytes),
                                        "stack.exception_frame_bytes", maximum=4096),
        # folders are relative to the configuration file, as a build's other paths in it are
        folders=[os.path.join(here, folder) for folder in r.texts(stack.get("folders", []), "stack.folders")],
        frames=r.mapping(stack.get("frames", {}), "stack.frames",
                         lambda item, key: r.integer(item, key, maximum=1 << 32)),
        calls=_calls(r, stack.get("calls", {}), here),
        recursion=r.mapping(stack.get("recursion", {}), "stack.recursion",
                            lambda item, key: r.integer(item, key, minimum=1, maximum=1 << 20)),
        thread_stacks=[_thread(r, item, f"stack.threads[{index}]") for index, item in enumerate(threads)
                       if isinstance(item, dict)])


def _thread(r: "_Reader", item: dict, key: str) -> ThreadSpec:
    r.table(item, key, {"name", "entry", "stack_symbol", "stack_size"}, ("entry",))
    if ("stack_symbol" in item) == ("stack_size" in item):
        r.fail(key, "needs stack_symbol (the stack buffer's symbol) or stack_size, one of the two")
    entry = r.text(item["entry"], f"{key}.entry")
    return ThreadSpec(r.text(item.get("name", entry), f"{key}.name"), entry,
                      r.text(item["stack_symbol"], f"{key}.stack_symbol") if "stack_symbol" in item else None,
                      r.integer(item["stack_size"], f"{key}.stack_size", minimum=1) if "stack_size" in item else None)


CALLS_LIMIT = 16 * 1024 * 1024  # a file of call targets, one function a line


def _calls(r: "_Reader", value: Any, here: str) -> dict:
    """`calls = { dispatch = ["on_rx", "on_tx"] }`, or the name of a file of such lines (relative
    to the configuration file's folder)."""
    if isinstance(value, str):
        import tomllib

        name = os.path.join(here, value)
        try:
            data = _toml(read_limited(name, CALLS_LIMIT).decode("utf-8-sig"))
        except FileProblem as exc:
            r.fail("stack.calls", f"{name}: {exc}")
        except UnicodeDecodeError:
            r.fail("stack.calls", f"{name}: not UTF-8 text")
        except tomllib.TOMLDecodeError as exc:
            r.fail("stack.calls", f"{name}: expected lines 'function = [\"target\", ...]' ({exc})")
        return {caller: r.texts(targets, f"stack.calls ({name}).{caller}") for caller, targets in data.items()}
    return r.mapping(value, "stack.calls", r.texts)


# A configuration is a few hundred bytes; this bounds what a wrong path (a log, an image) costs.
CONFIG_LIMIT = 1024 * 1024


PYPROJECT = "pyproject.toml"
NAMES = ("tarnwick.toml", PYPROJECT)  # in a folder holding both, tarnwick.toml is the one read


def find_config(start: Optional[str] = None) -> Optional[str]:
    """The configuration of the folder a run starts in: `tarnwick.toml`, or a `pyproject.toml`
    with a `[tool.tarnwick]` table, in that folder or the nearest of its parents up to the root
    of the repository it is in (the folder holding `.git`). Outside a repository only the folder
    itself is looked in: a stray file far above the work must not change a run. The path is
    relative to the working folder when the search starts there."""
    here = os.path.abspath(start or os.getcwd())
    folders = [here]
    probe = here
    while not os.path.exists(os.path.join(probe, ".git")):
        parent = os.path.dirname(probe)
        if parent == probe:  # no repository above: the folder itself only
            folders = [here]
            break
        probe = parent
        folders.append(probe)
    for folder in folders:
        for name in NAMES:
            path = os.path.join(folder, name)
            if os.path.isfile(path) and (name != PYPROJECT or _has_table(path)):
                return os.path.relpath(path) if start is None else path
    return None


def _has_table(path: str) -> bool:
    """Whether a pyproject.toml holds [tool.tarnwick]; one that is not TOML is another tool's
    problem unless it names that table."""
    try:
        text = read_limited(path, CONFIG_LIMIT).decode("utf-8-sig")
    except (FileProblem, UnicodeDecodeError):
        return False
    if "tarnwick" not in text and "\\" not in text:  # only an escape in a quoted key could spell it
        return False
    import tomllib  # only a file that may hold the table is parsed

    try:
        return isinstance(_toml(text).get("tool", {}).get("tarnwick"), dict)
    except (tomllib.TOMLDecodeError, AttributeError):
        return "[tool.tarnwick" in text


def load_config(path: Union[str, os.PathLike], target: Optional[str] = None) -> TarnwickConfig:
    name = os.fspath(path)
    return parse_config(read_toml(name)[0], name, target)


def _toml(text: str) -> dict:
    """`tomllib.loads`, whose every refusal is a TOMLDecodeError: it lets the interpreter's own
    errors through for a number of thousands of digits and for tables nested too deeply."""
    import tomllib

    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError:
        raise
    except ValueError as exc:
        raise tomllib.TOMLDecodeError(decoding_error(exc)) from None
    except RecursionError:
        raise tomllib.TOMLDecodeError("nested too deeply") from None


def read_toml(name: str) -> tuple:
    """(the TOML data of a configuration file, its text)."""
    import tomllib

    try:
        text = read_limited(name, CONFIG_LIMIT).decode("utf-8-sig")
        data = _toml(text)
    except FileProblem as exc:
        raise ConfigError(name, str(exc)) from None
    except tomllib.TOMLDecodeError as exc:
        line = getattr(exc, "lineno", None)
        message = str(exc)
        if line is None and "(at line " in message:
            try:
                line = int(message.rsplit("(at line ", 1)[1].split(",")[0])
            except ValueError:
                line = None
            message = message.rsplit(" (at line ", 1)[0]
        raise ConfigError(name, f"not valid TOML: {message}", line) from None
    except UnicodeDecodeError:
        raise ConfigError(name, "not valid TOML: the file is not UTF-8 text") from None
    if os.path.basename(name) == PYPROJECT:
        tool = data.get("tool")
        data = tool.get("tarnwick") if isinstance(tool, dict) else None
        if not isinstance(data, dict):
            raise ConfigError(name, "tool.tarnwick: a pyproject.toml read as the configuration needs this table")
    return data, text


TableReader = _Reader  # for the readers of other tables of the same file
