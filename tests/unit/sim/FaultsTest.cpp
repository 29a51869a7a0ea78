// Every fault kind as the line sees it, selected by request number or block.
#include "SimTestSupport.h"

#include <gtest/gtest.h>

using namespace simtest;
using namespace std::chrono_literals;
using sim::Fault;
using sim::FaultKind;
using sim::FaultTrigger;

namespace {

constexpr uint8_t ADDR = 0x55;
const Bytes READ = hexBytes("55 10 06 04 00 04 01 E3 57");
const Bytes ANSWER = hexBytes("10 55 0E 24 00 02 00 01 00 24 01 05 00 02 00 E3 A9");

Fault fault(FaultKind kind, FaultTrigger trigger = FaultTrigger::next(), int param = -1, int times = 1)
{
    Fault f;
    f.kind = kind;
    f.trigger = trigger;
    f.param = param;
    f.times = times;
    return f;
}

class SimFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::DeviceConfig c;
        c.address = ADDR;
        c.type = {1, 2};
        c.bigVersion = {2, 5};
        device = &h.bus.addDevice(c);
    }
    Harness h;
    sim::Device* device = nullptr;
};

TEST_F(SimFaults, AnswerFaultsOnTheChosenRequestOnly)
{
    struct Case {
        FaultKind kind;
        int param;
        Bytes expected;
    };
    const Case cases[] = {
        {FaultKind::NoAnswer, -1, {}},
        {FaultKind::ShortAnswer, -1, hexBytes("10 55 0E 24 00 02 00 01")},
        {FaultKind::ShortAnswer, 3, hexBytes("10 55 0E")},
        {FaultKind::WrongChecksum, -1, hexBytes("10 55 0E 24 00 02 00 01 00 24 01 05 00 02 00 E3 AA")},
        {FaultKind::WrongSource, -1, hexBytes("10 56 0E 24 00 02 00 01 00 24 01 05 00 02 00 E3 AA")},
        {FaultKind::FrameErrorRecord, -1, hexBytes("10 55 0E E4 00 02 00 01 00 24 01 05 00 02 00 E3 69")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(sim::faultKindName(c.kind)));
        device->clearFaults();
        const uint32_t first = device->requestCount() + 1;
        device->addFault(fault(c.kind, FaultTrigger::request(first + 1), c.param));
        EXPECT_EQ(h.ask(READ), ANSWER) << "request before";
        EXPECT_EQ(h.ask(READ), c.expected) << "the chosen request";
        EXPECT_EQ(h.ask(READ), ANSWER) << "request after";
    }
}

TEST_F(SimFaults, RepeatCountAndEveryTime)
{
    device->addFault(fault(FaultKind::NoAnswer, FaultTrigger::next(), -1, 2));
    EXPECT_TRUE(h.send(READ).empty());
    EXPECT_TRUE(h.send(READ).empty());
    EXPECT_EQ(h.ask(READ), ANSWER);
    device->addFault(fault(FaultKind::WrongChecksum, FaultTrigger::next(), -1, 0));
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(h.ask(READ), ANSWER);
}

TEST_F(SimFaults, StatusFaultsOnTheChosenBlock)
{
    const Bytes image(256, 0x42);
    device->addFault(fault(FaultKind::PointerError, FaultTrigger::writeBlock(1)));
    device->addFault(fault(FaultKind::Busy, FaultTrigger::writeBlock(2), 3));
    EXPECT_EQ(h.upload(ADDR, image), (std::vector<uint8_t>{0, 15, 14, 14, 14, 0, 0}));
}

TEST_F(SimFaults, EndlessBusyNeverFinishes)
{
    const Bytes image(64, 0x42);
    device->addFault(fault(FaultKind::EndlessBusy, FaultTrigger::writeBlock(0)));
    const auto statuses = h.upload(ADDR, image, 50);
    EXPECT_EQ(statuses, std::vector<uint8_t>(51, 14));
    // The next block write starts afresh.
    EXPECT_EQ(h.upload(ADDR, image), std::vector<uint8_t>{0});
}

TEST_F(SimFaults, CorruptedByteInOneReadBack)
{
    Bytes image(192);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = uint8_t(i);
    h.upload(ADDR, image);
    device->addFault(fault(FaultKind::CorruptReadBack, FaultTrigger::readBlock(2), 37));
    const Bytes back = h.readBack(ADDR, 192);
    ASSERT_EQ(back.size(), 192u);
    for (std::size_t i = 0; i < back.size(); ++i) {
        if (i == 2 * 64 + 37)
            EXPECT_EQ(back[i], uint8_t(~image[i])) << i;
        else
            EXPECT_EQ(back[i], image[i]) << i;
    }
    EXPECT_EQ(h.readBack(ADDR, 192), image) << "only that read-back; the upload is intact";
}

TEST_F(SimFaults, AnswerFaultOnABlockHitsThatBlocksAnswer)
{
    const Bytes image(192, 0x42);
    device->addFault(fault(FaultKind::NoAnswer, FaultTrigger::writeBlock(1)));
    const auto statuses = h.upload(ADDR, image);
    EXPECT_EQ(statuses, std::vector<uint8_t>{0}) << "block 1 unanswered";
    EXPECT_EQ(h.upload(ADDR, image).size(), 3u);
}

TEST_F(SimFaults, RestartThatNeverEnds)
{
    device->addFault(fault(FaultKind::EndlessRestart));
    EXPECT_TRUE(h.send(request(ADDR, commandPayload(0x16))).empty());
    h.advance(std::chrono::hours(24));
    EXPECT_TRUE(h.send(READ).empty());
    EXPECT_TRUE(device->restarting(h.now));
}

TEST_F(SimFaults, LineClosesOnTheChosenRequest)
{
    device->addFault(fault(FaultKind::CloseLine, FaultTrigger::request(2)));
    EXPECT_EQ(h.ask(READ), ANSWER);
    EXPECT_FALSE(h.bus.lineClosed());
    EXPECT_TRUE(h.send(READ).empty());
    EXPECT_TRUE(h.bus.lineClosed());
    EXPECT_TRUE(h.send(READ).empty()) << "nothing more is served";
}

TEST_F(SimFaults, FaultOnARoutedDeviceAndOnItsRouter)
{
    sim::DeviceConfig child;
    child.address = 0x33;
    child.type = {1, 2};
    child.bigVersion = {2, 5};
    sim::Device* inner = h.bus.addDevice(child, ADDR, 1);
    ASSERT_NE(inner, nullptr);
    const Bytes routed = hexBytes("55 10 0E C1 FF 09 33 55 06 04 00 04 01 E3 7A E3 13");
    const Bytes good = hexBytes("10 55 15 D1 11 55 33 0E 24 00 02 00 01 00 24 01 05 00 02 00 E3 CC E3 D7");

    inner->addFault(fault(FaultKind::WrongSource));
    Bytes answer = h.ask(routed);
    ASSERT_EQ(answer.size(), 24u);
    EXPECT_EQ(answer[6], 0x34) << "inner source changed";
    EXPECT_EQ(answer[1], 0x55) << "outer level intact";

    device->addFault(fault(FaultKind::WrongSource));
    answer = h.ask(routed);
    EXPECT_EQ(answer[1], 0x56);
    EXPECT_EQ(answer[6], 0x33);

    inner->addFault(fault(FaultKind::NoAnswer));
    EXPECT_TRUE(h.send(routed).empty()) << "no inner answer, nothing to route back";
    EXPECT_EQ(h.ask(routed), good);
}

TEST(SimFaultText, ParsesEveryKindAndTrigger)
{
    struct Case {
        const char* text;
        FaultKind kind;
        FaultTrigger::Kind trigger;
        uint32_t number;
        int param;
        int times;
    };
    const Case cases[] = {
        {"noanswer", FaultKind::NoAnswer, FaultTrigger::Kind::Next, 0, -1, 1},
        {"short=5@req3", FaultKind::ShortAnswer, FaultTrigger::Kind::Request, 3, 5, 1},
        {"checksum*0", FaultKind::WrongChecksum, FaultTrigger::Kind::Next, 0, -1, 0},
        {"source@req1*2", FaultKind::WrongSource, FaultTrigger::Kind::Request, 1, -1, 2},
        {"frameerror", FaultKind::FrameErrorRecord, FaultTrigger::Kind::Next, 0, -1, 1},
        {"pointer@wblock4", FaultKind::PointerError, FaultTrigger::Kind::WriteBlock, 4, -1, 1},
        {"busy=3@wblock0", FaultKind::Busy, FaultTrigger::Kind::WriteBlock, 0, 3, 1},
        {"endlessbusy", FaultKind::EndlessBusy, FaultTrigger::Kind::Next, 0, -1, 1},
        {"corrupt=63@rblock7", FaultKind::CorruptReadBack, FaultTrigger::Kind::ReadBlock, 7, 63, 1},
        {"endlessrestart", FaultKind::EndlessRestart, FaultTrigger::Kind::Next, 0, -1, 1},
        {"closeline@req10", FaultKind::CloseLine, FaultTrigger::Kind::Request, 10, -1, 1},
    };
    for (const auto& c : cases) {
        auto f = Fault::parse(c.text);
        ASSERT_TRUE(f) << c.text;
        EXPECT_EQ(f->kind, c.kind) << c.text;
        EXPECT_EQ(f->trigger.kind, c.trigger) << c.text;
        EXPECT_EQ(f->trigger.number, c.number) << c.text;
        EXPECT_EQ(f->param, c.param) << c.text;
        EXPECT_EQ(f->times, c.times) << c.text;
    }
    for (const char* bad : {"", "nothing", "busy", "corrupt=64", "short=x", "noanswer@block1", "noanswer@req", "checksum*-1"}) {
        std::string error;
        EXPECT_FALSE(Fault::parse(bad, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

} // namespace
