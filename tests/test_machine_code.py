"""Frames and calls read from machine code, against two other sources of the truth: every
instruction of real builds (newlib's functions among them) decoded alike by capstone, and, for
every function with GCC's own .su and .ci files, the same frame and the same direct callees
(tests/stack_firmware/mix, built for Cortex-M0/M4/M7/M33 and RV32/RV64 at several levels)."""

import os
import re
import struct
from pathlib import Path

import pytest

from firmware_builds import build_with_script
from tarnwick.toolchains.elf import elf_file as elf_format
from tarnwick.toolchains.elf.machine_code import INDIRECT_CALL, read_machine_code
from tarnwick.toolchains.stack_files import INDIRECT, read_callgraph
from tarnwick._native import decode_machine_code



def import_capstone():
    # capstone opens its library with RTLD_DEEPBIND, which the sanitizer runtime refuses outright
    # (an abort, not an error); without the flag it decodes the same
    if "libasan" not in os.environ.get("LD_PRELOAD", "") or not hasattr(os, "RTLD_DEEPBIND"):
        return pytest.importorskip("capstone")
    deepbind = os.RTLD_DEEPBIND
    del os.RTLD_DEEPBIND
    try:
        return pytest.importorskip("capstone")
    finally:
        os.RTLD_DEEPBIND = deepbind


capstone = import_capstone()

MIX = Path(__file__).resolve().parent / "stack_firmware" / "mix"
BUILDS = ("m0-Os", "m0-O2", "m4-O2", "m4-O0", "m33-Os", "m7-O3", "rv32-O2", "rv32-O0", "rv64-O1")
# GCC's .su leaves out what an Arm function pushes of its argument registers (varargs, a struct
# passed by value): the machine code shows those 16 bytes, and they are used
PUSHED_ARGUMENTS = {"sum_va": 16, "by_value": 16}
FLOW_NEXT, FLOW_IT = 0, 9
SP_NONE = 0


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    return build_with_script(MIX / "build.sh", tmp_path_factory.mktemp("mix"))


def code_regions(path: Path):
    """(address, bytes) of the code the ELF's mapping symbols mark as instructions ($t, $x),
    or of whole executable sections where there are none."""
    elf = elf_format.read_elf(str(path))
    data = path.read_bytes()
    marks = {}  # the symbol table's mapping symbols, which the ELF reader leaves out

    table = next(s for s in elf.sections if s.type == elf_format.SHT_SYMTAB)
    strings = elf.sections[table.link]
    entry = 24 if elf.bits == 64 else 16
    for at in range(table.offset, table.offset + table.size, entry):
        if elf.bits == 64:
            name, _info, _other, index, value, _size = struct.unpack_from("<IBBHQQ", data, at)
        else:
            name, value, _size, _info, _other, index = struct.unpack_from("<IIIBBH", data, at)
        text = data[strings.offset + name:data.index(b"\0", strings.offset + name)].decode()
        if re.fullmatch(r"\$[tdax](\..*)?", text):
            marks.setdefault(index, []).append((value, text[1]))
    for section in elf.sections:
        if not (section.flags & 4 and section.has_contents and section.size):
            continue
        listed = sorted(marks.get(section.index, [])) or [(section.address, "t")]
        for number, (start, kind) in enumerate(listed):
            end = listed[number + 1][0] if number + 1 < len(listed) else section.address + section.size
            if kind in "tx" and end > start:
                yield elf, start, data[section.offset + start - section.address:section.offset + end - section.address]


def capstone_for(elf):
    if elf.machine == elf_format.EM_ARM:
        engine = capstone.Cs(capstone.CS_ARCH_ARM, capstone.CS_MODE_THUMB | capstone.CS_MODE_MCLASS)
        arch = 1
    else:
        bits = capstone.CS_MODE_RISCV64 if elf.bits == 64 else capstone.CS_MODE_RISCV32
        engine = capstone.Cs(capstone.CS_ARCH_RISCV, bits | capstone.CS_MODE_RISCVC)
        arch = 3 if elf.bits == 64 else 2
    engine.detail = True
    return engine, arch


def writes_sp(instruction) -> bool:
    if instruction._cs.arch == capstone.CS_ARCH_ARM:
        # capstone lists no register for vpush and vpop; both move sp by their list
        return instruction.mnemonic in ("vpush", "vpop") or capstone.arm.ARM_REG_SP in instruction.regs_access()[1]
    operands = instruction.operands  # RISC-V: capstone has no register access lists; a first operand is written
    stores = re.fullmatch(r"(c\.)?f?s[bhwd](sp)?", instruction.mnemonic)
    return bool(operands and operands[0].type == capstone.riscv.RISCV_OP_REG and operands[0].reg == capstone.riscv.RISCV_REG_SP
                and not stores and not instruction.mnemonic.startswith(("b", "c.b", "c.j", "j")))


def moves_pc(instruction) -> bool:
    groups = set(instruction.groups)
    if groups & {capstone.CS_GRP_JUMP, capstone.CS_GRP_CALL, capstone.CS_GRP_RET, capstone.CS_GRP_IRET}:
        return True
    if instruction._cs.arch == capstone.CS_ARCH_ARM:
        return instruction.mnemonic.startswith("it") or capstone.arm.ARM_REG_PC in instruction.regs_access()[1]
    return False


@pytest.mark.parametrize("name", BUILDS)
def test_every_instruction_decodes_as_capstone_decodes_it(builds, name):
    """Length, whether it moves sp, whether it changes the flow, where a branch goes."""
    checked, differ = 0, []
    for elf, start, code in code_regions(builds / name / "mix.elf"):
        engine, arch = capstone_for(elf)
        ours = {row[0]: row for row in decode_machine_code(code, start, elf.little_endian, arch)}
        for instruction in engine.disasm(code, start):
            if instruction.mnemonic in ("udf", "bkpt", "c.ebreak", "ebreak", "unimp", "c.unimp"):
                continue  # traps: capstone gives them no group, the walk ends a path there
            address, size, flow, sp, _delta, target = ours[instruction.address]
            checked += 1
            branch = [op.imm for op in instruction.operands if op.type in (capstone.arm.ARM_OP_IMM, capstone.riscv.RISCV_OP_IMM)]
            expected_target = None
            if flow in (1, 2, 3) and branch:
                expected_target = branch[-1] & 0xFFFFFFFF if arch == 1 else (instruction.address + branch[-1]) & ((1 << elf.bits) - 1)
            if (size != instruction.size or writes_sp(instruction) != (sp != SP_NONE)
                    or moves_pc(instruction) != (flow != FLOW_NEXT)
                    or (expected_target is not None and target != expected_target)):
                differ.append(f"{address:#x} {instruction.mnemonic} {instruction.op_str}: ours {size, flow, sp, hex(target)}")
    assert checked > 500 and not differ, differ[:10]


def gcc_functions(folder: Path):
    """(name, local, source file, frame, {direct callees}, calls through pointers) of every
    function the .ci files describe."""
    for ci in sorted(folder.glob("*.ci")):
        unit = read_callgraph(str(ci), ci.stem + ".o")
        for title, function in unit.functions.items():
            callees = {unit.functions[c].name if c in unit.functions else c
                       for caller, c, _site in unit.calls if caller == title and c != INDIRECT}
            indirect = any(caller == title and c == INDIRECT for caller, c, _site in unit.calls)
            yield function.name, function.local, os.path.basename(function.where.split(":")[0]), function.frame, \
                callees, indirect


@pytest.mark.parametrize("name", BUILDS)
def test_frames_and_callees_agree_with_gccs_stack_files(builds, name):
    machine = read_machine_code(str(builds / name / "mix.elf"))
    arm = not name.startswith("rv")
    compared, differ = 0, []
    for function, local, source, frame, callees, indirect in gcc_functions(builds / name):
        candidates = [f for f in machine.by_name.get(function, []) if f.local == local]
        if len(candidates) > 1:
            candidates = [f for f in candidates if f.file == source]
        assert len(candidates) == 1, function
        found = candidates[0]
        compared += 1
        expected = frame + (PUSHED_ARGUMENTS.get(function.split(".")[0], 0) if arm else 0)
        ours = set()
        through_pointer = False
        for kind, target, _site in found.calls:
            if kind >= INDIRECT_CALL:
                through_pointer = True
            else:
                names = {f.name for f in machine.by_address.get(target, [])}
                ours.add(min(names) if len(names) == 1 or not names & callees else min(names & callees))
        # libgcc's switch helpers for Cortex-M0 are real calls GCC's call graph does not list
        ours = {callee for callee in ours if not callee.startswith("__gnu_thumb1_case_")}
        if found.frame != expected or ours != callees or through_pointer != indirect or found.problem:
            differ.append((function, frame, found.frame, sorted(callees), sorted(ours), indirect, found.problem))
    assert compared >= 25 and not differ, differ


def test_what_the_machine_code_does_not_bound_says_why(builds):
    machine = read_machine_code(str(builds / "m4-O2" / "mix.elf"))
    dispatch = machine.by_name["dispatch"][0]
    assert [kind for kind, *_ in dispatch.calls] in ([INDIRECT_CALL], [3])  # through the table of handlers
    huge = machine.by_name["huge_frame"][0]
    assert huge.problem is None and huge.frame >= 280_000  # a frame too large for an immediate, followed
    longjmp = read_machine_code(str(builds / "m4-O0" / "mix.elf")).by_name.get("longjmp")
    assert longjmp is None or (longjmp[0].problem and "sets sp" in longjmp[0].problem)


@pytest.mark.parametrize("arch", [1, 2, 3])
def test_random_bytes_end_in_a_figure_or_a_reason_never_a_crash(arch):
    """Code that is no code (random bytes, a truncated function, a table pointing anywhere):
    every function still ends with a frame that is not negative, a reason from the known set
    where it is not bounded, and calls whose sites lie inside it."""
    import random

    from tarnwick._native import machine_frames

    rng = random.Random(arch)
    for _ in range(150):
        base = rng.choice([0, 0x8000000, 0xFFFFF000])
        code = bytes(rng.randrange(256) for _ in range(rng.randrange(2, 600)))
        ends = sorted(rng.randrange(0, len(code) + 1) for _ in range(3))
        functions = [((base, base + ends[0]),), ((base + ends[0], base + ends[2]), (base + ends[1], base + len(code)))]
        memory = [(base, code), (base + len(code) + 64, bytes(rng.randrange(256) for _ in range(64)))]
        results = machine_frames(code, base, True, arch, functions, [(base + ends[1], base + ends[2])], memory,
                                 {base + ends[0]: rng.randrange(1, 6)} if arch == 1 else {})
        assert len(results) == len(functions)
        for ranges, (frame, problem, at, calls) in zip(functions, results):
            assert frame >= 0 and problem in range(7)
            for _kind, _target, site in calls:
                assert any(low <= site < high for low, high in ranges)
