#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/answer_text.h"
#include "core/whole_machine.h"
#include "socket/parsers.h"
#include "socket/traffic.h"
#include "socket/traffic_table.h"

namespace lumenstat {
namespace {

using namespace testing;
using Texts = std::vector<std::string>;

// Each socket takes the line whose halves are its endpoints as a whole: a
// text found anywhere inside a description would give port 80 the counts of
// port 8080, 10.0.0.1 those of 110.0.0.1, and the two ends of a connection
// inside one process each other's counts (sent and received swapped).
TEST(TrafficTableFind, MatchesWholeEndpointsHalfByHalf) {
    const TrafficTable table = TrafficTable::parse(
        "x,tcp4 127.0.0.1:8080<->127.0.0.1:5000,,,1,2\n"
        "x,tcp4 110.0.0.1:22<->127.0.0.1:6000,,,3,4\n"
        "x,tcp4 127.0.0.1:7000<->127.0.0.1:7001,,,10,20\n"
        "x,tcp4 127.0.0.1:7001<->127.0.0.1:7000,,,20,10\n"
        "x,tcp4 127.0.0.1:8080<->*:*,,,5,6\n"
        "x,tcp6 ::1.8080<->*.*,,,7,8\n"
        "x,tcp6 ::1.443<->::1.52100,,,11,12\n"
        "x,tcp6 ::1:444<->::1:52101,,,13,14\n"
        "x,127.0.0.1.9<->127.0.0.1.10,,,15,16\n"
        "x,tcp4 127.0.0.1:9<->127.0.0.1:10,,,97,97\n"
        "x,tcp46 127.0.0.1:7000<->127.0.0.1:7001,,,99,99\n");
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {"127.0.0.1:80", "127.0.0.1:5000", "none"},
        {"127.0.0.1:8080", "127.0.0.1:5000", "2/1"},
        {"10.0.0.1:22", "127.0.0.1:6000", "none"},
        {"127.0.0.1:7000", "127.0.0.1:7001", "20/10"},
        {"127.0.0.1:7001", "127.0.0.1:7000", "10/20"},
        {"127.0.0.1:8080", nullptr, "6/5"},
        {"[::1]:8080", nullptr, "8/7"},
        {"[::1]:443", "[::1]:52100", "12/11"},
        {"[::1]:444", "[::1]:52101", "14/13"},
        {"127.0.0.1:9", "127.0.0.1:10", "16/15"},  // the first of two forms that match
        // The right local end with another remote end, or none, is another connection.
        {"127.0.0.1:7000", "127.0.0.1:7002", "none"},
        {"127.0.0.1:7000", nullptr, "none"},
        {"[::1]:443", nullptr, "none"},
    };
    auto at = [](const char* text) { return *parse_socket_address(text).value; };
    for (auto [local, remote, counts] : rows) {
        auto found = table.find(at(local), remote ? std::optional(at(remote)) : std::nullopt);
        EXPECT_EQ(
            found ? std::to_string(found->bytes_sent) + "/" + std::to_string(found->bytes_received)
                  : "none",
            counts)
            << local << " " << (remote ? remote : "-");
    }
}

}  // namespace
}  // namespace lumenstat
