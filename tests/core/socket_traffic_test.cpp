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

std::string entries_text(const TrafficTable& table) {
    std::string text;
    for (const auto& entry : table.entries()) {
        text += entry.description + " = " + std::to_string(entry.counts.bytes_sent) + "/" +
                std::to_string(entry.counts.bytes_received) + "\n";
    }
    return text;
}

TEST(TrafficTableParse, KeepsConnectionLinesWithTrafficToleratingTheRest) {
    const std::string output =
        "time,,interface,state,bytes_in,bytes_out\n"                         // header: no arrow
        "12:00,python.312,,,9000,8000\n"                                     // the process itself
        "x,tcp4 1.1.1.1:1<->2.2.2.2:2,,,5,6\r\n"                             // CRLF
        "\xC2\xA0 x, tcp4 1.1.1.1:3<->*:* \xE3\x80\x80,,,+7,\t8 \xC2\x85\n"  // Unicode blanks
        "x,tcp4 1.1.1.1:4<->2.2.2.2:4,,,0,0\n"   // nothing carried: not kept
        "x,tcp4 1.1.1.1:5<->2.2.2.2:5,,,-1,9\n"  // a bad count reads 0
        "x,tcp4 1.1.1.1:6<->2.2.2.2:6,,,1\n"     // five fields
        "x,tcp4 \xFF\xFE"
        "1.1.1.1:7<->2.2.2.2:7,,,1,1\n"                       // invalid UTF-8
        "x,tcp4 1.1.1.1:1<->2.2.2.2:2,,,50,60,more,fields\n"  // a later line replaces
        "\n   \n\r\n"
        "x,tcp6 ::1.8<->::1.9,,,18446744073709551616,3";  // no line end at the end
    EXPECT_EQ(entries_text(TrafficTable::parse(output)),
              "tcp4 1.1.1.1:1<->2.2.2.2:2 = 60/50\n"
              "tcp4 1.1.1.1:3<->*:* = 8/7\n"
              "tcp4 1.1.1.1:5<->2.2.2.2:5 = 9/0\n"
              "tcp4 \xEF\xBF\xBD\xEF\xBF\xBD"
              "1.1.1.1:7<->2.2.2.2:7 = 1/1\n"
              "tcp6 ::1.8<->::1.9 = 3/0\n");
    // Carriage returns alone end no line: the second connection lands in the first's fields.
    EXPECT_EQ(entries_text(TrafficTable::parse("x,a<->b,,,1,2\rx,c<->d,,,3,4\r")), "a<->b = 0/1\n");
}

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
