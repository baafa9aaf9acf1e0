// The functions of one game build, found without symbols: where each starts
// and ends, what it calls, which landmarks it uses (rare strings, constants
// and imports), and its code hashed in three normalised forms (the bytes,
// layout aside, and the instructions' two forms of decode.h) for comparing builds.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "decode.h"
#include "module_view.h"

namespace sigcheck {

// The tool's time limit: long loops ask it, and give up once it has passed.
class Deadline {
public:
    explicit Deadline(double seconds)
        : end_(std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                      std::chrono::duration<double>(seconds))) {}
    bool expired() {
        if (expired_) return true;
        if (++calls_ % 256 == 1) expired_ = std::chrono::steady_clock::now() > end_;
        return expired_;
    }

private:
    std::chrono::steady_clock::time_point end_;
    unsigned calls_ = 0;
    bool expired_ = false;
};

// No function is decoded further than this many instructions.
inline constexpr std::size_t kMostInstructions = 20000;

// Where a function starts, how its end is found when the exception directory
// does not say: decoded forward until a return, jump or trap that no branch
// seen so far jumps past, and never beyond `limit`.
Range forwardExtent(const ModuleView& image, std::uint32_t start, std::uint32_t limit);

// A sketch of a function's code, one slot per part of the hash space holding
// the least hash of its pairs of consecutive shapes there: two functions
// with much code in common share many slots.
inline constexpr std::size_t kSketchSlots = 16;
using Sketch = std::array<std::uint32_t, kSketchSlots>;
double sketchSimilarity(const Sketch& a, const Sketch& b);

struct Function {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    bool unwound = false;  // its extent comes from the exception directory
    std::uint32_t instructions = 0;
    // Its code hashed three ways, from the most to the least exact: its
    // bytes, with every field that moves with the layout left out (call and
    // jump targets, instruction-relative and absolute addresses, relocated
    // bytes); its instructions' exact forms, in order; their shapes, in order.
    std::uint64_t bytesHash = 0;
    std::uint64_t exactHash = 0;
    std::uint64_t shapeHash = 0;
    int importThunk = -1;  // the import it only jumps to, for a thunk
    // The argument registers its code reads before writing them, up to its
    // first call, jump away or return (after a call they hold nothing of the
    // caller's); `argumentsKnown` when such an instruction ends that stretch.
    std::uint8_t arguments = 0;
    bool argumentsKnown = false;
    Sketch sketch{};
    std::uint32_t edgesBegin = 0, edgesEnd = 0;
    std::uint32_t landmarksBegin = 0, landmarksEnd = 0;
};

class Program {
public:
    // `starts`: places known to start a function besides those the image shows
    // (a signature's matches).
    Program(const ModuleView& image, const std::vector<std::uint32_t>& starts, Deadline& deadline);

    const ModuleView& view() const { return *view_; }
    const std::vector<Function>& functions() const { return functions_; }
    int indexOf(std::uint32_t start) const;  // -1 when no function starts there
    // Functions it calls, jumps to or takes the address of, in the order the code first names them.
    std::span<const std::uint32_t> callees(int f) const;
    std::span<const std::uint32_t> callers(int f) const;
    // Its landmarks, sorted: the rare strings, constants and imports it uses, each by its content.
    std::span<const std::uint64_t> landmarks(int f) const;
    std::uint32_t landmarkUses(std::uint64_t landmark) const;
    std::vector<int> usersOf(std::uint64_t landmark) const;
    std::string describeLandmark(std::uint64_t landmark) const;
    // Functions whose code has the same hash of one form.
    std::vector<int> withBytes(std::uint64_t hash) const { return lookup(byBytes_, hash); }
    std::vector<int> withExact(std::uint64_t hash) const { return lookup(byExact_, hash); }
    std::vector<int> withShape(std::uint64_t hash) const { return lookup(byShape_, hash); }
    // How many functions have that form, without listing them.
    std::size_t countBytes(std::uint64_t hash) const { return count(byBytes_, hash); }
    std::size_t countExact(std::uint64_t hash) const { return count(byExact_, hash); }
    std::size_t countShape(std::uint64_t hash) const { return count(byShape_, hash); }
    std::vector<Instruction> instructionsOf(int f, std::size_t most = kMostInstructions) const;

private:
    struct Keyed {
        std::uint64_t key;
        int function;
        bool operator<(const Keyed& other) const {
            return key < other.key || (key == other.key && function < other.function);
        }
    };
    static std::vector<int> lookup(const std::vector<Keyed>& table, std::uint64_t key);
    static std::size_t count(const std::vector<Keyed>& table, std::uint64_t key);
    void describe(int f, std::vector<std::uint32_t>& targets, std::vector<std::uint64_t>& landmarks);
    // The rare thing the instruction's operand points at (a string, a constant, an import), or 0.
    std::uint64_t landmarkAt(const Instruction& instruction);
    std::uint64_t importLandmark(int import);

    const ModuleView* view_;
    std::vector<Function> functions_;
    std::vector<std::uint32_t> edges_;
    std::vector<std::uint32_t> callerIndex_, callerList_;
    std::vector<std::uint64_t> landmarkList_;
    std::vector<Keyed> byBytes_, byExact_, byShape_, byLandmark_;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> landmarkPlaces_;  // where each landmark's content lies
};

}  // namespace sigcheck
