#include "Simulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
int g_signalPipe[2] = {-1, -1};

extern "C" void OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

std::uint64_t NowMs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// While no program holds the slave side, the master reports a hang-up at once on every poll,
// so the loop looks again after this long instead of waiting on it.
constexpr int kNoPeerRecheckMs = 20;
constexpr std::size_t kMaxControlLine = 4096;
// What a unit with a confused serial chip might send instead of an answer.
const wire::Bytes kGarbage{0x47, 0x41, 0x52, 0x42, 0x41, 0x47, 0x45};

std::vector<std::string> SplitWords(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

bool ParseNumber(const std::string& text, std::uint64_t max, std::uint64_t& value)
{
    if (text.empty() || text.size() > 12)
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
        return false;
    value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    return value <= max;
}

bool ParseByte(const std::string& text, std::uint8_t& value)
{
    std::uint64_t v = 0;
    if (!ParseNumber(text, 255, v))
        return false;
    value = static_cast<std::uint8_t>(v);
    return true;
}

// Named values some settings accept besides a plain byte.
bool ParseNamedByte(const std::string& text, std::initializer_list<std::pair<const char*, std::uint8_t>> names,
                    std::uint8_t& value)
{
    for (const auto& [name, v] : names)
        if (text == name)
        {
            value = v;
            return true;
        }
    return ParseByte(text, value);
}

CXModemReceiver::Timing UploadTiming(std::uint32_t nakMs)
{
    CXModemReceiver::Timing timing;
    timing.nakIntervalMs = nakMs;
    return timing;
}

const char* FaultName(int fault)
{
    static const char* const names[] = {"none", "checksum", "end", "garbage", "ack", "nak"};
    return names[fault];
}
}  // namespace

CSimulator::CSimulator(SimOptions options)
    : m_options(std::move(options)), m_state(NowMs(), m_options.cycleMs),
      m_upload(UploadTiming(m_options.xmodemNakMs))
{
    // The unit's clock starts at the PC's local time, as if it had been set from the network.
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&t, &local) != nullptr)
        m_state.SetClock({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                          std::min(local.tm_sec, 59)},
                         NowMs());
}

CSimulator::~CSimulator()
{
    RemoveLink();
}

int CSimulator::Run()
{
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        std::fprintf(stderr, "quillmere-devsim: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    struct sigaction action{};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        sigaction(s, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (!m_options.transcriptPath.empty() && !m_transcript.Open(m_options.transcriptPath))
    {
        std::fprintf(stderr, "quillmere-devsim: cannot write %s: %s\n", m_options.transcriptPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::string error;
    if (!Plug(error))
    {
        std::fprintf(stderr, "quillmere-devsim: %s\n", error.c_str());
        return 1;
    }
    Print("PTY " + m_pty.SlavePath());
    if (!m_linkedTo.empty())
        Print("LINK " + m_options.linkPath);
    Print("READY");

    const std::uint64_t start = NowMs();
    const std::uint64_t stopAt =
        m_options.maxSeconds ? start + static_cast<std::uint64_t>(*m_options.maxSeconds * 1000.0) : UINT64_MAX;
    while (!m_quit)
    {
        std::uint64_t now = NowMs();
        if (now >= stopAt)
        {
            m_exitReason = "time limit";
            break;
        }
        ReadHost(now);
        RunTimers(now);

        const bool peer = m_pty.PeerPresent();
        const std::uint64_t wake = std::min(NextWake(now), stopAt);
        int timeout = static_cast<int>(std::min<std::uint64_t>(wake > now ? wake - now : 0, 1000));
        if (!peer)
            timeout = std::min(timeout, kNoPeerRecheckMs);

        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {g_signalPipe[0], POLLIN, 0};
        const nfds_t controlIndex = count;
        if (!m_inputClosed)
            fds[count++] = {STDIN_FILENO, POLLIN, 0};
        const nfds_t ptyIndex = count;
        const bool flooding = peer && m_flood != FloodKind::Off;
        if (peer)
            fds[count++] = {m_pty.Descriptor(), static_cast<short>(POLLIN | (flooding ? POLLOUT : 0)), 0};
        if (poll(fds, count, timeout) < 0 && errno != EINTR)
        {
            m_exitReason = std::string("poll: ") + std::strerror(errno);
            break;
        }
        if (fds[0].revents != 0)
        {
            m_exitReason = "signal";
            break;
        }
        if (!m_inputClosed && fds[controlIndex].revents != 0)
            ReadControl();
        if (flooding && (fds[ptyIndex].revents & POLLOUT) != 0)
            Flood();
    }
    if (m_exitReason.empty())
        m_exitReason = m_inputClosed ? "end of control input" : "quit";
    m_transcript.Event("exit: " + m_exitReason);
    RemoveLink();
    m_pty.Close();
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    return 0;
}

bool CSimulator::Plug(std::string& error)
{
    if (!m_pty.Open(error))
        return false;
    m_transcript.Event("plugged in at " + m_pty.SlavePath());
    return m_options.linkPath.empty() || PointLink(error);
}

bool CSimulator::PointLink(std::string& error)
{
    namespace fs = std::filesystem;
    const fs::path link = m_options.linkPath;
    std::error_code ec;
    if (link.has_parent_path())
        fs::create_directories(link.parent_path(), ec);
    // Replace only a link: a real file or folder at that place belongs to someone else.
    const fs::file_status status = fs::symlink_status(link, ec);
    if (fs::exists(status) && !fs::is_symlink(status))
    {
        error = m_options.linkPath + " exists and is not a symbolic link";
        return false;
    }
    // Made beside the final name and renamed over it, so the program never finds the link
    // missing or half made while the unit is re-plugged.
    const std::string temporary = m_options.linkPath + ".devsim-" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (::symlink(m_pty.SlavePath().c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), m_options.linkPath.c_str()) != 0)
    {
        error = "cannot make " + m_options.linkPath + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    m_linkedTo = m_pty.SlavePath();
    return true;
}

void CSimulator::RemoveLink()
{
    if (m_linkedTo.empty())
        return;
    // Another unit may have taken the name over since; its link is not ours to remove.
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::read_symlink(m_options.linkPath, ec);
    if (!ec && target == m_linkedTo)
        ::unlink(m_options.linkPath.c_str());
    m_linkedTo.clear();
}

void CSimulator::ReadHost(std::uint64_t now)
{
    std::uint8_t buffer[512];
    for (int rounds = 0; rounds < 64; ++rounds)
    {
        const std::size_t n = m_pty.Read(buffer, sizeof buffer);
        if (n == 0)
            return;
        for (std::size_t i = 0; i < n; ++i)
            OnHostByte(buffer[i], now);
    }
}

void CSimulator::OnHostByte(std::uint8_t byte, std::uint64_t now)
{
    if (m_uploading)
    {
        if (auto action = m_upload.Feed(byte, now))
            OnUploadAction(*action, now);
        return;
    }
    if (auto unit = m_parser.Feed(byte, now))
        OnHostUnit(*unit, now);
}

void CSimulator::OnHostUnit(const CHostFrameParser::Unit& unit, std::uint64_t now)
{
    using Verdict = CHostFrameParser::Verdict;
    if (now < m_deafUntil)
    {
        m_transcript.Received(unit.bytes, "!restarting");
        return;
    }
    m_transcript.Received(unit.bytes, CHostFrameParser::VerdictText(unit.verdict));
    if (unit.verdict == Verdict::Noise || unit.verdict == Verdict::Incomplete)
        return;   // nothing recognisable to answer
    if (unit.verdict != Verdict::Good)
    {
        Answer(Reply::MakeNak(), now);
        return;
    }
    const Reply reply = m_state.Handle(unit.code, unit.payload, now);
    Answer(reply, now);
    if (unit.code == wire::code::kReset && reply.kind == Reply::Kind::Frame)
    {
        m_deafUntil = now + m_options.resetMs;
        m_transcript.Event("reset");
    }
    if (reply.startUpgrade)
    {
        m_uploading = true;
        m_parser.Clear();
        m_transcript.Event("waiting for a firmware upload");
        Send(m_upload.Start(now), "", now + m_delayMs);
    }
}

void CSimulator::OnUploadAction(const CXModemReceiver::Action& action, std::uint64_t now)
{
    std::string note = action.note;
    if (!action.received.empty())
        m_transcript.Received(action.received, note);
    else
        m_transcript.Event("upload: " + note);
    if (!m_silent)
        Send(action.reply, "", now + m_delayMs);
    if (m_upload.GetState() != CXModemReceiver::State::Receiving)
        FinishUpload();
}

void CSimulator::FinishUpload()
{
    m_uploading = false;
    m_parser.Clear();
    if (m_upload.GetState() != CXModemReceiver::State::Done)
    {
        m_transcript.Event("firmware upload abandoned");
        return;
    }
    const wire::Bytes& data = m_upload.Data();
    ++m_uploadsDone;
    m_lastUploadBytes = data.size();
    std::string where = "not stored";
    if (!m_options.firmwareOutPath.empty())
    {
        // Written whole and renamed into place, so a reader never sees half an image.
        const std::string temporary = m_options.firmwareOutPath + ".part";
        std::FILE* file = std::fopen(temporary.c_str(), "wbe");
        bool ok = file != nullptr;
        if (ok)
        {
            ok = std::fwrite(data.data(), 1, data.size(), file) == data.size();
            ok = std::fclose(file) == 0 && ok;
        }
        ok = ok && std::rename(temporary.c_str(), m_options.firmwareOutPath.c_str()) == 0;
        if (!ok)
            std::remove(temporary.c_str());
        where = ok ? "stored in " + m_options.firmwareOutPath : "could not store " + m_options.firmwareOutPath;
    }
    m_transcript.Event("firmware received: " + std::to_string(data.size()) + " bytes in " +
                       std::to_string(m_upload.BlocksAccepted()) + " blocks, " + where);
}

void CSimulator::RunTimers(std::uint64_t now)
{
    m_state.Tick(now);
    if (m_uploading)
    {
        if (auto action = m_upload.Expire(now))
            OnUploadAction(*action, now);
    }
    else if (auto unit = m_parser.Expire(now))
    {
        OnHostUnit(*unit, now);
    }
    FlushDue(now);
}

std::uint64_t CSimulator::NextWake(std::uint64_t now) const
{
    std::uint64_t wake = now + 1000;
    if (!m_outgoing.empty())
        wake = std::min(wake, m_outgoing.front().due);
    const auto deadline = m_uploading ? m_upload.Deadline() : m_parser.Deadline();
    if (deadline)
        wake = std::min(wake, *deadline);
    return wake;
}

void CSimulator::Answer(const Reply& reply, std::uint64_t now)
{
    if (reply.kind == Reply::Kind::None)
        return;
    wire::Bytes bytes = reply.Encode();
    std::string note;
    if (m_faultCount > 0 && m_fault != Fault::None)
    {
        const bool frame = reply.kind == Reply::Kind::Frame;
        bool used = true;
        switch (m_fault)
        {
        case Fault::Checksum:
            used = frame;
            if (frame)
                bytes[bytes.size() - 2] ^= 0xFF;
            break;
        case Fault::End:
            used = frame;
            if (frame)
                bytes.back() = 0x00;
            break;
        case Fault::Garbage:
            bytes = kGarbage;
            break;
        case Fault::Ack:
            bytes = {wire::kAck};
            break;
        case Fault::Nak:
            bytes = {wire::kNak};
            break;
        case Fault::None:
            break;
        }
        if (used)
        {
            note = std::string("!fault-") + FaultName(static_cast<int>(m_fault));
            if (--m_faultCount == 0)
                m_fault = Fault::None;
        }
    }
    if (m_silent)
    {
        m_transcript.Event("silent, not sent: " + wire::ToHex(bytes));
        return;
    }
    Send(std::move(bytes), note, now + m_delayMs);
}

void CSimulator::Send(wire::Bytes bytes, std::string note, std::uint64_t due)
{
    if (bytes.empty())
        return;
    // Later sends never overtake earlier answers that are still waiting out a delay.
    auto at = std::upper_bound(m_outgoing.begin(), m_outgoing.end(), due,
                               [](std::uint64_t d, const Outgoing& o) { return d < o.due; });
    m_outgoing.insert(at, Outgoing{due, std::move(bytes), std::move(note)});
}

void CSimulator::Flood()
{
    constexpr int kFramesPerBatch = 64;
    if (m_floodOffset >= m_floodBuffer.size())
    {
        m_floodBuffer.clear();
        m_floodOffset = 0;
        for (int i = 0; i < kFramesPerBatch; ++i)
        {
            const std::uint8_t relay = m_flood == FloodKind::Real ? 1 : 9;
            const std::uint8_t state = static_cast<std::uint8_t>((m_floodFrames + static_cast<std::uint64_t>(i)) % 2);
            const wire::Bytes frame = wire::BuildFrame(wire::code::kUnsolicitedRelay, {relay, state, 1});
            m_floodBuffer.insert(m_floodBuffer.end(), frame.begin(), frame.end());
        }
        m_floodFrames += kFramesPerBatch;
    }
    // Not transcribed: a flood would bury everything else in the transcript.
    m_floodOffset += m_pty.Write(m_floodBuffer.data() + m_floodOffset, m_floodBuffer.size() - m_floodOffset);
}

void CSimulator::FlushDue(std::uint64_t now)
{
    while (!m_outgoing.empty() && m_outgoing.front().due <= now)
    {
        Outgoing out = std::move(m_outgoing.front());
        m_outgoing.pop_front();
        // A serial line into a closed port loses what is sent; so does this one.
        if (!m_pty.PeerPresent())
        {
            m_transcript.Event("port closed, not sent: " + wire::ToHex(out.bytes));
            continue;
        }
        const std::size_t written = m_pty.Write(out.bytes.data(), out.bytes.size());
        if (written < out.bytes.size())
        {
            m_transcript.Sent(wire::Bytes(out.bytes.begin(), out.bytes.begin() + static_cast<long>(written)),
                              "!overflow");
            continue;
        }
        m_transcript.Sent(out.bytes, out.note);
    }
}

void CSimulator::ReadControl()
{
    char buffer[1024];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0)
    {
        m_inputClosed = true;
        m_quit = true;
        return;
    }
    m_controlBuffer.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while (!m_quit && (end = m_controlBuffer.find('\n')) != std::string::npos)
    {
        std::string line = m_controlBuffer.substr(0, end);
        m_controlBuffer.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        Print(line.size() > kMaxControlLine ? "ERR line too long" : Control(line, NowMs()));
    }
    if (m_controlBuffer.size() > kMaxControlLine)
    {
        m_controlBuffer.clear();
        Print("ERR line too long");
    }
}

std::string CSimulator::Control(const std::string& line, std::uint64_t now)
{
    const std::vector<std::string> w = SplitWords(line);
    const std::string& command = w[0];
    const std::size_t n = w.size();
    std::uint8_t b = 0;
    std::uint64_t number = 0;

    if (command == "quit")
    {
        m_quit = true;
        return "OK quit";
    }
    if (command == "status" && n == 1)
    {
        std::ostringstream out;
        out << "OK " << m_state.Describe(now) << " mode=" << (m_uploading ? "upload" : "command")
            << " silent=" << (m_silent ? "on" : "off") << " delay=" << m_delayMs
            << " fault=" << FaultName(static_cast<int>(m_fault)) << ':' << m_faultCount
            << " refuse-blocks=" << m_upload.RefusalsLeft() << " uploads=" << m_uploadsDone
            << " upload-bytes=" << m_lastUploadBytes << " port=" << (m_pty.IsOpen() ? "plugged" : "unplugged")
            << " host=" << (m_pty.PeerPresent() ? "open" : "closed");
        return out.str();
    }
    if (command == "relay" && n == 3)
    {
        if (!ParseNumber(w[1], 255, number) || !ParseNamedByte(w[2], {{"on", 0}, {"off", 1}}, b) ||
            !m_state.SetRelay(static_cast<int>(number), b))
            return "ERR usage: relay 1-4 on|off|BYTE";
        return "OK relay " + w[1] + ' ' + std::to_string(b);
    }
    if (command == "clock" && n == 2 && w[1] == "now")
    {
        const std::time_t t = std::time(nullptr);
        std::tm local{};
        localtime_r(&t, &local);
        m_state.SetClock({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                          std::min(local.tm_sec, 59)},
                         now);
        return "OK clock now";
    }
    if (command == "clock" && n == 3)
    {
        CivilTime t;
        t.second = 0;
        char tail = 0;
        const int fields = std::sscanf((w[1] + ' ' + w[2]).c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &t.year, &t.month,
                                       &t.day, &t.hour, &t.minute, &t.second, &tail);
        if ((fields != 5 && fields != 6) || !m_state.SetClock(t, now))
            return "ERR usage: clock YYYY-MM-DD HH:MM[:SS] | clock now | clock raw MINUTES MONTH DAY YY";
        return "OK clock " + w[1] + ' ' + w[2];
    }
    if (command == "clock" && n == 6 && w[1] == "raw")
    {
        std::uint8_t month = 0, day = 0, year = 0;
        if (!ParseNumber(w[2], 65535, number) || !ParseByte(w[3], month) || !ParseByte(w[4], day) ||
            !ParseByte(w[5], year))
            return "ERR usage: clock raw MINUTES(0-65535) MONTH DAY YY";
        m_state.SetRawClock(static_cast<std::uint16_t>(number), month, day, year);
        return "OK clock raw";
    }
    if (command == "firmware" && n == 2)
    {
        unsigned major = 0, minor = 0, build = 0;
        char tail = 0;
        if (std::sscanf(w[1].c_str(), "%u.%u.%u%c", &major, &minor, &build, &tail) != 3 || major > 255 ||
            minor > 255 || build > 255)
            return "ERR usage: firmware MAJOR.MINOR.BUILD (each 0-255)";
        m_state.SetFirmware(static_cast<std::uint8_t>(major), static_cast<std::uint8_t>(minor),
                            static_cast<std::uint8_t>(build));
        return "OK firmware " + w[1];
    }
    if (command == "iccid" && n == 2)
    {
        if (!m_state.SetIccid(w[1] == "none" ? "" : w[1]))
            return "ERR usage: iccid DIGITS (up to 20) | iccid none";
        return "OK iccid " + w[1];
    }
    if (n == 2 && (command == "gsm" || command == "rssi" || command == "door" || command == "radio" ||
                   command == "power"))
    {
        bool ok = false;
        if (command == "gsm")
            ok = ParseNamedByte(w[1], {{"on", 1}, {"off", 0}}, b);
        else if (command == "door")
            ok = ParseNamedByte(w[1], {{"open", 1}, {"closed", 0}}, b);
        else if (command == "radio")
            ok = ParseNamedByte(w[1], {{"2g", 0}, {"3g", 1}}, b);
        else
            ok = ParseByte(w[1], b);
        if (!ok)
            return "ERR usage: " + command + " VALUE (0-255)";
        if (command == "gsm")
            m_state.SetGsm(b);
        else if (command == "rssi")
            m_state.SetRssi(b);
        else if (command == "door")
            m_state.SetDoor(b);
        else if (command == "radio")
            m_state.SetRadio(b);
        else
            m_state.SetPower(b);
        return "OK " + command + ' ' + std::to_string(b);
    }
    if (command == "uptime" && n == 2)
    {
        if (!ParseNumber(w[1], UINT32_MAX, number))
            return "ERR usage: uptime SECONDS";
        m_state.SetUptime(static_cast<std::uint32_t>(number), now);
        return "OK uptime " + w[1];
    }
    if (command == "inject")
        return Inject(w, now);
    if (command == "silent" && n == 2 && (w[1] == "on" || w[1] == "off"))
    {
        m_silent = w[1] == "on";
        return "OK silent " + w[1];
    }
    if (command == "fault" && n == 2 && (w[1] == "off" || w[1] == "none"))
    {
        m_fault = Fault::None;
        m_faultCount = 0;
        return "OK fault off";
    }
    if (command == "fault" && n == 3)
    {
        static const std::pair<const char*, Fault> kinds[] = {{"checksum", Fault::Checksum}, {"end", Fault::End},
                                                              {"garbage", Fault::Garbage},   {"ack", Fault::Ack},
                                                              {"nak", Fault::Nak}};
        const auto kind = std::find_if(std::begin(kinds), std::end(kinds),
                                       [&](const auto& k) { return w[1] == k.first; });
        if (kind == std::end(kinds) || !ParseNumber(w[2], 1000000, number) || number == 0)
            return "ERR usage: fault checksum|end|garbage|ack|nak COUNT | fault off";
        m_fault = kind->second;
        m_faultCount = static_cast<int>(number);
        return "OK fault " + w[1] + ' ' + w[2];
    }
    if (command == "refuse-blocks" && n == 2)
    {
        if (!ParseNumber(w[1], 1000000, number))
            return "ERR usage: refuse-blocks COUNT";
        m_upload.RefuseNext(static_cast<int>(number));
        return "OK refuse-blocks " + w[1];
    }
    if (command == "delay" && n == 2)
    {
        if (!ParseNumber(w[1], 600000, number))
            return "ERR usage: delay MS (0-600000)";
        m_delayMs = static_cast<std::uint32_t>(number);
        return "OK delay " + w[1];
    }
    if (command == "upgrade-answer" && n == 2 && (w[1] == "frame" || w[1] == "ack"))
    {
        m_state.SetUpgradeAnswer(w[1] == "ack" ? CDeviceState::UpgradeAnswer::Ack
                                               : CDeviceState::UpgradeAnswer::Frame);
        return "OK upgrade-answer " + w[1];
    }
    if (command == "enable-answer" && n == 2 && (w[1] == "marker" || w[1] == "echo" || w[1] == "state"))
    {
        m_state.SetEnableAnswer(w[1] == "echo"    ? CDeviceState::EnableAnswer::Echo
                                : w[1] == "state" ? CDeviceState::EnableAnswer::State
                                                  : CDeviceState::EnableAnswer::Marker);
        return "OK enable-answer " + w[1];
    }
    if (command == "flood" && n == 2 && (w[1] == "on" || w[1] == "real" || w[1] == "off"))
    {
        m_flood = w[1] == "off" ? FloodKind::Off : w[1] == "real" ? FloodKind::Real : FloodKind::Ignored;
        if (m_flood == FloodKind::Off)
            m_transcript.Event("flood ended after " + std::to_string(m_floodFrames) + " frames");
        return "OK flood " + w[1];
    }
    if (command == "hangup" && n == 1)
    {
        if (!m_pty.IsOpen())
            return "ERR already unplugged";
        m_pty.Close();
        m_outgoing.clear();
        m_parser.Clear();
        if (m_uploading)
        {
            m_uploading = false;
            m_transcript.Event("firmware upload abandoned");
        }
        m_transcript.Event("unplugged");
        return "OK hangup";
    }
    if (command == "replug" && n == 1)
    {
        m_pty.Close();
        m_outgoing.clear();
        m_parser.Clear();
        m_uploading = false;
        std::string error;
        if (!Plug(error))
            return "ERR " + error;
        return "OK PTY " + m_pty.SlavePath();
    }
    if (command == "help")
        return "OK commands: status, relay N on|off|B, clock YYYY-MM-DD HH:MM[:SS]|now|raw M MO D YY, "
               "firmware A.B.C, iccid DIGITS|none, gsm B, rssi B, door open|closed|B, radio 2g|3g|B, power B, "
               "uptime S, inject relay R S SRC [force], inject door B [force], silent on|off, "
               "fault checksum|end|garbage|ack|nak N, fault off, refuse-blocks N, delay MS, "
               "upgrade-answer frame|ack, enable-answer marker|echo|state, inject raw CODE [B ...], "
               "flood on|real|off, hangup, replug, quit";
    return "ERR unknown command: " + line;
}

std::string CSimulator::Inject(const std::vector<std::string>& w, std::uint64_t now)
{
    const bool force = w.back() == "force";
    const std::size_t n = w.size() - (force ? 1 : 0);
    wire::Bytes frame;
    bool enabled = false;
    if (n == 5 && w[1] == "relay")
    {
        std::uint8_t relay = 0, state = 0, source = 0;
        if (!ParseByte(w[2], relay) || !ParseNamedByte(w[3], {{"on", 0}, {"off", 1}}, state) ||
            !ParseNamedByte(w[4], {{"web", 0}, {"button", 1}, {"schedule", 2}}, source))
            return "ERR usage: inject relay RELAY on|off|B web|button|schedule|B [force]";
        // A message about a real relay also moves that relay; one about relay 0 or 9 does not,
        // which lets a test send the host messages it must ignore.
        if (relay >= 1 && relay <= CDeviceState::kRelayCount && state <= 1)
            m_state.SetRelay(relay, state);
        frame = wire::BuildFrame(wire::code::kUnsolicitedRelay, {relay, state, source});
        enabled = m_state.UnsolicitedRelayEnabled();
    }
    else if (n == 3 && w[1] == "door")
    {
        std::uint8_t door = 0;
        if (!ParseNamedByte(w[2], {{"open", 1}, {"closed", 0}}, door))
            return "ERR usage: inject door open|closed|B [force]";
        if (door <= 1)
            m_state.SetDoor(door);
        frame = wire::BuildFrame(wire::code::kTamperUnsolicited, {door});
        enabled = m_state.UnsolicitedDoorEnabled();
    }
    else if (n >= 3 && w[1] == "raw")
    {
        // Any frame as given, whatever its length: what a unit with a fault might send.
        std::uint8_t code = 0;
        wire::Bytes payload;
        bool ok = ParseByte(w[2], code);
        for (std::size_t i = 3; ok && i < n; ++i)
        {
            std::uint8_t b = 0;
            ok = ParseByte(w[i], b);
            payload.push_back(b);
        }
        if (!ok)
            return "ERR usage: inject raw CODE [BYTE ...]";
        frame = wire::BuildFrame(code, payload);
        enabled = true;
    }
    else
    {
        return "ERR usage: inject relay R S SRC [force] | inject door B [force] | inject raw CODE [B ...]";
    }
    if (!enabled && !force)
        return "OK held: the host has not enabled these messages";
    if (m_silent)
        return "OK held: silent";
    if (!m_pty.PeerPresent())
        return "OK held: port closed";
    Send(frame, "", now);
    FlushDue(now);
    return "OK sent " + wire::ToHex(frame);
}

void CSimulator::Print(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
