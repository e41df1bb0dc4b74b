"""The normalised build model every analysis pass reads."""

from __future__ import annotations

import enum

from tarnwick.support.origins import contributor_name, split_origin
from tarnwick.support.records import field, record
from tarnwick.support.symbol_list import SymbolList, origin_totals

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional


class Toolchain(str, enum.Enum):
    GNU_LD = "gnu_ld"
    GNU_GOLD = "gnu_gold"
    LLVM_LLD = "llvm_lld"
    MOLD = "mold"
    ARMLINK = "armlink"
    IAR_ILINK = "iar_ilink"
    IAR_XLINK = "iar_xlink"
    SDCC = "sdcc"
    TI = "ti_linker"
    XC16 = "xc16"
    XC32 = "xc32"
    XC8 = "xc8"
    KEIL_C51 = "keil_c51"
    COSMIC = "cosmic"
    RENESAS = "renesas_rlink"
    ELF = "elf"
    MANUAL = "manual"


class MemoryCategory(str, enum.Enum):
    FLASH = "flash"
    RAM = "ram"
    OTHER = "other"


@record(slots=True)
class MemoryRegion:
    """`unified` marks one memory that holds a build's image and its writable data alike (a
    RAM the image is loaded into, a single `mem`): its image counts as flash, its writable
    data as RAM."""

    name: str
    origin: int
    length: int
    category: MemoryCategory
    attributes: str = ""
    unified: bool = False

    @property
    def end(self) -> int:
        return self.origin + self.length

    def contains(self, address: int) -> bool:
        return self.origin <= address < self.end


@record(slots=True)
class InputSection:
    """One contribution to an output section: an object's section, or `*fill*` that the linker
    inserted. `origin` is the file as the map names it ("main.o", "libfoo.a(bar.o)").
    Fill that the script asked for (`. = . + N`: heap, stack) is a reservation, not waste."""

    name: str
    address: int
    size: int
    origin: Optional[str] = None
    is_fill: bool = False
    is_reservation: bool = False
    symbols: list = field(default_factory=list)  # what the map lists, before sizes are known

    @property
    def object_file(self) -> Optional[str]:
        return split_origin(self.origin)[0]

    @property
    def archive(self) -> Optional[str]:
        return split_origin(self.origin)[1]

    @property
    def is_padding(self) -> bool:
        return self.is_fill and not self.is_reservation


@record(slots=True)
class Section:
    """An output section. `execution_region` holds it at run time; `load_region` holds its
    image when that differs (initialised data copied from flash at start-up)."""

    name: str
    address: int
    size: int
    execution_region: Optional[str]
    load_region: Optional[str] = None
    load_address: Optional[int] = None
    has_contents: bool = True  # False for NOBITS (.bss, .noinit, stacks)
    is_code: bool = False
    inputs: tuple = ()
    is_writable: bool = False
    padding_bytes: Optional[int] = None  # alignment fill among the inputs; added up when not given

    def __post_init__(self):
        if self.padding_bytes is None:
            self.padding_bytes = sum(part.size for part in self.inputs if part.is_padding)

    @property
    def end(self) -> int:
        return self.address + self.size

    @property
    def copied_at_startup(self) -> bool:
        return (self.has_contents and self.load_region is not None
                and self.load_region != self.execution_region)


@record(slots=True)
class Symbol:
    name: str
    address: int
    size: int
    section: Optional[str] = None
    object_file: Optional[str] = None
    archive: Optional[str] = None
    size_derived: bool = False
    alias_of: Optional[str] = None  # another name for the bytes of this symbol, counted there
    size_source: Optional[str] = None  # "elf" (symbol table), "map" (the map states it), "derived"
    # "global", "weak" or "local" as the input says; "unnamed" for the bytes of an input section
    # that no symbol covers; None where the input does not say (a map that lists statics unmarked)
    binding: Optional[str] = None
    # "path/file.c:LINE" where the ELF's debug information places it ("path/file.c" for bytes of
    # a compile unit that no function or variable names); None without debug information
    source: Optional[str] = None

    @property
    def contributor(self) -> str:
        """The object file, as `libfoo.a(bar.o)` when it came out of an archive."""
        return contributor_name(self.object_file, self.archive)


@record(slots=True)
class ReservedRange:
    """An address range no section may occupy (bootloader, option bytes, shared mailbox)."""

    name: str
    start: int
    length: int

    @property
    def end(self) -> int:
        return self.start + self.length


@record
class StatedTotals:
    """The totals a map states about itself, with the words it uses for them, as its reader
    hands them on; analysis.stated_totals compares them with the report's figures."""

    flash: Optional[int] = None
    flash_words: str = ""
    ram: Optional[int] = None
    ram_words: str = ""
    regions: dict = field(default_factory=dict)  # region name -> used bytes as the map prints them


@record
class NormalizedBuildModel:
    toolchain: Toolchain
    memory_regions: list = field(default_factory=list)
    sections: list = field(default_factory=list)
    symbols: list = field(default_factory=SymbolList)
    parse_assumptions: list = field(default_factory=list)
    unresolved_ambiguities: list = field(default_factory=list)
    stack_heap_hints: dict = field(default_factory=dict)
    reserved_ranges: list = field(default_factory=list)
    source_path: Optional[str] = None
    elf_path: Optional[str] = None  # the ELF file joined to the map, where one was
    output_file: Optional[str] = None  # the file the link wrote, as the map names it (OUTPUT(...))
    elf_file: object = None  # the ELF read (its headers and sections; its symbols let go), for its debug information
    # (Section, its symbols) of sections the map shows but the reader took as not allocated
    # ((COPY)); an ELF file joined later may allocate them after all
    set_aside: list = field(default_factory=list)
    warnings: list = field(default_factory=list)  # what the command also says on stderr
    # How the linker counts a region's use: from its origin to the end of what it placed last,
    # gaps included (GNU ld, armlink, IAR's read-only ranges), or as the sum of the sections in
    # it (TI; `regions_summed` names the regions counted so when the linker differs by region,
    # as IAR does for its read-write ranges).
    use_counts_gaps: bool = True
    regions_summed: frozenset = frozenset()
    stated: Optional[StatedTotals] = None  # what the map states of its own totals, where it does
    # GNU ld maps do not state whether a load image was placed with `AT> REGION`, which ld's own
    # table counts, or with `AT(address)`, which it leaves out (see analysis.load_images)
    image_placement_unstated: bool = False
    # (name, address) of the sections placed by their address alone, without `> REGION`: the
    # linker counts them in no region, so they are not looked up in one by their address
    placed_by_address: set = field(default_factory=set)
    # (name, address) -> load address, of the sections whose load address the map states but
    # that it takes as holding no image there; the ELF file, where one is joined, tells
    load_addresses_unused: dict = field(default_factory=dict)

    def by_address_alone(self, section: Section) -> bool:
        return bool(self.placed_by_address) and (section.name, section.address) in self.placed_by_address

    def region_named(self, name: Optional[str]) -> Optional[MemoryRegion]:
        if name is None:
            return None
        regions = self.memory_regions
        # asked once per section: a table of the first region of each name, made again whenever
        # the list is another or has changed length
        known = self.__dict__.get("_by_name")
        if known is None or known[0] is not regions or known[1] != len(regions):
            table: dict = {}
            for region in regions:
                table.setdefault(region.name, region)
            known = self.__dict__["_by_name"] = (regions, len(regions), table)
        found = known[2].get(name)
        if found is not None and found.name == name:
            return found
        for region in regions:  # a region renamed in place since the table was made
            if region.name == name:
                return region
        return None

    def region_of(self, section: Section) -> Optional[MemoryRegion]:
        """The region a section runs from: by name, else by address."""
        region = self.region_named(section.execution_region)
        if region is not None or not section.size or self.by_address_alone(section):
            return region
        return region_containing(self.memory_regions, section.address)


def region_containing(regions, address: int) -> Optional[MemoryRegion]:
    """The smallest region holding the address (regions may nest: MSP430's INFOMEM holds
    INFOA to INFOD); the first listed of equal size."""
    found = None
    for region in regions:
        if region.contains(address) and (found is None or region.length < found.length):
            found = region
    return found


class RegionFinder:
    """region_containing for many addresses: the regions' bounds cut the address space into
    pieces, and within a piece the same regions hold every address. `names[i]` is the name of
    the region holding the addresses with i bounds at or below them (None: no region)."""

    def __init__(self, regions):
        self.bounds = sorted({bound for region in regions for bound in (region.origin, region.end)})
        holders = [region_containing(regions, bound) for bound in self.bounds]
        self.names = [None] + [holder.name if holder else None for holder in holders]
