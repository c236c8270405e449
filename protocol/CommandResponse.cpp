#include "CommandResponse.h"

#include <algorithm>

#include "CommandCodes.h"

CCommandResponse::CCommandResponse(const CCommandResponse& other)
    : CEventArgs(other), m_type(other.m_type), m_result(other.m_result)
{
    SetCommand(other.m_command.get());
}

CCommandResponse& CCommandResponse::operator=(const CCommandResponse& other)
{
    if (this != &other)
    {
        m_type = other.m_type;
        m_result = other.m_result;
        SetCommand(other.m_command.get());
    }
    return *this;
}

void CCommandResponse::SetCommand(const CSerialCommand* source)
{
    // A plain command copy even for a firmware command: observers need only its code.
    auto copy = std::make_unique<CSerialCommand>();
    if (source != nullptr)
    {
        copy->Code = source->Code;
        copy->Param1 = source->Param1;
        copy->Param2 = source->Param2;
    }
    m_command = std::move(copy);
}

std::unique_ptr<CCommandResponse> CCommandResponse::Clone() const
{
    return std::make_unique<CCommandResponse>(*this);
}

void CUnsolicitedResponse::SetPayload(const unsigned char* payload, std::size_t length)
{
    if (payload != nullptr && length >= m_payload.size())
        std::copy_n(payload, m_payload.size(), m_payload.begin());
}

void CUnsolicitedResponse::GetPayload(unsigned char* out) const
{
    std::copy(m_payload.begin(), m_payload.end(), out);
}

std::unique_ptr<CCommandResponse> CUnsolicitedResponse::Clone() const
{
    return std::make_unique<CUnsolicitedResponse>(*this);
}

void CTamperUnsolicitedResponse::SetPayload(const unsigned char* payload)
{
    if (payload != nullptr)
        m_payload = payload[0];
}

std::unique_ptr<CCommandResponse> CTamperUnsolicitedResponse::Clone() const
{
    return std::make_unique<CTamperUnsolicitedResponse>(*this);
}

std::unique_ptr<CCommandResponse> MakeCommandResponse(int type, const CSerialCommand* command, LinkStatus status,
                                                      const unsigned char* payload, std::size_t length)
{
    std::unique_ptr<CCommandResponse> record;
    if (type == CommandCode::UnsolicitedResponses)
    {
        auto unsolicited = std::make_unique<CUnsolicitedResponse>();
        unsolicited->SetPayload(payload, length);
        record = std::move(unsolicited);
    }
    else if (type == CommandCode::TamperUnsolicited)
    {
        auto tamper = std::make_unique<CTamperUnsolicitedResponse>();
        if (length >= 1)
            tamper->SetPayload(payload);
        record = std::move(tamper);
    }
    else
    {
        record = std::make_unique<CCommandResponse>();
    }
    record->SetType(type);
    record->SetCommand(command);
    record->SetResult(status);
    return record;
}
