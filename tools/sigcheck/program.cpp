#include "program.h"

#include <algorithm>
#include <cstring>

namespace sigcheck {

namespace {

// A function decoded forward is never taken longer than this.
constexpr std::uint32_t kLongestForward = 64 * 1024;
// Calls found in newly found functions lead to more; this many rounds find
// nearly all, and bound the work on hostile input.
constexpr int kDiscoveryRounds = 4;
// Gaps between the functions found are filled one function a round, at most this many.
constexpr int kGapRounds = 16;
// A string is this many printable characters or more, ended by a NUL.
constexpr std::size_t kShortestString = 4;
constexpr std::size_t kLongestString = 256;

enum LandmarkKind : std::uint64_t { kString = 1, kWideString = 2, kConstant = 3, kImport = 4 };

std::uint64_t landmarkId(LandmarkKind kind, std::uint64_t content) { return combine(combine(0, kind), content); }

bool printable(std::uint8_t c) { return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r'; }

// The string at rva, ASCII or UTF-16, as its length in bytes; 0 for none.
std::size_t stringAt(const ModuleView& image, std::uint32_t rva, bool wide) {
    const std::size_t unit = wide ? 2 : 1;
    std::size_t count = 0;
    for (std::uint64_t at = rva; at + unit <= image.size(); at += unit, ++count) {
        const std::uint8_t c = image.bytes()[at];
        if (c == 0 && (!wide || image.bytes()[at + 1] == 0)) return count >= kShortestString ? count * unit : 0;
        if (!printable(c) || (wide && image.bytes()[at + 1] != 0) || count == kLongestString) return 0;
    }
    return 0;
}

std::uint64_t contentHash(const std::uint8_t* bytes, std::size_t size) {
    std::uint64_t hash = size;
    for (std::size_t k = 0; k < size; ++k) hash = combine(hash, bytes[k]);
    return hash;
}

}  // namespace

double sketchSimilarity(const Sketch& a, const Sketch& b) {
    std::size_t same = 0;
    std::size_t filled = 0;
    for (std::size_t k = 0; k < kSketchSlots; ++k) {
        if (a[k] == 0 && b[k] == 0) continue;
        ++filled;
        same += a[k] == b[k];
    }
    return filled == 0 ? 0.0 : static_cast<double>(same) / static_cast<double>(filled);
}

Range forwardExtent(const ModuleView& image, std::uint32_t start, std::uint32_t limit) {
    const std::uint32_t run = image.codeRunEnd(start);
    if (limit > run) limit = run;
    if (limit - start > kLongestForward && limit > start) limit = start + kLongestForward;
    std::uint32_t at = start;
    std::uint32_t ahead = start;  // the furthest place a branch seen so far goes to
    Instruction instruction;
    for (std::size_t count = 0; at < limit && count < kMostInstructions; ++count) {
        if (!decode(image, at, limit, instruction)) break;
        at += instruction.length;
        if ((instruction.flow == Flow::branch || instruction.flow == Flow::jump) && instruction.hasTarget &&
            instruction.target > ahead && instruction.target < limit)
            ahead = instruction.target;
        const bool ends = instruction.flow == Flow::ret || instruction.flow == Flow::jump ||
                          instruction.flow == Flow::jumpIndirect || instruction.flow == Flow::trap;
        if (ends && at > ahead) break;
    }
    return {start, at > start ? at : start};
}

Program::Program(const ModuleView& image, const std::vector<std::uint32_t>& starts, Deadline& deadline)
    : view_(&image) {
    // Where functions start: the exception directory, the entry point, the
    // places given, and pointers in data that the relocations cover (tables
    // of functions) into code that no unwound function already holds.
    std::vector<std::uint32_t> known;
    const auto opensFunction = [&](std::uint32_t rva) {
        if (!image.isCode(rva)) return false;
        const Range* holder = image.unwindFunctionHolding(rva);
        return holder == nullptr || holder->begin == rva;
    };
    for (const Range& range : image.unwindFunctions()) known.push_back(range.begin);
    if (image.entryPoint() != 0 && opensFunction(image.entryPoint())) known.push_back(image.entryPoint());
    for (const std::uint32_t start : starts)
        if (image.isCode(start)) known.push_back(start);
    for (const std::uint32_t slot : image.pointerSlots()) {
        std::uint64_t value = 0;
        std::uint32_t rva = 0;
        if (image.read64(slot, value) && image.absoluteToRva(value, rva) && opensFunction(rva)) known.push_back(rva);
    }
    std::sort(known.begin(), known.end());
    known.erase(std::unique(known.begin(), known.end()), known.end());

    // Each function found names more (what it calls, jumps to or takes the
    // address of); a few rounds find them.
    std::vector<std::vector<std::uint32_t>> targets;
    std::vector<std::vector<std::uint64_t>> landmarks;
    std::vector<std::uint32_t> pending = known;
    functions_.reserve(known.size() + known.size() / 2);
    int gapRounds = 0;
    const auto extentOf = [&](std::uint32_t start) {
        if (const Range* unwound = image.unwindFunctionAt(start)) return *unwound;
        const auto next = std::upper_bound(known.begin(), known.end(), start);
        std::uint32_t limit = next == known.end() ? image.size() : *next;
        if (const Range* holder = image.unwindFunctionHolding(start)) limit = std::min(limit, holder->end);
        return forwardExtent(image, start, limit);
    };
    // Code between the functions found, after the padding that follows one:
    // a function nobody in the image names (one the game exports, or calls
    // only through a pointer it computes).
    const auto gaps = [&](std::size_t from) {
        std::vector<std::uint32_t> found;
        for (std::size_t f = from; f < functions_.size(); ++f) {
            const Function& function = functions_[f];
            std::uint32_t at = function.end;
            const std::uint32_t run = image.codeRunEnd(function.start);
            const auto next = std::upper_bound(known.begin(), known.end(), function.start);
            const std::uint32_t limit = std::min(run, next == known.end() ? run : *next);
            Instruction instruction;
            while (at < limit && decode(image, at, limit, instruction) && instruction.padding) at += instruction.length;
            if (at < limit && opensFunction(at)) found.push_back(at);
        }
        return found;
    };
    int targetRounds = 0;
    std::size_t gapsFrom = 0;  // the functions whose following gap has not been looked at
    while (!pending.empty() && !deadline.expired()) {
        std::vector<std::uint32_t> found;
        for (const std::uint32_t start : pending) {
            if (deadline.expired()) break;
            const Range extent = extentOf(start);
            Function function;
            function.start = start;
            function.end = extent.end;
            function.unwound = image.unwindFunctionAt(start) != nullptr;
            functions_.push_back(function);
            targets.emplace_back();
            landmarks.emplace_back();
            describe(static_cast<int>(functions_.size() - 1), targets.back(), landmarks.back());
            for (const std::uint32_t target : targets.back())
                if (opensFunction(target) && !std::binary_search(known.begin(), known.end(), target))
                    found.push_back(target);
        }
        if (found.empty() || ++targetRounds >= kDiscoveryRounds) {
            found = ++gapRounds <= kGapRounds ? gaps(gapsFrom) : std::vector<std::uint32_t>{};
            gapsFrom = functions_.size();
        }
        std::sort(found.begin(), found.end());
        found.erase(std::unique(found.begin(), found.end()), found.end());
        const std::size_t before = known.size();
        known.insert(known.end(), found.begin(), found.end());
        std::inplace_merge(known.begin(), known.begin() + static_cast<std::ptrdiff_t>(before), known.end());
        pending = found;
    }

    // Order the functions by start, and decode again those a later start now cuts short.
    std::vector<std::size_t> order(functions_.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return functions_[a].start < functions_[b].start; });
    std::vector<Function> sorted;
    std::vector<std::vector<std::uint32_t>> sortedTargets;
    std::vector<std::vector<std::uint64_t>> sortedLandmarks;
    for (const std::size_t k : order) {
        sorted.push_back(functions_[k]);
        sortedTargets.push_back(std::move(targets[k]));
        sortedLandmarks.push_back(std::move(landmarks[k]));
    }
    functions_ = std::move(sorted);
    for (std::size_t f = 0; f < functions_.size() && !deadline.expired(); ++f) {
        Function& function = functions_[f];
        if (function.unwound) continue;
        const std::uint32_t end = extentOf(function.start).end;
        if (end == function.end) continue;
        function.end = end;
        describe(static_cast<int>(f), sortedTargets[f], sortedLandmarks[f]);
    }

    // Edges to function indices, in order of first appearance; import thunks
    // lend their import to whoever calls them.
    std::vector<std::size_t> lastCaller(functions_.size(), functions_.size());  // who last named each, for duplicates
    for (std::size_t f = 0; f < functions_.size(); ++f) {
        functions_[f].edgesBegin = static_cast<std::uint32_t>(edges_.size());
        for (const std::uint32_t target : sortedTargets[f]) {
            const int callee = indexOf(target);
            if (callee < 0 || callee == static_cast<int>(f)) continue;
            const auto callee32 = static_cast<std::uint32_t>(callee);
            if (lastCaller[callee32] == f) continue;
            lastCaller[callee32] = f;
            edges_.push_back(callee32);
            if (functions_[static_cast<std::size_t>(callee)].importThunk >= 0)
                sortedLandmarks[f].push_back(importLandmark(functions_[static_cast<std::size_t>(callee)].importThunk));
        }
        functions_[f].edgesEnd = static_cast<std::uint32_t>(edges_.size());
        auto& own = sortedLandmarks[f];
        std::sort(own.begin(), own.end());
        own.erase(std::unique(own.begin(), own.end()), own.end());
        functions_[f].landmarksBegin = static_cast<std::uint32_t>(landmarkList_.size());
        landmarkList_.insert(landmarkList_.end(), own.begin(), own.end());
        functions_[f].landmarksEnd = static_cast<std::uint32_t>(landmarkList_.size());
        const int index = static_cast<int>(f);
        byBytes_.push_back({functions_[f].bytesHash, index});
        byExact_.push_back({functions_[f].exactHash, index});
        byShape_.push_back({functions_[f].shapeHash, index});
        for (const std::uint64_t landmark : own) byLandmark_.push_back({landmark, index});
    }
    for (auto* table : {&byBytes_, &byExact_, &byShape_, &byLandmark_}) std::sort(table->begin(), table->end());
    std::sort(landmarkPlaces_.begin(), landmarkPlaces_.end());
    landmarkPlaces_.erase(std::unique(landmarkPlaces_.begin(), landmarkPlaces_.end(),
                                      [](const auto& a, const auto& b) { return a.first == b.first; }),
                          landmarkPlaces_.end());
    // Who calls each function.
    callerIndex_.assign(functions_.size() + 1, 0);
    for (const std::uint32_t callee : edges_) ++callerIndex_[callee + 1];
    for (std::size_t k = 1; k < callerIndex_.size(); ++k) callerIndex_[k] += callerIndex_[k - 1];
    callerList_.resize(edges_.size());
    std::vector<std::uint32_t> fill(callerIndex_.begin(), callerIndex_.end() - 1);
    for (std::size_t f = 0; f < functions_.size(); ++f)
        for (std::uint32_t e = functions_[f].edgesBegin; e < functions_[f].edgesEnd; ++e)
            callerList_[fill[edges_[e]]++] = static_cast<std::uint32_t>(f);
}

// An import is known by its name: its slot moves between builds.
std::uint64_t Program::importLandmark(int import) {
    const std::string& name = view_->importName(import);
    const std::uint64_t id =
        landmarkId(kImport, contentHash(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
    landmarkPlaces_.push_back({id, static_cast<std::uint32_t>(import) | 0x80000000u});
    return id;
}

std::uint64_t Program::landmarkAt(const Instruction& instruction) {
    const ModuleView& image = *view_;
    const std::uint32_t at = instruction.pointee;
    const std::uint32_t pointeeSize = instruction.pointeeSize;
    if (const int import = image.importAt(at); import >= 0) return importLandmark(import);
    std::uint64_t id = 0;
    if (const std::size_t length = stringAt(image, at, false)) {
        id = landmarkId(kString, contentHash(image.bytes() + at, length));
    } else if (const std::size_t wide = stringAt(image, at, true)) {
        id = landmarkId(kWideString, contentHash(image.bytes() + at, wide));
    } else if (image.kindAt(at) == RegionKind::readOnly && pointeeSize > 0 && at + pointeeSize <= image.size() &&
               !image.relocated(at, pointeeSize)) {
        // A literal the code loads (a float, a mask): its value is the landmark.
        id = landmarkId(kConstant, contentHash(image.bytes() + at, pointeeSize));
    } else {
        return 0;
    }
    landmarkPlaces_.push_back({id, at});
    return id;
}

void Program::describe(int index, std::vector<std::uint32_t>& targets, std::vector<std::uint64_t>& landmarks) {
    Function& function = functions_[static_cast<std::size_t>(index)];
    const ModuleView& image = *view_;
    targets.clear();
    landmarks.clear();
    std::uint64_t bytes = 0;
    std::uint64_t exact = 0;
    std::uint64_t shape = 0;
    std::uint32_t count = 0;
    Instruction instruction;
    Instruction first;
    Sketch sketch{};
    std::uint64_t previousShape = 0;
    std::uint8_t read = 0;
    std::uint8_t written = 0;
    bool argumentsOpen = true;  // still before the first call, jump away or return
    function.argumentsKnown = false;
    for (std::uint32_t at = function.start; at < function.end && count < kMostInstructions;) {
        if (!decode(image, at, function.end, instruction)) {
            bytes = combine(bytes, image.bytes()[at]);
            exact = combine(exact, 0x1000);
            shape = combine(shape, 0x1000);
            ++at;
            continue;
        }
        if (count == 0) first = instruction;
        if (argumentsOpen) {
            read |= instruction.argumentsRead & ~written;
            written |= instruction.argumentsWritten;
            const bool away = instruction.flow == Flow::jump &&
                              (instruction.target < function.start || instruction.target >= function.end);
            if (instruction.flow == Flow::call || instruction.flow == Flow::callIndirect ||
                instruction.flow == Flow::ret || instruction.flow == Flow::jumpIndirect || away) {
                argumentsOpen = false;
                function.argumentsKnown = true;
            }
        }
        ++count;
        exact = combine(exact, instruction.exact);
        shape = combine(shape, instruction.shape);
        const std::uint64_t pairHash = combine(previousShape, instruction.shape);
        previousShape = instruction.shape;
        const auto slot = static_cast<std::size_t>(pairHash >> 60);
        const auto value = static_cast<std::uint32_t>(pairHash) | 1u;  // 0 marks an empty slot
        if (sketch[slot] == 0 || value < sketch[slot]) sketch[slot] = value;
        const bool anyRelocated = image.relocated(at, instruction.length);
        for (std::uint32_t k = 0; k < instruction.length; ++k) {
            const Field* field = instruction.fieldAt(k);
            const bool open = (anyRelocated && image.relocated(at + k, 1)) || (field && movesWithLayout(*field));
            bytes = combine(bytes, open ? 0x100 : image.bytes()[at + k]);
        }
        if (instruction.hasTarget && (instruction.flow == Flow::call || instruction.target < function.start ||
                                      instruction.target >= function.end))
            targets.push_back(instruction.target);
        if (instruction.pointsInto) {
            if (image.isCode(instruction.pointee)) {
                if (instruction.pointee < function.start || instruction.pointee >= function.end)
                    targets.push_back(instruction.pointee);
            } else if (const std::uint64_t landmark = landmarkAt(instruction)) {
                landmarks.push_back(landmark);
            }
        }
        at += instruction.length;
    }
    function.instructions = count;
    function.sketch = sketch;
    function.arguments = read;
    function.bytesHash = bytes;
    function.exactHash = exact;
    function.shapeHash = shape;
    function.importThunk = -1;
    if (count == 1 && first.flow == Flow::jumpIndirect && first.pointsInto)
        function.importThunk = image.importAt(first.pointee);
}

int Program::indexOf(std::uint32_t start) const {
    const auto at = std::lower_bound(functions_.begin(), functions_.end(), start,
                                     [](const Function& f, std::uint32_t value) { return f.start < value; });
    return at != functions_.end() && at->start == start ? static_cast<int>(at - functions_.begin()) : -1;
}

std::span<const std::uint32_t> Program::callees(int f) const {
    const Function& function = functions_[static_cast<std::size_t>(f)];
    return {edges_.data() + function.edgesBegin, function.edgesEnd - function.edgesBegin};
}

std::span<const std::uint32_t> Program::callers(int f) const {
    const auto k = static_cast<std::size_t>(f);
    return {callerList_.data() + callerIndex_[k], callerIndex_[k + 1] - callerIndex_[k]};
}

std::span<const std::uint64_t> Program::landmarks(int f) const {
    const Function& function = functions_[static_cast<std::size_t>(f)];
    return {landmarkList_.data() + function.landmarksBegin, function.landmarksEnd - function.landmarksBegin};
}

std::vector<int> Program::lookup(const std::vector<Keyed>& table, std::uint64_t key) {
    std::vector<int> found;
    for (auto at = std::lower_bound(table.begin(), table.end(), Keyed{key, -1}); at != table.end() && at->key == key;
         ++at)
        found.push_back(at->function);
    return found;
}

std::size_t Program::count(const std::vector<Keyed>& table, std::uint64_t key) {
    const auto low = std::lower_bound(table.begin(), table.end(), Keyed{key, -1});
    const auto high = std::upper_bound(table.begin(), table.end(), Keyed{key, 0x7FFFFFFF});
    return static_cast<std::size_t>(high - low);
}

std::uint32_t Program::landmarkUses(std::uint64_t landmark) const {
    return static_cast<std::uint32_t>(count(byLandmark_, landmark));
}

std::vector<int> Program::usersOf(std::uint64_t landmark) const { return lookup(byLandmark_, landmark); }

std::string Program::describeLandmark(std::uint64_t landmark) const {
    const auto at = std::lower_bound(landmarkPlaces_.begin(), landmarkPlaces_.end(), std::make_pair(landmark, 0u));
    if (at == landmarkPlaces_.end() || at->first != landmark) return "something";
    const ModuleView& image = *view_;
    if (at->second & 0x80000000u) return "the import " + image.importName(static_cast<int>(at->second & 0x7FFFFFFFu));
    const std::uint32_t rva = at->second;
    const bool wide = stringAt(image, rva, false) == 0 && stringAt(image, rva, true) != 0;
    if (const std::size_t length = wide ? stringAt(image, rva, true) : stringAt(image, rva, false)) {
        std::string text = wide ? "the string L\"" : "the string \"";
        for (std::size_t k = 0; k < length && text.size() < 60; k += wide ? 2 : 1) {
            const char c = static_cast<char>(image.bytes()[rva + k]);
            text += c == '"' || c == '\\' ? std::string("\\") + c
                    : c == '\n'           ? "\\n"
                    : c == '\t'           ? "\\t"
                    : c == '\r'           ? "\\r"
                                          : std::string(1, c);
        }
        return text + (text.size() >= 60 ? "...\"" : "\"");
    }
    static const char* digits = "0123456789ABCDEF";
    std::string text = "the constant";
    for (std::uint32_t k = 0; k < 16 && rva + k < image.size(); ++k) {
        text += ' ';
        text += digits[image.bytes()[rva + k] >> 4];
        text += digits[image.bytes()[rva + k] & 15];
    }
    return text;
}

std::vector<Instruction> Program::instructionsOf(int f, std::size_t most) const {
    const Function& function = functions_[static_cast<std::size_t>(f)];
    return decodeRange(*view_, function.start, function.end, most);
}

}  // namespace sigcheck
