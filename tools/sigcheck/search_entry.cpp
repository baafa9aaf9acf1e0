// The signature tools' way into the plug-in's own search and into the
// analysis of two builds: called from nozzles-sigcheck (Python) through
// ctypes. Offsets throughout are from the image's first byte, that is, RVAs.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "carry.h"
#include "decode.h"
#include "memory/signature.h"
#include "module_view.h"
#include "propose.h"

namespace {

using sigcheck::ModuleView;

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string list(const std::vector<std::string>& items, bool quote = true) {
    std::string out = "[";
    for (std::size_t k = 0; k < items.size(); ++k) out += (k ? ", " : "") + (quote ? quoted(items[k]) : items[k]);
    return out + "]";
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", std::isfinite(value) ? value : 0.0);
    return text;
}

const char* copy(const std::string& text) {
    char* out = new char[text.size() + 1];
    std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

struct Parsed {
    std::string name, mask;
    std::vector<std::uint8_t> pattern;
};

// "name\tmask\tpattern-in-hex" lines, as sigcheck.py writes them.
std::vector<Parsed> parseSignatures(const char* text) {
    std::vector<Parsed> found;
    std::string line;
    for (const char* at = text;; ++at) {
        if (*at != '\n' && *at != '\0') {
            line += *at;
            continue;
        }
        const std::size_t tab = line.find('\t');
        const std::size_t second = tab == std::string::npos ? tab : line.find('\t', tab + 1);
        if (second != std::string::npos) {
            Parsed p{line.substr(0, tab), line.substr(tab + 1, second - tab - 1), {}};
            const std::string hex = line.substr(second + 1);
            const auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
            for (std::size_t k = 0; k + 1 < hex.size(); k += 2)
                p.pattern.push_back(static_cast<std::uint8_t>(digit(hex[k]) << 4 | digit(hex[k + 1])));
            if (!p.mask.empty() && p.pattern.size() == p.mask.size()) found.push_back(p);
        }
        line.clear();
        if (*at == '\0') break;
    }
    return found;
}

std::string carriedJson(const Parsed& s, const sigcheck::Carried& c) {
    const bool oldKnown = c.oldMatches == 1;
    std::vector<std::string> newMatches;
    for (const std::uint32_t rva : c.newMatches) newMatches.push_back(std::to_string(rva));
    std::vector<std::string> candidates;
    for (const auto& candidate : c.candidates)
        candidates.push_back(
            "{\"rva\": " + std::to_string(candidate.rva) + ", \"score\": " + number(candidate.score) +
            ", \"code\": " + number(candidate.code) + ", \"landmarks\": " + number(candidate.landmarks) +
            ", \"graph\": " + number(candidate.graph) + ", \"shared\": " + std::to_string(candidate.shared) +
            ", \"placed\": " + (candidate.placed ? "true" : "false") + ", \"evidence\": " + list(candidate.evidence) +
            ", \"diff\": " + list(candidate.diff) + "}");
    const bool signature = c.answered && c.proposal.found;
    std::string out = "{\"name\": " + quoted(s.name) + ", \"verdict\": " + quoted(sigcheck::verdictName(c.verdict));
    out += ", \"old_rva\": " + (oldKnown ? std::to_string(c.oldRva) : "null");
    out += ", \"old_matches\": " + std::to_string(c.oldMatches) + ", \"new_matches\": " + list(newMatches, false);
    out += ", \"new_rva\": " + (c.answered ? std::to_string(c.candidates[0].rva) : "null");
    out += ", \"signature\": " +
           (signature ? quoted(sigcheck::signatureText(c.proposal.mask, c.proposal.pattern)) : "null");
    out += ", \"survives\": " + std::string(signature && c.proposal.survives ? "true" : "false");
    out += ", \"margin\": " + std::to_string(signature ? c.proposal.margin : 0);
    out += ", \"evidence\": " + quoted(c.evidence) + ", \"changed_displacements\": " + list(c.changedDisplacements);
    return out + ", \"candidates\": " + list(candidates, false) + "}";
}

}  // namespace

extern "C" {

void* sigcheckOpen(const SigcheckModule* description) { return new ModuleView(*description); }
void sigcheckClose(void* image) { delete static_cast<ModuleView*>(image); }
void sigcheckFree(const char* text) { delete[] text; }

// The lowest match at or above `from` that lies wholly in code, as the
// plug-in finds it in the game; -1 for none.
std::int64_t sigcheckFindInCode(const void* image, const char* mask, const std::uint8_t* pattern, std::uint64_t from) {
    const auto& view = *static_cast<const ModuleView*>(image);
    return from >= view.size() ? -1 : view.findInCode(mask, pattern, static_cast<std::uint32_t>(from));
}

// The lowest match at or above `from` anywhere in the image; -1 for none.
std::int64_t sigcheckFindAnywhere(const void* image, const char* mask, const std::uint8_t* pattern,
                                  std::uint64_t from) {
    const auto& view = *static_cast<const ModuleView*>(image);
    if (from >= view.size()) return -1;
    const std::uint8_t* found =
        memory::findInRange(view.bytes() + from, view.bytes() + view.size(), mask, pattern, memory::bestVectorPath());
    return found == nullptr ? -1 : found - view.bytes();
}

// Starts in code at which exactly `mismatches` fixed bytes differ (one or
// two), lowest first, up to `limit` of them; returns how many it wrote.
std::uint64_t sigcheckNearMisses(const void* image, const char* mask, const std::uint8_t* pattern, unsigned mismatches,
                                 std::uint64_t* found, std::uint64_t limit) {
    const auto places = static_cast<const ModuleView*>(image)->nearMisses(mask, pattern, mismatches, limit);
    for (std::size_t k = 0; k < places.size(); ++k) found[k] = places[k];
    return places.size();
}

// A signature for the function at rva as a maintainer makes one by hand:
// its first whole instructions, call and jump targets and
// instruction-relative displacements open, grown until it matches there
// alone in this build's code; "" when none of up to 64 bytes does. The
// benchmark's signatures for a build whose functions are known.
const char* sigcheckHandMadeSignature(const void* image, std::uint64_t rva) {
    const auto& view = *static_cast<const ModuleView*>(image);
    if (rva >= view.size()) return copy("");
    const auto start = static_cast<std::uint32_t>(rva);
    std::string mask;
    for (const auto& instruction :
         sigcheck::decodeRange(view, start, view.codeRunEnd(start), sigcheck::kLongestSignature)) {
        if (instruction.rva != start + mask.size() || mask.size() + instruction.length > sigcheck::kLongestSignature)
            break;
        for (std::uint32_t k = 0; k < instruction.length; ++k) {
            const sigcheck::Field* field = instruction.fieldAt(k);
            const bool open = field && ((field->kind == sigcheck::FieldKind::branchTarget && field->size == 4) ||
                                        field->kind == sigcheck::FieldKind::ripDisplacement);
            mask += open ? '?' : 'x';
        }
        std::string trimmed = mask.substr(0, mask.find_last_not_of('?') + 1);
        std::vector<std::uint8_t> pattern(view.bytes() + start, view.bytes() + start + trimmed.size());
        const auto found = view.matchesInCode(trimmed.c_str(), pattern.data(), 2);
        if (found.size() == 1 && found[0] == start) return copy(sigcheck::signatureText(trimmed, pattern));
    }
    return copy("");
}

// Carries each signature from the old build to the new; a JSON object
// (free it with sigcheckFree): {"signatures": [...]} or {"error": "..."}.
const char* sigcheckCarry(const void* oldImage, const void* newImage, const char* signatures, double seconds) {
    const auto& old = *static_cast<const ModuleView*>(oldImage);
    const auto& neu = *static_cast<const ModuleView*>(newImage);
    const std::vector<Parsed> parsed = parseSignatures(signatures);
    std::vector<sigcheck::SignatureToCarry> toCarry;
    for (const Parsed& p : parsed) toCarry.push_back({p.name, p.mask, p.pattern});
    const sigcheck::CarryRun run = sigcheck::carryAll(old, neu, toCarry, seconds);
    if (run.expired) return copy("{\"error\": \"ran past its time limit of " + number(seconds) + " s\"}");
    std::vector<std::string> results;
    for (std::size_t k = 0; k < parsed.size(); ++k) results.push_back(carriedJson(parsed[k], run.carried[k]));
    return copy("{\"old_functions\": " + std::to_string(run.oldFunctions) +
                ", \"new_functions\": " + std::to_string(run.newFunctions) +
                ", \"paired\": " + std::to_string(run.paired) + ", \"signatures\": " + list(results, false) + "}");
}
}
