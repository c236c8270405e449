#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Bytes of the unit's serial protocol, as they appear on the line.
namespace wire
{
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kStart = 0x02;
constexpr std::uint8_t kEnd = 0x03;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;

// XModem receiver side.
constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kCan = 0x18;
constexpr std::size_t kBlockDataSize = 128;
constexpr std::size_t kBlockSize = 3 + kBlockDataSize + 1;

// Command codes the unit understands.
namespace code
{
constexpr std::uint8_t kRelayStatus = 1;
constexpr std::uint8_t kUnsolicitedRelay = 2;
constexpr std::uint8_t kUnsolicitedStatus = 3;
constexpr std::uint8_t kUptime = 4;
constexpr std::uint8_t kRelayCycle = 5;
constexpr std::uint8_t kDateTime = 6;
constexpr std::uint8_t kGps = 7;
constexpr std::uint8_t kGsm = 8;
constexpr std::uint8_t kRelayToggle = 9;
constexpr std::uint8_t kRssi = 10;
constexpr std::uint8_t kReset = 11;
constexpr std::uint8_t kTamperStatus = 12;
constexpr std::uint8_t kTamperUnsolicited = 13;
constexpr std::uint8_t kPower = 14;
constexpr std::uint8_t kRadio = 15;
constexpr std::uint8_t kRequestUpgrade = 0x55;
constexpr std::uint8_t kPowerAlt = 0x80;
}  // namespace code

constexpr std::uint8_t kResetKey = 0xAA;

// XOR of code, length and payload; the start byte is not part of it.
std::uint8_t Checksum(std::uint8_t code, const Bytes& payload);

// 02 code n payload checksum 03. Payloads longer than 255 bytes are cut to 255.
Bytes BuildFrame(std::uint8_t code, const Bytes& payload);

// "02 01 00 01 03": upper-case pairs separated by one space.
std::string ToHex(const Bytes& bytes);
}  // namespace wire
