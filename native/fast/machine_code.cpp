// machine_frames(): each function's frame and calls from its instructions, by a walk over its
// control flow that carries the stack depth along every path.
#include "fast/machine_code.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <new>
#include <unordered_map>

namespace tarnwick::machine {

namespace {

constexpr int SP_THUMB = 13, LR_THUMB = 14, PC_THUMB = 15;
constexpr int SP_RV = 2, RA_RV = 1;

std::uint32_t bit(int reg) { return reg >= 0 && reg < 32 ? 1u << reg : 0u; }

std::int64_t sext(std::uint64_t value, int bits) {
    std::uint64_t sign = std::uint64_t{1} << (bits - 1);
    value &= (sign << 1) - 1;
    return static_cast<std::int64_t>(value ^ sign) - static_cast<std::int64_t>(sign);
}

std::uint32_t half(const unsigned char* at, bool little) {
    return little ? at[0] | (at[1] << 8) : (at[0] << 8) | at[1];
}

// --- Thumb -----------------------------------------------------------------------------------

// Writes of general registers. A write of sp or pc not decoded as one of the forms that move
// them (push, pop, a branch, ...) is one that is not followed: unpredictable encodings included.
void writes_thumb(Insn& insn, std::uint32_t mask) {
    if ((mask & bit(SP_THUMB)) && insn.sp == Sp::none) insn.sp = Sp::unknown;
    if ((mask & bit(PC_THUMB)) && insn.flow == Flow::next) insn.flow = Flow::indirect_jump;
    insn.writes |= mask & ~(bit(SP_THUMB) | bit(PC_THUMB));
}

std::uint32_t expand_imm(std::uint32_t imm12) {  // ThumbExpandImm
    std::uint32_t imm8 = imm12 & 0xFF;
    if ((imm12 >> 10) == 0) {
        switch ((imm12 >> 8) & 3) {
            case 0: return imm8;
            case 1: return imm8 | (imm8 << 16);
            case 2: return (imm8 << 8) | (imm8 << 24);
            default: return imm8 | (imm8 << 8) | (imm8 << 16) | (imm8 << 24);
        }
    }
    std::uint32_t unrotated = 0x80 | (imm12 & 0x7F);
    return std::rotr(unrotated, static_cast<int>(imm12 >> 7));
}

void constant(Insn& insn, int rd, Const how, std::uint64_t value) {
    insn.const_to = static_cast<std::int8_t>(rd);
    insn.const_how = how;
    insn.const_value = value;
}

void load(Insn& insn, int rt, int base, int index, std::int64_t offset) {
    insn.load_to = static_cast<std::int8_t>(rt);
    insn.load_base = static_cast<std::int8_t>(base);
    insn.load_index = static_cast<std::int8_t>(index);
    insn.load_offset = offset;
}

void add(Insn& insn, int rd, int ra, int rb) {
    insn.add_to = static_cast<std::int8_t>(rd);
    insn.add_a = static_cast<std::int8_t>(ra);
    insn.add_b = static_cast<std::int8_t>(rb);
}

std::uint64_t align4(std::uint64_t address) { return address & ~std::uint64_t{3}; }

// An instruction that sets register `rd` from `rn` plus `offset` (sp, a frame pointer, a constant).
void set_from(Insn& insn, int rd, int rn, std::int64_t offset, int sp) {
    if (rd == sp) {
        if (rn == sp) {
            insn.sp = Sp::delta;
            insn.sp_delta = -offset;
        } else {
            insn.sp = Sp::from_reg;
            insn.sp_reg = static_cast<std::int8_t>(rn);
            insn.sp_delta = offset;
        }
        return;
    }
    insn.writes |= bit(rd);
    insn.copy_to = static_cast<std::int8_t>(rd);
    insn.copy_from = static_cast<std::int8_t>(rn);
    insn.copy_offset = offset;
}

Insn thumb16(std::uint32_t hw, std::uint64_t address) {
    Insn insn;
    insn.size = 2;
    const int low = hw & 7;
    if ((hw >> 11) < 3) {  // shift by an immediate
        writes_thumb(insn, bit(low));
        if ((hw >> 11) == 0) {  // lsls rd, rm, #imm
            insn.shift_to = static_cast<std::int8_t>(low);
            insn.shift_from = static_cast<std::int8_t>((hw >> 3) & 7);
            insn.shift_by = static_cast<std::int8_t>((hw >> 6) & 0x1F);
        }
    } else if ((hw >> 11) == 3) {  // add, subtract (register or 3-bit immediate)
        int rn = (hw >> 3) & 7;
        if (hw & 0x400) {
            std::int64_t imm = (hw >> 6) & 7;
            set_from(insn, low, rn, (hw & 0x200) ? -imm : imm, SP_THUMB);
        } else {
            writes_thumb(insn, bit(low));
            if (!(hw & 0x200)) add(insn, low, rn, (hw >> 6) & 7);
        }
    } else if ((hw >> 13) == 1) {  // move, compare, add, subtract an 8-bit immediate
        int rd = (hw >> 8) & 7, op = (hw >> 11) & 3;
        std::int64_t imm = hw & 0xFF;
        if (op == 0) writes_thumb(insn, bit(rd)), constant(insn, rd, Const::value, static_cast<std::uint64_t>(imm));
        else if (op == 1) insn.compare_reg = static_cast<std::int8_t>(rd), insn.compare_value = imm;
        else if (op == 2) set_from(insn, rd, rd, imm, SP_THUMB);
        else if (op == 3) set_from(insn, rd, rd, -imm, SP_THUMB);
    } else if ((hw >> 10) == 0x10) {  // data processing
        int op = (hw >> 6) & 0xF;
        if (op != 8 && op != 10 && op != 11) writes_thumb(insn, bit(low));
    } else if ((hw >> 10) == 0x11) {  // special data processing, branch and exchange
        int op = (hw >> 8) & 3, rm = (hw >> 3) & 0xF, rd = ((hw >> 4) & 8) | low;
        if (op == 0) {  // add (register), high registers
            if (rd == SP_THUMB) {
                insn.sp = Sp::dynamic;
                insn.sp_reg = static_cast<std::int8_t>(rm);
                insn.sp_adds = true;
            } else if (rd == PC_THUMB) {
                insn.flow = Flow::indirect_jump;
            } else {
                writes_thumb(insn, bit(rd));
                add(insn, rd, rd, rm);
            }
        } else if (op == 2) {  // mov (register)
            if (rd == PC_THUMB) {
                insn.flow = rm == LR_THUMB ? Flow::ret : Flow::indirect_jump;
                insn.jump_reg = static_cast<std::int8_t>(rm);
            } else {
                set_from(insn, rd, rm, 0, SP_THUMB);
                if (rd == SP_THUMB && rm == SP_THUMB) insn.sp = Sp::none;
            }
        } else if (op == 3) {  // bx, blx
            if (hw & 0x80) {
                insn.flow = Flow::indirect_call;
                writes_thumb(insn, bit(LR_THUMB));
            } else {
                insn.flow = rm == LR_THUMB ? Flow::ret : Flow::indirect_jump;
            }
            insn.jump_reg = static_cast<std::int8_t>(rm);
        }
    } else if ((hw >> 11) == 9) {  // load literal
        int rt = (hw >> 8) & 7;
        writes_thumb(insn, bit(rt));
        constant(insn, rt, Const::word, align4(address + 4) + (hw & 0xFF) * 4);
    } else if ((hw >> 12) == 5) {  // load, store (register offset)
        if (((hw >> 9) & 7) >= 3) writes_thumb(insn, bit(low));
        if (((hw >> 9) & 7) == 4) load(insn, low, (hw >> 3) & 7, (hw >> 6) & 7, 0);  // ldr rt, [rn, rm]
    } else if ((hw >> 13) == 3 || (hw >> 12) == 8) {  // load, store (immediate)
        if (hw & 0x800) writes_thumb(insn, bit(low));
        if ((hw >> 11) == 0xD) load(insn, low, (hw >> 3) & 7, -1, ((hw >> 6) & 0x1F) * 4);  // ldr rt, [rn, #imm]
    } else if ((hw >> 12) == 9) {  // load, store (sp-relative)
        if (hw & 0x800) writes_thumb(insn, bit((hw >> 8) & 7));
    } else if ((hw >> 11) == 0x14) {  // adr
        writes_thumb(insn, bit((hw >> 8) & 7));
        constant(insn, (hw >> 8) & 7, Const::value, align4(address + 4) + (hw & 0xFF) * 4);
    } else if ((hw >> 11) == 0x15) {  // add rd, sp, #imm
        set_from(insn, (hw >> 8) & 7, SP_THUMB, (hw & 0xFF) * 4, SP_THUMB);
    } else if ((hw >> 12) == 0xB) {  // miscellaneous
        if ((hw & 0xFF00) == 0xB000) {  // add, sub sp, #imm
            insn.sp = Sp::delta;
            insn.sp_delta = (hw & 0x80 ? 4 : -4) * static_cast<std::int64_t>(hw & 0x7F);
        } else if ((hw & 0xF500) == 0xB100) {  // cbz, cbnz
            insn.flow = Flow::branch;
            insn.target = address + 4 + ((((hw >> 9) & 1) << 6) | (((hw >> 3) & 0x1F) << 1));
        } else if ((hw & 0xFF00) == 0xB200 || (hw & 0xFF00) == 0xBA00) {  // extend, reverse
            writes_thumb(insn, bit(low));
        } else if ((hw & 0xFE00) == 0xB400) {  // push
            insn.sp = Sp::delta;
            insn.sp_delta = 4 * static_cast<std::int64_t>(std::popcount(hw & 0xFF) + ((hw >> 8) & 1));
        } else if ((hw & 0xFE00) == 0xBC00) {  // pop
            insn.sp = Sp::delta;
            insn.sp_delta = -4 * static_cast<std::int64_t>(std::popcount(hw & 0xFF) + ((hw >> 8) & 1));
            writes_thumb(insn, hw & 0xFF);
            insn.pops = hw & 0xFF;
            if (hw & 0x100) insn.flow = Flow::ret;
        } else if ((hw & 0xFF00) == 0xBE00) {  // bkpt
            insn.flow = Flow::trap;
        } else if ((hw & 0xFF00) == 0xBF00 && (hw & 0xF)) {  // it
            insn.flow = Flow::it;
            insn.it_count = static_cast<std::uint8_t>(4 - std::countr_zero(hw & 0xF));
        } else if ((hw & 0xFF00) == 0xBF00 || (hw & 0xFFE8) == 0xB660) {  // hints, cps
        } else {
            insn.undefined = true;
        }
    } else if ((hw >> 12) == 0xC) {  // stm, ldm
        int rn = (hw >> 8) & 7;
        std::uint32_t list = hw & 0xFF;
        if (hw & 0x800) writes_thumb(insn, list | ((list & bit(rn)) ? 0 : bit(rn)));
        else writes_thumb(insn, bit(rn));
    } else if ((hw >> 12) == 0xD) {  // conditional branch, udf, svc
        int cond = (hw >> 8) & 0xF;
        if (cond == 0xE) {
            insn.flow = Flow::trap;
        } else if (cond != 0xF) {
            insn.flow = Flow::branch;
            insn.target = address + 4 + static_cast<std::uint64_t>(sext((hw & 0xFF) << 1, 9));
        }
    } else if ((hw >> 11) == 0x1C) {  // b
        insn.flow = Flow::jump;
        insn.target = address + 4 + static_cast<std::uint64_t>(sext((hw & 0x7FF) << 1, 12));
    } else {
        insn.undefined = true;
    }
    return insn;
}

// A load or store of one register with an 8-bit immediate that may write back its base
// (`str lr, [sp, #-4]!`, `ldr pc, [sp], #4`).
void writeback(Insn& insn, std::uint32_t hw1, std::uint32_t hw2) {
    int rn = hw1 & 0xF;
    bool back = (hw2 & 0x800) != 0 && (hw2 & 0x100) != 0;  // the 8-bit immediate form with W
    if (!back || rn == PC_THUMB) return;
    std::int64_t imm = hw2 & 0xFF;
    if (rn == SP_THUMB) {
        insn.sp = Sp::delta;
        insn.sp_delta = (hw2 & 0x200) ? -imm : imm;
    } else {
        writes_thumb(insn, bit(rn));
    }
}

void coprocessor(Insn& insn, std::uint32_t hw1, std::uint32_t hw2) {
    std::uint32_t op = hw1 & 0xEFFF;  // the same for the unconditional (1111 11xx) forms
    int rn = hw1 & 0xF, rt = (hw2 >> 12) & 0xF;
    if ((op & 0xFE00) == 0xEC00) {  // loads, stores, 64-bit transfers
        if ((op & 0xFFE0) == 0xEC40) {
            if (op & 0x10) writes_thumb(insn, bit(rt) | bit(rn));
            return;
        }
        bool w = op & 0x20, l = op & 0x10, p = op & 0x100, u = op & 0x80;
        if (!w) return;
        if (rn == SP_THUMB) {
            insn.sp = Sp::delta;
            std::int64_t bytes = 4 * static_cast<std::int64_t>(hw2 & 0xFF);
            if (p && !u && !l) insn.sp_delta = bytes;        // vpush
            else if (!p && u && l) insn.sp_delta = -bytes;   // vpop
            else if (!p && u && !l) insn.sp_delta = -bytes;  // vstmia sp!
            else if (p && !u && l) insn.sp_delta = bytes;    // vldmdb sp!
            else insn.sp = Sp::unknown;
        } else {
            writes_thumb(insn, bit(rn));
        }
        return;
    }
    if ((op & 0xFF00) == 0xEE00 && (hw2 & 0x10) && (op & 0x10)) {  // to a core register
        writes_thumb(insn, bit(rt) & ~bit(PC_THUMB));  // pc here means the flags: nothing jumps
    }
}

Insn thumb32(std::uint32_t hw1, std::uint32_t hw2, std::uint64_t address) {
    Insn insn;
    insn.size = 4;
    const int rn = hw1 & 0xF, rd = (hw2 >> 8) & 0xF, rt = (hw2 >> 12) & 0xF;
    const std::uint32_t group = hw1 >> 11;  // 0x1D, 0x1E, 0x1F
    if (group == 0x1D) {
        if ((hw1 & 0x0600) == 0 && (hw1 & 0x40) == 0) {  // load, store multiple
            int op = (hw1 >> 7) & 3;
            bool w = hw1 & 0x20, l = hw1 & 0x10;
            std::uint32_t list = hw2 & 0xFFFF;
            if (op == 0 || op == 3) {  // srs, rfe: not on M-profile
                insn.undefined = true;
                return insn;
            }
            if (l) writes_thumb(insn, list & ~bit(PC_THUMB));
            if (w) {
                if (rn == SP_THUMB) {  // stmdb sp! pushes, ldmia sp! pops
                    insn.sp = Sp::delta;
                    std::int64_t bytes = 4 * std::popcount(list);
                    insn.sp_delta = op == 2 ? bytes : -bytes;
                    if (l) insn.pops = list & 0x5FFF;
                } else {
                    writes_thumb(insn, bit(rn));
                }
            }
            if (l && (list & bit(PC_THUMB))) insn.flow = rn == SP_THUMB && w && op == 1 ? Flow::ret : Flow::indirect_jump;
            return insn;
        }
        if ((hw1 & 0x0600) == 0 && (hw1 & 0x40)) {  // dual, exclusive, table branch
            std::uint32_t op = hw1 & 0x1F0;
            if ((hw1 & 0xFFF0) == 0xE8D0 && (hw2 & 0xFFE0) == 0xF000) {  // tbb, tbh
                if (rn == PC_THUMB) {
                    insn.flow = Flow::table;
                    insn.target = address + 4;
                    insn.table_entry = (hw2 & 0x10) ? 2 : 1;
                    insn.jump_reg = static_cast<std::int8_t>(hw2 & 0xF);
                } else {
                    insn.flow = Flow::indirect_jump;
                }
                return insn;
            }
            if (op == 0x040) writes_thumb(insn, bit(rd));                     // strex
            else if (op == 0x050) writes_thumb(insn, bit(rt));                // ldrex
            else if (op == 0x0C0) writes_thumb(insn, bit(hw2 & 0xF));         // strexb, h, d
            else if (op == 0x0D0) writes_thumb(insn, bit(rt) | bit(rd));      // ldrexb, h, d, lda
            else {  // ldrd, strd
                bool p = hw1 & 0x100, u = hw1 & 0x80, w = hw1 & 0x20, l = hw1 & 0x10;
                if (l) writes_thumb(insn, bit(rt) | bit(rd));
                if (w) {
                    if (rn == SP_THUMB && insn.sp == Sp::none) {
                        insn.sp = Sp::delta;
                        std::int64_t imm = 4 * static_cast<std::int64_t>(hw2 & 0xFF);
                        insn.sp_delta = u ? -imm : imm;
                    } else {
                        writes_thumb(insn, bit(rn));
                    }
                }
                (void)p;
            }
            return insn;
        }
        if ((hw1 & 0x0600) == 0x0200) {  // data processing, shifted register
            int op = (hw1 >> 5) & 0xF;
            bool s = hw1 & 0x10;
            int rm = hw2 & 0xF;
            if (rd == PC_THUMB && s && (op == 0 || op == 4 || op == 8 || op == 13)) return insn;  // tst, teq, cmn, cmp
            bool unshifted = (hw2 & 0x70F0) == 0;
            bool plain_move = op == 2 && rn == PC_THUMB && unshifted;  // mov.w rd, rm
            if (rd == SP_THUMB) {
                if (plain_move) {
                    set_from(insn, rd, rm, 0, SP_THUMB);
                } else if ((op == 8 || op == 13) && rn == SP_THUMB) {
                    insn.sp = Sp::dynamic;
                    if (unshifted) insn.sp_reg = static_cast<std::int8_t>(rm);
                    insn.sp_adds = op == 8;
                } else {
                    insn.sp = Sp::unknown;
                }
            } else if (rd == PC_THUMB) {
                insn.flow = Flow::indirect_jump;
            } else if (plain_move) {
                set_from(insn, rd, rm, 0, SP_THUMB);
            } else {
                writes_thumb(insn, bit(rd));
                if (op == 8 && unshifted) add(insn, rd, rn, rm);
                if (op == 2 && rn == PC_THUMB && (hw2 & 0x30) == 0) {  // lsl.w rd, rm, #imm
                    insn.shift_to = static_cast<std::int8_t>(rd);
                    insn.shift_from = static_cast<std::int8_t>(rm);
                    insn.shift_by = static_cast<std::int8_t>(((hw2 >> 10) & 0x1C) | ((hw2 >> 6) & 3));
                }
            }
            return insn;
        }
        coprocessor(insn, hw1, hw2);
        return insn;
    }
    if (group == 0x1E) {
        if ((hw2 & 0x8000) == 0) {  // data processing, immediate
            std::uint32_t imm12 = ((hw1 & 0x400) << 1) | ((hw2 >> 4) & 0x700) | (hw2 & 0xFF);
            if ((hw1 & 0x200) == 0) {  // modified immediate
                int op = (hw1 >> 5) & 0xF;
                bool s = hw1 & 0x10;
                std::int64_t imm = expand_imm(imm12);
                if (rd == PC_THUMB && s && op == 13) {  // cmp.w
                    insn.compare_reg = static_cast<std::int8_t>(rn);
                    insn.compare_value = imm;
                }
                if (rd == PC_THUMB && s && (op == 0 || op == 4 || op == 8 || op == 13)) return insn;
                if (rd == PC_THUMB) insn.undefined = true;
                else if (op == 8) set_from(insn, rd, rn, imm, SP_THUMB);
                else if (op == 13) set_from(insn, rd, rn, -imm, SP_THUMB);
                else if (rd == SP_THUMB) insn.sp = Sp::unknown;
                else writes_thumb(insn, bit(rd));
                if ((op == 2 || op == 3) && rn == PC_THUMB && rd != SP_THUMB && rd != PC_THUMB)  // mov.w, mvn.w
                    constant(insn, rd, Const::value, op == 2 ? static_cast<std::uint64_t>(imm) : ~static_cast<std::uint32_t>(imm));
                return insn;
            }
            int op = (hw1 >> 4) & 0x1F;  // plain binary immediate
            std::uint64_t imm16 = ((hw1 & 0xF) << 12) | imm12;
            if (rd == PC_THUMB) insn.undefined = true;
            else if ((op == 0 || op == 10) && rn != PC_THUMB) set_from(insn, rd, rn, op == 0 ? imm12 : -std::int64_t(imm12), SP_THUMB);
            else if (rd == SP_THUMB) insn.sp = Sp::unknown;
            else writes_thumb(insn, bit(rd));
            if (rd != SP_THUMB && rd != PC_THUMB) {
                if (op == 4) constant(insn, rd, Const::value, imm16);                                    // movw
                else if (op == 12) constant(insn, rd, Const::upper, imm16);                              // movt
                else if ((op == 0 || op == 10) && rn == PC_THUMB)                                        // adr
                    constant(insn, rd, Const::value, op == 0 ? align4(address + 4) + imm12 : align4(address + 4) - imm12);
            }
            return insn;
        }
        const std::uint32_t s = (hw1 >> 10) & 1, j1 = (hw2 >> 13) & 1, j2 = (hw2 >> 11) & 1;
        if ((hw2 & 0x5000) == 0) {
            if (((hw1 >> 7) & 7) != 7) {  // b<cond>.w
                std::uint64_t imm = (s << 20) | (j2 << 19) | (j1 << 18) | ((hw1 & 0x3F) << 12) | ((hw2 & 0x7FF) << 1);
                insn.flow = Flow::branch;
                insn.target = address + 4 + static_cast<std::uint64_t>(sext(imm, 21));
                return insn;
            }
            int op = (hw1 >> 4) & 0x7F;
            if (op == 0x7F && (hw2 & 0x7000) == 0x2000) insn.flow = Flow::trap;          // udf.w
            else if (op == 0x3E || op == 0x3F) writes_thumb(insn, bit(rd));               // mrs
            else if (op == 0x3D) insn.flow = Flow::ret;                                    // subs pc, lr
            else if (op == 0x3C) insn.flow = Flow::indirect_jump;                          // bxj
            return insn;                                                                   // msr, hints, barriers
        }
        std::uint64_t i1 = !(j1 ^ s), i2 = !(j2 ^ s);
        std::uint64_t imm = (std::uint64_t{s} << 24) | (i1 << 23) | (i2 << 22) | ((hw1 & 0x3FF) << 12) | ((hw2 & 0x7FF) << 1);
        std::uint64_t target = address + 4 + static_cast<std::uint64_t>(sext(imm, 25));
        if ((hw2 & 0x5000) == 0x1000) {
            insn.flow = Flow::jump;
        } else {
            insn.flow = Flow::call;
            writes_thumb(insn, bit(LR_THUMB));
            if ((hw2 & 0x5000) == 0x4000) target &= ~std::uint64_t{3};  // blx to Arm code
        }
        insn.target = target;
        return insn;
    }
    // group 0x1F
    if ((hw1 & 0xFE00) == 0xF800) {  // load, store single
        bool loads = hw1 & 0x10, imm12_form = hw1 & 0x80;
        int size = (hw1 >> 5) & 3;
        if (!loads) {
            if (hw1 & 0x100) {  // Advanced SIMD element and structure loads and stores
                if ((hw2 & 0xF) != 0xF) {
                    if (rn == SP_THUMB) insn.sp = Sp::unknown;
                    else writes_thumb(insn, bit(rn));
                }
            } else if (!imm12_form) {
                writeback(insn, hw1, hw2);
            }
            return insn;
        }
        if (size == 3) {
            insn.undefined = true;
            return insn;
        }
        if (rt == PC_THUMB && size != 2) return insn;  // pld, pli: nothing is written
        bool word_by_register = size == 2 && !(hw1 & 0x100) && !imm12_form && (hw2 & 0xFC0) == 0 && rn != PC_THUMB;
        if (rt == PC_THUMB) {  // ldr pc, [sp], #4 returns; any other load of pc jumps through memory
            bool pop = rn == SP_THUMB && !imm12_form && (hw2 & 0xF00) == 0xB00;
            insn.flow = pop ? Flow::ret : Flow::indirect_jump;
            if (pop) writeback(insn, hw1, hw2);
            if (word_by_register && ((hw2 >> 4) & 3) == 2) load(insn, rt, rn, hw2 & 0xF, 0);  // ldr pc, [rn, rm, lsl #2]
            return insn;
        }
        if (rt == SP_THUMB) {
            insn.sp = rn == PC_THUMB ? Sp::fresh : Sp::unknown;  // ldr sp, =_estack
            return insn;
        }
        writes_thumb(insn, bit(rt));
        if (rn == SP_THUMB && !imm12_form && (hw2 & 0xF00) == 0xB00) insn.pops = bit(rt);  // ldr rt, [sp], #4
        if (rn == PC_THUMB) {
            std::uint64_t imm = hw2 & 0xFFF;
            if (size == 2) constant(insn, rt, Const::word, (hw1 & 0x80) ? align4(address + 4) + imm : align4(address + 4) - imm);
        } else if (!imm12_form) {
            writeback(insn, hw1, hw2);
            if (word_by_register && ((hw2 >> 4) & 3) == 0) load(insn, rt, rn, hw2 & 0xF, 0);
        } else if (size == 2 && !(hw1 & 0x100)) {
            load(insn, rt, rn, -1, hw2 & 0xFFF);
        }
        return insn;
    }
    if ((hw1 & 0x0F00) == 0x0A00) {  // data processing (register)
        if (rd == SP_THUMB) insn.sp = Sp::unknown;
        else if (rd == PC_THUMB) insn.undefined = true;
        else writes_thumb(insn, bit(rd));
        return insn;
    }
    if ((hw1 & 0x0F80) == 0x0B00) {  // multiply, multiply accumulate
        if (rd == SP_THUMB) insn.sp = Sp::unknown;
        writes_thumb(insn, bit(rd));
        return insn;
    }
    if ((hw1 & 0x0F80) == 0x0B80) {  // long multiply, divide
        if (rd == SP_THUMB || rt == SP_THUMB) insn.sp = Sp::unknown;
        writes_thumb(insn, bit(rd) | ((hw1 & 0x70) == 0x10 || (hw1 & 0x70) == 0x30 ? 0 : bit(rt)));
        return insn;
    }
    if (hw1 & 0x0400) {
        coprocessor(insn, hw1, hw2);
        return insn;
    }
    insn.undefined = true;
    return insn;
}

// --- RISC-V ----------------------------------------------------------------------------------

void writes_rv(Insn& insn, int rd) {
    if (rd == SP_RV) insn.sp = Sp::unknown;
    else if (rd != 0) insn.writes |= bit(rd);
}

Insn rv32(std::uint32_t w, std::uint64_t address, bool rv64) {
    Insn insn;
    insn.size = 4;
    const int opcode = w & 0x7F, rd = (w >> 7) & 31, funct3 = (w >> 12) & 7, rs1 = (w >> 15) & 31;
    const std::int64_t imm_i = sext(w >> 20, 12);
    switch (opcode) {
        case 0x13:  // op-imm
            if (funct3 == 0) {
                if (rd != 0) set_from(insn, rd, rs1, imm_i, SP_RV);
            } else {
                writes_rv(insn, rd);
                if (funct3 == 1 && rd != 0 && rd != SP_RV) {  // slli
                    insn.shift_to = static_cast<std::int8_t>(rd);
                    insn.shift_from = static_cast<std::int8_t>(rs1);
                    insn.shift_by = static_cast<std::int8_t>((w >> 20) & 0x3F);
                }
            }
            break;
        case 0x33: {  // op
            const int rs2 = (w >> 20) & 31, funct7 = w >> 25;
            bool plain = funct3 == 0 && (funct7 == 0 || funct7 == 0x20);  // add, sub
            if (rd == SP_RV) {
                insn.sp = rs1 == SP_RV && plain ? Sp::dynamic : Sp::unknown;
                insn.sp_reg = static_cast<std::int8_t>(rs2);
                insn.sp_adds = funct7 == 0;
            } else {
                writes_rv(insn, rd);
                if (plain && funct7 == 0 && rd != 0) add(insn, rd, rs1, rs2);
            }
            break;
        }
        case 0x03:  // loads: lw and ld may read a jump table's entry
            writes_rv(insn, rd);
            if (rd != 0 && (funct3 == 2 || funct3 == 3)) load(insn, rd, rs1, -1, imm_i);
            break;
        case 0x1B:  // op-imm-32: sext.w (addiw rd, rs, 0) keeps what a register holds
            if (funct3 == 0 && imm_i == 0 && rd != 0 && rd != SP_RV) set_from(insn, rd, rs1, 0, SP_RV);
            else writes_rv(insn, rd);
            break;
        case 0x3B: case 0x2F:  // op-32, atomics
            writes_rv(insn, rd);
            break;
        case 0x37: case 0x17: {  // lui, auipc
            std::uint64_t value = static_cast<std::uint64_t>(sext(w & 0xFFFFF000u, 32));
            if (opcode == 0x17) value += address;
            if (!rv64) value &= 0xFFFFFFFFu;
            if (rd == SP_RV) {
                insn.sp = Sp::fresh;
            } else if (rd != 0) {
                insn.writes |= bit(rd);
                constant(insn, rd, Const::value, value);
            }
            insn.target = value;
            break;
        }
        case 0x6F: {  // jal
            std::uint64_t imm = (((w >> 31) & 1) << 20) | (((w >> 21) & 0x3FF) << 1) | (((w >> 20) & 1) << 11) |
                                (((w >> 12) & 0xFF) << 12);
            insn.target = address + static_cast<std::uint64_t>(sext(imm, 21));
            insn.flow = rd == 0 ? Flow::jump : Flow::call;
            if (rd != 0) writes_rv(insn, rd);
            break;
        }
        case 0x67:  // jalr
            if (funct3 != 0) {
                insn.undefined = true;
                break;
            }
            insn.base_reg = static_cast<std::int8_t>(rs1);
            if (imm_i == 0) insn.jump_reg = static_cast<std::int8_t>(rs1);
            insn.target = static_cast<std::uint64_t>(imm_i);
            if (rd == 0) insn.flow = rs1 == RA_RV && imm_i == 0 ? Flow::ret : Flow::indirect_jump;
            else insn.flow = Flow::indirect_call, writes_rv(insn, rd);
            break;
        case 0x63: {  // branches
            std::uint64_t imm = (((w >> 31) & 1) << 12) | (((w >> 25) & 0x3F) << 5) | (((w >> 8) & 0xF) << 1) |
                                (((w >> 7) & 1) << 11);
            insn.flow = Flow::branch;
            insn.target = address + static_cast<std::uint64_t>(sext(imm, 13));
            if (funct3 == 6 || funct3 == 7) {  // bltu, bgeu: an index against a bound in a register
                insn.compare_reg = static_cast<std::int8_t>(rs1);
                insn.compare_other = static_cast<std::int8_t>((w >> 20) & 31);
            }
            break;
        }
        case 0x23: case 0x27: case 0x07: case 0x0F: case 0x43: case 0x47: case 0x4B: case 0x4F:
            break;  // stores, floating-point loads and fused multiplies, fences
        case 0x53: {  // floating point: compares, conversions and moves to an integer register
            int kind = (w >> 27) & 0x1F;
            if (kind == 0x14 || kind == 0x18 || kind == 0x1C) writes_rv(insn, rd);
            break;
        }
        case 0x73:  // system
            if (funct3 == 0) {
                if (w == 0x00100073) insn.flow = Flow::trap;  // ebreak
                else if (w == 0x30200073 || w == 0x10200073 || w == 0x00200073) insn.flow = Flow::ret;  // mret, sret, uret
            } else {
                writes_rv(insn, rd);
            }
            break;
        default:
            insn.undefined = true;
    }
    return insn;
}

Insn rv16(std::uint32_t h, std::uint64_t address, bool rv64) {
    Insn insn;
    insn.size = 2;
    const int quadrant = h & 3, funct3 = h >> 13, rd = (h >> 7) & 31, rs2 = (h >> 2) & 31;
    const int rd_short = ((h >> 2) & 7) + 8, rs1_short = ((h >> 7) & 7) + 8;
    const std::int64_t imm6 = sext((((h >> 12) & 1) << 5) | ((h >> 2) & 31), 6);
    if (h == 0) {
        insn.flow = Flow::trap;  // the all-zero halfword is illegal by design
        return insn;
    }
    if (quadrant == 0) {
        if (funct3 == 0) {  // c.addi4spn
            std::int64_t imm = (((h >> 11) & 3) << 4) | (((h >> 7) & 0xF) << 6) | (((h >> 6) & 1) << 2) | (((h >> 5) & 1) << 3);
            set_from(insn, rd_short, SP_RV, imm, SP_RV);
        } else if (funct3 == 2 || (funct3 == 3 && rv64)) {  // c.lw, c.ld
            writes_rv(insn, rd_short);
            std::int64_t offset = funct3 == 2 ? ((((h >> 10) & 7) << 3) | (((h >> 6) & 1) << 2) | (((h >> 5) & 1) << 6))
                                              : ((((h >> 10) & 7) << 3) | (((h >> 5) & 3) << 6));
            load(insn, rd_short, rs1_short, -1, offset);
        } else if (funct3 == 4) {
            insn.undefined = true;
        }
        return insn;
    }
    if (quadrant == 1) {
        switch (funct3) {
            case 0:  // c.addi
                if (rd != 0) set_from(insn, rd, rd, imm6, SP_RV);
                break;
            case 1:
                if (rv64) {  // c.addiw
                    writes_rv(insn, rd);
                } else {  // c.jal
                    insn.flow = Flow::call;
                    writes_rv(insn, RA_RV);
                }
                break;
            case 2:  // c.li
                writes_rv(insn, rd);
                if (rd != 0 && rd != SP_RV) constant(insn, rd, Const::value, static_cast<std::uint64_t>(imm6));
                break;
            case 3:
                if (rd == SP_RV) {  // c.addi16sp
                    std::int64_t imm = sext((((h >> 12) & 1) << 9) | (((h >> 6) & 1) << 4) | (((h >> 5) & 1) << 6) |
                                            (((h >> 3) & 3) << 7) | (((h >> 2) & 1) << 5), 10);
                    insn.sp = Sp::delta;
                    insn.sp_delta = -imm;
                } else {  // c.lui
                    writes_rv(insn, rd);
                    if (rd != 0) constant(insn, rd, Const::value, static_cast<std::uint64_t>(imm6 * 4096));
                }
                break;
            case 4:  // arithmetic on a short register
                writes_rv(insn, rs1_short);
                break;
            case 5:
            default:
                break;
        }
        if (funct3 == 5 || funct3 == 1) {
            if (funct3 == 5 || !rv64) {
                std::uint64_t imm = (((h >> 12) & 1) << 11) | (((h >> 11) & 1) << 4) | (((h >> 9) & 3) << 8) |
                                    (((h >> 8) & 1) << 10) | (((h >> 7) & 1) << 6) | (((h >> 6) & 1) << 7) |
                                    (((h >> 3) & 7) << 1) | (((h >> 2) & 1) << 5);
                insn.target = address + static_cast<std::uint64_t>(sext(imm, 12));
                if (funct3 == 5) insn.flow = Flow::jump;  // c.j
            }
        } else if (funct3 >= 6) {  // c.beqz, c.bnez
            std::uint64_t imm = (((h >> 12) & 1) << 8) | (((h >> 10) & 3) << 3) | (((h >> 5) & 3) << 6) |
                                (((h >> 3) & 3) << 1) | (((h >> 2) & 1) << 5);
            insn.flow = Flow::branch;
            insn.target = address + static_cast<std::uint64_t>(sext(imm, 9));
        }
        return insn;
    }
    if (quadrant == 2) {
        if (funct3 == 0 || funct3 == 2 || (funct3 == 3 && rv64)) {  // c.slli, c.lwsp, c.ldsp
            writes_rv(insn, rd);
        } else if (funct3 == 4) {
            bool high = h & 0x1000;
            if (!high && rs2 == 0) {  // c.jr
                if (rd == 0) insn.undefined = true;
                insn.base_reg = insn.jump_reg = static_cast<std::int8_t>(rd);
                insn.flow = rd == RA_RV ? Flow::ret : Flow::indirect_jump;
            } else if (!high) {  // c.mv
                if (rd != 0) set_from(insn, rd, rs2, 0, SP_RV);
            } else if (rd == 0 && rs2 == 0) {  // c.ebreak
                insn.flow = Flow::trap;
            } else if (rs2 == 0) {  // c.jalr
                insn.base_reg = insn.jump_reg = static_cast<std::int8_t>(rd);
                insn.flow = Flow::indirect_call;
                writes_rv(insn, RA_RV);
            } else if (rd == SP_RV) {  // c.add sp, rs2
                insn.sp = Sp::dynamic;
                insn.sp_reg = static_cast<std::int8_t>(rs2);
                insn.sp_adds = true;
            } else {  // c.add
                writes_rv(insn, rd);
                if (rd != 0) add(insn, rd, rd, rs2);
            }
        }
        return insn;
    }
    return insn;
}

}  // namespace

Insn decode(Arch arch, const unsigned char* at, std::size_t available, std::uint64_t address, bool little) {
    if (available < 2) return {};
    std::uint32_t first = half(at, little);
    if (arch == Arch::thumb) {
        if ((first >> 11) < 0x1D) return thumb16(first, address);
        if (available < 4) return {};
        return thumb32(first, half(at + 2, little), address);
    }
    bool rv64 = arch == Arch::rv64;
    if ((first & 3) != 3) return rv16(first, address, rv64);
    if ((first & 0x1F) == 0x1F || available < 4) {  // 48-bit and longer encodings: none in use
        Insn insn;
        insn.size = 2;
        insn.undefined = true;
        return insn;
    }
    std::uint32_t word = little ? first | (half(at + 2, little) << 16) : (first << 16) | half(at + 2, little);
    return rv32(word, address, rv64);
}

namespace {

// Constants and addresses add as the machine adds them: modulo 2^64, never a signed overflow.
std::int64_t wrapping(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

constexpr std::int64_t MOST_STEP = std::int64_t{1} << 40;  // no frame is larger than this

struct RegState {
    enum Kind : std::uint8_t {
        none,
        stack,     // sp as it was at depth `value` (a frame pointer)
        constant,  // `value`, where `known`
        pointer,   // `value` plus an unknown index: a place in a table
        entry,     // a word read from the table at `value`
        relative,  // such a word plus the table's address: the table holds offsets from itself
        popped,    // loaded from the stack: a saved return address, where it is jumped through
    } kind = none;
    bool known = false;
    std::int64_t value = 0;
};

struct State {
    std::uint64_t at;
    std::int64_t depth;
    std::uint8_t it;  // conditional instructions left in an IT block
    std::array<RegState, 32> regs;
    bool pending_low = false;  // RISC-V: sp was just set from a constant's upper bits
    std::int8_t bound_reg = -1;  // the register the last compare bounded (-1: any), and its entries
    std::int64_t bound = -1;
};

constexpr std::size_t MOST_ENTRIES = 4096;  // of one jump table

class Walker {
public:
    Walker(const Code& code, const Function& function) : code_(code), function_(function) {}

    Result run() {
        if (function_.ranges.empty()) return result_;
        sp_ = code_.arch == Arch::thumb ? SP_THUMB : SP_RV;
        pending_.push_back(State{function_.ranges[0].start, 0, 0, {}, false});
        std::size_t steps = 0;
        while (!pending_.empty() && !stopped_) {
            State state = pending_.back();
            pending_.pop_back();
            while (!stopped_) {
                if (++steps > 4'000'000) return fail(Problem::undecodable, state.at);
                if (!inside(state.at) || in_data(state.at)) break;  // off the end (after a call that does not return)
                auto [seen, fresh] = visited_.try_emplace(state.at, state.depth);
                if (!fresh) {
                    if (seen->second != state.depth) fail(Problem::depth_mismatch, state.at);
                    break;
                }
                if (!step(state)) break;
            }
        }
        return result_;
    }

private:
    // The first problem is the one told. A stack allocation by a register's amount, or a change of
    // sp not followed, leaves the depth as it was and the walk goes on (so the frame is the static
    // part, as the compiler's own figure for a dynamic frame is, and every call is found); the
    // others end it.
    Result fail(Problem problem, std::uint64_t at) {
        if (result_.problem == Problem::none) {
            result_.problem = problem;
            result_.problem_at = at;
        }
        if (problem != Problem::dynamic && problem != Problem::untracked_sp) stopped_ = true;
        return result_;
    }

    bool inside(std::uint64_t address) const {
        for (const Range& range : function_.ranges)
            if (address >= range.start && address < range.end) return true;
        return false;
    }

    bool in_data(std::uint64_t address) const {
        auto found = std::upper_bound(code_.data.begin(), code_.data.end(), address,
                                      [](std::uint64_t a, const Range& r) { return a < r.start; });
        return found != code_.data.begin() && address < std::prev(found)->end;
    }

    const unsigned char* bytes_at(std::uint64_t address, std::size_t& available) const {
        if (address < code_.base || address - code_.base >= code_.size) {
            available = 0;
            return nullptr;
        }
        available = code_.size - static_cast<std::size_t>(address - code_.base);
        return code_.bytes + (address - code_.base);
    }

    // A value of `width` bytes at `address` in the image, where one section holds it whole.
    bool read(std::uint64_t address, int width, std::uint64_t& value) const {
        auto found = std::upper_bound(code_.memory.begin(), code_.memory.end(), address,
                                      [](std::uint64_t a, const Memory& m) { return a < m.address; });
        if (found == code_.memory.begin()) return false;
        const Memory& memory = *std::prev(found);
        std::uint64_t offset = address - memory.address;
        if (offset >= memory.bytes.size() || memory.bytes.size() - offset < static_cast<std::size_t>(width)) return false;
        value = 0;
        const auto* bytes = reinterpret_cast<const unsigned char*>(memory.bytes.data() + offset);
        for (int i = 0; i < width; ++i)
            value |= static_cast<std::uint64_t>(bytes[i]) << (code_.little ? 8 * i : 8 * (width - 1 - i));
        return true;
    }

    int helper(std::uint64_t address) const {
        auto found = std::lower_bound(code_.helpers.begin(), code_.helpers.end(), std::make_pair(address, 0));
        return found != code_.helpers.end() && found->first == address ? found->second : 0;
    }

    void record(CallKind kind, std::uint64_t target, std::uint64_t site) { result_.calls.push_back({kind, target, site}); }

    void branch_to(const State& state, std::uint64_t target) {
        State next = state;
        next.at = target;
        next.it = 0;
        pending_.push_back(next);
    }

    std::uint64_t code_address(std::uint64_t value) const {
        if (code_.arch == Arch::thumb) return value & ~std::uint64_t{1};
        return code_.arch == Arch::rv32 ? value & 0xFFFFFFFFu : value;
    }

    // The registers after an instruction: what it computes is taken from the state before it,
    // what it writes otherwise is forgotten.
    void registers(State& state, const Insn& insn, std::int64_t depth_before) {
        auto& regs = state.regs;
        auto reg = [&](int index) -> const RegState& { return regs[static_cast<std::size_t>(index) & 31]; };
        struct Set {
            int to = -1;
            RegState value;
        } sets[5];
        int count = 0;
        if (insn.copy_to >= 0) {
            RegState value;
            if (insn.copy_from == sp_) {
                value = {RegState::stack, true, depth_before - insn.copy_offset};
            } else if (insn.copy_from >= 0 && insn.copy_from != (code_.arch == Arch::thumb ? PC_THUMB : 0)) {
                value = reg(insn.copy_from);
                if (value.kind == RegState::stack) value.value = wrapping(value.value, -insn.copy_offset);
                else if (value.kind == RegState::constant || value.kind == RegState::pointer)
                    value.value = wrapping(value.value, insn.copy_offset);
                else if (insn.copy_offset != 0) value = {};  // a table's entry or a saved address moved as it is
            } else if (insn.copy_from == 0 && code_.arch != Arch::thumb) {
                value = {RegState::constant, true, insn.copy_offset};  // addi rd, zero, imm: li
            }
            sets[count++] = {insn.copy_to, value};
        }
        if (insn.const_to >= 0) {
            RegState value{RegState::constant, false, 0};
            std::uint64_t word = 0;
            if (insn.const_how == Const::value) {
                value.known = true;
                value.value = static_cast<std::int64_t>(insn.const_value);
            } else if (insn.const_how == Const::word && read(insn.const_value, 4, word)) {
                value.known = true;
                value.value = static_cast<std::int64_t>(word);
            } else if (insn.const_how == Const::upper) {
                const RegState& lower = reg(insn.const_to);
                value.known = lower.kind == RegState::constant && lower.known;
                value.value = static_cast<std::int64_t>((static_cast<std::uint64_t>(lower.value) & 0xFFFF) | (insn.const_value << 16));
            }
            sets[count++] = {insn.const_to, value};
        }
        if (insn.load_to >= 0 && insn.load_to != (code_.arch == Arch::thumb ? PC_THUMB : -1)) {
            sets[count++] = {insn.load_to, table_entry(state, insn)};
        }
        if (insn.add_to >= 0) {
            const RegState &a = reg(insn.add_a), &b = reg(insn.add_b);
            RegState value;
            bool a_known = a.kind == RegState::constant && a.known, b_known = b.kind == RegState::constant && b.known;
            if (a_known && b_known) value = {RegState::constant, true, wrapping(a.value, b.value)};
            else if (a.kind == RegState::entry && b_known && b.value == a.value) value = {RegState::relative, true, a.value};
            else if (b.kind == RegState::entry && a_known && a.value == b.value) value = {RegState::relative, true, b.value};
            else if (a_known && b.kind == RegState::none) value = {RegState::pointer, true, a.value};
            else if (b_known && a.kind == RegState::none) value = {RegState::pointer, true, b.value};
            sets[count++] = {insn.add_to, value};
        }
        if (insn.shift_to >= 0) {
            const RegState& from = reg(insn.shift_from);
            RegState value;
            if (from.kind == RegState::constant && from.known && insn.shift_by < 63)
                value = {RegState::constant, true, static_cast<std::int64_t>(static_cast<std::uint64_t>(from.value) << insn.shift_by)};
            sets[count++] = {insn.shift_to, value};
        }
        for (std::uint32_t mask = insn.writes; mask; mask &= mask - 1) regs[static_cast<std::size_t>(std::countr_zero(mask))] = {};
        for (std::uint32_t mask = insn.pops; mask; mask &= mask - 1)
            regs[static_cast<std::size_t>(std::countr_zero(mask))] = {RegState::popped, false, 0};
        for (int i = 0; i < count; ++i) regs[static_cast<std::size_t>(sets[i].to) & 31] = sets[i].value;
    }

    // What a load reads when its address is a table's (a known base and an unknown index).
    RegState table_entry(const State& state, const Insn& insn) const {
        const RegState& base = state.regs[static_cast<std::size_t>(insn.load_base) & 31];
        if (insn.load_index >= 0) {
            const RegState& index = state.regs[static_cast<std::size_t>(insn.load_index) & 31];
            if (base.kind == RegState::constant && base.known && index.kind != RegState::constant)
                return {RegState::entry, true, wrapping(base.value, insn.load_offset)};
            if (index.kind == RegState::constant && index.known && base.kind != RegState::constant)
                return {RegState::entry, true, wrapping(index.value, insn.load_offset)};
            return {};
        }
        if (base.kind == RegState::pointer) return {RegState::entry, true, wrapping(base.value, insn.load_offset)};
        return {};
    }

    // One instruction: false when the path ends here. Updates `state` to the next instruction.
    bool step(State& state) {
        std::size_t available = 0;
        const unsigned char* at = bytes_at(state.at, available);
        Insn insn = decode(code_.arch, at, available, state.at, code_.little);
        if (insn.size == 0 || insn.undefined) {
            fail(Problem::undecodable, state.at);
            return false;
        }
        const std::uint64_t site = state.at, following = state.at + insn.size;
        bool conditional = state.it > 0;
        if (state.it > 0) --state.it;
        // RISC-V: `auipc rX, hi` then `jalr rd, lo(rX)` is one call or jump to a known place
        if (insn.base_reg >= 0 && last_upper_ == insn.base_reg && last_upper_end_ == site) {
            insn.target = code_address(last_upper_value_ + insn.target);
            insn.flow = insn.flow == Flow::indirect_call ? Flow::call : Flow::jump;
            insn.jump_reg = -1;
        }
        if (code_.arch != Arch::thumb && insn.const_to >= 0 && (at[0] & 0x7F) == 0x17) {
            last_upper_ = insn.const_to;
            last_upper_value_ = insn.const_value;
            last_upper_end_ = following;
        } else {
            last_upper_ = -1;
        }
        // the stack pointer
        std::int64_t depth = state.depth;
        switch (insn.sp) {
            case Sp::none: break;
            case Sp::delta:
                if (state.pending_low) break;  // the low half of a constant: the new stack's top
                depth += insn.sp_delta;
                break;
            case Sp::dynamic: {  // by a register's amount: a constant too large for the instruction is no alloca
                const RegState* amount = insn.sp_reg >= 0 ? &state.regs[static_cast<std::size_t>(insn.sp_reg) & 31] : nullptr;
                std::int64_t value = 0;
                if (amount != nullptr && amount->kind == RegState::constant && amount->known)
                    value = code_.arch == Arch::rv64 ? amount->value : static_cast<std::int32_t>(amount->value);
                if (amount != nullptr && amount->kind == RegState::constant && amount->known && value < MOST_STEP &&
                    value > -MOST_STEP) {
                    depth += insn.sp_adds ? -value : value;
                } else {
                    fail(Problem::dynamic, site);
                }
                break;
            }
            case Sp::fresh:
                depth = 0;
                break;
            case Sp::from_reg: {
                const RegState& reg = state.regs[static_cast<std::size_t>(insn.sp_reg) & 31];
                if (reg.kind == RegState::stack && reg.value < MOST_STEP && reg.value > -MOST_STEP)
                    depth = reg.value - insn.sp_delta;
                else if (reg.kind == RegState::constant) depth = 0;
                else fail(Problem::untracked_sp, site);
                break;
            }
            case Sp::unknown:
                fail(Problem::untracked_sp, site);
                break;
        }
        state.pending_low = insn.sp == Sp::fresh && code_.arch != Arch::thumb;
        if (depth < 0) {
            fail(Problem::negative_depth, site);
            return false;
        }
        if (depth > MOST_STEP) {
            fail(Problem::untracked_sp, site);
            return false;
        }
        result_.frame = std::max(result_.frame, depth);
        const std::int64_t before = state.depth;
        // a jump through a table: `ldr pc, [rB, rI, lsl #2]`, or the register it loaded
        std::int64_t table_at = -1;
        bool relative_table = false;
        if (insn.flow == Flow::indirect_jump && !conditional) {
            RegState through;
            if (insn.load_to >= 0) through = table_entry(state, insn);
            else if (insn.jump_reg >= 0) through = state.regs[static_cast<std::size_t>(insn.jump_reg) & 31];
            if (through.kind == RegState::entry || through.kind == RegState::relative) table_at = through.value;
            relative_table = through.kind == RegState::relative;
            if (through.kind == RegState::popped && insn.load_to < 0) insn.flow = Flow::ret;  // pop {r3}; bx r3
        }
        // the bound a compare puts on a switch's index, forgotten once the index is written
        if (insn.compare_reg >= 0) {
            if (insn.compare_other < 0) {
                state.bound_reg = insn.compare_reg;
                state.bound = insn.compare_value + 1;
            } else {  // RISC-V: one of the two registers holds the bound
                const RegState &a = state.regs[static_cast<std::size_t>(insn.compare_reg) & 31],
                               &b = state.regs[static_cast<std::size_t>(insn.compare_other) & 31];
                bool a_known = a.kind == RegState::constant && a.known, b_known = b.kind == RegState::constant && b.known;
                if (a_known != b_known) {
                    state.bound_reg = -1;
                    state.bound = (a_known ? a.value : b.value) + 1;
                }
            }
        } else if (state.bound_reg >= 0 && (insn.writes & bit(state.bound_reg))) {
            state.bound = -1;
        }
        registers(state, insn, before);
        state.depth = depth;
        state.at = following;
        switch (insn.flow) {
            case Flow::next:
                return true;
            case Flow::it:
                state.it = insn.it_count;
                return true;
            case Flow::call: {
                record(CallKind::call, insn.target, site);
                int kind = helper(insn.target);
                if (kind == 0) return true;
                helper_table(state, kind, following, site);  // a switch through libgcc's case helpers
                return false;
            }
            case Flow::indirect_call:
                record(CallKind::indirect_call, 0, site);
                return true;
            case Flow::branch:
                follow(state, insn.target, site);
                return true;
            case Flow::jump:
                follow(state, insn.target, site);
                return conditional;
            case Flow::indirect_jump:
                if (table_at >= 0 && word_table(state, static_cast<std::uint64_t>(table_at), relative_table)) return false;
                record(CallKind::indirect_jump, 0, site);
                if (conditional) state.depth = before;
                return conditional;
            case Flow::ret:
            case Flow::trap:
                if (conditional) state.depth = before;
                return conditional;
            case Flow::table:
                byte_table(state, insn.target, insn.table_entry, false, insn.target, site,
                           state.bound_reg == insn.jump_reg ? state.bound : -1);
                return false;
        }
        return false;
    }

    // A branch to `target`: on inside the function, else a tail call.
    void follow(const State& state, std::uint64_t target, std::uint64_t site) {
        if (inside(target)) branch_to(state, target);
        else record(CallKind::jump, target, site);
    }

    // A table of offsets (TBB, TBH, libgcc's byte and halfword case helpers): each case is the
    // base plus twice its entry, and the table ends where the first case begins.
    void byte_table(const State& state, std::uint64_t table_at, int width, bool is_signed, std::uint64_t base,
                    std::uint64_t site, std::int64_t bound) {
        std::uint64_t end = UINT64_MAX;
        std::uint64_t entries = bound > 0 ? std::min<std::uint64_t>(static_cast<std::uint64_t>(bound), MOST_ENTRIES) : MOST_ENTRIES;
        for (std::uint64_t entry = 0; entry < entries; ++entry) {
            std::uint64_t place = table_at + entry * static_cast<std::uint64_t>(width), value = 0;
            if (place + static_cast<std::uint64_t>(width) > end) return;
            if (!inside(place) || !read(place, width, value)) {
                fail(Problem::bad_table, site);
                return;
            }
            std::int64_t offset = is_signed ? sext(value, 8 * width) : static_cast<std::int64_t>(value);
            std::uint64_t target = base + static_cast<std::uint64_t>(2 * offset);
            if (!inside(target)) {
                fail(Problem::bad_table, site);
                return;
            }
            if (target > table_at) end = std::min(end, target);
            branch_to(state, target);
        }
    }

    void helper_table(const State& state, int kind, std::uint64_t back, std::uint64_t site) {
        if (kind == 5) {  // __gnu_thumb1_case_si: words, each an offset from the aligned table
            std::uint64_t table_at = (back + 3) & ~std::uint64_t{3}, end = UINT64_MAX;
            for (std::uint64_t entry = 0; entry < MOST_ENTRIES; ++entry) {
                std::uint64_t place = table_at + 4 * entry, value = 0;
                if (place + 4 > end) return;
                if (!inside(place) || !read(place, 4, value)) {
                    fail(Problem::bad_table, site);
                    return;
                }
                std::uint64_t target = code_address(table_at + static_cast<std::uint64_t>(sext(value, 32)));
                if (!inside(target)) {
                    fail(Problem::bad_table, site);
                    return;
                }
                if (target > table_at) end = std::min(end, target);
                branch_to(state, target);
            }
            return;
        }
        byte_table(state, back, kind <= 2 ? 1 : 2, kind == 1 || kind == 3, back, site, -1);
    }

    // A table of code addresses (a switch compiled to a load of pc or of the register it jumps
    // through): as many entries as lie inside the function, at least one.
    bool word_table(const State& state, std::uint64_t table_at, bool relative) {
        const int width = code_.arch == Arch::rv64 && !relative ? 8 : 4;
        std::vector<std::uint64_t> targets;
        std::uint64_t end = UINT64_MAX;
        std::uint64_t entries = state.bound > 0 ? std::min<std::uint64_t>(static_cast<std::uint64_t>(state.bound), MOST_ENTRIES)
                                                : MOST_ENTRIES;
        for (std::uint64_t entry = 0; entry < entries; ++entry) {
            std::uint64_t place = table_at + entry * width, value = 0;
            if (place + width > end || !read(place, width, value)) break;
            std::uint64_t target = code_address(relative ? table_at + static_cast<std::uint64_t>(sext(value, 32)) : value);
            if (!inside(target) || in_data(target)) break;
            if (target > table_at) end = std::min(end, target);
            targets.push_back(target);
        }
        if (targets.empty()) return false;
        for (std::uint64_t target : targets) branch_to(state, target);
        return true;
    }

    const Code& code_;
    const Function& function_;
    int sp_ = SP_THUMB;
    Result result_;
    bool stopped_ = false;
    std::vector<State> pending_;
    std::unordered_map<std::uint64_t, std::int64_t> visited_;
    int last_upper_ = -1;
    std::uint64_t last_upper_value_ = 0, last_upper_end_ = 0;
};

}  // namespace

Result walk(const Code& code, const Function& function) { return Walker(code, function).run(); }

}  // namespace tarnwick::machine

namespace tarnwick {

namespace {

bool read_ranges(PyObject* sequence, std::vector<machine::Range>& out) {
    Ref items = Ref::steal(PySequence_Fast(sequence, "ranges must be a sequence"));
    if (!items) return false;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    out.reserve(out.size() + static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        unsigned long long start = 0, end = 0;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(items.get(), i), "KK:range", &start, &end)) return false;
        out.push_back({start, end});
    }
    return true;
}

struct Buffer {
    Py_buffer view{};
    bool held = false;
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
};

bool arch_of(int value, machine::Arch& arch) {
    if (value < 1 || value > 3) {
        PyErr_SetString(PyExc_ValueError, "unknown architecture");
        return false;
    }
    arch = static_cast<machine::Arch>(value);
    return true;
}

}  // namespace

PyObject* machine_frames(PyObject*, PyObject* args) {
    Buffer code;
    unsigned long long base = 0;
    int little = 1, arch_value = 0;
    PyObject *functions = nullptr, *data = nullptr, *memory = nullptr, *helpers = nullptr;
    if (!PyArg_ParseTuple(args, "y*KpiOOOO:machine_frames", &code.view, &base, &little, &arch_value, &functions, &data,
                          &memory, &helpers))
        return nullptr;
    code.held = true;
    try {
        machine::Code section{static_cast<const unsigned char*>(code.view.buf), static_cast<std::size_t>(code.view.len),
                              base, little != 0, machine::Arch::thumb, {}, {}, {}};
        if (!arch_of(arch_value, section.arch) || !read_ranges(data, section.data)) return nullptr;
        std::sort(section.data.begin(), section.data.end(),
                  [](const machine::Range& a, const machine::Range& b) { return a.start < b.start; });
        Ref pieces = Ref::steal(PySequence_Fast(memory, "memory must be a sequence"));
        if (!pieces) return nullptr;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(pieces.get()); ++i) {
            unsigned long long address = 0;
            const char* bytes = nullptr;
            Py_ssize_t length = 0;
            if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(pieces.get(), i), "Ky#:memory", &address, &bytes, &length))
                return nullptr;
            section.memory.push_back({address, std::string_view(bytes, static_cast<std::size_t>(length))});
        }
        std::sort(section.memory.begin(), section.memory.end(),
                  [](const machine::Memory& a, const machine::Memory& b) { return a.address < b.address; });
        if (!PyDict_Check(helpers)) {
            PyErr_SetString(PyExc_TypeError, "helpers must be a dict");
            return nullptr;
        }
        PyObject *key = nullptr, *value = nullptr;
        for (Py_ssize_t position = 0; PyDict_Next(helpers, &position, &key, &value);) {
            unsigned long long address = PyLong_AsUnsignedLongLong(key);
            long kind = PyLong_AsLong(value);
            if (PyErr_Occurred()) return nullptr;
            section.helpers.push_back({address, static_cast<int>(kind)});
        }
        std::sort(section.helpers.begin(), section.helpers.end());
        Ref list = Ref::steal(PySequence_Fast(functions, "functions must be a sequence"));
        if (!list) return nullptr;
        Py_ssize_t count = PySequence_Fast_GET_SIZE(list.get());
        Ref result = Ref::steal(PyList_New(count));
        if (!result) return nullptr;
        machine::Function function;
        for (Py_ssize_t i = 0; i < count; ++i) {
            function.ranges.clear();
            if (!read_ranges(PySequence_Fast_GET_ITEM(list.get(), i), function.ranges)) return nullptr;
            machine::Result walked = machine::walk(section, function);
            Ref calls = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(walked.calls.size())));
            if (!calls) return nullptr;
            for (std::size_t c = 0; c < walked.calls.size(); ++c) {
                const machine::Call& call = walked.calls[c];
                PyObject* row = Py_BuildValue("(iKK)", static_cast<int>(call.kind),
                                              static_cast<unsigned long long>(call.target),
                                              static_cast<unsigned long long>(call.site));
                if (row == nullptr) return nullptr;
                PyTuple_SET_ITEM(calls.get(), static_cast<Py_ssize_t>(c), row);  // steals row
            }
            PyObject* row = Py_BuildValue("(LiKO)", static_cast<long long>(walked.frame), static_cast<int>(walked.problem),
                                          static_cast<unsigned long long>(walked.problem_at), calls.get());
            if (row == nullptr) return nullptr;
            PyList_SET_ITEM(result.get(), i, row);  // steals row
        }
        return result.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_RuntimeError, "machine_frames: %s", error.what());
        return nullptr;
    }
}

PyObject* decode_machine_code(PyObject*, PyObject* args) {
    Buffer code;
    unsigned long long base = 0;
    int little = 1, arch_value = 0;
    if (!PyArg_ParseTuple(args, "y*Kpi:decode_machine_code", &code.view, &base, &little, &arch_value)) return nullptr;
    code.held = true;
    machine::Arch arch;
    if (!arch_of(arch_value, arch)) return nullptr;
    try {
        Ref result = Ref::steal(PyList_New(0));
        if (!result) return nullptr;
        const auto* bytes = static_cast<const unsigned char*>(code.view.buf);
        std::size_t size = static_cast<std::size_t>(code.view.len), at = 0;
        while (at + 2 <= size) {
            machine::Insn insn = machine::decode(arch, bytes + at, size - at, base + at, little != 0);
            std::size_t length = insn.size ? insn.size : 2;
            Ref row = Ref::steal(Py_BuildValue("(KiiiLK)", static_cast<unsigned long long>(base + at),
                                               insn.undefined ? 0 : static_cast<int>(insn.size), static_cast<int>(insn.flow),
                                               static_cast<int>(insn.sp), static_cast<long long>(insn.sp_delta),
                                               static_cast<unsigned long long>(insn.target)));
            if (!row || PyList_Append(result.get(), row.get()) != 0) return nullptr;
            at += length;
        }
        return result.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_Format(PyExc_RuntimeError, "decode_machine_code: %s", error.what());
        return nullptr;
    }
}

}  // namespace tarnwick
