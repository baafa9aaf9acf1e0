// The signature tool's library, libnozzles_sigcheck.so, as its Python side
// (sigcheck/binding.py) calls it through ctypes: every function it exports
// and every structure that crosses, declared here and nowhere else in C.
//
// The binding mirrors each declaration in one table;
// tests/sigcheck/boundary_test.py fails when a function's argument or
// result types there differ from this header, or when a structure's size
// or field offsets differ from the library's own (sigcheckLayout).
//
// Data crosses as structures, never as text to be parsed again: the Python
// side writes the reports and the JSON. Offsets in an image are RVAs.
#ifndef NOZZLES_SIGCHECK_API_H
#define NOZZLES_SIGCHECK_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// What a region of an image holds.
enum { SIGCHECK_REGION_OTHER = 0, SIGCHECK_REGION_CODE = 1, SIGCHECK_REGION_READ_ONLY = 2 };
// The kinds of a set's signatures, as the plug-in's header has them.
enum { SIGCHECK_KIND_ENTRY = 0, SIGCHECK_KIND_CALL = 1, SIGCHECK_KIND_INSIDE = 2 };
// The most signatures a set holds.
#define SIGCHECK_MOST_IN_SET 8

// One module laid out as the loader lays it out, and the tables beside its
// code that the library reads itself: borrowed, for as long as it is open.
typedef struct SigcheckModule {
    const uint8_t* bytes;
    uint64_t size;
    const uint64_t* bounds;  // region k is [bounds[k], bounds[k + 1])
    const uint8_t* kinds;    // per region, a SIGCHECK_REGION_ value
    uint64_t regionCount;
    uint64_t base;        // the address the image's absolute pointers are relative to
    uint32_t entryPoint;  // AddressOfEntryPoint, 0 for none
    uint32_t pdataRva;
    uint32_t pdataSize;
    uint32_t relocRva;
    uint32_t relocSize;
    const uint32_t* importSlots;     // RVAs of the import address table's slots
    const char* const* importNames;  // "dll!name" for each slot
    uint64_t importCount;
} SigcheckModule;

// One signature of a set: mask 'x' fixed, '?' open, NUL-ended; as many pattern bytes.
typedef struct SigcheckSetSignature {
    uint32_t kind;    // a SIGCHECK_KIND_ value
    uint32_t callAt;  // a call signature's: where the E8 or E9 stands in it
    const char* mask;
    const uint8_t* pattern;
} SigcheckSetSignature;

// One function's signatures, to carry or to resolve.
typedef struct SigcheckFunctionSet {
    const char* name;
    const SigcheckSetSignature* signatures;
    uint64_t count;
} SigcheckFunctionSet;

// A set as the plug-in's rule resolves it in one build.
// Why a signature gives its address, or none (SigcheckSetFinding.how).
enum {
    SIGCHECK_GIVEN_GIVES = 0,            // it gives an address
    SIGCHECK_GIVEN_NO_MATCH = 1,         // no match in code
    SIGCHECK_GIVEN_SEVERAL_MATCHES = 2,  // two or more in code
    SIGCHECK_GIVEN_INSIDE_FUNCTION = 3,  // its address lies strictly inside a known function (within)
    SIGCHECK_GIVEN_OUTSIDE_CODE = 4,     // a call whose target lies outside the module's code
    // An inside signature's match, of which the exception directory says:
    SIGCHECK_GIVEN_NO_DIRECTORY = 5,       // nothing: there is none that may be read
    SIGCHECK_GIVEN_DISORDERED = 6,         // nothing: its records are out of order, overlap or lie outside the image
    SIGCHECK_GIVEN_NO_RECORD = 7,          // no record holds it
    SIGCHECK_GIVEN_BROKEN_CHAIN = 8,       // its chain leaves the directory, loops or runs too long
    SIGCHECK_GIVEN_ROOT_NOT_A_RECORD = 9,  // its chain names a start where no record begins
    SIGCHECK_GIVEN_ROOT_NOT_CODE = 10,     // the function it names begins outside code
};
typedef struct SigcheckSetFinding {
    uint32_t matchCount[SIGCHECK_MOST_IN_SET];  // each signature's matches in code: 0, 1, or 2 for two or more
    int64_t first[SIGCHECK_MOST_IN_SET];        // each one's lowest match, -1 for none
    int64_t gives[SIGCHECK_MOST_IN_SET];        // the address each gives, -1 for none
    uint32_t how[SIGCHECK_MOST_IN_SET];         // why, a SIGCHECK_GIVEN_ value
    int64_t within[SIGCHECK_MOST_IN_SET];       // SIGCHECK_GIVEN_INSIDE_FUNCTION: where that function begins
    int64_t address;                            // the function, -1 for none
    uint32_t votes;                             // how many signatures gave it
    uint32_t tie;                               // another address was given as often
} SigcheckSetFinding;

// A signature of a proposed set.
typedef struct SigcheckProposed {
    uint32_t kind;
    uint32_t callAt;
    const char* signature;  // "48 8B ?? 57"
} SigcheckProposed;

// One of the candidates a carry report shows, best first.
typedef struct SigcheckCandidate {
    uint32_t rva;
    double score;  // 0 to 1.1
    const char* const* evidence;
    uint64_t evidenceCount;
    const char* const* diff;  // against the old function, where there is no answer
    uint64_t diffCount;
} SigcheckCandidate;

// One signature carried.
typedef struct SigcheckCarried {
    uint32_t verdict;          // its name: sigcheckVerdictName
    uint32_t oldFoundCount;    // of the old signature in the old build's code, 3 for three or more; of a
                               // set, 1 when the rule gives the old function, 0 when it gives none
    int64_t oldRva;            // the old function; -1 unless the old signature matches once
    int64_t newRva;            // the answer; -1 for none
    const uint32_t* newFound;  // of the old signature in the new build's code, at most 16; of a set,
                               // the rule's one answer there, or none
    uint64_t newFoundCount;
    const char* entrySignature;  // to use in the new build ("48 8B ?? 57"); null for none
    uint32_t survives;           // it also matches the old function alone in the old build
    uint32_t margin;             // fixed bytes to its nearest near-miss in the new build; 3 for three or more
    const char* evidence;
    const char* const* changedDisplacements;
    uint64_t changedDisplacementCount;
    const SigcheckCandidate* candidates;
    uint64_t candidateCount;
    const SigcheckProposed* set;  // every signature to use; empty without an answer
    uint64_t setCount;
    const int64_t* olderRva;  // the function in each older build, -1 where not located
    uint64_t olderCount;
    uint32_t sources;  // how many independent sources the set's evidence has: its own code, and each caller
} SigcheckCarried;

// Every signature of one carry, in the order given.
typedef struct SigcheckCarryRun {
    uint32_t expired;  // the time limit passed: nothing else holds
    uint64_t oldFunctions;
    uint64_t newFunctions;
    uint64_t paired;                 // functions paired between the builds
    const SigcheckCarried* carried;  // one for each function, in the order of the sets given
    uint64_t carriedCount;
} SigcheckCarryRun;

// One field of a structure above as the library was compiled with it
// (field null: the structure's own size).
typedef struct SigcheckField {
    const char* structure;
    const char* field;
    uint64_t offset;
    uint64_t size;
} SigcheckField;

// The library's view of one module.
typedef struct SigcheckModuleView SigcheckModuleView;

SigcheckModuleView* sigcheckOpen(const SigcheckModule* module);
void sigcheckClose(SigcheckModuleView* view);

// The plug-in's own search: the lowest match at or above `from` that lies
// wholly in code, as the plug-in finds it in the game; -1 for none.
int64_t sigcheckFindInCode(const SigcheckModuleView* view, const char* mask, const uint8_t* pattern, uint64_t from);
// The same anywhere in the image.
int64_t sigcheckFindAnywhere(const SigcheckModuleView* view, const char* mask, const uint8_t* pattern, uint64_t from);
// Starts in code at which exactly `mismatches` fixed bytes (one or two)
// differ, lowest first, up to `limit` written to `found`; returns how many.
uint64_t sigcheckNearMisses(const SigcheckModuleView* view, const char* mask, const uint8_t* pattern,
                            uint32_t mismatches, uint64_t* found, uint64_t limit);

// A signature for the function at rva as a maintainer makes one by hand (the
// benchmark's): written to mask (NUL-ended) and pattern, which hold
// `capacity` bytes; returns its length, 0 for none.
uint64_t sigcheckHandMadeSignature(const SigcheckModuleView* view, uint64_t rva, char* mask, uint8_t* pattern,
                                   uint64_t capacity);

// Carries each function's signatures from the old build to the new; each
// older build adds a check. Free with sigcheckFreeCarry.
const SigcheckCarryRun* sigcheckCarry(const SigcheckModuleView* old, const SigcheckModuleView* neu,
                                      const SigcheckModuleView* const* older, uint64_t olderCount,
                                      const SigcheckFunctionSet* sets, uint64_t count, double seconds);
void sigcheckFreeCarry(const SigcheckCarryRun* run);

// The set resolved by the plug-in's own code and rule; 0 for a set of more than SIGCHECK_MOST_IN_SET.
uint32_t sigcheckResolveSet(const SigcheckModuleView* view, const SigcheckFunctionSet* set, SigcheckSetFinding* out);

// Whether an address can begin a function by the plug-in's rule: 0 when it
// lies strictly inside one the exception directory knows, with `within`
// set to where that one begins, or when the directory's records are out of
// order or overlap, with `within` -1; 1 otherwise.
uint32_t sigcheckCanBeginFunction(const SigcheckModuleView* view, uint64_t rva, int64_t* within);

// "kept", "replaced", ...; null past the last verdict.
const char* sigcheckVerdictName(uint32_t verdict);

// Every field of the structures above; `count` set to how many.
const SigcheckField* sigcheckLayout(uint64_t* count);

#ifdef __cplusplus
}
#endif

#endif
