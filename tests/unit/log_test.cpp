#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "diag/log.h"
#include "plugin_fixture.h"

namespace {

using LogTest = PluginTest;

TEST_F(LogTest, EveryLineIsInTheFileWhenItsWriterReturns) {
    diag::openLog();
    diag::logText("before up control");
    // Read through a separate stream, as another program would.
    EXPECT_EQ(logContents(), "before up control\n");
    diag::logInt("control up %i", -5);
    EXPECT_EQ(logContents(), "before up control\ncontrol up -5\n");
    diag::logFloat("angle step %5.3f", 0.1f);
    EXPECT_EQ(logContents(), "before up control\ncontrol up -5\nangle step 0.100\n");
}

TEST_F(LogTest, OpeningTruncatesWhatAnEarlierRunLeft) {
    writeFile("Nozzels.log", "old line\nanother old line\n");
    diag::openLog();
    diag::logText("before up control");
    EXPECT_EQ(logContents(), "before up control\n");
}

TEST_F(LogTest, MessageBufferHoldsTheLastFormattedLineUntilTheNextOne) {
    diag::openLog();
    diag::logInt("control down %i", 2147483647);
    ASSERT_NE(diag::MessageBuffer, nullptr);
    EXPECT_STREQ(diag::MessageBuffer, "control down 2147483647");
    diag::logText("before angle step");
    EXPECT_STREQ(diag::MessageBuffer, "control down 2147483647");
    diag::logFloat("set nozzle angle %7.3f", 0.4f);
    EXPECT_STREQ(diag::MessageBuffer, "set nozzle angle   0.400");
}

TEST_F(LogTest, FormattedWritesFillTheBufferEvenWhenTheLogCannotOpen) {
    // A directory where the file should be: the open fails even for root.
    std::filesystem::create_directory(directory() + "/Nozzels.log");
    diag::openLog();
    EXPECT_FALSE(diag::DiagnosticLog.isOpen());
    diag::logText("before up control");
    diag::logInt("control up %i", 7);
    EXPECT_STREQ(diag::MessageBuffer, "control up 7");
    EXPECT_TRUE(std::filesystem::is_directory(directory() + "/Nozzels.log"));
    EXPECT_TRUE(std::filesystem::is_empty(directory() + "/Nozzels.log"));
}

// A full disk, root or not: the file opens, and its first write fails.
TEST_F(LogTest, AFailedWriteDropsEveryLaterLineButNotTheMessageBlock) {
    std::filesystem::create_symlink("/dev/full", directory() + "/Nozzels.log");
    diag::openLog();
    EXPECT_TRUE(diag::DiagnosticLog.isOpen());
    diag::logText("before up control");
    EXPECT_FALSE(diag::DiagnosticLog.good());
    diag::logInt("control up %i", 7);
    EXPECT_STREQ(diag::MessageBuffer, "control up 7");
}

TEST_F(LogTest, OpenAfterAFailedOpenTriesAgainAndTruncates) {
    std::filesystem::create_directory(directory() + "/Nozzels.log");
    diag::openLog();
    diag::logText("dropped");
    std::filesystem::remove(directory() + "/Nozzels.log");
    writeFile("Nozzels.log", "stale\n");
    diag::openLog();
    diag::logText("kept");
    EXPECT_EQ(logContents(), "kept\n");
}

TEST_F(LogTest, LongFormattedLinesAreCutToTheBlock) {
    diag::openLog();
    std::string longText(300, 'a');
    diag::logFormatted("%s", longText.c_str());
    EXPECT_EQ(std::strlen(diag::MessageBuffer), 255u);
    EXPECT_EQ(logContents(), std::string(255, 'a') + "\n");
}

}  // namespace
