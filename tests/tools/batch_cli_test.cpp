// `orvane batch` on a simulated lot: the same files as serial `orvane
// calibrate` runs, the faults the simulator built in found by reason, bad
// modules reported and skipped, the same table whatever the worker count,
// and a resumed run that redoes only what is incomplete.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "io_support.h"

namespace {

using io_test::quoted;
using io_test::read_text;
using io_test::run_cli;
using io_test::scratch_dir;
using ::testing::HasSubstr;

namespace fs = std::filesystem;

const std::vector<std::string> kCalibrateFiles = {"calibration_block.bin",
                                                  "curve_of_field_block.bin",
                                                  "dccmap.json",
                                                  "gainmap.json",
                                                  "state_dump.bin",
                                                  "summary.json",
                                                  "truth.json",
                                                  "verdict.json",
                                                  "zero_pd_offset_block.bin"};

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, sep)) parts.push_back(part);
    return parts;
}

// The table without its last column (the runtime), line by line.
std::string without_runtime(const std::string& table) {
    std::string out;
    for (const std::string& line : split(table, '\n'))
        out += line.substr(0, line.rfind(',')) + "\n";
    return out;
}

// module -> column -> value (no field of these lots needs CSV quoting but the
// error column, which is last but one and read whole).
std::map<std::string, std::map<std::string, std::string>> parse_table(const std::string& table) {
    const std::vector<std::string> lines = split(table, '\n');
    const std::vector<std::string> header = split(lines.at(0), ',');
    std::map<std::string, std::map<std::string, std::string>> rows;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> f = split(lines[i], ',');
        const size_t n = header.size();
        if (f.size() > n) {  // a quoted error message with commas
            std::string error;
            for (size_t k = n - 2; k + 1 < f.size(); ++k)
                error += (error.empty() ? "" : ",") + f[k];
            f = std::vector<std::string>(f.begin(), f.begin() + static_cast<long>(n - 2));
            f.push_back(error);
            f.push_back(split(lines[i], ',').back());
        }
        EXPECT_EQ(f.size(), n) << lines[i];
        for (size_t k = 0; k < std::min(n, f.size()); ++k) rows[f[0]][header[k]] = f[k];
    }
    return rows;
}

// A lot of twelve small modules (one decentred, one strongly shaded), and two
// bad capture sets beside them: one with a frame file missing, one whose
// manifest is not JSON.
struct lot_fixture {
    scratch_dir dir;
    std::string lot() const { return dir / "lot"; }
    std::map<std::string, std::string> fault;  // module -> fault, from lot_truth.csv

    lot_fixture() {
        const io_test::cli_result r =
            run_cli("simulate --lot 12 --width 512 --height 384 --seed 7 --out " + quoted(lot()));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        const std::vector<std::string> lines = split(read_text(lot() + "/lot_truth.csv"), '\n');
        for (size_t i = 1; i < lines.size(); ++i) {
            const std::vector<std::string> f = split(lines[i], ',');
            fault[f.at(0)] = f.at(1);
        }
        fs::copy(lot() + "/module-003", lot() + "/broken-frame", fs::copy_options::recursive);
        fs::remove(lot() + "/broken-frame/f05.raw");
        fs::create_directories(lot() + "/broken-manifest");
        io_test::write_text(lot() + "/broken-manifest/manifest.json", "{\"layout\": ");
    }
};

const lot_fixture& shared_lot() {
    static lot_fixture lot;
    return lot;
}

TEST(BatchCli, TwoWorkersWriteWhatSerialCalibrateWritesAndFindTheFaultsByReason) {
    const lot_fixture& lot = shared_lot();
    ASSERT_EQ(lot.fault.size(), 12u);
    ASSERT_TRUE(fs::exists(lot.lot() + "/module-003/f05.raw")) << "frame naming changed";
    scratch_dir out;
    const io_test::cli_result r =
        run_cli("batch " + quoted(lot.lot()) + " --jobs 2 --out " + quoted(out / "two"));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("14 modules"));
    EXPECT_THAT(r.err, HasSubstr("broken-frame: "));
    EXPECT_THAT(r.err, HasSubstr("broken-manifest: "));

    // Every module's files are the bytes `orvane calibrate` writes for it alone.
    for (const auto& [module, fault] : lot.fault) {
        const std::string serial = out / ("serial/" + module);
        const io_test::cli_result c =
            run_cli("calibrate " + quoted(lot.lot() + "/" + module + "/manifest.json") + " --out " +
                    quoted(serial));
        ASSERT_EQ(c.exit_code, 0) << c.err;
        for (const std::string& name : kCalibrateFiles) {
            const std::string a = read_text(serial + "/" + name);
            ASSERT_FALSE(a.empty()) << module << "/" << name;
            EXPECT_TRUE(a == read_text(out / ("two/" + module + "/" + name)))
                << module << "/" << name << " differs from orvane calibrate's";
        }
    }

    const std::string table = read_text(out / "two/lot.csv");
    const auto rows = parse_table(table);
    ASSERT_EQ(rows.size(), 14u) << table;
    for (const auto& [module, fault] : lot.fault) {
        const auto& row = rows.at(module);
        if (fault == "none") {
            EXPECT_EQ(row.at("verdict"), "PASS") << module << ": " << row.at("failed_checks");
            EXPECT_EQ(row.at("root_cause"), "");
            EXPECT_EQ(row.at("reasons"), "");
            EXPECT_EQ(row.at("flagged_windows"), "0");
        } else {
            EXPECT_EQ(row.at("verdict"), "FAIL") << module;
            // Each fault is named by the stage it breaks first; what it spoils
            // later (focus after a bad gain map, the fit after a lost focus) is
            // a consequence, never one of the row's failed checks.
            const std::string stage = fault == "decentred_lens" ? "focus" : "gain_map";
            EXPECT_EQ(row.at("root_cause"), stage) << module;
            ASSERT_FALSE(row.at("failed_checks").empty()) << module;
            for (const std::string& name : split(row.at("failed_checks"), ' '))
                EXPECT_EQ(name.rfind(stage + ".", 0), 0u) << module << ": " << name;
            // The focus of the decentred lens's outer windows lies beyond the
            // sweep; the strongly shaded PD pixels need more than the gain limit.
            const std::string expected =
                fault == "decentred_lens" ? "peak_at_end" : "gain_too_high";
            EXPECT_THAT(" " + row.at("reasons") + " ", HasSubstr(" " + expected + " ")) << module;
            if (fault == "strong_shading")
                EXPECT_THAT(row.at("gain_flags"), HasSubstr("gain_too_high"));
            if (fault == "decentred_lens")
                EXPECT_THAT(row.at("dcc_flags"), HasSubstr("peak_at_end"));
        }
        EXPECT_EQ(row.at("windows"), "4") << module;
        EXPECT_EQ(row.at("error"), "");
    }
    // The library's messages: each line of the lot's log names the module whose
    // calibration raised it, and that module's own log has the same messages.
    const std::string library_log = read_text(out / "two/library_output.log");
    EXPECT_THAT(library_log, HasSubstr(": line width problem\n"));  // the shaded modules
    std::map<std::string, std::string> messages_of;
    for (const std::string& line : split(library_log, '\n')) {
        if (line.empty()) continue;
        const size_t colon = line.find(": ");
        ASSERT_NE(colon, std::string::npos) << line;
        ASSERT_TRUE(lot.fault.count(line.substr(0, colon))) << line;
        messages_of[line.substr(0, colon)] += line.substr(colon + 2) + "\n";
    }
    for (const auto& [module, text] : messages_of) {
        std::string logged;
        for (const std::string& line : split(read_text(out / ("two/" + module + "/calibrate.log")), '\n'))
            if (text.find(line + "\n") != std::string::npos && !line.empty()) logged += line + "\n";
        EXPECT_EQ(logged, text) << module;
    }

    // Bad modules: an error row naming what is wrong, and no outputs at all.
    // The yield another runner's table gets is the one batch printed.
    const io_test::cli_result summary = run_cli("batch --summary " + quoted(out / "two"));
    ASSERT_EQ(summary.exit_code, 0) << summary.err;
    EXPECT_THAT(summary.out, HasSubstr("Failed modules by root cause:"));
    EXPECT_THAT(r.out, HasSubstr(summary.out));

    // The lot page, linking the reports of the failed modules, which alone have one.
    EXPECT_THAT(r.out, HasSubstr("Lot page: " + (out / "two/lot.html")));
    const std::string page = read_text(out / "two/lot.html");
    for (const auto& [module, fault] : lot.fault) {
        EXPECT_EQ(fs::exists(out / ("two/" + module + "/report.html")), fault != "none") << module;
        if (fault != "none") EXPECT_THAT(page, HasSubstr(module + "/report.html")) << module;
    }

    EXPECT_EQ(rows.at("broken-frame").at("verdict"), "ERROR");
    EXPECT_THAT(rows.at("broken-frame").at("error"), HasSubstr("f05.raw"));
    EXPECT_EQ(rows.at("broken-manifest").at("verdict"), "ERROR");
    EXPECT_THAT(rows.at("broken-manifest").at("error"), HasSubstr("manifest.json"));
    EXPECT_FALSE(fs::exists(out / "two/broken-frame"));
    EXPECT_FALSE(fs::exists(out / "two/broken-manifest"));

    // One worker, from a list of the manifests: the same table but for the runtimes.
    const io_test::cli_result one = run_cli("batch " + quoted(lot.lot() + "/manifests.txt") +
                                            " --jobs 1 --no-page --out " + quoted(out / "one"));
    ASSERT_EQ(one.exit_code, 0) << one.err;
    std::string expected_rows;
    for (const std::string& line : split(without_runtime(table), '\n'))
        if (line.rfind("broken-", 0) != 0) expected_rows += line + "\n";
    EXPECT_EQ(without_runtime(read_text(out / "one/lot.csv")), expected_rows);
}

// Modification time of every file under the module folders.
std::map<std::string, fs::file_time_type> stamps(const fs::path& out) {
    std::map<std::string, fs::file_time_type> t;
    for (const auto& e : fs::recursive_directory_iterator(out))
        if (e.is_regular_file() && e.path().parent_path() != out)
            t[e.path().lexically_relative(out).string()] = e.last_write_time();
    return t;
}

TEST(BatchCli, AnInterruptedRunResumesWithoutRedoingFinishedModules) {
    const lot_fixture& lot = shared_lot();
    scratch_dir out;
    const std::string cmd =
        "batch " + quoted(lot.lot()) + " --jobs 2 --no-page --out " + quoted(out / "o");
    ASSERT_EQ(run_cli(cmd).exit_code, 0);
    const std::string first = read_text(out / "o/lot.csv");
    const auto before = stamps(out / "o");

    // Interrupted before module-005 was marked complete, and module-009's
    // state dump lost since; an earlier crash left module-011 half written.
    fs::remove(out / "o/module-005/batch.json");
    fs::remove(out / "o/module-009/state_dump.bin");
    io_test::write_text(out / "o/module-011/summary.json", "{");
    const io_test::cli_result again = run_cli(cmd);
    ASSERT_EQ(again.exit_code, 0) << again.err;
    EXPECT_THAT(again.out, HasSubstr("(5 calibrated, 9 already complete)"));

    const auto after = stamps(out / "o");
    const std::vector<std::string> redone = {"module-005", "module-009", "module-011"};
    for (const auto& [file, time] : before) {
        const std::string module = file.substr(0, file.find('/'));
        if (std::find(redone.begin(), redone.end(), module) != redone.end()) continue;
        ASSERT_TRUE(after.count(file)) << file;
        EXPECT_TRUE(after.at(file) == time) << file << " was rewritten";
    }
    for (const std::string& module : redone) {
        EXPECT_TRUE(fs::exists(out / ("o/" + module + "/batch.json"))) << module;
        EXPECT_TRUE(after.at(module + "/state_dump.bin") != before.at(module + "/state_dump.bin"));
    }
    // The resumed modules' rows are those of the first run, runtimes included.
    const auto rows_first = split(first, '\n'),
               rows_again = split(read_text(out / "o/lot.csv"), '\n');
    ASSERT_EQ(rows_first.size(), rows_again.size());
    for (size_t i = 0; i < rows_first.size(); ++i) {
        const std::string module = rows_first[i].substr(0, rows_first[i].find(','));
        const bool recalibrated = module.rfind("broken-", 0) == 0 ||
                                  std::find(redone.begin(), redone.end(), module) != redone.end();
        if (recalibrated) {
            EXPECT_EQ(without_runtime(rows_first[i]), without_runtime(rows_again[i]));
        } else {
            EXPECT_EQ(rows_first[i], rows_again[i]);
        }
    }

    // Other settings are another calibration: nothing is complete for them.
    const io_test::cli_result other =
        run_cli(cmd + " --settings " + quoted(lot.lot() + "/module-001/settings.json"));
    EXPECT_THAT(other.out, HasSubstr("(14 calibrated, 0 already complete)"));
    const io_test::cli_result forced = run_cli(cmd + " --force");
    EXPECT_THAT(forced.out, HasSubstr("(14 calibrated, 0 already complete)"));
}

TEST(BatchCli, ListsTheLotAndRefusesTwoModulesOfOneName) {
    const lot_fixture& lot = shared_lot();
    const io_test::cli_result listed = run_cli("batch " + quoted(lot.lot()) + " --list");
    ASSERT_EQ(listed.exit_code, 0) << listed.err;
    const std::vector<std::string> lines = split(listed.out, '\n');
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines.front(),
              "broken-frame\t" + (fs::path(lot.lot()) / "broken-frame/manifest.json").string());
    EXPECT_EQ(lines.back().substr(0, 11), "module-012\t");

    scratch_dir dir;
    io_test::write_text(dir / "twice.txt", lot.lot() + "/module-001\n# a comment\n\n" + lot.lot() +
                                               "/module-001/manifest.json\n");
    const io_test::cli_result twice =
        run_cli("batch " + quoted(dir / "twice.txt") + " --out " + quoted(dir / "o"));
    EXPECT_EQ(twice.exit_code, 1);
    EXPECT_THAT(twice.err, HasSubstr("two modules named 'module-001'"));
    EXPECT_FALSE(fs::exists(dir / "o"));
}

}  // namespace
