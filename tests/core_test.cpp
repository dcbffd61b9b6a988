#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/clock.h"
#include "core/console.h"
#include "core/flags.h"
#include "core/metrics.h"
#include "core/random.h"
#include "core/whole_number.h"

namespace skirmish {
namespace {

// Pins the generator's constants: a different LCG would give other levels for the same seed.
TEST(Random, first_draws_match_the_windows_runtime_for_seeds_0_and_1)
{
    struct Case { uint32_t seed; std::vector<int32_t> draws; };
    for (const Case& c : {Case{0, {38, 7719, 21238, 2437, 8855}}, Case{1, {41, 18467, 6334, 26500, 19169}}}) {
        SeedRandom(c.seed);
        for (int32_t expected : c.draws)
            EXPECT_EQ(Random(), expected) << "seed " << c.seed;
    }
}

// A plain static_cast here is undefined behaviour for NaN and out-of-range floats.
TEST(WholeNumber, truncates_toward_zero_and_saturates_out_of_range)
{
    struct Case { float in; int32_t out; };
    const float inf = std::numeric_limits<float>::infinity();
    for (const Case& c : {Case{27.9f, 27}, Case{-3.5f, -3}, Case{-0.5f, 0}, Case{0.0f, 0},
                          Case{std::nanf(""), 0}, Case{inf, std::numeric_limits<int32_t>::max()},
                          Case{-inf, std::numeric_limits<int32_t>::min()}, Case{3e9f, std::numeric_limits<int32_t>::max()},
                          Case{-3e9f, std::numeric_limits<int32_t>::min()}, Case{2147483520.0f, 2147483520}}) {
        EXPECT_EQ(TruncateToInt32(c.in), c.out) << c.in;
    }
}

// A client name must not be able to move the operator's cursor, clear the screen or forge a line.
TEST(Console, escapes_controls_and_invalid_utf8_but_keeps_printable_text)
{
    struct Case { std::string in; std::string out; };
    for (const Case& c : {Case{"plain name 100%n", "plain name 100%n"},
                          Case{"a\nb\rc", "a\\x0ab\\x0dc"},
                          Case{"\x1b[2J", "\\x1b[2J"},
                          Case{std::string("nul\0x", 5), "nul\\x00x"},
                          Case{"caf\xc3\xa9", "caf\xc3\xa9"},
                          Case{"\xff\xfe", "\\xff\\xfe"},
                          Case{"cut\xc3", "cut\\xc3"},
                          Case{"c1\xc2\x9b", "c1\\xc2\\x9b"},
                          Case{"\xc2\xa3 5", "\xc2\xa3 5"},
                          Case{"del\x7f", "del\\x7f"}}) {
        EXPECT_EQ(EscapeForConsole(c.in), c.out);
    }
}

// A flag's value is taken whole or refused: no trailing junk, nothing out of range.
TEST(Flags, numbers_parse_whole_within_their_range_or_not_at_all)
{
    const std::pair<const char*, std::optional<int64_t>> wholes[] = {
        {"12", 12}, {"0", 0}, {"65535", 65535}, {"65536", std::nullopt}, {"12x", std::nullopt},
        {"", std::nullopt}, {"-1", std::nullopt}, {" 1", std::nullopt}, {"99999999999999999999", std::nullopt}};
    for (const auto& [text, value] : wholes)
        EXPECT_EQ(ParseWhole(text, 0, 65535), value) << text;
    const std::pair<const char*, std::optional<double>> reals[] = {
        {"2.5", 2.5}, {"-3", -3.0}, {"2.5x", std::nullopt}, {"", std::nullopt}, {"inf", std::nullopt},
        {"nan", std::nullopt}, {"1e999", std::nullopt}};
    for (const auto& [text, value] : reals)
        EXPECT_EQ(ParseReal(text), value) << text;
}

// Buckets are cumulative, as Prometheus reads them, and the text is its exposition format.
// A wait for a step due some readings ahead ends as that reading comes: from inside a
// millisecond, the rest of it counts as the first reading.
TEST(Clock, a_wait_for_a_reading_ends_as_the_reading_turns)
{
    using std::chrono::microseconds, std::chrono::nanoseconds;
    struct Case { int64_t sinceStartNs; int32_t ahead; int64_t waitUs; };
    const Case cases[] = {
        {10'300'000, 1, 700},      // 10.3 ms: reading 11 comes 0.7 ms later
        {10'000'000, 1, 1000},     // on a turn: a whole reading
        {10'999'600, 2, 1001},     // 12 ms is 1000.4 µs away, rounded up
        {10'300'000, 0, 0},        // due now
        {10'300'000, -3, 0},       // overdue
    };
    for (const Case& c : cases)
        EXPECT_EQ(TimeUntilReading(nanoseconds(c.sinceStartNs), c.ahead), microseconds(c.waitUs)) << c.sinceStartNs;
}

TEST(Metrics, a_histogram_counts_each_value_in_every_bucket_at_or_above_it)
{
    Histogram latency({0.5, 1});
    for (double value : {0.25, 0.5, 1.0, 4.0})
        latency.observe(value);
    MetricsText page;
    page.histogram("x_seconds", "X.", latency);
    page.family("y_total", "counter", "Y.");
    page.sample("y_total", 3, "reason=\"full\"");
    EXPECT_EQ(page.text(), "# HELP x_seconds X.\n# TYPE x_seconds histogram\n"
                           "x_seconds_bucket{le=\"0.5\"} 2\nx_seconds_bucket{le=\"1\"} 3\n"
                           "x_seconds_bucket{le=\"+Inf\"} 4\nx_seconds_sum 5.75\nx_seconds_count 4\n"
                           "# HELP y_total Y.\n# TYPE y_total counter\ny_total{reason=\"full\"} 3\n");
}

} // namespace
} // namespace skirmish
