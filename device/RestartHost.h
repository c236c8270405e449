#pragma once

// The window whose closing starts the normal shutdown. The memory watchdog asks it to close
// and to have the program start afresh once the shutdown has run.
class IRestartHost
{
public:
    virtual ~IRestartHost() = default;
    virtual void RequestRestart() = 0;
};
