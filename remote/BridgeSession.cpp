#include "BridgeSession.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

#include "core/StopSignal.h"
#include "log/Log.h"
#include "netmon/Ping.h"

namespace
{
constexpr int kQos = 1;
// An idle connection sleeps this long at most; the library itself wakes in time for the
// keep-alive, and every publish, the stop and each timed duty below wake it sooner.
constexpr int kIdleLoopCapMs = 60000;
// Nothing wakes a wait for a connection that is still being made, so it looks at the stop
// this often; a stop must end the program within a second.
constexpr int kConnectingLoopMs = 200;
constexpr std::chrono::milliseconds kShutdownFlush{500};
constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

std::once_flag g_libraryInit;

using Steady = IClock::Steady;

int Ms(Steady::duration d)
{
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

// The broker's refusal in the words of MQTT 3.1.1's refusals where MQTT 5 has one of them, so
// the log reads the same whichever the broker speaks.
std::string RefusalText(int rc, bool mqtt5)
{
    if (!mqtt5)
        return mosquitto_connack_string(rc);
    switch (rc)
    {
    case MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION: return mosquitto_connack_string(CONNACK_REFUSED_PROTOCOL_VERSION);
    case MQTT_RC_CLIENTID_NOT_VALID: return mosquitto_connack_string(CONNACK_REFUSED_IDENTIFIER_REJECTED);
    case MQTT_RC_SERVER_UNAVAILABLE: return mosquitto_connack_string(CONNACK_REFUSED_SERVER_UNAVAILABLE);
    case MQTT_RC_BAD_USERNAME_OR_PASSWORD: return mosquitto_connack_string(CONNACK_REFUSED_BAD_USERNAME_PASSWORD);
    case MQTT_RC_NOT_AUTHORIZED: return mosquitto_connack_string(CONNACK_REFUSED_NOT_AUTHORIZED);
    default: return mosquitto_reason_string(rc);
    }
}

std::string ErrorText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return std::strerror(errno);
    return mosquitto_strerror(rc);
}
}

CBridgeSession::CBridgeSession(CLog* log, Hooks hooks, const IClock& clock)
    : m_log(log), m_hooks(std::move(hooks)), m_clock(clock)
{
}

CBridgeSession::~CBridgeSession()
{
    Stop();
    if (m_mosq != nullptr)
        mosquitto_destroy(m_mosq);
}

bool CBridgeSession::Configure(const CRemoteConfig& config)
{
    std::call_once(g_libraryInit, [] { mosquitto_lib_init(); });
    if (m_mosq != nullptr)
        mosquitto_destroy(m_mosq);
    m_config = config;
    m_endpoint = config.Host + ":" + std::to_string(config.EffectivePort());
    m_availability = config.BaseTopic() + "/availability";
    const std::string clientId = "quillmere-" + config.Site;
    m_mosq = mosquitto_new(clientId.c_str(), true, this);
    std::string failure;
    int rc = MOSQ_ERR_NOMEM;
    if (m_mosq != nullptr)
    {
        // The library is told that other threads call it, so that those calls only queue and
        // never write to the socket themselves.
        mosquitto_threaded_set(m_mosq, true);
        m_mqtt5 = true;
        mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_connect_callback_set(m_mosq, &CBridgeSession::OnConnect);
        mosquitto_disconnect_callback_set(m_mosq, &CBridgeSession::OnDisconnect);
        mosquitto_message_callback_set(m_mosq, &CBridgeSession::OnMessage);
        mosquitto_publish_callback_set(m_mosq, &CBridgeSession::OnPublish);
        mosquitto_log_callback_set(m_mosq, &CBridgeSession::OnLibraryLog);
        rc = mosquitto_will_set(m_mosq, m_availability.c_str(), static_cast<int>(std::strlen(kOffline)), kOffline,
                                kQos, true);
        failure = "the last will";
    }
    if (rc == MOSQ_ERR_SUCCESS && !config.Username.empty())
    {
        rc = mosquitto_username_pw_set(m_mosq, config.Username.c_str(),
                                       config.PasswordFile.empty() ? nullptr : config.Password.c_str());
        failure = "the user name";
    }
    if (rc == MOSQ_ERR_SUCCESS && config.UsesTls())
    {
        rc = mosquitto_tls_set(m_mosq, config.CaFile.c_str(), nullptr,
                               config.CertFile.empty() ? nullptr : config.CertFile.c_str(),
                               config.KeyFile.empty() ? nullptr : config.KeyFile.c_str(), nullptr);
        failure = "ca_file, cert_file or key_file";
        if (rc == MOSQ_ERR_SUCCESS && !config.TlsVerify)
        {
            rc = mosquitto_tls_opts_set(m_mosq, 0, nullptr, nullptr);
            if (rc == MOSQ_ERR_SUCCESS)
                rc = mosquitto_tls_insecure_set(m_mosq, true);
            failure = "tls_verify";
        }
    }
    if (rc == MOSQ_ERR_SUCCESS)
        return true;

    const std::string reason = "cannot set " + failure + ": " + ErrorText(rc);
    if (m_log != nullptr)
        m_log->Write(LogEntryLevel::Error, "Remote: " + reason + "; the broker connection stays off");
    SetStatusLine("Remote: offline (" + reason + ")");
    if (m_mosq != nullptr)
        mosquitto_destroy(m_mosq);
    m_mosq = nullptr;
    return false;
}

void CBridgeSession::Start()
{
    if (IsRunning() || m_mosq == nullptr)
        return;
    SetStatusLine("Remote: offline (connecting)");
    m_stop = false;
    m_cancel = std::make_shared<CStopSignal>();
    m_thread = std::thread([this] { Run(); });
}

void CBridgeSession::Stop()
{
    if (!IsRunning())
        return;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stop = true;
    }
    m_cancel->Request();   // a lookup under way is left to finish by itself
    // Only now: a goodbye queued before the stop was set could wake the loop to find nothing
    // to do, and it would sleep on for its whole timeout. A thread waiting to retry is woken
    // by the condition.
    if (m_hooks.stopping)
        m_hooks.stopping();
    m_wake.notify_all();
    m_thread.join();
    mosquitto_destroy(m_mosq);
    m_mosq = nullptr;
    m_unacknowledged = 0;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_connected = false;
}

bool CBridgeSession::Publish(const std::string& topic, const std::string& payload, bool retain)
{
    if (m_mosq == nullptr)
        return false;
    ++m_unacknowledged;
    if (mosquitto_publish(m_mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.empty() ? nullptr : payload.data(), kQos, retain) == MOSQ_ERR_SUCCESS)
        return true;
    --m_unacknowledged;
    return false;
}

void CBridgeSession::Subscribe(const std::string& filter, bool retainAsPublished)
{
    if (m_mosq == nullptr)
        return;
    if (retainAsPublished && m_mqtt5)
        mosquitto_subscribe_v5(m_mosq, nullptr, filter.c_str(), kQos, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr);
    else
        mosquitto_subscribe(m_mosq, nullptr, filter.c_str(), kQos);
}

bool CBridgeSession::IsConnected() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_connected;
}

std::string CBridgeSession::StatusLine() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_statusLine;
}

void CBridgeSession::SetStatusLine(const std::string& line)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_statusLine = line;
    }
    if (m_hooks.lineChanged)
        m_hooks.lineChanged();
}

// --- the bridge thread -----------------------------------------------------------------

void CBridgeSession::Run()
{
    SetThreadPingCancellation(m_cancel);
    std::chrono::milliseconds delay = kFirstRetry;
    bool reported = false;   // the current outage has its log line
    while (!m_stop)
    {
        m_connackError.clear();
        m_mqtt5Refused = false;
        TakeLibraryError();
        const std::string host = ConnectHost();
        if (m_stop)
            break;
        if (host.empty())
        {
            SetOffline("cannot resolve " + m_config.Host);
            if (!std::exchange(reported, true) && m_log != nullptr)
                m_log->Write(LogEntryLevel::Error, "Remote: cannot resolve " + m_config.Host);
            WaitBeforeRetry(delay);
            continue;
        }
        // Connected afresh each time with the address just looked up; the library would
        // otherwise look the name up again itself.
        int rc = mosquitto_connect_async(m_mosq, host.c_str(), m_config.EffectivePort(), m_config.KeepAlive);
        m_connectedThisAttempt = false;
        const auto attemptStart = m_clock.Now();
        bool timedOut = false;
        while (rc == MOSQ_ERR_SUCCESS && !m_stop)
        {
            rc = mosquitto_loop(m_mosq, LoopTimeoutMs(), 1);
            if (m_hooks.tick)
                m_hooks.tick();
            CheckOwnAvailability();
            if (rc == MOSQ_ERR_SUCCESS && !m_connectedThisAttempt && m_clock.Now() - attemptStart >= kConnectTimeout)
            {
                timedOut = true;
                rc = MOSQ_ERR_NO_CONN;
            }
        }
        if (m_stop)
            break;
        if (m_mqtt5Refused)
        {
            FallBackToMqtt311();
            continue;
        }

        std::string reason = !m_connackError.empty() ? m_connackError : TakeLibraryError();
        if (reason.empty())
            reason = timedOut ? "no answer within " + std::to_string(kConnectTimeout.count()) + " s" : ErrorText(rc);
        const bool wasConnected = m_connectedThisAttempt;
        bool conflict = false;
        if (wasConnected)
        {
            conflict = NoteConnectionEnd(m_clock.Now() - m_connectedAt, delay);
            if (!conflict)
                reported = false;
        }
        if (conflict)
            reason = "another program is connected as site " + m_config.Site;
        SetOffline(reason);
        if (!reported)
        {
            if (m_log != nullptr)
                m_log->Write(LogEntryLevel::Error, (wasConnected ? "Remote: connection to " + m_endpoint + " lost ("
                                                                 : "Remote: cannot reach " + m_endpoint + " (") +
                                                       reason + ")");
            reported = true;
        }
        WaitBeforeRetry(delay);
    }

    // A clean goodbye, queued after "offline" so that the broker gets that first. A broker
    // never reached gets none: a connection still being made would only hold the shutdown.
    if (m_hooks.stopping)
        m_hooks.stopping();
    mosquitto_disconnect(m_mosq);
    if (!IsConnected())
        return;
    // Real time: the goodbye is bounded whatever clock the session reads.
    const auto deadline = Steady::now() + kShutdownFlush;
    while (Steady::now() < deadline && mosquitto_loop(m_mosq, 100, 1) == MOSQ_ERR_SUCCESS)
    {
    }
}

std::string CBridgeSession::ConnectHost()
{
    // The library checks a verified server certificate against the host it was given.
    const bool needsName = m_config.UsesTls() && m_config.TlsVerify;
    sockaddr_in address{};
    if (!ResolveIPv4(m_config.Host, address,
                     static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(kLookupBudget).count())))
        return {};
    if (needsName)
        return m_config.Host;
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr)
        return {};
    return text;
}

void CBridgeSession::FallBackToMqtt311()
{
    m_mqtt5 = false;
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (m_log != nullptr)
        m_log->Write(LogEntryLevel::Error, "Remote: the broker " + m_endpoint +
                                               " refused MQTT 5; speaking MQTT 3.1.1, where a retained command sent "
                                               "while connected cannot be told from a live one");
}

std::string CBridgeSession::ConnectedLine() const
{
    return "Remote: connected to " + m_endpoint + (m_mqtt5 ? "" : kFallbackNote);
}

bool CBridgeSession::NoteConnectionEnd(Steady::duration lived, std::chrono::milliseconds& delay)
{
    const auto now = m_clock.Now();
    if (lived >= kSettledLife)
    {
        // A connection that lasted is the end of any conflict: start again from the shortest wait.
        m_shortConnections.clear();
        m_siteConflict = false;
        delay = kFirstRetry;
        return false;
    }
    if (lived < kShortLife)
        m_shortConnections.push_back(now);
    while (!m_shortConnections.empty() && now - m_shortConnections.front() > kSettledLife)
        m_shortConnections.pop_front();
    if (!m_siteConflict && m_shortConnections.size() >= kConflictCount)
    {
        m_siteConflict = true;
        if (m_log != nullptr)
            m_log->Write(LogEntryLevel::Error, "Remote: another program is connected as site " + m_config.Site);
    }
    // While it lasts, the two programs take turns at the longest wait instead of fighting.
    if (m_siteConflict)
        delay = kLastRetry;
    return m_siteConflict;
}

void CBridgeSession::WaitBeforeRetry(std::chrono::milliseconds& delay)
{
    // Half the delay plus a random half, so that a fleet that lost its broker together does
    // not come back in one wave.
    static thread_local std::minstd_rand random(std::random_device{}());
    const auto half = delay / 2;
    const auto wait = half + std::chrono::milliseconds(random() % (static_cast<unsigned>(half.count()) + 1));
    const auto until = m_clock.Now() + wait;
    std::unique_lock<std::mutex> lock(m_mutex);
    // The system's clock is waited for in one piece (an offline site wakes once per attempt);
    // another one in slices, so that a clock a test moves is looked at again.
    const bool system = &m_clock == &IClock::System();
    for (auto now = m_clock.Now(); !m_stop && now < until; now = m_clock.Now())
        m_wake.wait_for(lock, system ? until - now
                                     : std::min<Steady::duration>(until - now,
                                                                  std::chrono::milliseconds(kConnectingLoopMs)));
    delay = std::min<std::chrono::milliseconds>(delay * 2, kLastRetry);
}

int CBridgeSession::LoopTimeoutMs()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_connected)
            return kConnectingLoopMs;
    }
    int timeout = std::min(kIdleLoopCapMs, m_config.KeepAlive * 1000);
    if (!m_ownAvailabilitySeen && !m_selfCheckShown)
    {
        // Awake when the wait for the site's own "online" is over.
        timeout = std::min(timeout, std::max(1, Ms(m_connectedAt + kSelfCheckWait - m_clock.Now())));
    }
    if (m_hooks.due)
    {
        const auto due = m_hooks.due();
        if (due.count() < timeout)
            timeout = static_cast<int>(due.count());
    }
    return timeout;
}

void CBridgeSession::SetOffline(const std::string& reason)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_connected = false;
    }
    if (m_hooks.disconnected)
        m_hooks.disconnected();
    SetStatusLine("Remote: offline (" + reason + ")");
}

std::string CBridgeSession::TakeLibraryError()
{
    std::lock_guard<std::mutex> guard(m_libraryErrorMutex);
    std::string error;
    error.swap(m_libraryError);
    return error;
}

void CBridgeSession::OnLibraryLog(mosquitto*, void* self, int level, const char* text)
{
    // Called from inside the library's own calls, on any thread: only remember the text.
    if ((level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) == 0 || text == nullptr)
        return;
    auto* session = static_cast<CBridgeSession*>(self);
    std::lock_guard<std::mutex> guard(session->m_libraryErrorMutex);
    session->m_libraryError = text;
}

void CBridgeSession::OnConnect(mosquitto*, void* self, int rc)
{
    auto* session = static_cast<CBridgeSession*>(self);
    if ((rc == CONNACK_REFUSED_PROTOCOL_VERSION || rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION) && session->m_mqtt5)
        session->m_mqtt5Refused = true;
    if (rc != 0)
    {
        session->m_connackError = "the broker refused: " + RefusalText(rc, session->m_mqtt5);
        return;
    }
    session->HandleConnected();
}

void CBridgeSession::OnPublish(mosquitto*, void* self, int /*mid*/)
{
    --static_cast<CBridgeSession*>(self)->m_unacknowledged;
}

void CBridgeSession::OnDisconnect(mosquitto*, void* self, int /*rc*/)
{
    auto* session = static_cast<CBridgeSession*>(self);
    {
        std::lock_guard<std::mutex> guard(session->m_mutex);
        session->m_connected = false;
    }
    if (session->m_hooks.disconnected)
        session->m_hooks.disconnected();
}

void CBridgeSession::HandleConnected()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_connected = true;
    }
    m_connectedThisAttempt = true;
    m_connectedAt = m_clock.Now();
    // Counted from here: what the library sends again from an earlier connection may be
    // acknowledged too, and only takes the count below zero.
    m_unacknowledged = 0;
    m_ownAvailabilitySeen = false;
    m_selfCheckShown = false;
    // Subscribed before "online" goes out, so the broker hands it back unless it keeps this
    // site's messages to itself.
    Subscribe(m_availability);
    if (m_hooks.connected)
        m_hooks.connected();
    SetStatusLine(ConnectedLine());
    if (m_log != nullptr && !m_siteConflict)
        m_log->Write(LogEntryLevel::Event, "Remote: connected to " + m_endpoint);
}

void CBridgeSession::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    if (message == nullptr || message->topic == nullptr)
        return;
    auto* session = static_cast<CBridgeSession*>(self);
    const std::string_view payload =
        message->payload != nullptr && message->payloadlen > 0
            ? std::string_view(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen))
            : std::string_view();
    const std::string topic = message->topic;
    if (topic == session->m_availability)
    {
        if (payload == kOnline)
            session->OwnAvailabilitySeen();
        return;
    }
    if (session->m_hooks.message)
        session->m_hooks.message(topic, payload, message->retain);
}

void CBridgeSession::OwnAvailabilitySeen()
{
    if (m_ownAvailabilitySeen)
        return;
    m_ownAvailabilitySeen = true;
    // It came after all (a slow broker, or an ACL put right): the Remote line is plain again.
    if (m_selfCheckShown && IsConnected())
        SetStatusLine(ConnectedLine());
}

void CBridgeSession::CheckOwnAvailability()
{
    if (m_ownAvailabilitySeen || m_selfCheckShown || !m_connectedThisAttempt || !IsConnected() ||
        m_clock.Now() - m_connectedAt < kSelfCheckWait)
        return;
    m_selfCheckShown = true;
    SetStatusLine(ConnectedLine() +
                  ", but the broker does not deliver this site's messages (check the user name against the ACL)");
    // The Remote line says it at every connection it holds for; the log once a run.
    if (std::exchange(m_selfCheckReported, true))
        return;
    if (m_log != nullptr)
        m_log->Write(LogEntryLevel::Error,
                     "Remote: the broker " + m_endpoint + " does not deliver the messages of site " + m_config.Site +
                         " (check " + (m_config.Username.empty() ? std::string("anonymous clients")
                                                                 : "the user name " + m_config.Username) +
                         " against the broker's ACL)");
}
