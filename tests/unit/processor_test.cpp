#include <cstdlib>
#include <vector>

#include "memory/game_signatures.h"
#include "memory/signature.h"
#include "platform/platform_posix.h"
#include "plugin_fixture.h"
#include "signature_bytes.h"

namespace {

using memory::VectorPath;

// The choice on any machine: a fault that answered AVX2 everywhere would run
// AVX2 code in a player's first search on an older processor and end the game.
TEST(VectorPathChoice, FollowsWhatTheProcessorAnswers) {
    platform::setHostAvx2Query([] { return false; });
    EXPECT_EQ(memory::bestVectorPath(), VectorPath::sse2);
    platform::setHostAvx2Query([] { return true; });
    EXPECT_EQ(memory::bestVectorPath(), VectorPath::avx2);
    platform::setHostAvx2Query(nullptr);
}

bool emulated() { return std::getenv("NOZZLES_EMULATED_CPU") != nullptr; }

// On the emulated processor itself, with nothing standing in for the answer.
TEST(EmulatedProcessor, HasNoAvx2AndAWiderSearchRunsOnSse2) {
    if (!emulated()) GTEST_SKIP() << "only on the emulated processor (ctest's nehalem. tests)";
    EXPECT_FALSE(platform::processorHasAvx2());
    EXPECT_FALSE(platform::processorHasAvx512());
    EXPECT_EQ(memory::bestVectorPath(), VectorPath::sse2);
    std::vector<std::uint8_t> code(300, 0xCC);
    const auto& signature = test::entryOf(memory::kSetPropStateSignatures);
    std::copy(signature.pattern, signature.pattern + 10, code.begin() + 201);
    for (const auto path : {VectorPath::avx2, VectorPath::avx512}) {
        EXPECT_EQ(memory::findInRange(code.data(), code.data() + code.size(), signature.mask, signature.pattern, path),
                  code.data() + 201);
        memory::EachMatch found[1] = {};
        memory::findEachInRange(code.data(), code.data() + code.size(), &signature, 1, found, path);
        EXPECT_EQ(found[0].first, code.data() + 201);
    }
}

// The skips under the emulator rest on this answer. Should a newer emulator
// tell the two pages apart, this fails there and the skips can go; on the
// machine itself it must always tell them apart, or the skips would hide real tests.
TEST(EmulatedProcessor, PageProtectionsReadApartOnlyOffTheEmulator) {
    EXPECT_EQ(pageProtectionsReadApart(), !emulated());
}

}  // namespace
