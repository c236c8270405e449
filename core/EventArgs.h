#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Base of every notification record; always destroyed through a CEventArgs pointer.
class CEventArgs
{
public:
    CEventArgs() = default;
    CEventArgs(const CEventArgs&) = default;
    CEventArgs& operator=(const CEventArgs&) = default;
    virtual ~CEventArgs() = default;
};

class CStatusChangedEventArgs : public CEventArgs {};
class CSettingsChangedEventArgs : public CEventArgs {};
class CRelaySettingChangedEventArgs : public CEventArgs {};
class CNetworkMonitorChangeEventArgs : public CEventArgs {};

// Raised on a ping thread when a monitor reaches its failure threshold. The constructor
// takes the limit before the count, the reverse of the field order; callers rely on it.
class CNetworkMonitorErrorEventArgs : public CEventArgs
{
public:
    CNetworkMonitorErrorEventArgs(std::int32_t relayIndex, std::int32_t action, std::string target,
                                  std::int32_t autoResetLimit, std::int32_t currentResetCount)
        : RelayIndex(relayIndex), Action(action), Target(std::move(target)),
          CurrentResetCount(currentResetCount), AutoResetLimit(autoResetLimit)
    {
    }

    std::int32_t RelayIndex;
    std::int32_t Action;
    std::string Target;   // passwords masked
    std::string EventName;   // the monitor's name, for lines that name it
    std::int32_t CurrentResetCount;
    std::int32_t AutoResetLimit;
    // Undoes the automatic reset this failure uses, for a power cycle that never reached the
    // unit (a stop removed it, or it outlived its order's lifetime). Empty when not given.
    std::function<void()> GiveBackReset;
};

class CNetworkThreadCompletedEventArgs : public CEventArgs
{
public:
    explicit CNetworkThreadCompletedEventArgs(std::int32_t result) : Result(result) {}
    std::int32_t Result;
};

class CProgressChangedEventArgs : public CEventArgs
{
public:
    std::int32_t Position = 0;
    std::int32_t Total = 0;
};

// Raised on the link worker when the unit starts or stops answering (see CUnitReachability).
class CUnitReachabilityChangedEventArgs : public CEventArgs
{
public:
    CUnitReachabilityChangedEventArgs(bool reachable, std::int64_t lastAnswer)
        : Reachable(reachable), LastAnswer(lastAnswer) {}
    bool Reachable;
    std::int64_t LastAnswer;   // time_t of the unit's last answer; 0 when it never answered
};

// Who made a relay change: the status poll's relay status answer, this program's operator, a
// remote operator (the broker), the unit itself (its button or schedule) or its web interface.
enum class RelayChangeCause
{
    Poll,
    Operator,
    RemoteOperator,
    Unit,
    WebInterface,
};

// Raised on the link worker whenever the relay state decider (CRelayStates) changes one
// relay's state. States as the status model has them: 0 on, 1 off, -1 not known yet.
class CRelayStateChangedEventArgs : public CEventArgs
{
public:
    CRelayStateChangedEventArgs(std::int32_t relay, std::int32_t oldState, std::int32_t newState,
                                RelayChangeCause cause)
        : Relay(relay), OldState(oldState), NewState(newState), Cause(cause) {}
    std::int32_t Relay;
    std::int32_t OldState;
    std::int32_t NewState;
    RelayChangeCause Cause;
};

// Raised when the broker connection's one-line summary changes ("Remote: connected to ...");
// an empty line means no broker is configured.
class CRemoteLineChangedEventArgs : public CEventArgs
{
public:
    explicit CRemoteLineChangedEventArgs(std::string line) : Line(std::move(line)) {}
    std::string Line;
};

class CWriteLogEventArgs : public CEventArgs
{
public:
    explicit CWriteLogEventArgs(std::string line, std::uint64_t sequence = 0)
        : Line(std::move(line)), Sequence(sequence) {}
    std::string Line;            // the whole line as written, line break included
    std::uint64_t Sequence = 0;  // the log's count of lines when this one was written: 1, 2, ...
};
