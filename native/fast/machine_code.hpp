// Stack frames and calls read from a linked image's machine code, for the functions no stack
// file describes: Arm Thumb/Thumb-2 (ARMv6-M to ARMv8-M) and RISC-V (RV32 and RV64, with the
// compressed instructions). Only what moves the stack pointer or the program counter is decoded
// exactly; every other instruction is known by its length and the registers it may write (a
// superset), so a frame pointer kept in a register can be followed to where it restores sp.
#pragma once

#include "support/ref.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

namespace tarnwick::machine {

enum class Arch : int { thumb = 1, rv32 = 2, rv64 = 3 };

enum class Flow : std::uint8_t {
    next,           // on to the following instruction
    jump,           // to `target`, unconditionally
    branch,         // to `target` or on
    call,           // to `target`, then on
    indirect_call,  // through a register, then on
    indirect_jump,  // through a register or a computed address: the path ends
    ret,            // back to the caller
    table,          // a table branch (TBB/TBH) on a table at `target`
    trap,           // a permanently undefined instruction, a breakpoint: the path ends
    it,             // an IT block of `it_count` conditional instructions follows
};

enum class Sp : std::uint8_t {
    none,
    delta,     // the stack grows by `sp_delta` bytes (shrinks when negative)
    dynamic,   // by an amount held in a register: alloca, a variable-length array
    from_reg,  // sp := register `sp_reg` + `sp_delta`
    fresh,     // sp := a constant: a new stack starts here
    unknown,   // written in a way not followed
};

// What a register is known to hold, as far as the stack and the jump tables need.
enum class Const : std::uint8_t {
    none,
    value,  // `const_value` itself
    word,   // the word at address `const_value` (a literal pool's)
    upper,  // its upper half replaced by `const_value` (movt)
};

struct Insn {
    std::uint8_t size = 0;  // 0: nothing can be decoded here
    Flow flow = Flow::next;
    Sp sp = Sp::none;
    std::int64_t sp_delta = 0;
    std::int8_t sp_reg = -1;  // from_reg: the register; dynamic: the register holding the amount
    bool sp_adds = false;     // dynamic: sp += the register (else sp -= it)
    std::uint64_t target = 0;
    std::uint32_t writes = 0;  // general registers it may write, sp and pc left out
    // a register made from another plus an offset (a frame pointer: `add r7, sp, #8`)
    std::int8_t copy_to = -1, copy_from = -1;
    std::int64_t copy_offset = 0;
    std::int8_t const_to = -1;  // a register given a constant
    Const const_how = Const::none;
    std::uint64_t const_value = 0;
    // a load from memory at base + index (+ offset): a jump table's entry when the base is one
    std::int8_t load_to = -1, load_base = -1, load_index = -1;
    std::int64_t load_offset = 0;
    std::int8_t add_to = -1, add_a = -1, add_b = -1;  // rd := ra + rb
    std::int8_t shift_to = -1, shift_from = -1, shift_by = 0;  // rd := rm << by (a constant built in steps)
    std::int8_t jump_reg = -1;  // an indirect jump or call through this register
    std::uint32_t pops = 0;     // registers loaded from the stack (a saved lr among them: `bx r3` returns)
    // a compare with a constant (`cmp r3, #9`), or a RISC-V branch on two registers: what bounds a
    // switch's index before its table
    std::int8_t compare_reg = -1, compare_other = -1;
    std::int64_t compare_value = 0;
    std::int8_t base_reg = -1;  // RISC-V jalr: the register it jumps through (`target` its offset)
    std::uint8_t it_count = 0;
    std::uint8_t table_entry = 0;  // TBB 1, TBH 2
    bool undefined = false;       // an encoding no instruction has
};

Insn decode(Arch arch, const unsigned char* at, std::size_t available, std::uint64_t address, bool little);

enum class Problem : int {
    none = 0,
    dynamic = 1,         // allocates a variable amount of stack
    untracked_sp = 2,    // sets sp in a way that is not followed
    depth_mismatch = 3,  // reaches one instruction with two stack depths
    undecodable = 4,     // an instruction that cannot be decoded
    negative_depth = 5,  // releases more stack than it took
    bad_table = 6,       // a table branch whose table cannot be read
};

enum class CallKind : int { call = 0, jump = 1, indirect_call = 2, indirect_jump = 3 };

struct Call {
    CallKind kind;
    std::uint64_t target, site;
};

struct Range {
    std::uint64_t start, end;
};

struct Function {
    std::vector<Range> ranges;  // the first is where it starts; more for split-off `.cold` parts
};

struct Result {
    std::int64_t frame = 0;
    Problem problem = Problem::none;
    std::uint64_t problem_at = 0;
    std::vector<Call> calls;
};

// The code of one section, `base` its first byte's address; `data` the ranges the mapping
// symbols call data (literal pools, tables), never decoded.
struct Memory {
    std::uint64_t address;
    std::string_view bytes;
};

struct Code {
    const unsigned char* bytes;
    std::size_t size;
    std::uint64_t base;
    bool little;
    Arch arch;
    std::vector<Range> data;
    std::vector<Memory> memory;  // sorted by address
    std::vector<std::pair<std::uint64_t, int>> helpers;  // sorted by address
};

Result walk(const Code& code, const Function& function);

}  // namespace tarnwick::machine

namespace tarnwick {

// machine_frames(code, base, little, arch, functions, data, memory, helpers)
//   -> [(frame, problem, problem_at, calls)]
// functions: [((start, end), ...)] per function; data: [(start, end)]; memory: [(address, bytes)]
// of the image's sections, where jump tables are read; helpers: {address: kind} of libgcc's
// __gnu_thumb1_case_* (1 sqi, 2 uqi, 3 shi, 4 uhi, 5 si); calls: ((kind, target, site), ...)
PyObject* machine_frames(PyObject* module, PyObject* args);

// decode_machine_code(code, base, little, arch) -> [(address, size, flow, sp, sp_delta, target)]:
// every instruction of a linear sweep, for checking the decoder against another disassembler
PyObject* decode_machine_code(PyObject* module, PyObject* args);

}  // namespace tarnwick
