#include "TFaultInjector.h"

#include "ModbusRtu.h"
#include "TSlaveResponder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

TFaultRates MixedRates() {
    TFaultRates rates;
    rates[TFaultKind::BadCrc] = 0.10;
    rates[TFaultKind::WrongSlave] = 0.05;
    rates[TFaultKind::Truncated] = 0.07;
    rates[TFaultKind::ExtraBytes] = 0.03;
    rates[TFaultKind::Late] = 0.04;
    rates[TFaultKind::NoReply] = 0.08;
    rates[TFaultKind::Exception] = 0.02;
    rates[TFaultKind::DamagedSlave] = 0.03;
    rates.noise = 0.15;
    return rates;
}

std::vector<std::uint8_t> GoodReply(int slave, int count) {
    return TSlaveResponder({1, 255}).Answer(BuildReadRequest(slave, 0, count), 0)->bytes;
}

TEST(TFaultInjectorTest, TheSameSeedRepeatsEveryDecisionAndAnotherSeedDoesNot) {
    const TFaultInjector first(MixedRates(), 42);
    const TFaultInjector again(MixedRates(), 42);
    const TFaultInjector other(MixedRates(), 43);
    int differences = 0;
    for (std::uint64_t i = 0; i < 500; ++i) {
        const TFaultDecision a = first.Decide(i);
        const TFaultDecision b = again.Decide(i);
        EXPECT_EQ(a.kind, b.kind);
        EXPECT_EQ(a.noise, b.noise);
        EXPECT_EQ(a.detail, b.detail);
        const auto reply = GoodReply(3, 4);
        EXPECT_EQ(first.Apply(a, reply), again.Apply(b, reply));
        EXPECT_EQ(first.Noise(a), again.Noise(b));
        const TFaultDecision c = other.Decide(i);
        differences += c.kind != a.kind || c.noise != a.noise ? 1 : 0;
    }
    EXPECT_GT(differences, 50);
}

TEST(TFaultInjectorTest, RatesDecideHowOftenEachKindComes) {
    const TFaultRates rates = MixedRates();
    const TFaultInjector injector(rates, 7);
    constexpr int Draws = 40000;
    std::map<TFaultKind, int> seen;
    int noise = 0;
    for (int i = 0; i < Draws; ++i) {
        const TFaultDecision decision = injector.Decide(static_cast<std::uint64_t>(i));
        ++seen[decision.kind];
        noise += decision.noise ? 1 : 0;
    }
    for (const TFaultKind kind : FaultKinds)
        EXPECT_NEAR(seen[kind] / double(Draws), rates[kind], 0.01) << FaultName(kind);
    EXPECT_NEAR(seen[TFaultKind::None] / double(Draws), 1.0 - rates.ExclusiveSum(), 0.01);
    EXPECT_NEAR(noise / double(Draws), rates.noise, 0.01);
}

TEST(TFaultInjectorTest, ZeroRatesSpoilNothingAndRateOneSpoilsEveryReply) {
    const TFaultInjector clean(TFaultRates{}, 1);
    for (std::uint64_t i = 0; i < 200; ++i) {
        EXPECT_EQ(clean.Decide(i).kind, TFaultKind::None);
        EXPECT_FALSE(clean.Decide(i).noise);
        EXPECT_TRUE(clean.Noise(clean.Decide(i)).empty());
    }
    for (const TFaultKind kind : FaultKinds) {
        TFaultRates rates;
        rates[kind] = 1.0;
        rates.noise = 1.0;
        const TFaultInjector always(rates, 99);
        for (std::uint64_t i = 0; i < 200; ++i) {
            EXPECT_EQ(always.Decide(i).kind, kind) << FaultName(kind);
            EXPECT_TRUE(always.Decide(i).noise);
        }
    }
}

TEST(TFaultInjectorTest, EachKindFailsTheMastersCheckItIsMeantFor) {
    const TFaultInjector injector(TFaultRates{}, 5);
    const std::vector<std::pair<TFaultKind, TReplyCheck>> expected{
        {TFaultKind::None, TReplyCheck::Good},        {TFaultKind::Late, TReplyCheck::Good},
        {TFaultKind::BadCrc, TReplyCheck::Crc},       {TFaultKind::WrongSlave, TReplyCheck::Slave},
        {TFaultKind::Truncated, TReplyCheck::Length}, {TFaultKind::ExtraBytes, TReplyCheck::Length},
        {TFaultKind::Exception, TReplyCheck::Length}, {TFaultKind::NoReply, TReplyCheck::Length},
        {TFaultKind::DamagedSlave, TReplyCheck::Crc},
    };
    for (const int count : {1, 2, 7, 16, 125}) {
        const int slave = count == 125 ? 255 : count;
        const auto reply = GoodReply(slave, count);
        for (const auto& [kind, check] : expected)
            for (std::uint64_t detail = 0; detail < 64; ++detail) {
                const TFaultDecision decision{kind, false, detail * 0x9E3779B97F4A7C15ULL};
                const auto bytes = injector.Apply(decision, reply);
                std::vector<std::int32_t> values;
                EXPECT_EQ(CheckReadReply(bytes, count, slave, values), check)
                    << FaultName(kind) << " count " << count;
                switch (kind) {
                case TFaultKind::WrongSlave:
                    EXPECT_NE(bytes[0], slave);
                    EXPECT_EQ(ModbusCrc16(bytes.data(), bytes.size() - 2),
                              bytes[bytes.size() - 1] * 256 + bytes[bytes.size() - 2]);
                    break;
                case TFaultKind::Truncated:
                    ASSERT_GE(bytes.size(), 1U);
                    ASSERT_LT(bytes.size(), reply.size());
                    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), reply.begin()));
                    break;
                case TFaultKind::ExtraBytes:
                    ASSERT_GE(bytes.size(), reply.size() + 1);
                    ASSERT_LE(bytes.size(), reply.size() + 4);
                    EXPECT_TRUE(std::equal(reply.begin(), reply.end(), bytes.begin()));
                    break;
                case TFaultKind::Exception:
                    ASSERT_EQ(bytes.size(), 5U);
                    EXPECT_EQ(bytes, BuildExceptionReply(static_cast<std::uint8_t>(slave), 0x03,
                                                         IllegalDataAddress));
                    break;
                case TFaultKind::NoReply:
                    EXPECT_TRUE(bytes.empty());
                    break;
                default:
                    break;
                }
            }
    }
}

TEST(TFaultInjectorTest, AnExceptionInsteadOfACoilEchoNamesFunctionFive) {
    const TFaultInjector injector(TFaultRates{}, 5);
    const TFrame8 command = BuildCoilCommand(2, TCoilAction::Zero);
    const auto bytes = injector.Apply({TFaultKind::Exception, false, 1},
                                      std::vector<std::uint8_t>(command.begin(), command.end()));
    EXPECT_EQ(bytes, BuildExceptionReply(2, 0x05, IllegalDataAddress));
}

TEST(TFaultInjectorTest, NoiseIsOneToEightBytesAndVaries) {
    TFaultRates rates;
    rates.noise = 1.0;
    const TFaultInjector injector(rates, 11);
    std::map<std::size_t, int> lengths;
    for (std::uint64_t i = 0; i < 400; ++i) {
        const auto noise = injector.Noise(injector.Decide(i));
        ASSERT_GE(noise.size(), 1U);
        ASSERT_LE(noise.size(), 8U);
        ++lengths[noise.size()];
    }
    EXPECT_EQ(lengths.size(), 8U) << "every length from 1 to 8 turns up";
}

} // namespace
