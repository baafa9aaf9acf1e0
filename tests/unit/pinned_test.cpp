// Every hash, signature byte and fixed value the plug-in relies on, written
// here again as literals: a typo in the product's tables fails this test,
// whatever the stand-in world (which answers by those tables) does.
#include <cstring>
#include <functional>
#include <string>

#include "config/settings.h"
#include "diag/log.h"
#include "hook/natives.h"
#include "memory/game_signatures.h"
#include "memory/prop_state.h"
#include "memory/signature.h"
#include "nozzle/controller.h"
#include "nozzle/prop_sync.h"
#include "plugin_fixture.h"

namespace {

using PinnedLiterals = PluginTest;

TEST_F(PinnedLiterals, EveryHashSignatureAndFixedValueIsItsLiteral) {
    const struct {
        std::uint64_t hash;
        int arguments;
        std::function<void()> call;
    } natives[] = {
        {0xD80958FC74E988A6, 0, [] { natives::playerCharacter(); }},
        {0x9A9112A0FE9A4713, 2, [] { natives::vehicleOf(1); }},
        {0x9F47B058362C84B5, 1, [] { natives::modelOf(1); }},
        {0xA0948AB42D7BA0DE, 1, [] { natives::isModelOfControlledClass(1); }},
        {0x7239B21A38F536BA, 1, [] { natives::entityExists(1); }},
        {0x580417101DDB492F, 2, [] { natives::controlStateFirst(1); }},
        {0xF3A21BCD95725A4A, 2, [] { natives::controlStateSecond(1); }},
        {0xDA62027C8BDB326E, 1, [] { natives::nozzlePosition(1); }},
        {0x30D779DE7C4F6DD3, 2, [] { natives::setNozzlePosition(1, 0.5f); }},
        {0xE38E9162A2500646, 2, [] { natives::modCount(1, 4); }},
        {0x772960298DA26FDB, 2, [] { natives::fittedMod(1, 4); }},
        {0x6AF0636DDEDCB6DD, 4, [] { natives::fitMod(1, 4, 0); }},
        {0xD24D37CC275948CC, 1, [] { natives::modelHashOfName("zr72"); }},
    };
    for (const auto& native : natives) {
        world().trace.clear();
        native.call();
        ASSERT_EQ(world().trace.size(), 1u);
        EXPECT_EQ(world().trace[0].hash, native.hash) << std::hex << native.hash;
        EXPECT_EQ(world().trace[0].argumentCount, native.arguments) << std::hex << native.hash;
    }

    // Each function's set: its name, and each signature's kind, call offset, mask and bytes.
    struct Pinned {
        memory::SignatureKind kind;
        int callAt;
        const char* mask;
        std::vector<std::uint8_t> pattern;
    };
    const struct {
        const memory::SignatureSet& set;
        const char* name;
        std::vector<Pinned> signatures;
    } sets[] = {
        {memory::kHandleToAddressSignatures,
         "handleToAddress",
         {{memory::SignatureKind::entry,
           0,
           "xxxxxxxx????xxxxxxx",
           {0x83, 0xF9, 0xFF, 0x74, 0x31, 0x4C, 0x8B, 0x0D, 0, 0, 0, 0, 0x44, 0x8B, 0xC1, 0x49, 0x8B, 0x41, 0x08}}}},
        {memory::kGetPropStateSignatures,
         "getpropstate",
         {{memory::SignatureKind::entry, 0, "xxxxx?xx", {0x4C, 0x8B, 0xC1, 0x83, 0xFA, 0x00, 0x77, 0x19}}}},
        {memory::kSetPropStateSignatures,
         "setpropstate",
         {{memory::SignatureKind::entry,
           0,
           "xxxxx?xxxx",
           {0x4C, 0x8B, 0xC9, 0x83, 0xFA, 0x00, 0x77, 0x1F, 0x8B, 0xCA}}}},
    };
    for (const auto& pinned : sets) {
        EXPECT_STREQ(pinned.set.name, pinned.name);
        ASSERT_EQ(pinned.set.count, pinned.signatures.size()) << pinned.name;
        for (std::size_t k = 0; k < pinned.set.count; ++k) {
            const memory::SetSignature& s = pinned.set.items[k];
            const Pinned& want = pinned.signatures[k];
            EXPECT_EQ(s.kind, want.kind) << pinned.name << " " << k;
            EXPECT_EQ(s.callAt, want.callAt) << pinned.name << " " << k;
            EXPECT_STREQ(s.mask, want.mask) << pinned.name << " " << k;
            EXPECT_EQ(std::vector<std::uint8_t>(s.pattern, s.pattern + want.pattern.size()), want.pattern)
                << pinned.name << " " << k;
        }
    }

    EXPECT_EQ(nozzle::kModControl, 87);
    EXPECT_EQ(nozzle::kNozzleModSlot, 4);
    EXPECT_EQ(nozzle::kThrottleMilliseconds, 10u);
    EXPECT_EQ(nozzle::kModStepWaitMilliseconds, 50u);
    EXPECT_EQ(nozzle::kPropStateThreshold, 0.5f);
    EXPECT_EQ(memory::kPropStateIndex, 2);
    EXPECT_STREQ(nozzle::kModelHashList[0], "qm31varlo");
    EXPECT_STREQ(nozzle::kModelHashList[1], "zr72");
    EXPECT_STREQ(nozzle::kModelHashList[2], "zr72v");
    EXPECT_STREQ(diag::kLogFileName, "Nozzels.log");
    EXPECT_STREQ(config::kSettingsFileName, "Nozzles.ini");
}

}  // namespace
