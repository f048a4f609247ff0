// The staged set on its own: where staged files are made and how, and that
// a set goes into place whole or not at all.
#include "files/staged_set.hpp"
#include "tool.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

using korvane::StagedSet;
using kvtest::exists;
using kvtest::listDir;
using kvtest::readText;

namespace {

void writeText(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string parentOf(const std::string &path) {
    return path.substr(0, path.rfind('/'));
}

}  // namespace

TEST(FileSafety, Fault4_StagedFilesAreInAPrivateFolderOfUnguessableNameAndNeverFollowALink) {
    kvtest::Scratch dir;
    writeText(dir / "victim.txt", "outside");
    StagedSet a(dir / "out"), b(dir / "out");
    std::string err;
    ASSERT_TRUE(a.prepare(err)) << err;
    ASSERT_TRUE(b.prepare(err)) << err;
    const std::string staged = a.stage("x.wav");
    const std::string folder = parentOf(staged);
    EXPECT_EQ(parentOf(folder), dir / "out");
    EXPECT_EQ(folder.find(dir / "out/.korvane-stage-" + std::to_string(getpid()) + "-"), 0u)
        << folder;
    EXPECT_NE(parentOf(b.stage("x.wav")), folder) << "two sets in one folder stage apart";
    struct stat st;
    ASSERT_EQ(lstat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(lstat(staged.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(StagedSet::shownPath(staged), dir / "out/x.wav");

    // a name already there, a link included, is not opened
    ASSERT_EQ(symlink((dir / "victim.txt").c_str(), (folder + "/y.wav").c_str()), 0);
    EXPECT_LT(a.stageOpen("y.wav", err), 0);
    EXPECT_NE(err.find("out/y.wav"), std::string::npos) << err;
    EXPECT_LT(a.stageOpen("../escape.wav", err), 0);
    EXPECT_EQ(readText(dir / "victim.txt"), "outside");
    unlink((folder + "/y.wav").c_str());

    // discarded, nothing stays: not the staging folders, not the folder made
    b.discard();
    a.discard();
    EXPECT_FALSE(exists(dir / "out"));
}

TEST(FileSafety, Fault9_ARenameFailingHalfwayPutsTheEarlierSetBack) {
    kvtest::Scratch dir;
    // a name so long that the earlier file cannot be set aside under it
    const std::string longName(252, 'n');
    std::string err;
    {
        StagedSet first(dir.path(), StagedSet::Policy::Named);
        ASSERT_TRUE(first.prepare(err)) << err;
        writeText(first.stage("a.txt"), "old a");
        writeText(first.stage(longName), "old long");
        writeText(first.stage("record.json"), "old record");
        first.setRecord("record.json", nullptr);
        ASSERT_TRUE(first.commit(err)) << err;
    }
    StagedSet second(dir.path(), StagedSet::Policy::Named);
    ASSERT_TRUE(second.prepare(err)) << err;
    writeText(second.stage("a.txt"), "new a");
    writeText(second.stage(longName), "new long");
    writeText(second.stage("record.json"), "new record");
    second.setRecord("record.json", nullptr);
    EXPECT_FALSE(second.commit(err));
    EXPECT_NE(err.find(longName), std::string::npos) << err;
    EXPECT_EQ(readText(dir / "a.txt"), "old a")
        << "the file renamed before the failure is put back";
    EXPECT_EQ(readText(dir / longName), "old long");
    EXPECT_EQ(readText(dir / "record.json"), "old record");
    EXPECT_EQ(listDir(dir.path()), (std::vector<std::string>{"a.txt", longName, "record.json"}));
}

TEST(FileSafety, Fault1_OnlyWhatARecordOfTheToolVouchesForIsReplaced) {
    kvtest::Scratch dir;
    std::string err;
    // a file in the way that no record lists stays, and so does the set
    writeText(dir / "a.wav", "the user's");
    {
        StagedSet s(dir.path());
        ASSERT_TRUE(s.prepare(err)) << err;
        writeText(s.stage("a.wav"), "tool's");
        EXPECT_FALSE(s.commit(err));
        EXPECT_NE(err.find("a.wav' is in the way"), std::string::npos) << err;
    }
    EXPECT_EQ(readText(dir / "a.wav"), "the user's");
    EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"a.wav"});
    // the very bytes being written may be replaced: nothing is lost
    {
        StagedSet s(dir.path());
        ASSERT_TRUE(s.prepare(err)) << err;
        writeText(s.stage("a.wav"), "the user's");
        EXPECT_TRUE(s.commit(err)) << err;
    }
}

// Flushing ahead is only a hint: files staged after it, a second call, and a
// set discarded while it runs all end as without it.
TEST(FileSafety, AFlushAheadChangesNothingOfWhatLandsOrIsDiscarded) {
    kvtest::Scratch dir;
    std::string err;
    {
        StagedSet set(dir / "out");
        ASSERT_TRUE(set.prepare(err)) << err;
        writeText(set.stage("a.wav"), std::string(1 << 20, 'a'));
        set.flushAhead();
        writeText(set.stage("b.wav"), "b");
        set.flushAhead();
        set.setRecord("r.json", [](const std::string &) { return false; });
        writeText(set.stage("r.json"), "{}");
        ASSERT_TRUE(set.commit(err)) << err;
    }
    EXPECT_EQ(listDir(dir / "out"), (std::vector<std::string>{"a.wav", "b.wav", "r.json"}));
    EXPECT_EQ(readText(dir / "out/b.wav"), "b");
    {
        StagedSet set(dir / "gone");
        ASSERT_TRUE(set.prepare(err)) << err;
        writeText(set.stage("a.wav"), std::string(1 << 20, 'a'));
        set.flushAhead();
    }
    EXPECT_FALSE(exists(dir / "gone"));
}
