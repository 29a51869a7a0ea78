#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

enum class FaultKind {
    NoAnswer,         // the answer is lost (the request still takes effect)
    ShortAnswer,      // only the first `param` bytes of the answer (default: half)
    WrongChecksum,    // last byte of the answer off by one
    WrongSource,      // answer's source address is not the device's
    FrameErrorRecord, // first answer record replaced by FRAME_ERROR, size kept
    PointerError,     // a block write ends with STATUS_POINTER_ERROR
    Busy,             // a block write stays busy for `param` status reads
    EndlessBusy,      // a block write never finishes
    CorruptReadBack,  // byte `param` (0..63) of a block read-back is inverted
    EndlessRestart,   // a restart that never ends: the device stays silent
    CloseLine,        // the simulator closes the line instead of answering
    ReorderRecords,   // the records of an answer come in reverse order
};

// Which request a fault hits. Request numbers count, from 1, the frames a
// device took in (addressed to it, well formed, not restarting); blocks are
// the block index of a CMD_WRITE_BLOCK or CMD_READ_BLOCK executed.
struct FaultTrigger {
    enum class Kind { Next, Request, WriteBlock, ReadBlock };
    Kind kind = Kind::Next; // Next: the first request the fault applies to
    uint32_t number = 0;

    static FaultTrigger next() { return {}; }
    static FaultTrigger request(uint32_t n) { return {Kind::Request, n}; }
    static FaultTrigger writeBlock(uint32_t k) { return {Kind::WriteBlock, k}; }
    static FaultTrigger readBlock(uint32_t k) { return {Kind::ReadBlock, k}; }
};

struct Fault {
    FaultKind kind = FaultKind::NoAnswer;
    FaultTrigger trigger;
    int param = -1;   // kind-specific; -1 = the kind's default
    int times = 1;    // how often it fires; 0 = every time it matches

    // "noanswer", "short[=N]", "checksum", "source", "frameerror", "pointer",
    // "busy=N", "endlessbusy", "corrupt[=POS]", "endlessrestart", "closeline", "reorder",
    // then optionally "@reqN", "@wblockN", "@rblockN" and "*TIMES".
    static std::optional<Fault> parse(std::string_view text, std::string* error = nullptr);
};

std::string_view faultKindName(FaultKind kind);

} // namespace sim
