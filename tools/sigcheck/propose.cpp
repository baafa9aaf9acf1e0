#include "propose.h"

#include "compare.h"

namespace sigcheck {

namespace {

// The old function's instructions that the new one's first ones are aligned with.
constexpr std::size_t kOldInstructionsAligned = 256;

std::vector<Instruction> codeAt(const Program& program, std::uint32_t start, std::size_t most) {
    const ModuleView& image = program.view();
    const int f = program.indexOf(start);
    const std::uint32_t end =
        f >= 0 ? program.functions()[static_cast<std::size_t>(f)].end : forwardExtent(image, start, image.size()).end;
    return decodeRange(image, start, end, most);
}

// Decided by the two builds: the aligned old instruction holds the same value in the same field.
bool bothBuildsAgree(const Field& field, const Instruction& instruction, const Instruction* old) {
    const auto index = static_cast<std::size_t>(&field - instruction.fields);
    if (old == nullptr || index >= old->fieldCount) return false;
    const Field& before = old->fields[index];
    return before.kind == field.kind && before.value == field.value;
}

}  // namespace

std::string openBytes(const ModuleView& neu, const std::vector<Instruction>& newCode,
                      const std::vector<Instruction>& oldCode) {
    std::vector<const Instruction*> counterpart(newCode.size(), nullptr);
    for (const auto& [i, j] : align(shapeForms(newCode), shapeForms(oldCode))) counterpart[i] = &oldCode[j];
    std::string mask;
    for (std::size_t i = 0; i < newCode.size(); ++i) {
        const Instruction& instruction = newCode[i];
        for (std::uint32_t k = 0; k < instruction.length; ++k) {
            const Field* field = instruction.fieldAt(k);
            const bool open =
                neu.relocated(instruction.rva + k, 1) ||
                (field && (movesWithLayout(*field) || !bothBuildsAgree(*field, instruction, counterpart[i])));
            mask += open ? '?' : 'x';
        }
    }
    return mask;
}

std::string signatureText(const std::string& mask, const std::vector<std::uint8_t>& pattern) {
    static const char* digits = "0123456789ABCDEF";
    std::string text;
    for (std::size_t k = 0; k < mask.size(); ++k) {
        if (k > 0) text += ' ';
        if (mask[k] == '?') {
            text += "??";
        } else {
            text += digits[pattern[k] >> 4];
            text += digits[pattern[k] & 15];
        }
    }
    return text;
}

Proposal propose(const Program& old, std::uint32_t oldStart, const Program& neu, std::uint32_t start,
                 Deadline& deadline) {
    const ModuleView& image = neu.view();
    const std::vector<Instruction> newCode = codeAt(neu, start, kLongestSignature);
    const std::vector<Instruction> oldCode = codeAt(old, oldStart, kOldInstructionsAligned);
    const std::string open = openBytes(image, newCode, oldCode);
    Proposal best;
    std::size_t length = 0;
    std::size_t previous = 0;
    for (const Instruction& instruction : newCode) {
        // Whole instructions only, and never the bytes of a hole between them.
        if (instruction.rva != start + length) break;
        length += instruction.length;
        if (length > kLongestSignature || deadline.expired()) break;
        std::size_t end = length;
        while (end > 0 && open[end - 1] == '?') --end;  // no open byte at the end
        if (end == previous || open[0] == '?') continue;
        previous = end;
        Proposal candidate;
        candidate.mask = open.substr(0, end);
        candidate.pattern.assign(image.bytes() + start, image.bytes() + start + end);
        for (std::size_t k = 0; k < end; ++k) {
            if (candidate.mask[k] == '?') candidate.pattern[k] = 0;
            candidate.fixed += candidate.mask[k] == 'x';
        }
        if (candidate.fixed < kFewestFixedBytes) continue;
        ++best.tried;
        const char* mask = candidate.mask.c_str();
        const auto here = image.matchesInCode(mask, candidate.pattern.data(), 2);
        if (here.size() != 1 || here[0] != start) continue;
        const auto there = old.view().matchesInCode(mask, candidate.pattern.data(), 2);
        candidate.survives = there.size() == 1 && there[0] == oldStart;
        candidate.margin = image.nearMissMargin(mask, candidate.pattern.data());
        candidate.found = true;
        const bool better = !best.found || candidate.survives > best.survives ||
                            (candidate.survives == best.survives && candidate.margin > best.margin);
        if (better) {
            candidate.tried = best.tried;
            best = candidate;
        }
        // Nothing longer can be preferred to this one.
        if (best.survives && best.margin == 3) break;
    }
    return best;
}

Proposal handMadeSignature(const ModuleView& view, std::uint32_t start) {
    Proposal made;
    if (start >= view.size()) return made;
    std::string mask;
    for (const Instruction& instruction : decodeRange(view, start, view.codeRunEnd(start), kLongestSignature)) {
        if (instruction.rva != start + mask.size() || mask.size() + instruction.length > kLongestSignature) break;
        for (std::uint32_t k = 0; k < instruction.length; ++k) {
            const Field* field = instruction.fieldAt(k);
            const bool open = field && ((field->kind == FieldKind::branchTarget && field->size == 4) ||
                                        field->kind == FieldKind::ripDisplacement);
            mask += open ? '?' : 'x';
        }
        made.mask = mask.substr(0, mask.find_last_not_of('?') + 1);
        made.pattern.assign(view.bytes() + start, view.bytes() + start + made.mask.size());
        ++made.tried;
        const auto found = view.matchesInCode(made.mask.c_str(), made.pattern.data(), 2);
        if (found.size() == 1 && found[0] == start) {
            made.found = true;
            return made;
        }
    }
    return Proposal{};
}

}  // namespace sigcheck
