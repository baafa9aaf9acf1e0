#include "decode.h"

#include <Zydis/Zydis.h>

namespace sigcheck {

namespace {

const ZydisDecoder& decoder() {
    static const ZydisDecoder instance = [] {
        ZydisDecoder d;
        ZydisDecoderInit(&d, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
        return d;
    }();
    return instance;
}

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) { return combine(hash, value); }

bool isStackRegister(ZydisRegister r) {
    return r == ZYDIS_REGISTER_RSP || r == ZYDIS_REGISTER_RBP || r == ZYDIS_REGISTER_ESP || r == ZYDIS_REGISTER_EBP;
}

// Bit of an argument register, 0 for any other.
std::uint8_t argumentBit(ZydisRegister r) {
    switch (ZydisRegisterGetLargestEnclosing(ZYDIS_MACHINE_MODE_LONG_64, r)) {
        case ZYDIS_REGISTER_RCX: return 0x01;
        case ZYDIS_REGISTER_RDX: return 0x02;
        case ZYDIS_REGISTER_R8: return 0x04;
        case ZYDIS_REGISTER_R9: return 0x08;
        case ZYDIS_REGISTER_ZMM0: return 0x10;
        case ZYDIS_REGISTER_ZMM1: return 0x20;
        case ZYDIS_REGISTER_ZMM2: return 0x40;
        case ZYDIS_REGISTER_ZMM3: return 0x80;
        default: return 0;
    }
}

// xor eax, eax and its kin: the register is set, not read.
bool zeroingIdiom(const ZydisDecodedInstruction& instruction, const ZydisDecodedOperand* operands) {
    switch (instruction.mnemonic) {
        case ZYDIS_MNEMONIC_XOR:
        case ZYDIS_MNEMONIC_SUB:
        case ZYDIS_MNEMONIC_PXOR:
        case ZYDIS_MNEMONIC_XORPS:
        case ZYDIS_MNEMONIC_XORPD:
        case ZYDIS_MNEMONIC_VPXOR:
        case ZYDIS_MNEMONIC_VXORPS:
        case ZYDIS_MNEMONIC_VXORPD: break;
        default: return false;
    }
    const std::uint8_t last = instruction.operand_count_visible;
    return last >= 2 && operands[last - 1].type == ZYDIS_OPERAND_TYPE_REGISTER &&
           operands[last - 2].type == ZYDIS_OPERAND_TYPE_REGISTER &&
           operands[last - 1].reg.value == operands[last - 2].reg.value;
}

Flow flowOf(const ZydisDecodedInstruction& instruction, const ZydisDecodedOperand* operands) {
    const bool direct = instruction.operand_count_visible > 0 && operands[0].type == ZYDIS_OPERAND_TYPE_IMMEDIATE;
    switch (instruction.meta.category) {
        case ZYDIS_CATEGORY_CALL: return direct ? Flow::call : Flow::callIndirect;
        case ZYDIS_CATEGORY_UNCOND_BR: return direct ? Flow::jump : Flow::jumpIndirect;
        case ZYDIS_CATEGORY_COND_BR: return Flow::branch;
        case ZYDIS_CATEGORY_RET: return Flow::ret;
        default: break;
    }
    switch (instruction.mnemonic) {
        case ZYDIS_MNEMONIC_INT3:
        case ZYDIS_MNEMONIC_UD2:
        case ZYDIS_MNEMONIC_HLT: return Flow::trap;
        case ZYDIS_MNEMONIC_INT:  // int 29h is the fast-fail trap compilers end a path with
            return operands[0].imm.value.u == 0x29 ? Flow::trap : Flow::plain;
        default: return Flow::plain;
    }
}

}  // namespace

bool decode(const ModuleView& image, std::uint32_t rva, std::uint32_t limit, Instruction& out) {
    if (limit > image.size()) limit = image.size();
    if (rva >= limit) return false;
    ZydisDecodedInstruction instruction;
    ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
    const std::uint32_t available =
        limit - rva < ZYDIS_MAX_INSTRUCTION_LENGTH ? limit - rva : ZYDIS_MAX_INSTRUCTION_LENGTH;
    if (!ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder(), image.bytes() + rva, available, &instruction, operands)))
        return false;
    out = Instruction{};
    out.rva = rva;
    out.length = instruction.length;
    out.mnemonic = instruction.mnemonic;
    out.flow = flowOf(instruction, operands);
    out.padding = instruction.mnemonic == ZYDIS_MNEMONIC_INT3 || instruction.mnemonic == ZYDIS_MNEMONIC_NOP ||
                  (available >= 2 && image.bytes()[rva] == 0 && image.bytes()[rva + 1] == 0);
    const std::uint64_t next = std::uint64_t{rva} + instruction.length;
    const auto addField = [&](FieldKind kind, std::uint8_t offset, std::uint8_t bits, std::int64_t value) {
        if (bits == 0 || out.fieldCount == 3) return;
        out.fields[out.fieldCount++] = {kind, offset, static_cast<std::uint8_t>(bits / 8), value};
    };
    const auto pointAt = [&](std::uint64_t target) {
        if (target >= image.size()) return false;
        out.pointsInto = true;
        out.pointee = static_cast<std::uint32_t>(target);
        return true;
    };

    std::uint64_t exact = mix(instruction.mnemonic, instruction.operand_width);
    std::uint64_t shape = mix(instruction.mnemonic, instruction.operand_width);
    bool frameSizeOperand = false;
    for (std::uint8_t k = 0; k < instruction.operand_count_visible; ++k) {
        const ZydisDecodedOperand& op = operands[k];
        exact = mix(exact, op.type * 0x10000u + op.size);
        shape = mix(shape, op.type * 0x10000u + op.size);
        switch (op.type) {
            case ZYDIS_OPERAND_TYPE_REGISTER:
                exact = mix(exact, op.reg.value);
                // The stack pointer is never allocated: it stays in the shape.
                if (isStackRegister(op.reg.value)) shape = mix(shape, op.reg.value);
                if (k == 0 && op.reg.value == ZYDIS_REGISTER_RSP &&
                    (instruction.mnemonic == ZYDIS_MNEMONIC_SUB || instruction.mnemonic == ZYDIS_MNEMONIC_ADD))
                    frameSizeOperand = true;
                break;
            case ZYDIS_OPERAND_TYPE_MEMORY: {
                const bool rip = op.mem.base == ZYDIS_REGISTER_RIP;
                exact = mix(mix(mix(exact, op.mem.base), op.mem.index), op.mem.scale * 16u + op.mem.segment);
                shape = mix(shape, (op.mem.base != ZYDIS_REGISTER_NONE) + 2u * (op.mem.index != ZYDIS_REGISTER_NONE) +
                                       4u * rip + 8u * isStackRegister(op.mem.base) + 16u * op.mem.scale);
                if (isStackRegister(op.mem.base)) out.framePointerBased = true;
                if (op.mem.type == ZYDIS_MEMOP_TYPE_MEM)
                    out.pointeeSize = static_cast<std::uint8_t>(op.size >= 128 ? 16 : op.size / 8);
                if (rip) {
                    pointAt(next + static_cast<std::uint64_t>(op.mem.disp.value));
                } else if (op.mem.base == ZYDIS_REGISTER_NONE && op.mem.index == ZYDIS_REGISTER_NONE) {
                    std::uint32_t target = 0;
                    if (image.absoluteToRva(static_cast<std::uint64_t>(op.mem.disp.value), target)) pointAt(target);
                }
                break;
            }
            case ZYDIS_OPERAND_TYPE_IMMEDIATE:
                if (op.imm.is_relative) {
                    const std::uint64_t target = next + op.imm.value.u;
                    if (target < image.size()) {
                        out.hasTarget = true;
                        out.target = static_cast<std::uint32_t>(target);
                    }
                } else {
                    std::uint32_t target = 0;
                    if (op.size < 32 || !image.absoluteToRva(op.imm.value.u, target))
                        exact = mix(exact, op.imm.value.u);
                }
                break;
            default: break;
        }
    }
    out.exact = exact;
    out.shape = shape;
    const bool zeroing = zeroingIdiom(instruction, operands);
    for (std::uint8_t k = 0; k < instruction.operand_count; ++k) {
        const ZydisDecodedOperand& op = operands[k];
        if (op.type == ZYDIS_OPERAND_TYPE_REGISTER) {
            const std::uint8_t bit = argumentBit(op.reg.value);
            if (op.actions & ZYDIS_OPERAND_ACTION_MASK_READ && !zeroing) out.argumentsRead |= bit;
            if (op.actions & ZYDIS_OPERAND_ACTION_MASK_WRITE) out.argumentsWritten |= bit;
        } else if (op.type == ZYDIS_OPERAND_TYPE_MEMORY) {
            out.argumentsRead |= static_cast<std::uint8_t>(argumentBit(op.mem.base) | argumentBit(op.mem.index));
        }
    }

    // The encoding's own displacement and immediates, with what each holds.
    const auto& raw = instruction.raw;
    if (raw.disp.size != 0) {
        const bool rip = instruction.attributes & ZYDIS_ATTRIB_HAS_MODRM && raw.modrm.mod == 0 && raw.modrm.rm == 5;
        std::uint32_t target = 0;
        FieldKind kind = FieldKind::displacement;
        if (rip)
            kind = FieldKind::ripDisplacement;
        else if (raw.disp.size >= 32 && image.absoluteToRva(static_cast<std::uint64_t>(raw.disp.value), target))
            kind = FieldKind::absoluteAddress;
        addField(kind, raw.disp.offset, raw.disp.size, raw.disp.value);
    }
    for (const auto& imm : raw.imm) {
        if (imm.size == 0) continue;
        std::uint32_t target = 0;
        FieldKind kind = FieldKind::immediate;
        if (imm.is_relative)
            kind = FieldKind::branchTarget;
        else if (imm.size >= 32 && image.absoluteToRva(imm.value.u, target) && pointAt(target))
            kind = FieldKind::absoluteAddress;
        else if (frameSizeOperand)
            kind = FieldKind::frameSize;
        addField(kind, imm.offset, imm.size, imm.value.s);
    }
    return true;
}

int arity(std::uint8_t arguments) {
    const unsigned positions = (arguments | arguments >> 4) & 0xFu;
    return positions == 0 ? 0 : 32 - __builtin_clz(positions);
}

std::vector<Instruction> decodeRange(const ModuleView& image, std::uint32_t begin, std::uint32_t end,
                                     std::size_t most) {
    std::vector<Instruction> found;
    Instruction instruction;
    for (std::uint32_t at = begin; at < end && found.size() < most;) {
        if (!decode(image, at, end, instruction)) {
            ++at;
            continue;
        }
        found.push_back(instruction);
        at += instruction.length;
    }
    return found;
}

std::string format(const ModuleView& image, const Instruction& instruction) {
    static const ZydisFormatter formatter = [] {
        ZydisFormatter f;
        ZydisFormatterInit(&f, ZYDIS_FORMATTER_STYLE_INTEL_MASM);
        ZydisFormatterSetProperty(&f, ZYDIS_FORMATTER_PROP_ADDR_PADDING_ABSOLUTE, ZYDIS_PADDING_DISABLED);
        return f;
    }();
    ZydisDecodedInstruction decoded;
    ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
    const std::uint32_t end = instruction.rva + instruction.length;
    if (end > image.size() || !ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder(), image.bytes() + instruction.rva,
                                                                   instruction.length, &decoded, operands)))
        return "(no instruction)";
    char text[256];
    if (!ZYAN_SUCCESS(ZydisFormatterFormatInstruction(&formatter, &decoded, operands, decoded.operand_count_visible,
                                                      text, sizeof text, instruction.rva, nullptr)))
        return "(no instruction)";
    return text;
}

}  // namespace sigcheck
