#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "diag/log.h"
#include "plugin_fixture.h"

namespace {

using LogTest = PluginTest;

TEST_F(LogTest, EveryLineIsInTheFileWhenItsWriterReturns) {
    openLog();
    logText("before up control");
    // Read through a separate stream, as another program would.
    EXPECT_EQ(logContents(), "before up control\n");
    logInt("control up %i", -5);
    EXPECT_EQ(logContents(), "before up control\ncontrol up -5\n");
    logFloat("angle step %5.3f", 0.1f);
    EXPECT_EQ(logContents(), "before up control\ncontrol up -5\nangle step 0.100\n");
}

TEST_F(LogTest, OpeningTruncatesWhatAnEarlierRunLeft) {
    writeFile("Nozzels.log", "old line\nanother old line\n");
    openLog();
    logText("before up control");
    EXPECT_EQ(logContents(), "before up control\n");
}

TEST_F(LogTest, MessageBufferHoldsTheLastFormattedLineUntilTheNextOne) {
    openLog();
    logInt("control down %i", 2147483647);
    ASSERT_NE(MessageBuffer, nullptr);
    EXPECT_STREQ(MessageBuffer, "control down 2147483647");
    logText("before angle step");
    EXPECT_STREQ(MessageBuffer, "control down 2147483647");
    logFloat("set nozzle angle %7.3f", 0.4f);
    EXPECT_STREQ(MessageBuffer, "set nozzle angle   0.400");
}

TEST_F(LogTest, FormattedWritesFillTheBufferEvenWhenTheLogCannotOpen) {
    // A directory where the file should be: the open fails even for root.
    std::filesystem::create_directory(directory() + "/Nozzels.log");
    openLog();
    EXPECT_FALSE(DiagnosticLog.isOpen());
    logText("before up control");
    logInt("control up %i", 7);
    EXPECT_STREQ(MessageBuffer, "control up 7");
    EXPECT_TRUE(std::filesystem::is_directory(directory() + "/Nozzels.log"));
    EXPECT_TRUE(std::filesystem::is_empty(directory() + "/Nozzels.log"));
}

TEST_F(LogTest, SecondOpenKeepsTheEarlierLinesAndGoesOnWriting) {
    openLog();
    logText("first start");
    openLog();
    logText("second start");
    EXPECT_TRUE(DiagnosticLog.good());
    EXPECT_EQ(logContents(), "first start\nsecond start\n");
}

TEST_F(LogTest, OpenAfterAFailedOpenTriesAgainAndTruncates) {
    std::filesystem::create_directory(directory() + "/Nozzels.log");
    openLog();
    logText("dropped");
    std::filesystem::remove(directory() + "/Nozzels.log");
    writeFile("Nozzels.log", "stale\n");
    openLog();
    logText("kept");
    EXPECT_EQ(logContents(), "kept\n");
}

TEST_F(LogTest, LongFormattedLinesAreCutToTheBlock) {
    openLog();
    std::string longText(300, 'a');
    logFormatted("%s", longText.c_str());
    EXPECT_EQ(std::strlen(MessageBuffer), 255u);
    EXPECT_EQ(logContents(), std::string(255, 'a') + "\n");
}

}  // namespace
