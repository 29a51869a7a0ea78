#include "sim/Faults.h"

#include <array>
#include <charconv>
#include <utility>

namespace sim {

namespace {

constexpr std::array<std::pair<std::string_view, FaultKind>, 12> KIND_NAMES{{
    {"noanswer", FaultKind::NoAnswer},
    {"short", FaultKind::ShortAnswer},
    {"checksum", FaultKind::WrongChecksum},
    {"source", FaultKind::WrongSource},
    {"frameerror", FaultKind::FrameErrorRecord},
    {"pointer", FaultKind::PointerError},
    {"busy", FaultKind::Busy},
    {"endlessbusy", FaultKind::EndlessBusy},
    {"corrupt", FaultKind::CorruptReadBack},
    {"endlessrestart", FaultKind::EndlessRestart},
    {"closeline", FaultKind::CloseLine},
    {"reorder", FaultKind::ReorderRecords},
}};

std::optional<int> number(std::string_view text)
{
    int value = 0;
    const auto* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < 0)
        return std::nullopt;
    return value;
}

std::optional<Fault> fail(std::string* error, std::string text)
{
    if (error)
        *error = std::move(text);
    return std::nullopt;
}

} // namespace

std::string_view faultKindName(FaultKind kind)
{
    for (const auto& [name, k] : KIND_NAMES)
        if (k == kind)
            return name;
    return "?";
}

std::optional<Fault> Fault::parse(std::string_view text, std::string* error)
{
    Fault fault;
    if (const auto star = text.rfind('*'); star != std::string_view::npos) {
        auto times = number(text.substr(star + 1));
        if (!times)
            return fail(error, "bad repeat count in fault '" + std::string(text) + "'");
        fault.times = *times;
        text = text.substr(0, star);
    }
    if (const auto at = text.find('@'); at != std::string_view::npos) {
        const auto where = text.substr(at + 1);
        constexpr std::array<std::pair<std::string_view, FaultTrigger::Kind>, 3> TRIGGERS{{
            {"req", FaultTrigger::Kind::Request},
            {"wblock", FaultTrigger::Kind::WriteBlock},
            {"rblock", FaultTrigger::Kind::ReadBlock},
        }};
        bool found = false;
        for (const auto& [prefix, kind] : TRIGGERS) {
            if (where.starts_with(prefix)) {
                auto n = number(where.substr(prefix.size()));
                if (!n)
                    break;
                fault.trigger = {kind, uint32_t(*n)};
                found = true;
            }
        }
        if (!found)
            return fail(error, "bad trigger '" + std::string(where) + "' (reqN, wblockN or rblockN)");
        text = text.substr(0, at);
    }
    std::string_view name = text;
    if (const auto eq = text.find('='); eq != std::string_view::npos) {
        auto param = number(text.substr(eq + 1));
        if (!param)
            return fail(error, "bad value in fault '" + std::string(text) + "'");
        fault.param = *param;
        name = text.substr(0, eq);
    }
    for (const auto& [n, kind] : KIND_NAMES) {
        if (n == name) {
            fault.kind = kind;
            if (kind == FaultKind::Busy && fault.param < 0)
                return fail(error, "busy needs a number of polls: busy=N");
            if (kind == FaultKind::CorruptReadBack && fault.param > 63)
                return fail(error, "corrupt position must be 0..63");
            return fault;
        }
    }
    return fail(error, "unknown fault '" + std::string(name) + "'");
}

} // namespace sim
