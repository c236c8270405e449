#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

// A port on 127.0.0.1 that nothing listens on: one that was free a moment ago. 0 if none.
int FreeLoopbackPort();

// A listener on 127.0.0.1 that answers each connection with a fixed reply after reading the
// request, or holds it open without a word while it runs when the reply is empty. With
// trickle, the reply is followed by a body that never ends: 100 bytes every 100 ms until the
// client hangs up (a camera's stream, a slow page).
class CLoopbackPeer
{
public:
    explicit CLoopbackPeer(std::string reply, bool trickle = false);
    ~CLoopbackPeer();
    CLoopbackPeer(const CLoopbackPeer&) = delete;
    CLoopbackPeer& operator=(const CLoopbackPeer&) = delete;

    int Port() const { return m_port; }   // 0 when it could not listen
    int Connections() const { return m_connections.load(); }
    std::string LastRequest() const;   // the first read of the latest connection

    // An HTTP/1.1 answer with the status and no body, for the reply.
    static std::string HttpReply(int status);

private:
    void Serve();

    std::string m_reply;
    bool m_trickle;
    mutable std::mutex m_requestLock;
    std::string m_lastRequest;   // guarded by m_requestLock
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::thread m_thread;
};
