#include "AnswerFuzz.h"

#include "diagnostics/Globalfunctions.h"
#include "diagnostics/GlobalfunctionsTesting.h"
#include "engine/Fwupgraderrs485.h"
#include "platform/MainLoop.h"
#include "sim/mkfw/FirmwareLayout.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr std::array<int32_t, 6> ROUTE = {0x55, 0x33, 0x21, 0x42, 0x63, 0x17};
constexpr std::array<int32_t, 5> INTERFACES = {1, 2, 3, 4, 5};
constexpr int STATE_COUNT = 17;
// Records of a built answer: every length field stays one byte up to 5 hops.
constexpr size_t MAX_BUILT_RECORDS = 90;

struct LoadedFile {
    KWOSBinFile file;
    KWOSBinFileDescription description;
};

// Firmware files as the device builds lay them out, loaded once: the runs that
// reach the image preparation need real ones.
struct Files {
    LoadedFile legacy, bits32, sections;
};

Files& files()
{
    static Files loaded = [] {
        Files f;
        const auto load = [](mkfw::Format format, LoadedFile& into) {
            mkfw::Options options;
            options.format = format;
            options.codeSize = 0x400;
            options.ltSize = 0x1040;
            options.bgSize = 0x200;
            const mkfw::Result made = mkfw::layOut(options);
            KWOSBinFileLabels labels;
            loadBinFileBytes(made.bytes, "fuzz.bin", into.file, into.description, labels);
        };
        load(mkfw::Format::Legacy, f.legacy);
        load(mkfw::Format::Bits32, f.bits32);
        load(mkfw::Format::Sections, f.sections);
        return f;
    }();
    return loaded;
}

platform::MainLoop* g_loop = nullptr;
bool g_downgradeAnswer = false;

class DigestOwner final : public KWOIUpgraderOwner {
public:
    void fwUpgraderEvent(int code, int value, const std::string& text, bool) override
    {
        // Whatever the answers, a run ends once and says nothing after that:
        // a line after the final event would tell the operator another
        // outcome of the same upgrade.
        if (finals > 0)
            std::abort();
        digest = digest * 31 + uint64_t(code) * 1000 + uint64_t(uint32_t(value)) + text.size();
        finals += code == EVENT_FINISHED || code == EVENT_FAILED || code == EVENT_CHECK_DONE;
    }
    bool isCheckDeviceOnly() const override { return checkOnly; }

    bool checkOnly = false;
    uint64_t digest = 0;
    int finals = 0;
};

// The owner of the run whose answers are being fed; a report after its
// final event is a finding as much as an event after it.
const DigestOwner* g_watched = nullptr;

void abortOnLateReport(int)
{
    if (g_watched && g_watched->finals > 0)
        std::abort();
}

uint8_t checksum(const Bytes& bytes, size_t from, size_t to)
{
    unsigned sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += bytes[i];
    return uint8_t(sum);
}

// The outer level made valid around whatever the fuzzer wrote inside it.
void repairOuterLevel(Bytes& d, uint8_t firstAddress)
{
    if (d.size() < 5)
        return;
    d[0] = MASTER_ADDRESS;
    d[1] = firstAddress;
    if (d.size() - 3 < 0x80)
        d[2] = uint8_t(d.size() - 3);
    d[d.size() - 2] = END_OF_FRAME;
    d[d.size() - 1] = checksum(d, 0, d.size() - 1);
}

// An answer frame as the device and its routers build it: the records in
// the target's level, each router wrapping the level below in a routing record.
Bytes buildAnswer(const Bytes& records, int hops)
{
    Bytes level;
    for (int k = hops; k >= 0; --k) {
        Bytes frame = {k == 0 ? MASTER_ADDRESS : uint8_t(ROUTE[size_t(k - 1)]), uint8_t(ROUTE[size_t(k)]), 0};
        if (k == hops) {
            frame.insert(frame.end(), records.begin(), records.end());
        } else {
            frame.push_back(uint8_t(FUNC_ROUTE_ANSWER + INTERFACES[size_t(k)]));
            frame.push_back(uint8_t(level.size()));
            frame.insert(frame.end(), level.begin(), level.end());
        }
        frame[2] = uint8_t(frame.size() - 3 + 2);
        frame.push_back(END_OF_FRAME);
        frame.push_back(checksum(frame, 0, frame.size()));
        level = std::move(frame);
    }
    return level;
}

void chooseRegisters(KWOCFwUpgraderRS485& engine, int state, uint8_t selector)
{
    static const std::array<std::vector<uint8_t>, 5> sets = {{
        {REG_DEVICE_TYPE, REG_FIRMWARE_VERSION},
        {REG_FLASH_POINTER},
        {REG_DATA_0, REG_DATA_0 + 1, REG_DATA_0 + 2, REG_DATA_3},
        {},
        {REG_DEVICE_TYPE},
    }};
    int choice = selector % 6;
    if (choice == 0) {
        switch (state) {
        case STATE_UPLOADING:
        case STATE_UPLOADING_2:
            choice = 2;
            break;
        case STATE_VERIFYING:
        case STATE_VERIFYING_2:
            choice = 3;
            break;
        default:
            choice = 1;
            break;
        }
    }
    const std::vector<uint8_t>& registers = sets[size_t(choice - 1)];
    engine.m_nExpectedRegisterCount = int(registers.size());
    std::copy(registers.begin(), registers.end(), engine.m_ExpectedRegisters.begin());
}

void setUpImages(KWOCFwUpgraderRS485& engine, uint8_t selector)
{
    const int32_t blocks = ((selector >> 2) & 0x07) + 1;
    const size_t size = size_t(blocks) * BLOCK_SIZE;
    for (KWOImage* image : {&engine.m_SingleImage, &engine.m_pLittleImage, &engine.m_pBigImage}) {
        image->resize(size);
        for (size_t i = 0; i < size; ++i)
            (*image)[i] = uint8_t(i * 7 + 1);
    }
    engine.m_nLittleImageSize = int32_t(size);
    engine.m_nBigImageSize = int32_t(size);
    KWOImage* const current[] = {nullptr, &engine.m_SingleImage, &engine.m_pLittleImage, &engine.m_pBigImage};
    engine.m_pFatBuffer = current[selector & 0x03];
    engine.m_nFatBufferSize = engine.m_pFatBuffer ? int32_t(size) : 0;
    engine.m_nBlockIndex = (selector >> 5) % (blocks + 1);
}

void setUpFile(KWOCFwUpgraderRS485& engine, int which)
{
    Files& f = files();
    const LoadedFile* const chosen[] = {nullptr, &f.legacy, &f.bits32, &f.sections};
    const LoadedFile* file = chosen[which & 0x03];
    engine.m_pBinFile = file ? &file->file : nullptr;
    engine.m_File = file ? file->description : KWOSBinFileDescription();
}

} // namespace

void setUpAnswerFuzz()
{
    configureErrors(0, "", "fuzz");
    configureLog(0, 0, false, false, "fuzz");
    static platform::MainLoop loop;
    g_loop = &loop;
    loop.setAskHandler([](const std::string&) { return g_downgradeAnswer; });
    setEntryObserverForTesting(&abortOnLateReport);
    platform::UiBridge::install(&loop);
    files();
}

uint64_t fuzzAnswers(const uint8_t* data, size_t size)
{
    if (size < ANSWER_FUZZ_SETUP_BYTES)
        return 0;
    const int state = data[0] % STATE_COUNT;
    const uint8_t flags = data[1];
    const uint8_t setup = data[2];
    const int framing = flags >> 6;
    const int hops = (setup & 0x07) % 6;

    DigestOwner owner;
    owner.checkOnly = flags & 0x04;
    g_downgradeAnswer = setup & 0x20;
    bool ok = false;
    KWOCFwUpgraderRS485 engine(&ok, &owner);
    if (!ok)
        return 0;
    if (flags & 0x01) {
        // Never opened: its thread does not run, so requests stay queued
        // until the ring is full, and no answer comes from anywhere else.
        bool error = true;
        engine.m_pComManager = std::make_unique<KWOCRSComManager>(10, 150, 150, &engine,
                                                                  &KWOCFwUpgraderRS485::receiveData, 5000, &error,
                                                                  false);
        engine.m_bConnected = !error;
    }
    if (flags & 0x08)
        engine.enableDowngradeConfirmation();
    engine.m_bIgnoreShortAnswer = flags & 0x02;
    engine.m_bBusyPolling = flags & 0x10;
    engine.m_bBusyExpired = flags & 0x20;
    engine.m_nDeviceAddSize = hops + 1;
    engine.m_nDeviceInterfaceSize = hops;
    std::copy_n(ROUTE.begin(), hops + 1, engine.m_nDeviceAdd.begin());
    std::copy_n(INTERFACES.begin(), hops, engine.m_nDeviceInterface.begin());
    setUpFile(engine, (setup >> 3) & 0x03);
    setUpImages(engine, data[3]);
    chooseRegisters(engine, state, data[4]);
    engine.m_nState = state;
    engine.m_bRunEnded = false;
    engine.m_nLastCommandNumber = 0;

    size_t at = ANSWER_FUZZ_SETUP_BYTES;
    g_watched = &owner;
    for (int n = 0; n < MAX_ANSWERS && at < size; ++n) {
        const size_t length = std::min<size_t>(data[at], size - at - 1);
        Bytes answer(data + at + 1, data + at + 1 + length);
        at += 1 + length;
        if (framing == 1) {
            repairOuterLevel(answer, uint8_t(ROUTE[0]));
        } else if (framing >= 2) {
            answer.resize(std::min(answer.size(), MAX_BUILT_RECORDS));
            answer = buildAnswer(answer, hops);
        }
        bool error = true;
        KWOCRSCommand command(1, 150, &error);
        if (error)
            break;
        command.m_pResponse = answer;
        command.m_ResponseLength = uint32_t(answer.size());
        int32_t number = 0;
        {
            std::lock_guard<std::mutex> guard(engine.m_EngineLock);
            number = engine.m_nLastCommandNumber;
        }
        command.m_Number = n == 0 && (setup & 0x40) ? number + 1 : number;
        command.m_MatchedResponse = n == 0 && (setup & 0x80) ? -1 : 0;
        KWOCFwUpgraderRS485::receiveData(&engine, &command);
    }

    g_watched = nullptr;

    uint64_t digest = owner.digest + uint64_t(owner.finals) * 7;
    digest += uint64_t(engine.m_nState.load()) + uint64_t(uint32_t(engine.m_nBlockIndex)) * 17;
    digest += uint64_t(uint32_t(engine.m_nDeviceType)) + uint64_t(uint32_t(engine.m_nFirmwareVersion));
    digest += engine.m_bUploadComplete.load() + (engine.m_pFatBuffer ? engine.m_pFatBuffer->size() : 0);
    return digest;
}
