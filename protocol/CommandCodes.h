#pragma once

#include <cstdint>
#include <string>

// Command codes of the device protocol.
namespace CommandCode
{
constexpr std::uint8_t RelayStatus = 1;
constexpr std::uint8_t UnsolicitedResponses = 2;
constexpr std::uint8_t UnsolicitedStatus = 3;
constexpr std::uint8_t Uptime = 4;
constexpr std::uint8_t RelayTestCycle = 5;
constexpr std::uint8_t DateTime = 6;
constexpr std::uint8_t Gps = 7;
constexpr std::uint8_t GsmStatus = 8;
constexpr std::uint8_t RelayToggle = 9;
constexpr std::uint8_t Rssi = 10;
constexpr std::uint8_t Reset = 11;
constexpr std::uint8_t TamperStatus = 12;
constexpr std::uint8_t TamperUnsolicited = 13;
constexpr std::uint8_t Power = 14;
constexpr std::uint8_t RadioCapability = 15;
constexpr std::uint8_t RequestUpgrade = 0x55;
constexpr std::uint8_t PowerAlt = 0x80;
constexpr std::uint8_t FirmwareTransfer = 0xFF;

constexpr std::uint8_t ResetMagic = 0xAA;   // the reset command's parameter
}

// The display name of a command code; "Power" for every code without a name of its own.
std::string GetCommandName(int code);
