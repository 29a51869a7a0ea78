#include "sim/Device.h"

#include "sim/Protocol.h"

#include <algorithm>

namespace sim {

namespace {

constexpr std::size_t FRAME_HEADER = 3; // destination, source, length
constexpr std::size_t FRAME_TRAILER = 2; // 0xE3, checksum

// Lengths of 128 and more take more bytes: 7 bits each, lowest group first,
// bit 7 set on every byte but the last.
void appendLength(Bytes& out, std::size_t value)
{
    while (value >= 0x80) {
        out.push_back(uint8_t(0x80 | (value & 0x7F)));
        value >>= 7;
    }
    out.push_back(uint8_t(value));
}

std::size_t lengthFieldSize(std::span<const uint8_t> frame)
{
    std::size_t i = 2;
    while (i < frame.size() && (frame[i] & 0x80))
        ++i;
    return i + 1 - 2;
}

void resealChecksum(Bytes& frame)
{
    frame.back() = frameChecksum(std::span(frame).first(frame.size() - 1));
}

uint32_t le32(std::span<const uint8_t> b)
{
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

} // namespace

Device::Device(const DeviceConfig& config)
    : m_address(config.address)
    , m_config(config)
    , m_bigVersion(config.bigVersion)
    , m_littleVersion(config.littleVersion)
    , m_bigValid(config.bigCodeValid)
    , m_running(config.running == RunningCode::Big && config.bigCodeValid ? RunningCode::Big : RunningCode::Little)
    , m_flash(FLASH_SIZE, 0xFF)
    , m_upload(FLASH_SIZE, 0xFF)
{
    m_littleVersion.minor &= uint16_t(~LITTLE_CODE_BIT);
}

void Device::attach(uint8_t iface, Device* child)
{
    m_interfaces[iface].push_back(child);
}

RunningCode Device::running(Clock::time_point now)
{
    settle(now);
    return m_running;
}

bool Device::restarting(Clock::time_point now)
{
    settle(now);
    return m_restartEnd.has_value();
}

Version Device::reportedVersion() const
{
    if (m_running == RunningCode::Big)
        return m_bigVersion;
    return Version{m_littleVersion.major, uint16_t(m_littleVersion.minor | LITTLE_CODE_BIT)};
}

std::optional<Bytes> Device::receive(std::span<const uint8_t> frame, Clock::time_point now,
                                     Clock::duration restartTime, LineEffects& effects)
{
    if (!isWellFormedFrame(frame) || frame[0] != m_address)
        return std::nullopt;
    settle(now);
    if (m_restartEnd)
        return std::nullopt; // a restarting device hears nothing

    Request request;
    request.site.request = ++m_requests;
    request.effects = &effects;
    request.now = now;
    request.restartTime = restartTime;
    if (takeFault(FaultKind::CloseLine, request.site)) {
        effects.closeLine = true;
        return std::nullopt;
    }

    const auto payload = frame.subspan(FRAME_HEADER, frame.size() - FRAME_HEADER - FRAME_TRAILER);
    std::optional<Bytes> answer;
    if (!payload.empty() && payload[0] >= FUNC_ROUTE && payload[0] <= FUNC_ROUTE_LAST) {
        answer = route(frame, payload, request);
    } else {
        const Bytes records = runRecords(payload, request);
        if (!records.empty())
            answer = answerFrame(frame, records);
    }
    if (request.restartPending)
        beginRestart(request);
    if (effects.closeLine)
        return std::nullopt;
    if (answer && !applyAnswerFaults(*answer, request.site))
        answer.reset();
    return answer;
}

std::optional<Bytes> Device::route(std::span<const uint8_t> frame, std::span<const uint8_t> payload,
                                   Request& request)
{
    constexpr std::size_t ROUTE_HEADER = 3; // function, marker, embedded size
    if (payload.size() < ROUTE_HEADER || payload[1] != ROUTE_MARKER)
        return std::nullopt;
    const auto inner = payload.subspan(ROUTE_HEADER);
    if (inner.size() != payload[2] || !isWellFormedFrame(inner))
        return std::nullopt;
    const uint8_t iface = payload[0] & 0x0F;
    const auto found = m_interfaces.find(iface);
    if (found == m_interfaces.end())
        return std::nullopt;
    std::optional<Bytes> innerAnswer;
    for (Device* child : found->second) {
        innerAnswer = child->receive(inner, request.now, request.restartTime, *request.effects);
        if (innerAnswer || request.effects->closeLine)
            break;
    }
    if (!innerAnswer)
        return std::nullopt;
    Bytes record{uint8_t(FUNC_ROUTE_ANSWER | iface)};
    appendLength(record, innerAnswer->size());
    record.insert(record.end(), innerAnswer->begin(), innerAnswer->end());
    return answerFrame(frame, record);
}

Bytes Device::runRecords(std::span<const uint8_t> payload, Request& request)
{
    std::vector<Bytes> records;
    std::size_t p = 0;
    while (p < payload.size()) {
        const uint8_t function = payload[p];
        const std::size_t size = function & FUNC_SIZE_MASK;
        const uint8_t type = function & FUNC_TYPE_MASK;
        if (type == FUNC_READ && p + 2 <= payload.size()) {
            const uint8_t reg = payload[p + 1];
            bool known = true;
            const Bytes data = readRegister(reg, size, known);
            if (known) {
                Bytes record{uint8_t(FUNC_READ_ANSWER | size), reg};
                record.insert(record.end(), data.begin(), data.end());
                records.push_back(std::move(record));
            } else {
                records.push_back({FRAME_ERROR});
            }
            p += 2;
        } else if (type == FUNC_WRITE && p + 2 + size <= payload.size()) {
            writeRegister(payload[p + 1], payload.subspan(p + 2, size), request);
            if (request.effects->closeLine)
                return {};
            p += 2 + size;
        } else {
            // A record it cannot size: nothing after it can be trusted.
            records.push_back({FRAME_ERROR});
            break;
        }
    }
    if (records.size() > 1 && takeFault(FaultKind::ReorderRecords, request.site))
        std::reverse(records.begin(), records.end());
    Bytes out;
    for (const Bytes& record : records)
        out.insert(out.end(), record.begin(), record.end());
    return out;
}

Bytes Device::readRegister(uint8_t reg, std::size_t size, bool& known)
{
    Bytes data;
    if (reg == REG_DEVICE_TYPE) {
        const uint32_t word = m_config.type.word();
        data = {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)};
    } else if (reg == REG_FIRMWARE_VERSION) {
        const Version v = reportedVersion();
        if (m_config.hardware)
            data = {uint8_t(v.minor), uint8_t(v.major), uint8_t(m_config.hardware->minor),
                    uint8_t(m_config.hardware->major)};
        else
            data = {uint8_t(v.minor), uint8_t(v.minor >> 8), uint8_t(v.major), 0};
    } else if (reg >= REG_DATA_0 && reg <= REG_DATA_3) {
        const auto& slice = m_data[reg - REG_DATA_0];
        data.assign(slice.begin(), slice.end());
    } else if (reg == REG_FLASH_POINTER) {
        uint8_t status = m_status;
        if (m_busyForever) {
            status = STATUS_BUSY;
        } else if (m_busyLeft > 0) {
            --m_busyLeft;
            status = STATUS_BUSY;
        }
        data = {status, 0, m_pointer[0], m_pointer[1], m_pointer[2], m_pointer[3]};
    } else {
        known = false;
        return {};
    }
    data.resize(size, 0);
    return data;
}

void Device::writeRegister(uint8_t reg, std::span<const uint8_t> data, Request& request)
{
    if (reg == REG_FLASH_POINTER) {
        m_pointerValid = data.size() == m_pointer.size();
        if (m_pointerValid)
            std::copy(data.begin(), data.end(), m_pointer.begin());
    } else if (reg >= REG_DATA_0 && reg <= REG_DATA_3) {
        auto& slice = m_data[reg - REG_DATA_0];
        slice.fill(0);
        std::copy_n(data.begin(), std::min(data.size(), slice.size()), slice.begin());
    } else if (reg == REG_FLASH_EXECUTE) {
        execute(request);
    }
}

void Device::execute(Request& request)
{
    m_busyLeft = 0;
    m_busyForever = false;
    if (!m_pointerValid || m_pointer[4] != FLASH_MARKER_0 || m_pointer[5] != FLASH_MARKER_1) {
        m_status = STATUS_POINTER_ERROR;
        return;
    }
    const uint32_t word = le32(m_pointer);
    const uint32_t code = word & CMD_CODE_MASK;
    const uint32_t offset = word & ~CMD_CODE_MASK;
    Site& site = request.site;
    m_status = STATUS_DONE;

    if (code == CMD_WRITE_BLOCK || code == CMD_READ_BLOCK) {
        (code == CMD_WRITE_BLOCK ? site.writeBlock : site.readBlock) = offset / BLOCK_SIZE;
        if (takeFault(FaultKind::CloseLine, site)) {
            request.effects->closeLine = true;
            return;
        }
        if (offset + BLOCK_SIZE > m_upload.size()) {
            m_status = STATUS_POINTER_ERROR;
            return;
        }
    }

    switch (code) {
    case CMD_WRITE_BLOCK: {
        if (takeFault(FaultKind::PointerError, site)) {
            m_status = STATUS_POINTER_ERROR;
            return;
        }
        auto* to = m_upload.data() + offset;
        for (const auto& slice : m_data)
            to = std::copy(slice.begin(), slice.end(), to);
        m_uploadEnd = std::max<std::size_t>(m_uploadEnd, offset + BLOCK_SIZE);
        m_busyLeft = m_config.busyPolls;
        int polls = 0;
        if (takeFault(FaultKind::Busy, site, &polls))
            m_busyLeft = polls;
        m_busyForever = takeFault(FaultKind::EndlessBusy, site);
        break;
    }
    case CMD_READ_BLOCK: {
        const auto* from = m_upload.data() + offset;
        for (auto& slice : m_data) {
            std::copy_n(from, slice.size(), slice.begin());
            from += slice.size();
        }
        int position = 0;
        if (takeFault(FaultKind::CorruptReadBack, site, &position)) {
            position = std::clamp(position, 0, BLOCK_SIZE - 1);
            m_data[position / DATA_REGISTER_SIZE][position % DATA_REGISTER_SIZE] ^= 0xFF;
        }
        break;
    }
    case CMD_ENTER_LITTLE_MODE:
        request.restartPending = true;
        request.restartInto = RunningCode::Little;
        break;
    case CMD_FLASH:
    case CMD_FLASH_FIRST_OF_TWO:
        flashUpload(offset, code == CMD_FLASH_FIRST_OF_TWO, request);
        break;
    default:
        m_status = STATUS_POINTER_ERROR;
        break;
    }
}

void Device::flashUpload(uint32_t length, bool firstOfTwo, Request& request)
{
    // The length in the word covers a single image; the second image of a
    // two-image file carries the little code's length there, so a big-code
    // image is flashed by the length in its own header.
    const auto received = std::span<const uint8_t>(m_upload).first(m_uploadEnd);
    ImageInfo info = inspectImage(received);
    const bool little = info.kind == ImageKind::LittleCode;
    const std::size_t at = little ? 0 : BIG_AREA_START;
    const std::size_t area = little ? LITTLE_AREA : FLASH_SIZE - BIG_AREA_START;
    std::size_t size = info.kind == ImageKind::BigCode && info.valid ? info.length : length;
    if (size > area && info.valid) {
        info.valid = false;
        info.problem = "image larger than its flash area";
    }
    size = std::min(size, area);

    if (little || firstOfTwo) {
        // The boot code keeps its little code unless a good one replaces it.
        if (little && info.valid) {
            std::fill_n(m_flash.begin() + long(at), area, 0xFF);
            std::copy_n(m_upload.begin(), size, m_flash.begin() + long(at));
            m_littleVersion = info.version;
        }
    } else {
        std::fill_n(m_flash.begin() + long(at), area, 0xFF);
        std::copy_n(m_upload.begin(), size, m_flash.begin() + long(at));
        m_bigValid = info.valid;
        if (info.valid)
            m_bigVersion = info.version;
    }
    m_lastImage = info;
    request.restartPending = true;
    request.restartInto = firstOfTwo && !(m_config.bigAfterLittleFlash && m_bigValid)
        ? RunningCode::Little : RunningCode::Big;
}

Bytes Device::answerFrame(std::span<const uint8_t> request, std::span<const uint8_t> records) const
{
    Bytes out{request[1], m_address};
    appendLength(out, records.size() + FRAME_TRAILER);
    out.insert(out.end(), records.begin(), records.end());
    out.push_back(END_OF_FRAME);
    out.push_back(0);
    resealChecksum(out);
    return out;
}

bool Device::applyAnswerFaults(Bytes& answer, const Site& site)
{
    if (takeFault(FaultKind::NoAnswer, site))
        return false;
    if (takeFault(FaultKind::FrameErrorRecord, site)) {
        answer[2 + lengthFieldSize(answer)] = FRAME_ERROR;
        resealChecksum(answer);
    }
    if (takeFault(FaultKind::WrongSource, site)) {
        answer[1] = uint8_t(m_address + 1);
        resealChecksum(answer);
    }
    if (takeFault(FaultKind::WrongChecksum, site))
        answer.back() = uint8_t(answer.back() + 1);
    int keep = -1;
    if (takeFault(FaultKind::ShortAnswer, site, &keep))
        answer.resize(keep < 0 ? answer.size() / 2 : std::min<std::size_t>(std::size_t(keep), answer.size()));
    return !answer.empty();
}

bool Device::takeFault(FaultKind kind, const Site& site, int* param)
{
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->fault.kind != kind)
            continue;
        const FaultTrigger& trigger = it->fault.trigger;
        bool hit = false;
        switch (trigger.kind) {
        case FaultTrigger::Kind::Next: hit = true; break;
        case FaultTrigger::Kind::Request: hit = site.request == trigger.number; break;
        case FaultTrigger::Kind::WriteBlock: hit = site.writeBlock == trigger.number; break;
        case FaultTrigger::Kind::ReadBlock: hit = site.readBlock == trigger.number; break;
        }
        if (!hit)
            continue;
        if (param)
            *param = it->fault.param;
        if (it->remaining > 0 && --it->remaining == 0)
            m_faults.erase(it);
        return true;
    }
    return false;
}

void Device::beginRestart(Request& request)
{
    request.site.restart = true;
    ++m_restarts;
    m_bootInto = request.restartInto;
    m_restartEnd = takeFault(FaultKind::EndlessRestart, request.site)
        ? Clock::time_point::max() : request.now + request.restartTime;
}

void Device::settle(Clock::time_point now)
{
    if (m_restartEnd && now >= *m_restartEnd) {
        m_restartEnd.reset();
        boot();
    }
}

void Device::boot()
{
    m_running = m_bootInto == RunningCode::Big && m_bigValid ? RunningCode::Big : RunningCode::Little;
    // RAM starts empty: the upload area and the registers are gone.
    std::fill(m_upload.begin(), m_upload.end(), 0xFF);
    m_uploadEnd = 0;
    for (auto& slice : m_data)
        slice.fill(0);
    m_pointer.fill(0);
    m_pointerValid = false;
    m_status = STATUS_DONE;
    m_busyLeft = 0;
    m_busyForever = false;
}

} // namespace sim
