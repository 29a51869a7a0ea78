#pragma once
// One entry for the libFuzzer target and the corpus replay: feeds arbitrary
// answers through KWOCFwUpgraderRS485::receiveData (and so analyseData and
// the state machine) of an engine put in any state.
//
// Input: a 5-byte set-up, then answers, each one length byte and that many
// bytes (the last one may be cut short), at most MAX_ANSWERS.
//   [0] state (value % 17)
//   [1] bit 0 connected (a command manager that queues without a port),
//       bit 1 short answers ignored, bit 2 check only, bit 3 downgrade
//       confirmation asked, bit 4 busy polling under way, bit 5 busy limit
//       reached, bits 6-7 framing: 0 answers as given, 1 outer level repaired
//       (addresses, length, end byte, checksum), 2-3 answer = records only,
//       wrapped in one frame level per hop
//   [2] bits 0-2 hops (% 6), bits 3-4 file (none, legacy, 32 bits, sections),
//       bit 5 downgrade answered yes, bit 6 first answer carries a stale
//       number, bit 7 first answer matched no expected response
//   [3] bits 0-1 current image (none, single, little, big), bits 2-4 blocks
//       of the images less one, bits 5-7 block index (% (blocks + 1))
//   [4] registers the awaited answer must carry (% 6): those of the state,
//       type and version, flash status, the four data slices, none, type only
#include <cstddef>
#include <cstdint>

constexpr size_t ANSWER_FUZZ_SETUP_BYTES = 5;
constexpr int MAX_ANSWERS = 16;

// Installs the UI thread the engine needs (the calling thread) and silences
// the reports of rejected answers. Call once, before fuzzAnswers.
void setUpAnswerFuzz();
// Returns a digest of the engine after the answers, so no call can be optimised away.
uint64_t fuzzAnswers(const uint8_t* data, size_t size);
