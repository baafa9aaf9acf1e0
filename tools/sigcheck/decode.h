// One x86-64 instruction of a game build, decoded by Zydis, as the signature
// tools need it: how it moves control, what it points at, which of its bytes
// hold values that move between builds, and two normalised forms that let
// two builds' code be compared.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "module_view.h"

namespace sigcheck {

enum class Flow : std::uint8_t {
    plain,
    call,          // a direct call; target set
    callIndirect,  // through a register or memory
    jump,          // unconditional and direct; target set
    jumpIndirect,
    branch,  // conditional, direct; target set
    ret,
    trap,  // int3, ud2, hlt: nothing runs on
};

// A value in the instruction's encoding that a signature may leave open.
enum class FieldKind : std::uint8_t {
    branchTarget,     // the relative displacement of a call or jump
    ripDisplacement,  // an instruction-pointer-relative memory or lea operand
    absoluteAddress,  // a 32- or 64-bit value that points into the image
    displacement,     // a memory operand's displacement off a register: a struct member, a stack slot
    frameSize,        // the immediate of sub/add rsp: the stack frame's size
    immediate,        // any other immediate
};

struct Field {
    FieldKind kind = FieldKind::immediate;
    std::uint8_t offset = 0;  // in the instruction
    std::uint8_t size = 0;    // bytes
    std::int64_t value = 0;
};

struct Instruction {
    std::uint32_t rva = 0;
    std::uint8_t length = 0;
    Flow flow = Flow::plain;
    bool hasTarget = false;  // a relative branch or call into the image
    std::uint32_t target = 0;
    bool pointsInto = false;  // an instruction-pointer-relative operand, or an absolute address, in the image
    std::uint32_t pointee = 0;
    std::uint8_t pointeeSize = 0;    // the bytes a memory operand reads there; 0 where only the address is taken
    bool framePointerBased = false;  // its displacement is off rsp or rbp: a stack slot, not a struct member
    std::uint8_t fieldCount = 0;
    Field fields[3];
    // Mnemonic, operand kinds and widths, registers and immediates, with
    // addresses and displacements left out: the same in two builds where
    // only the layout moved.
    std::uint64_t exact = 0;
    // Mnemonic and operand kinds and widths alone: the same where registers
    // were allocated differently too.
    std::uint64_t shape = 0;
    int mnemonic = 0;
    bool padding = false;  // int3, a nop or zero fill: what a linker puts between functions
    // The Win64 argument registers it reads and writes: bits 0-3 rcx, rdx,
    // r8, r9; bits 4-7 xmm0-xmm3 (whole registers, whatever width is used).
    std::uint8_t argumentsRead = 0;
    std::uint8_t argumentsWritten = 0;

    // The field that holds byte k of the instruction, or null.
    const Field* fieldAt(std::uint32_t k) const {
        for (std::uint8_t i = 0; i < fieldCount; ++i)
            if (k >= fields[i].offset && k < fields[i].offset + fields[i].size) return &fields[i];
        return nullptr;
    }
};

// The highest argument position (1 to 4) among argument registers, 0 for none.
int arity(std::uint8_t arguments);

// One value folded into a running hash; the forms and hashes below are built with it.
inline std::uint64_t combine(std::uint64_t hash, std::uint64_t value) {
    hash ^= value + 0x9E3779B97F4A7C15u + (hash << 6) + (hash >> 2);
    return hash * 0xFF51AFD7ED558CCDu;
}

// Always open in a signature: they change whenever code or data moves.
inline bool movesWithLayout(const Field& field) {
    return (field.kind == FieldKind::branchTarget && field.size == 4) || field.kind == FieldKind::ripDisplacement ||
           field.kind == FieldKind::absoluteAddress;
}

// Decodes the instruction at rva, reading no byte outside [rva, limit).
// False where the bytes are no instruction.
bool decode(const ModuleView& image, std::uint32_t rva, std::uint32_t limit, Instruction& out);

// Decodes [begin, end) one instruction after another, stepping a byte over
// what is no instruction; at most `most` of them.
std::vector<Instruction> decodeRange(const ModuleView& image, std::uint32_t begin, std::uint32_t end, std::size_t most);

// The instruction as a disassembler prints it (Intel syntax, MASM numbers:
// `mov rax, [rdx+0E268h]`), addresses as RVAs.
std::string format(const ModuleView& image, const Instruction& instruction);

}  // namespace sigcheck
