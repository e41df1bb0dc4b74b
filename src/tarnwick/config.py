"""The analyser's configuration."""

from __future__ import annotations

from tarnwick.support.records import field, record

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional


@record
class ProjectConfig:
    name: str = "firmware"


@record
class BudgetConfig:
    """Utilisation thresholds (0..1) per region name, for flash and for RAM regions."""

    flash: dict = field(default_factory=dict)
    ram: dict = field(default_factory=dict)


@record
class PolicyConfig:
    warn_on_near_capacity_ratio: float = 0.9
    partition_max_bytes: dict = field(default_factory=dict)
    fail_on_overflow: bool = True
    fail_on_reserved_region_violation: bool = True
    fail_on_budget: bool = False  # a region above its budget fails the run, not only warns
    fail_on_stack_overflow: bool = False  # a worst-case stack larger than the reservation fails the run
    fail_on_system_overlap: bool = True  # `tarnwick system`: partitions or images that overlap fail it
    fail_on_slot_headroom: bool = True  # `tarnwick system`: an image that leaves no room for its trailer


@record
class ReportConfig:
    enable_sankey_view: bool = True
    enable_relationship_graph_view: bool = False
    top_entries: int = 10  # the largest symbols, objects and changes the text and markdown show


@record
class StackConfig:
    """What the stack check needs that a build's files may not say."""

    size: Optional[int] = None  # the stack the link reserves, where the map does not show it
    entry_point: Optional[str] = None  # the reset handler, where no vector table names it
    interrupts: list = field(default_factory=list)  # interrupt handlers, where no vector table names them
    threads: list = field(default_factory=list)  # RTOS thread entries: each on a stack of its own
    interrupt_nesting: int = 1  # interrupts that may stack on one another
    exception_frame_bytes: int = 32  # what the core stacks per interrupt (Cortex-M: 32, 104 with FP)
    folders: list = field(default_factory=list)  # where to look for .su and .ci files
    # what only the user knows; every figure that rests on it says so
    frames: dict = field(default_factory=dict)  # function -> its frame in bytes
    calls: dict = field(default_factory=dict)  # function -> the functions its calls through pointers reach
    recursion: dict = field(default_factory=dict)  # function -> how many of it are on the stack at most
    thread_stacks: list = field(default_factory=list)  # ThreadSpec, from [[stack.threads]] tables


@record(frozen=True)
class ThreadSpec:
    """An RTOS thread on a stack of its own: its entry function, and the stack's size or the
    symbol of its buffer (whose size the ELF gives)."""

    name: str
    entry: str
    stack_symbol: Optional[str] = None
    stack_size: Optional[int] = None


@record
class HistoryConfig:
    """Where the build history is kept, and how the reports draw its trend."""

    store: Optional[str] = None  # a SQLite file (relative to the configuration) or a postgresql:// URL
    branch: Optional[str] = None  # the branch whose builds the reports' trend shows
    trend_builds: int = 20  # how many of its last builds


@record(frozen=True)
class ComponentRule:
    """Symbols whose object path or archive matches `pattern` (fnmatch) belong to `component`."""

    pattern: str
    component: str


@record(frozen=True)
class RegionSpec:
    """A memory region given in the configuration, for maps that carry none."""

    name: str
    origin: int
    length: int
    category: Optional[str] = None


@record(frozen=True)
class ReservedRangeSpec:
    name: str
    start: int
    length: int


@record
class TarnwickConfig:
    project: ProjectConfig = field(default_factory=ProjectConfig)
    budgets: BudgetConfig = field(default_factory=BudgetConfig)
    policies: PolicyConfig = field(default_factory=PolicyConfig)
    reports: ReportConfig = field(default_factory=ReportConfig)
    components: list = field(default_factory=list)
    regions: list = field(default_factory=list)
    reserved_ranges: list = field(default_factory=list)
    stack: StackConfig = field(default_factory=StackConfig)
    history: HistoryConfig = field(default_factory=HistoryConfig)


class ConfigError(ValueError):
    """`str()` is "path[:line]: key: reason"."""

    def __init__(self, path: str, message: str, line: Optional[int] = None):
        self.path, self.line = path, line
        where = f"{path}:{line}" if line is not None else path
        super().__init__(f"{where}: {message}")
