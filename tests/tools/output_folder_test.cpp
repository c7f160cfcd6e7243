// Replacing an output folder is all or nothing: a rename that fails at any
// point of the commit leaves the folder exactly as it was, temporaries and
// backups gone; a commit that goes through leaves exactly the new files.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string>

#include "io/files.h"
#include "io_support.h"

namespace {

using io_test::scratch_dir;
using orvane_tool::io::io_error;
using orvane_tool::io::staged_files;
namespace fs = std::filesystem;

using folder = std::map<std::string, std::string>;  // name -> contents

folder contents_of(const fs::path& dir) {
    folder f;
    for (const std::string& name : scratch_dir::entries_of(dir))
        f[name] = io_test::read_text((dir / name).string());
    return f;
}

// A rename that fails (EIO) on its `fail_at`-th call, counted from 1, and
// works otherwise; 0 never fails.
staged_files::rename_fn failing_rename(int fail_at, int& calls) {
    return [fail_at, &calls](const char* from, const char* to) {
        if (++calls == fail_at) {
            errno = EIO;
            return -1;
        }
        return std::rename(from, to);
    };
}

// The run the tool makes: seven outputs, and the truth of an earlier run removed.
void stage_new_run(staged_files& out) {
    for (const char* name : {"calibration_block.bin", "curve_of_field_block.bin", "state_dump.bin",
                             "gainmap.json", "dccmap.json", "summary.json", "verify.json"})
        out.add(name, std::string("new ") + name);
    out.remove("truth.json");
}

TEST(OutputFolder, AFailedRenameAnywhereLeavesTheEarlierFolderAsItWas) {
    // Some outputs of the earlier run, one the new run does not write, one it removes.
    const folder earlier = {{"calibration_block.bin", "old block"},
                            {"gainmap.json", "old gains"},
                            {"summary.json", "old summary"},
                            {"notes.txt", "the user's"},
                            {"truth.json", "old truth"}};
    int renames = 0;
    {
        scratch_dir dir;
        for (const auto& [name, text] : earlier) io_test::write_text(dir / name, text);
        staged_files out(dir.path().string(), failing_rename(0, renames));
        stage_new_run(out);
        out.commit();
        folder expected = {{"notes.txt", "the user's"}};
        for (const char* name :
             {"calibration_block.bin", "curve_of_field_block.bin", "state_dump.bin", "gainmap.json",
              "dccmap.json", "summary.json", "verify.json"})
            expected[name] = std::string("new ") + name;
        EXPECT_EQ(contents_of(dir.path()), expected);
    }
    ASSERT_GE(renames, 7);  // every rename the commit makes is a point to fail at

    for (int fail_at = 1; fail_at <= renames; ++fail_at) {
        scratch_dir dir;
        for (const auto& [name, text] : earlier) io_test::write_text(dir / name, text);
        int calls = 0;
        staged_files out(dir.path().string(), failing_rename(fail_at, calls));
        stage_new_run(out);
        EXPECT_THROW(out.commit(), io_error) << "rename " << fail_at;
        EXPECT_EQ(contents_of(dir.path()), earlier) << "rename " << fail_at;
    }
}

TEST(OutputFolder, AFailedRenameInANewFolderLeavesNoFolder) {
    scratch_dir dir;
    for (int fail_at = 1; fail_at <= 7; ++fail_at) {
        int calls = 0;
        {
            staged_files out(dir / "a/b", failing_rename(fail_at, calls));
            stage_new_run(out);
            EXPECT_THROW(out.commit(), io_error);
        }
        EXPECT_TRUE(dir.entries().empty()) << "rename " << fail_at;
    }
}

TEST(OutputFolder, TheMessageNamesTheFileAndTheReason) {
    scratch_dir dir;
    io_test::write_text(dir / "gainmap.json", "old");
    int calls = 0;
    staged_files out(dir.path().string(), failing_rename(1, calls));
    out.add("gainmap.json", "new");
    try {
        out.commit();
        FAIL() << "no error";
    } catch (const io_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  (dir / "gainmap.json") + ": cannot write: Input/output error");
    }
    EXPECT_EQ(contents_of(dir.path()), (folder{{"gainmap.json", "old"}}));
}

}  // namespace
