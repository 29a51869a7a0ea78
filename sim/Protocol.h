#pragma once
// Wire constants as a device on the bus sees them. Kept apart from the tool's
// own frame code on purpose: the simulator must not share its mistakes.
#include <cstdint>

namespace sim {

constexpr uint8_t MASTER_ADDRESS = 0x10;

// Function bytes: the top three bits give the record type.
constexpr uint8_t FUNC_TYPE_MASK = 0xE0;
constexpr uint8_t FUNC_SIZE_MASK = 0x1F;
constexpr uint8_t FUNC_READ = 0x00;         // + size: read that many bytes
constexpr uint8_t FUNC_READ_ANSWER = 0x20;  // + size, register, data
constexpr uint8_t FUNC_WRITE = 0x40;        // + size, register, data
constexpr uint8_t FUNC_ROUTE = 0xC0;        // + interface 0..15
constexpr uint8_t FUNC_ROUTE_LAST = 0xCF;
constexpr uint8_t FUNC_ROUTE_ANSWER = 0xD0; // + interface (not looked at by the tool)
constexpr uint8_t ROUTE_MARKER = 0xFF;
constexpr uint8_t END_OF_FRAME = 0xE3;
constexpr uint8_t FRAME_ERROR = 0xE4;

// Registers.
constexpr uint8_t REG_DEVICE_TYPE = 0x00;      // 4 bytes
constexpr uint8_t REG_FIRMWARE_VERSION = 0x01; // 4 bytes
constexpr uint8_t REG_DATA_0 = 0x18;           // 16 bytes each, 0x18..0x1B
constexpr uint8_t REG_DATA_3 = 0x1B;
constexpr uint8_t REG_FLASH_POINTER = 0x1C;    // write: W + marker; read: status
constexpr uint8_t REG_FLASH_EXECUTE = 0x1D;    // write of no data executes W

constexpr int DEVICE_TYPE_SIZE = 4;
constexpr int VERSION_SIZE = 4;
constexpr int DATA_REGISTER_SIZE = 16;
constexpr int DATA_REGISTER_COUNT = 4;
constexpr int FLASH_POINTER_SIZE = 6;
constexpr int BLOCK_SIZE = 64;
constexpr uint8_t FLASH_MARKER_0 = 0x55;
constexpr uint8_t FLASH_MARKER_1 = 0xAA;

// Command word: byte offset | code, the code in the low six bits.
constexpr uint32_t CMD_CODE_MASK = 0x3F;
constexpr uint32_t CMD_READ_BLOCK = 0x01;
constexpr uint32_t CMD_WRITE_BLOCK = 0x02;
constexpr uint32_t CMD_FLASH = 0x06;
constexpr uint32_t CMD_ENTER_LITTLE_MODE = 0x16;
constexpr uint32_t CMD_FLASH_FIRST_OF_TWO = 0x26;

// Flash status: low four bits of the first status byte.
constexpr uint8_t STATUS_DONE = 0;
constexpr uint8_t STATUS_BUSY = 14;
constexpr uint8_t STATUS_POINTER_ERROR = 15;

// Bit 7 of the minor byte of a firmware version: the little code runs.
constexpr uint16_t LITTLE_CODE_BIT = 0x80;

} // namespace sim
