#pragma once

class CEventArgs;

// Receives notifications from a CSubject. A window observer only posts to itself here.
class CObserver
{
public:
    virtual void Update(CEventArgs* /*args*/) {}

protected:
    ~CObserver() = default;
};
