#include "TSimOptions.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

TSimOptionsResult Parse(std::vector<std::string> args) {
    return ParseSimOptions(args);
}

TEST(TSimOptionsTest, DefaultsServeTenCleanSlavesUntilStopped) {
    const auto result = Parse({});
    ASSERT_TRUE(result.options.has_value()) << result.error;
    const TSimOptions& options = *result.options;
    EXPECT_EQ(options.sim.range.first, 1);
    EXPECT_EQ(options.sim.range.last, 10);
    EXPECT_EQ(options.sim.rates.ExclusiveSum(), 0.0);
    EXPECT_EQ(options.sim.rates.noise, 0.0);
    EXPECT_EQ(options.durationSeconds, 0.0);
    EXPECT_EQ(options.sim.line.baud, 0);
    EXPECT_TRUE(options.linkPath.empty());
    EXPECT_FALSE(options.help || options.freeze || options.verbose);
}

TEST(TSimOptionsTest, EveryOptionReachesItsField) {
    const auto result = Parse({"--slaves",
                               "3-9",
                               "--link=/tmp/x/ttyQM0",
                               "--seed",
                               "18446744073709551615",
                               "--bad-crc",
                               "0.1",
                               "--wrong-slave=0.05",
                               "--truncated",
                               "0.02",
                               "--extra-bytes",
                               "0.03",
                               "--late",
                               "0.04",
                               "--no-reply",
                               "0.06",
                               "--exception",
                               "0.07",
                               "--noise",
                               "0.5",
                               "--late-delay",
                               "900",
                               "--late-slaves",
                               "2-3",
                               "--noise-gap",
                               "30",
                               "--turnaround=5",
                               "--baud",
                               "19200",
                               "--parity",
                               "E",
                               "--stop-bits",
                               "2",
                               "--line",
                               "9600:O:1@4-5",
                               "--line=0:N:2@6",
                               "--duration",
                               "2.5",
                               "--freeze",
                               "--faults-reads-only",
                               "--verbose"});
    ASSERT_TRUE(result.options.has_value()) << result.error;
    const TSimOptions& options = *result.options;
    EXPECT_EQ(options.sim.range.first, 3);
    EXPECT_EQ(options.sim.range.last, 9);
    EXPECT_EQ(options.linkPath, "/tmp/x/ttyQM0");
    EXPECT_EQ(options.sim.seed, 18446744073709551615ULL);
    EXPECT_DOUBLE_EQ(options.sim.rates[TFaultKind::BadCrc], 0.1);
    EXPECT_DOUBLE_EQ(options.sim.rates[TFaultKind::WrongSlave], 0.05);
    EXPECT_DOUBLE_EQ(options.sim.rates[TFaultKind::Truncated], 0.02);
    EXPECT_DOUBLE_EQ(options.sim.rates[TFaultKind::ExtraBytes], 0.03);
    EXPECT_DOUBLE_EQ(options.sim.rates[TFaultKind::Late], 0.04);
    EXPECT_DOUBLE_EQ(options.sim.rates[TFaultKind::NoReply], 0.06);
    EXPECT_DOUBLE_EQ(options.sim.rates[TFaultKind::Exception], 0.07);
    EXPECT_DOUBLE_EQ(options.sim.rates.noise, 0.5);
    EXPECT_EQ(options.sim.lateDelay, 900ms);
    ASSERT_TRUE(options.sim.lateSlaves.has_value());
    EXPECT_EQ(options.sim.lateSlaves->first, 2);
    EXPECT_EQ(options.sim.lateSlaves->last, 3);
    EXPECT_EQ(options.sim.noiseGap, 30ms);
    EXPECT_EQ(options.sim.turnaround, 5ms);
    EXPECT_EQ(options.sim.line, (TSimLine{19200, 'E', 2}));
    EXPECT_EQ(options.sim.LineOf(3), (TSimLine{19200, 'E', 2}));
    EXPECT_EQ(options.sim.LineOf(5), (TSimLine{9600, 'O', 1}));
    EXPECT_EQ(options.sim.LineOf(6), (TSimLine{0, 'N', 2}));
    EXPECT_DOUBLE_EQ(options.durationSeconds, 2.5);
    EXPECT_TRUE(options.freeze);
    EXPECT_TRUE(options.sim.faultsOnReadsOnly);
    EXPECT_TRUE(options.verbose);

    const auto single = Parse({"--slaves", "7", "--help"});
    ASSERT_TRUE(single.options.has_value()) << single.error;
    EXPECT_EQ(single.options->sim.range.first, 7);
    EXPECT_EQ(single.options->sim.range.last, 7);
    EXPECT_TRUE(single.options->help);
}

TEST(TSimOptionsTest, BadCommandLinesAreRefusedNamingTheOption) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--bogus"}, "--bogus"},
        {{"--seed"}, "--seed"},
        {{"--seed", "-1"}, "--seed"},
        {{"--freeze=yes"}, "--freeze"},
        {{"--slaves", "0-3"}, "--slaves"},
        {{"--slaves", "9-3"}, "--slaves"},
        {{"--slaves", "1-256"}, "--slaves"},
        {{"--slaves", "a-b"}, "--slaves"},
        {{"--bad-crc", "1.5"}, "--bad-crc"},
        {{"--no-reply", "-0.1"}, "--no-reply"},
        {{"--noise", "nan"}, "--noise"},
        {{"--late-delay", "-5"}, "--late-delay"},
        {{"--late-slaves", "0"}, "--late-slaves"},
        {{"--turnaround", "10ms"}, "--turnaround"},
        {{"--baud", "10"}, "--baud"},
        {{"--parity", "M"}, "--parity"},
        {{"--stop-bits", "1.5"}, "--stop-bits"},
        {{"--line", "9600:E:1"}, "--line"},
        {{"--line", "9600:X:1@3"}, "--line"},
        {{"--line", "9600:E@3"}, "--line"},
        {{"--duration", "-1"}, "--duration"},
        {{"--link", ""}, "--link"},
        {{"--bad-crc", "0.6", "--late", "0.5"}, "add up to more than 1"},
    };
    for (const auto& [args, mention] : cases) {
        const auto result = Parse(args);
        EXPECT_FALSE(result.options.has_value()) << args[0];
        EXPECT_NE(result.error.find(mention), std::string::npos)
            << "error '" << result.error << "' should mention " << mention;
    }
    // Rates that add up to exactly 1 in decimal are fine despite binary rounding.
    EXPECT_TRUE(Parse({"--bad-crc", "0.1", "--wrong-slave", "0.2", "--no-reply", "0.7"})
                    .options.has_value());
}

TEST(TSimOptionsTest, HelpExplainsEveryOption) {
    const std::string help = SimHelpText("quellmark-sim");
    const std::vector<std::string> names = SimOptionNames();
    EXPECT_GE(names.size(), 20U);
    for (const std::string& name : names) {
        EXPECT_NE(help.find("  " + name), std::string::npos) << name;
        // Every option name the parser knows is accepted by it, with a value where it
        // takes one.
        const bool accepted = Parse({name}).options.has_value() ||
                              Parse({name, "1"}).options.has_value() ||
                              Parse({name, "0"}).options.has_value() ||
                              Parse({name, "float32:cdab@2-3"}).options.has_value() ||
                              Parse({name, "E"}).options.has_value() ||
                              Parse({name, "9600:E:1@2-3"}).options.has_value();
        EXPECT_TRUE(accepted) << name;
    }
}

} // namespace
