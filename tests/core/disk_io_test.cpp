// Block-storage counters over the fake machine's registry of drivers.
#include "disk/disk_io.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/answer_text.h"
#include "core/whole_machine.h"

namespace lumenstat {
namespace {

using testing::WholeMachine;
using testing::words;
using Texts = std::vector<std::string>;

TEST(DiskIo, DriversNumberedByRecordsProduced) {
    using Statistics = WholeMachine::Statistics;
    const Statistics moved = {{"Bytes (Read)", 1},      {"Bytes (Write)", 2},
                              {"Operations (Read)", 3}, {"Operations (Write)", 4},
                              {"Total Time (Read)", 5}, {"Total Time (Write)", 6}};
    WholeMachine m;
    m.drivers = {{true, moved},
                 {true, Statistics{{"Bytes (Read)", 0}}},  // moved nothing
                 {false, moved},                           // properties cannot be read
                 {true, std::nullopt},                     // no "Statistics"
                 {true, Statistics{{"Bytes (Read)", 7}}},
                 {true, Statistics{{"Operations (Write)", -5}, {"Bytes (Write)", 1}}}};
    Texts got;
    for (const DiskIoStats& s : std::vector(get_disk_io_stats(m.sys).value())) {
        got.push_back(words(s.device, s.bytes_read, s.bytes_written, s.reads, s.writes,
                            s.read_time_ms, s.write_time_ms));
    }
    // Negative counters are 0; the times are the driver's nanoseconds, unchanged.
    EXPECT_EQ(got, (Texts{"disk0 1 2 3 4 5 6", "disk1 7 0 0 0 0 0", "disk2 0 1 0 0 0 0"}));
    EXPECT_TRUE(m.leaks().empty());
}

}  // namespace
}  // namespace lumenstat
