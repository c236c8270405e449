#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/EventArgs.h"
#include "SerialCommand.h"
#include "StatusCodes.h"

// What the link reported for one exchange. The record owns its own copy of the command,
// because the link deletes its command right after the callback.
class CCommandResponse : public CEventArgs
{
public:
    CCommandResponse() = default;
    CCommandResponse(const CCommandResponse& other);
    CCommandResponse& operator=(const CCommandResponse& other);

    void SetType(int type) { m_type = type; }
    void SetResult(LinkStatus result) { m_result = result; }
    void SetCommand(const CSerialCommand* source);   // always leaves a copy; code 0 for null

    int GetType() const { return m_type; }
    LinkStatus GetResult() const { return m_result; }
    const CSerialCommand* GetCommand() const { return m_command.get(); }

    // A heap copy of the same class and values, for posting to a window.
    virtual std::unique_ptr<CCommandResponse> Clone() const;

private:
    int m_type = 0;
    LinkStatus m_result = LinkStatus::Ok;
    std::unique_ptr<CSerialCommand> m_command;
};

// An unsolicited relay change: relay number, state, source.
class CUnsolicitedResponse : public CCommandResponse
{
public:
    static constexpr std::size_t kPayloadBytes = 3;
    // Null, or a payload shorter than the three bytes, leaves the bytes as they are: a cut
    // message carries no relay change.
    void SetPayload(const unsigned char* payload, std::size_t length = kPayloadBytes);
    void GetPayload(unsigned char* out) const;       // copies three bytes
    std::unique_ptr<CCommandResponse> Clone() const override;

private:
    std::array<unsigned char, 3> m_payload{};
};

// An unsolicited door (tamper) message: one byte.
class CTamperUnsolicitedResponse : public CCommandResponse
{
public:
    void SetPayload(const unsigned char* payload);
    unsigned char GetPayload() const { return m_payload; }
    std::unique_ptr<CCommandResponse> Clone() const override;

private:
    unsigned char m_payload = 0;
};

// Builds the record class chosen by type (2, 13 or any other) from a link callback; `length`
// is the number of payload bytes the frame carried.
std::unique_ptr<CCommandResponse> MakeCommandResponse(int type, const CSerialCommand* command, LinkStatus status,
                                                      const unsigned char* payload, std::size_t length);
