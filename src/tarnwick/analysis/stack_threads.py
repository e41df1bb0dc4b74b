"""An RTOS firmware's threads, each on a stack of its own: those `[[stack.threads]]` names (its
entry function, and its stack's size or the symbol of its stack buffer, sized by the ELF), and
those the build shows without configuration:

- Zephyr's statically defined threads (K_THREAD_DEFINE): each `_k_thread_data_NAME` record holds
  the thread object, the stack object, the stack's size and the entry function, one pointer
  apart, in that order;
- FreeRTOS tasks created with static buffers from a table of TaskParameters_t records in the
  image's data: the entry function, the task's name, its stack depth in words, its parameters,
  its priority and its stack buffer, one pointer apart; a record is one only where the buffer is
  a symbol of exactly the depth's size."""

from __future__ import annotations

import mmap

from tarnwick.support.files import FileProblem, open_regular
from tarnwick.support.records import record

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

ZEPHYR_PREFIX = "_k_thread_data_"
_MOST_SCANNED = 16 << 20  # bytes of data looked through for task tables


@record
class Thread:
    name: str
    entry: str
    reservation: Optional[int]  # bytes of its stack, where known
    found: str  # "configuration", "Zephyr static thread", "FreeRTOS task table"
    stack_symbol: Optional[str] = None


class _Image:
    """The ELF's allocated contents, read by address."""

    def __init__(self, elf, data):
        self.elf, self.data = elf, data
        self.pointer = elf.bits // 8
        self.sections = sorted((s.address, s.address + s.size, s.offset) for s in elf.sections
                               if s.allocated and s.has_contents and s.size)

    def read(self, address: int, width: int) -> Optional[int]:
        for start, end, offset in self.sections:
            if start <= address and address + width <= end:
                at = offset + address - start
                chunk = self.data[at:at + width]
                if len(chunk) == width:
                    return int.from_bytes(chunk, "little" if self.elf.little_endian else "big")
        return None

    def text(self, address: int) -> Optional[str]:
        for start, end, offset in self.sections:
            if start <= address < end:
                at = offset + address - start
                chunk = bytes(self.data[at:min(at + 64, offset + end - start)])
                name = chunk.split(b"\0", 1)[0]
                if name and b"\0" in chunk and all(32 <= c < 127 for c in name):
                    return name.decode("ascii")
        return None


def find_threads(model, config, functions_at: dict, elf=None) -> tuple:
    """([Thread], notes): the configured threads, then those the ELF shows. `functions_at`:
    address -> function name, for the entries the records point at; `elf` the ELF read with
    its symbols, where the caller has it."""
    notes: list = []
    threads = [Thread(name, name, None, "configuration") for name in config.threads]
    symbols = _symbols(model, elf) if any(wanted.stack_symbol for wanted in config.thread_stacks) else {}
    for wanted in config.thread_stacks:
        size = wanted.stack_size
        if wanted.stack_symbol is not None:
            found = symbols.get(wanted.stack_symbol)
            if found is None:
                notes.append(f"thread {wanted.name}: its stack symbol {wanted.stack_symbol} is not in the build")
            size = found[1] if found else None
        threads.append(Thread(wanted.name, wanted.entry, size, "configuration", wanted.stack_symbol))
    elf = elf or model.elf_file
    if elf is None or not model.elf_path:
        return threads, notes
    known = {t.entry for t in threads}
    try:
        with open_regular(model.elf_path) as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as data:
            image = _Image(elf, data)
            for thread in _zephyr(image, functions_at) + _freertos(image, functions_at):
                if thread.entry not in known:
                    threads.append(thread)
                    known.add(thread.entry)
    except (FileProblem, OSError, ValueError) as exc:
        notes.append(f"the threads of {model.elf_path} cannot be read ({exc})")
    return threads, notes


def _symbols(model, elf) -> dict:
    """name -> (address, size) of the ELF's symbols, else of the map's."""
    rows = getattr(elf or model.elf_file, "symbols", None) or []
    if rows:
        return {name: (start, size) for name, start, size, *_ in rows}
    return {s.name: (s.address, s.size) for s in model.symbols if s.binding != "unnamed"}


def _elf_symbols(image: _Image) -> list:
    from tarnwick.toolchains.elf import elf_file as elf_format

    elf = image.elf
    if elf.symbols:
        return elf.symbols
    try:  # the model lets the ELF's symbols go once joined: read them again
        return elf_format.read_elf(elf.path).symbols
    except elf_format.ElfError:
        return []


def _zephyr(image: _Image, functions_at: dict) -> list:
    found = []
    p = image.pointer
    for name, start, size, _index, _binding in _elf_symbols(image):
        if not name.startswith(ZEPHYR_PREFIX) or size < 4 * p:
            continue
        stack_at, stack_size, entry = image.read(start + p, p), image.read(start + 2 * p, 4), image.read(start + 3 * p, p)
        entry_name = functions_at.get(entry & ~1 if entry is not None and image.elf.machine == 40 else entry)
        if entry_name is None or not stack_size or stack_at is None:
            continue
        found.append(Thread(name[len(ZEPHYR_PREFIX):], entry_name, stack_size, "Zephyr static thread",
                            _symbol_at(image, stack_at)))
    return found


def _symbol_at(image: _Image, address: int) -> Optional[str]:
    for name, start, _size, _index, _binding in _elf_symbols(image):
        if start == address:
            return name
    return None


def _freertos(image: _Image, functions_at: dict) -> list:
    p = image.pointer
    rows = _elf_symbols(image)
    buffers = _Buffers(rows)
    with_contents = {s.index for s in image.elf.sections if s.allocated and s.has_contents}
    thumb = image.elf.machine == 40
    found, scanned = [], 0
    for name, start, size, index, _binding in rows:
        if index not in with_contents or size < 6 * p or start in functions_at:  # data, not code
            continue
        scanned += size
        if scanned > _MOST_SCANNED:
            break
        offset = 0
        while offset + 6 * p <= size:
            entry = image.read(start + offset, p)
            entry_name = functions_at.get(entry & ~1 if thumb and entry is not None else entry)
            if entry_name is not None:
                task = _task(image, start + offset, entry_name, buffers)
                if task is not None:
                    found.append(task)
                    offset += 6 * p
                    continue
            offset += p
    return found


class _Buffers:
    """start -> (name, size) of the sized symbols, gathered the first time a record is tried."""

    def __init__(self, rows):
        self.rows, self.table = rows, None

    def get(self, start):
        if self.table is None:
            self.table = {start: (name, size) for name, start, size, *_ in self.rows if size}
        return self.table.get(start)


def _task(image: _Image, at: int, entry_name: str, buffers: _Buffers) -> Optional[Thread]:
    p = image.pointer
    depth_word, buffer = image.read(at + 2 * p, p), image.read(at + 5 * p, p)
    found = buffers.get(buffer) if depth_word is not None else None
    if found is None:
        return None
    buffer_name, buffer_size = found
    low = depth_word & 0xFFFF if image.elf.little_endian else depth_word >> (8 * p - 16)
    if buffer_size not in (low * p, depth_word * p) or not buffer_size:
        return None
    name_at = image.read(at + p, p)
    name = image.text(name_at) if name_at else None
    return Thread(name or buffer_name, entry_name, buffer_size, "FreeRTOS task table", buffer_name)
