#include "QMNetLink.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <system_error>
#include <unistd.h>

#include "CommandOrder.h"
#include "protocol/CommandCodes.h"
#include "protocol/XModemCommand.h"

namespace
{
using Clock = std::chrono::steady_clock;

// The answer to code 7 is read up to byte 19; a shorter answer marks that byte unset.
constexpr unsigned char kGpsPayloadMinimum = 20;
constexpr std::size_t kGpsFlagByte = 19;
}

CQMNetLink::CQMNetLink()
{
    // Without the pipe the link still works; only a wake waits for the idle listen to end.
    if (::pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        m_wakePipe[0] = m_wakePipe[1] = -1;
    m_codec.SetTraceSink([this](const char* text) { Trace(text); });
    m_sender.SetProgressSink([this](int done, int total) {
        NoteProgress();
        if (m_progressCallback)
            m_progressCallback(done, total);
    });
}

CQMNetLink::~CQMNetLink()
{
    // No callbacks for what is still queued: the owner may be half gone by now.
    ++m_generation;
    if (m_stop)
        m_stop->Request();
    ClearQueue(false);
    Wake();
    WaitForStop();
    for (int& fd : m_wakePipe)
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void CQMNetLink::SetPort(int portNumber, unsigned int baudRate)
{
    m_portNumber = portNumber;
    m_baudRate = baudRate;
    m_codec.SetPortNumber(portNumber);
}

void CQMNetLink::SetTiming(int retryCount, unsigned int pollSleepMs, unsigned int readTimeoutMs)
{
    m_retryCount = retryCount < 0 ? 0 : retryCount;
    m_pollSleepMs = pollSleepMs;
    m_readTimeoutMs = readTimeoutMs;
}

void CQMNetLink::SetTraceLevel(int level)
{
    m_codec.SetTraceLevel(level);
}

std::chrono::milliseconds CQMNetLink::CommandBudget() const
{
    const long long reads = std::max(m_retryCount, 1);
    return std::chrono::milliseconds((m_retryCount + 1) * reads * static_cast<long long>(m_readTimeoutMs));
}

std::chrono::milliseconds CQMNetLink::IdleListenTime() const
{
    if (m_idleListen.count() > 0)
        return m_idleListen;
    return std::chrono::milliseconds(static_cast<long long>(std::max(m_retryCount, 1)) * m_readTimeoutMs);
}

std::chrono::milliseconds CQMNetLink::LongestQuietPeriod() const
{
    return std::chrono::milliseconds(m_pollSleepMs) + std::max(CommandBudget(), IdleListenTime());
}

void CQMNetLink::NoteProgress()
{
    m_lastProgress = Clock::now().time_since_epoch().count();
}

std::chrono::steady_clock::time_point CQMNetLink::GetLastProgress() const
{
    return Clock::time_point(Clock::duration(m_lastProgress.load()));
}

bool CQMNetLink::Start()
{
    if (std::this_thread::get_id() == m_workerId.load())
        return false;   // from a callback: the worker cannot wait for itself
    JoinEndingWorker();
    const std::uint64_t generation = m_generation.load();
    if (m_worker.joinable())
    {
        if (m_running.load())
            return false;
        m_worker.join();
    }
    std::shared_ptr<CStopSignal> stop;
    try
    {
        stop = std::make_shared<CStopSignal>();
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
    // A fresh worker has shown nothing yet; it is not wedged for having been started.
    NoteProgress();
    m_running = true;
    m_workerGeneration = generation;
    m_stop = stop;
    try
    {
        m_worker = std::thread([this, generation, stop] { LinkWorker(generation, stop); });
    }
    catch (const std::system_error&)
    {
        m_running = false;
        return false;
    }
    return true;
}

std::unique_ptr<CSerialCommand> CQMNetLink::QueueCommand(std::unique_ptr<CSerialCommand> command)
{
    if (!command)
        return nullptr;
    std::unique_ptr<CSerialCommand> replaced;
    command->QueuedAt = m_clock.load()->Now();
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        const auto same = std::find_if(m_queue.begin(), m_queue.end(), [&](const auto& queued) {
            return CommandOrder::SameIntent(*queued, *command);
        });
        if (same != m_queue.end())
        {
            replaced = std::move(*same);
            m_queue.erase(same);
        }
        m_queue.push_back(std::move(command));
    }
    Wake();
    return replaced;
}

void CQMNetLink::RequestStop()
{
    ++m_generation;
    if (m_stop)
        m_stop->Request();
    ClearQueue(true);
    Wake();
}

void CQMNetLink::JoinEndingWorker()
{
    if (m_worker.joinable() && std::this_thread::get_id() != m_workerId.load() &&
        (m_workerGeneration != m_generation.load() || !m_running.load()))
        m_worker.join();
}

bool CQMNetLink::IsEnding() const
{
    return m_worker.joinable() && m_running.load() && m_workerGeneration != m_generation.load();
}

void CQMNetLink::WaitForStop()
{
    if (!m_worker.joinable() || std::this_thread::get_id() == m_workerId.load())
        return;
    m_worker.join();
}

std::size_t CQMNetLink::GetQueueLength() const
{
    std::lock_guard<std::mutex> lock(m_queueLock);
    return m_queue.size();
}

int CQMNetLink::ConfigurePort(CQMNetSerialPort* port) const
{
    if (port == nullptr)
        return 0;
    port->SetLine(m_portNumber, static_cast<int>(m_baudRate));
    return 1;
}

LinkStatus CQMNetLink::SendCommand(CQMNetAbstractPort& port, CSerialCommand& command)
{
    if (command.Code == CommandCode::FirmwareTransfer)
    {
        if (const auto* xmodem = dynamic_cast<const CXModemCommand*>(&command))
            return m_sender.Send(port, xmodem->GetFilePath());
    }
    return m_codec.SendCommand(port, command);
}

void CQMNetLink::Hold(bool hold)
{
    if (m_hold.exchange(hold) && !hold)
        Wake();   // what waited goes now
}

std::unique_ptr<CSerialCommand> CQMNetLink::PopCommand(std::uint64_t generation, bool& orderWaits)
{
    std::lock_guard<std::mutex> lock(m_queueLock);
    orderWaits = std::any_of(m_queue.begin(), m_queue.end(),
                             [](const auto& queued) { return CommandOrder::IsOrder(queued->Code); });
    if (StopRequested(generation))
        return nullptr;
    const std::size_t next = CommandOrder::Next(m_queue, m_hold.load());
    if (next == CommandOrder::kNone)
        return nullptr;
    std::unique_ptr<CSerialCommand> command = std::move(m_queue[next]);
    m_queue.erase(m_queue.begin() + static_cast<std::ptrdiff_t>(next));
    return command;
}

void CQMNetLink::Requeue(std::unique_ptr<CSerialCommand> command, std::uint64_t generation)
{
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        // Looked at under the lock that the stop's clearing takes too: after a stop, a
        // stage of this run must never reach the next run's queue.
        if (!StopRequested(generation))
        {
            m_queue.push_back(std::move(command));
            return;
        }
    }
    Report(LinkStatus::Stopped, command->Code, command.get());
}

void CQMNetLink::ClearQueue(bool report)
{
    std::vector<std::unique_ptr<CSerialCommand>> doomed;
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        doomed.swap(m_queue);
    }
    // Reported and destroyed outside the lock: the owner may queue from its callback.
    if (!report)
        return;
    for (const std::unique_ptr<CSerialCommand>& command : doomed)
        Report(LinkStatus::Stopped, command->Code, command.get());
}

void CQMNetLink::ExpireOrders(std::uint64_t generation)
{
    std::vector<std::unique_ptr<CSerialCommand>> expired;
    {
        std::lock_guard<std::mutex> lock(m_queueLock);
        if (StopRequested(generation))
            return;
        const Clock::time_point now = m_clock.load()->Now();
        for (auto it = m_queue.begin(); it != m_queue.end();)
        {
            if (CommandOrder::IsOrder((*it)->Code) && now - (*it)->QueuedAt >= m_orderLifetime)
            {
                expired.push_back(std::move(*it));
                it = m_queue.erase(it);
            }
            else
                ++it;
        }
    }
    for (const std::unique_ptr<CSerialCommand>& command : expired)
        Report(LinkStatus::Expired, command->Code, command.get());
}

void CQMNetLink::Wake()
{
    if (m_wakePipe[1] < 0)
        return;
    const unsigned char wake = 1;
    // A full pipe already wakes the worker; nothing else to do then.
    [[maybe_unused]] const ssize_t n = ::write(m_wakePipe[1], &wake, 1);
}

void CQMNetLink::DrainWakePipe()
{
    if (m_wakePipe[0] < 0)
        return;
    unsigned char sink[64];
    while (::read(m_wakePipe[0], sink, sizeof sink) > 0)
    {
    }
}

bool CQMNetLink::WaitForPollSleep(std::uint64_t generation)
{
    // A queued command does not shorten this pause between two exchanges; only a stop does.
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(m_pollSleepMs);
    for (;;)
    {
        if (StopRequested(generation))
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return true;
        pollfd pfd{m_wakePipe[0], POLLIN, 0};
        if (m_wakePipe[0] < 0)
        {
            ::poll(nullptr, 0, static_cast<int>(left));
            continue;
        }
        if (::poll(&pfd, 1, static_cast<int>(left)) > 0)
        {
            if (StopRequested(generation))
                return false;
            // A queued command: it waits for the pause, and the idle listen that would
            // follow will not be woken for it again.
            DrainWakePipe();
        }
    }
}

void CQMNetLink::Trace(const std::string& text) const
{
    if (m_traceCallback)
        m_traceCallback(text.c_str());
}

void CQMNetLink::Report(LinkStatus status, int code, CSerialCommand* command, const unsigned char* payload,
                        std::size_t length)
{
    if (m_responseCallback)
        m_responseCallback(status, code, command, payload, payload != nullptr ? length : 0);
}

void CQMNetLink::DeliverFrame(int code, CSerialCommand* command, ResponseRecord& record)
{
    const unsigned char* payload = nullptr;
    const std::size_t length = record[2];
    if (CFrameCodec::CodeHasPayload(code))
    {
        if (code == CommandCode::Gps && length < kGpsPayloadMinimum)
            record[3 + kGpsFlagByte] = 0xFF;
        payload = &record[3];
    }
    Report(LinkStatus::Ok, code, command, payload, length);
}

CQMNetLink::Outcome CQMNetLink::IdleListen(std::uint64_t generation, std::optional<std::chrono::milliseconds> longest)
{
    const int reads = std::max(m_retryCount, 1);
    const long long listenMs = IdleListenTime().count();
    const unsigned int waitMs =
        static_cast<unsigned int>(longest ? std::clamp<long long>(longest->count(), 0, listenMs) : listenMs);
    // One wait for the whole listen, cut short by a queued command or a stop.
    if (m_wakePipe[0] >= 0)
        m_port.ArmWakeDescriptor(m_wakePipe[0]);
    const LinkStatus ready = m_port.WaitReadable(waitMs);
    m_port.ArmWakeDescriptor(-1);
    if (ready == LinkStatus::Woken)
        return StopRequested(generation) ? Outcome::Stopped : Outcome::Woken;
    // A quiet line keeps the port open: a frame the unit sends next must find it listening,
    // and a re-plugged adapter shows as a hang-up, which is a failure below.
    if (ready == LinkStatus::Timeout)
        return Outcome::Done;
    if (ready != LinkStatus::Ok)
        return Outcome::Failed;

    const LinkStatus received = m_codec.Receive(m_port, reads);
    if (received != LinkStatus::Ok)
        return received == LinkStatus::LineHungUp ? Outcome::HungUp : Outcome::Failed;
    if (m_codec.GetReceivedCount() == 1)
        return Outcome::Done;   // a bare acknowledge with nothing asked: nothing to answer
    ResponseRecord record = m_codec.MakeResponseRecord();
    DeliverFrame(record[1], nullptr, record);
    return Outcome::Done;
}

CQMNetLink::Outcome CQMNetLink::Stopped(std::unique_ptr<CSerialCommand> command)
{
    // Whatever the unit does with it, no answer will be waited for: the next run's poll
    // learns the truth.
    Report(LinkStatus::Stopped, command->Code, command.get());
    return Outcome::Stopped;
}

CQMNetLink::Outcome CQMNetLink::Exchange(std::unique_ptr<CSerialCommand> current, std::uint64_t generation)
{
    current->SendNumber = ++m_sendCount;
    const LinkStatus sent = SendCommand(m_port, *current);
    if (StopRequested(generation) && (sent != LinkStatus::Ok || current->Code == CommandCode::FirmwareTransfer))
        return Stopped(std::move(current));
    if (current->Code == CommandCode::FirmwareTransfer && sent != LinkStatus::Ok)
    {
        // The sender has already cancelled the upload; waiting for an end-of-transmission
        // acknowledge that cannot come would only delay the report.
        Report(sent, CommandCode::FirmwareTransfer, current.get());
        return Outcome::Failed;
    }
    if (sent == LinkStatus::LineHungUp)
    {
        Report(sent, current->Code, current.get());
        return Outcome::HungUp;
    }

    // Unsolicited frames are delivered while the command waits, but they do not buy it time.
    // A stop ends every reception at once, the first included (the port watches it). A probe
    // asks a unit that was not answering: one read time-out tells enough, and keeps it cheap.
    const Clock::time_point deadline =
        Clock::now() + (current->Probe ? std::chrono::milliseconds(m_readTimeoutMs) : CommandBudget());
    const int retries = current->Probe ? 0 : m_retryCount;
    int attempts = 0;
    for (;;)
    {
        if (StopRequested(generation))
            return Stopped(std::move(current));
        LinkStatus status = m_codec.Receive(m_port, std::max(retries, 1), &deadline);
        if (status != LinkStatus::Ok && StopRequested(generation))
            return Stopped(std::move(current));
        if (status != LinkStatus::Ok)
        {
            if (status == LinkStatus::LineHungUp || attempts >= retries || Clock::now() >= deadline)
            {
                Report(status, current->Code, current.get());
                return status == LinkStatus::LineHungUp ? Outcome::HungUp : Outcome::Failed;
            }
            ++attempts;
            continue;
        }

        ResponseRecord record = m_codec.MakeResponseRecord();
        const bool singleByte = m_codec.GetReceivedCount() == 1;
        if (current->Code == CommandCode::RequestUpgrade)
        {
            // Any good reception means the unit is ready: the file goes in the next cycle.
            current->Code = CommandCode::FirmwareTransfer;
            Requeue(std::move(current), generation);
            return Outcome::Done;
        }
        if (current->Code == CommandCode::FirmwareTransfer)
        {
            // The unit's acknowledge of the end of transmission is a single 0x06.
            if (record[0] != CFrameCodec::Acknowledge)
                status = LinkStatus::NotAcknowledged;
            if (status == LinkStatus::Ok)
                DeliverFrame(CommandCode::FirmwareTransfer, current.get(), record);
            else
                Report(status, CommandCode::FirmwareTransfer, current.get());
            return status == LinkStatus::Ok ? Outcome::Done : Outcome::Failed;
        }
        if (singleByte)
        {
            // A bare acknowledge answers the command that is waiting, never the code of
            // whatever frame came before it; a refusal is a failure, not a success.
            record[1] = current->Code;
            if (record[0] != CFrameCodec::Acknowledge)
            {
                Report(LinkStatus::NotAcknowledged, current->Code, current.get());
                return Outcome::Failed;
            }
            Report(LinkStatus::Ok, current->Code, current.get());
            return Outcome::Done;
        }
        const int code = record[1];
        DeliverFrame(code, current.get(), record);
        if (code == current->Code)
            return Outcome::Done;
    }
}

void CQMNetLink::LinkWorker(std::uint64_t generation, std::shared_ptr<CStopSignal> stop)
{
    m_workerId = std::this_thread::get_id();
    m_port.WatchStop(stop->GetDescriptor());
    m_sender.SetStopCheck([stop] { return stop->IsRequested(); });
    m_port.SetLine(m_portNumber, static_cast<int>(m_baudRate));
    m_port.SetReadTimeout(m_readTimeoutMs);
    bool portOpen = false;
    bool openFailureReported = false;
    bool lineLost = false;
    bool pauseFirst = true;

    while (!StopRequested(generation))
    {
        NoteProgress();
        if (pauseFirst && !WaitForPollSleep(generation))
            break;
        pauseFirst = true;
        ExpireOrders(generation);
        if (!portOpen)
        {
            if (m_port.Open() != LinkStatus::Ok)
            {
                // Said once per outage, with no command: every queued command (the link-start
                // ones above all) stays for when the port comes back.
                if (!openFailureReported)
                {
                    if (GetTraceLevel() >= 2)
                        Trace(m_port.GetLastError());
                    Report(LinkStatus::OpenFailed, 0, nullptr);
                }
                openFailureReported = true;
                lineLost = true;
                continue;
            }
            portOpen = true;
            openFailureReported = false;
            if (lineLost && m_reopenCallback)
                m_reopenCallback();
            lineLost = false;
        }

        // Emptied before the queue is looked at: a command queued after this wakes the
        // listen below; one queued before it is taken now.
        DrainWakePipe();
        // A stop whose wake-up was just emptied away would otherwise wait out a whole listen.
        if (StopRequested(generation))
            break;
        // The age is looked at again just before the send: the open above may have taken long.
        ExpireOrders(generation);
        bool orderWaits = false;
        std::unique_ptr<CSerialCommand> current = PopCommand(generation, orderWaits);
        std::optional<std::chrono::milliseconds> longest;
        if (!current && m_idleCallback)
        {
            // Nothing to send: the owner may want the unit asked whether it is back.
            longest = m_idleCallback(orderWaits);
            DrainWakePipe();
            current = PopCommand(generation, orderWaits);
        }
        const bool exchange = current != nullptr;
        const Outcome outcome = exchange ? Exchange(std::move(current), generation) : IdleListen(generation, longest);
        if (outcome == Outcome::Stopped)
            break;
        // The pause separates the program's own exchanges only: after a listen, whatever the
        // unit sent next (another frame, or the answer to a command just queued) is taken at once.
        pauseFirst = exchange;
        if (outcome == Outcome::Failed || outcome == Outcome::HungUp)
        {
            m_port.Close();
            portOpen = false;
            lineLost = lineLost || outcome == Outcome::HungUp;
        }
    }

    m_port.Close();
    m_port.WatchStop(-1);
    m_sender.SetStopCheck(nullptr);
    // Cleared before the owner hears of the end, so a Start made in answer to it joins
    // this thread instead of taking it for a live worker.
    m_running = false;
    if (m_threadExitCallback)
        m_threadExitCallback();
    m_workerId = std::thread::id();
}
