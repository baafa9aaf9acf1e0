#include "plugin_fixture.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "pages.h"
#include "platform/platform.h"
#include "plugin/process_state.h"
#include "posix_host.h"

std::string nameQuery(const char* name) {
    return "modelHashOfName(\"" + std::string(name) + "\") -> " +
           std::to_string(static_cast<std::int32_t>(sim::World::modelHash(name)));
}

void PluginTest::SetUp() {
    previous_ = std::filesystem::current_path().string();
    char pattern[] = "/tmp/nozzles-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    std::filesystem::current_path(directory_);
    sim::resetHostWorld();
    plugin::resetProcessState();
}

void PluginTest::TearDown() {
    plugin::resetProcessState();
    std::filesystem::current_path(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

sim::World& PluginTest::world() { return sim::hostWorld(); }

std::string PluginTest::logContents() const {
    std::ifstream file(directory_ + "/Nozzels.log", std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> PluginTest::logLines() const {
    std::vector<std::string> lines;
    std::istringstream text(logContents());
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
}

void PluginTest::writeFile(const std::string& name, const std::string& contents) const {
    std::ofstream file(directory_ + "/" + name, std::ios::binary | std::ios::trunc);
    file << contents;
}

std::vector<std::string> PluginTest::calls(std::size_t from) {
    std::vector<std::string> lines;
    const auto& trace = world().trace;
    for (std::size_t i = from; i < trace.size(); ++i) lines.push_back(sim::describe(trace[i]));
    return lines;
}

bool pageProtectionsReadApart() {
    static const bool apart = [] {
        const test::Pages pages(2);
        pages.protect(0, sim::PageAccess::code);
        pages.protect(1, sim::PageAccess::data);
        const platform::Region region = platform::queryRegion(pages.page(0));
        return region.executable && region.end == pages.page(1);
    }();
    return apart;
}
