"""What a map parser reads, before it becomes a model: output sections with their input
sections and symbols, memory regions and script assignments, all as the map states them."""

from __future__ import annotations

from tarnwick.support.records import field, record
from tarnwick.toolchains.base import InputSection as RawInput  # parsers build the final record

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional


@record(slots=True)
class RawSymbol:
    name: str
    address: int
    size: Optional[int]  # None where the map gives no size (GNU ld)
    binding: Optional[str] = None  # "global" or "local" where the map tells them apart


@record(slots=True)
class RawOutput:
    name: str
    address: int
    size: int
    load_address: Optional[int]
    line: int
    inputs: list = field(default_factory=list)
    symbols: Optional[list] = None  # the model's records, sized by the reader (None: left out)
    padding: Optional[int] = None  # alignment fill among the inputs, where the reader added it up
    scripted: bool = True  # the map shows a script statement for it; False: an orphan section


@record(slots=True)
class RawRegion:
    name: str
    origin: int
    length: int
    attributes: str


@record
class RawMap:
    toolchain: str
    path: str
    regions: list = field(default_factory=list)
    outputs: list = field(default_factory=list)
    assignments: list = field(default_factory=list)  # (name, value or None, expression)
    # (line, address) of each line saying a section's address was set on the command line
    # (`--section-start`); the line's words may be translated
    addresses_set: list = field(default_factory=list)
    symbol_sizes_given: bool = False
    notes: list = field(default_factory=list)
    thumb: bool = False  # Arm: odd addresses of code symbols mark Thumb functions
    output_file: Optional[str] = None  # the file the link wrote, as OUTPUT(...) names it
    # The outputs' symbols counted per origin as the reader made them (see SymbolList), if it did
    origin_totals: Optional[list] = None


# Linker script statements that place data of their own: `LONG(0x5aa5c33c)`.
DATA_STATEMENTS = frozenset({"BYTE", "SHORT", "LONG", "QUAD", "SQUAD"})
SCRIPT_DATA = "linker script data"  # the origin of what they place


def origin_as_named(text: Optional[str]) -> Optional[str]:
    """The input file as a map names it, without a leading "./"; None when it names none."""
    if not text:
        return None
    return text[2:] if text.startswith("./") else text
