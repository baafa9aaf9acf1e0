// A fresh "process" for each test: a new stand-in world, the plug-in's
// process-wide state back at its load values (resetProcessState), and a
// private working directory for "Nozzels.log" and "Nozzles.ini".
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "world.h"

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    sim::World& world();
    std::string directory() const { return directory_; }
    std::string logContents() const;
    std::vector<std::string> logLines() const;
    void writeFile(const std::string& name, const std::string& contents) const;

    // Native calls of the trace, as "name(args) -> result" lines, from index `from` on.
    std::vector<std::string> calls(std::size_t from = 0);

private:
    std::string previous_;
    std::string directory_;
};

// The trace line of a name-hash query for a model name, as the stand-in world answers it.
std::string nameQuery(const char* name);

// Whether the host platform layer tells an execute-read page from the
// read-only page after it. qemu-user cannot: its /proc/self/maps lists such
// neighbours as one mapping, so a search of the process's executable memory
// would see data as code there.
bool pageProtectionsReadApart();

#define SKIP_UNLESS_PAGE_PROTECTIONS_READ_APART()                                     \
    if (!pageProtectionsReadApart())                                                  \
    GTEST_SKIP() << "under the emulator: its /proc/self/maps merges an execute-read " \
                    "page with the read-only page after it"
