#pragma once

#include <cstddef>
#include <ctime>
#include <string>

class CQuillmereDeviceStatus;

// The most payload bytes one answer record of the link can carry.
constexpr std::size_t kMaxResponsePayload = 56;

// What a successful answer asks of the manager beyond the model change. Relay states are not
// the model's: CRelayStates takes them from the same answers.
struct DecodeResult
{
    std::string logText;   // an "Event" line to write; empty when there is none
};

// Applies the payload of a successful answer to the model. `length` is the number of payload
// bytes the frame carried; an answer too short for its code, or a null payload, changes
// nothing, except a short ICCID, which is taken from the bytes that did arrive. The century
// of the device clock comes from `now` (the PC's clock when not given).
DecodeResult DecodeResponse(CQuillmereDeviceStatus& status, int code, const unsigned char* payload,
                            std::size_t length = kMaxResponsePayload);
DecodeResult DecodeResponse(CQuillmereDeviceStatus& status, int code, const unsigned char* payload,
                            std::size_t length, std::time_t now);

// Puts the one field a failed command reports back to its "Not Available" value; returns
// false for codes that own no such field (a failed relay status or clock read keeps the old values).
bool ResetFieldAfterFailure(CQuillmereDeviceStatus& status, int code);
