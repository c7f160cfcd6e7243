// The state dump unit on its own: the file is the state's bytes, nothing
// more, whatever was at the path before.
#include "dcc/state_dump.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

TEST(StateDumpFile, FileIsEveryByteOfTheStateAndReplacesALongerFile) {
    auto state = std::make_unique<cal_state>();
    auto* raw = reinterpret_cast<uint8_t*>(state.get());
    std::mt19937 rng(11);
    for (size_t i = 0; i < sizeof(cal_state); ++i) raw[i] = static_cast<uint8_t>(rng());

    const std::string path = ::testing::TempDir() + "state_dump_unit.bin";
    std::ofstream(path, std::ios::binary) << std::string(sizeof(cal_state) + 4096, 'x');
    CaptureStdout();
    orvane::write_state_dump(*state, path.c_str(), nullptr);
    EXPECT_EQ(GetCapturedStdout(), "");

    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(bytes.size(), ORVANE_STATE_DUMP_SIZE);
    EXPECT_EQ(std::memcmp(bytes.data(), raw, bytes.size()), 0);
    std::remove(path.c_str());
}

TEST(StateDumpFile, AFolderInsteadOfAFileIsReported) {
    const auto state = std::make_unique<cal_state>();
    const std::string folder = ::testing::TempDir();
    CaptureStdout();
    orvane::write_state_dump(*state, folder.c_str(), nullptr);
    EXPECT_EQ(GetCapturedStdout(), "Cannot open file for write: " + folder + "\n");
}

}  // namespace
