#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

// Runs the simulated unit (tools/quillmere-devsim) as a child process for a test: reads its
// pseudo-terminal path, sends control lines and reads their answers, and reads the transcript
// of what went over the line. Every wait has a deadline, and the destructor always ends the
// child, so a broken unit fails a test instead of hanging it.
//
// The program is found at $QM_BINARY_DIR/tools/quillmere-devsim (qm_add_test sets the variable),
// or where the build put it when the variable is not set.
// A private temporary folder holds the transcript and the received firmware image.
class DevSimProcess
{
public:
    // extraArgs are appended to the command line (for example {"--link", path}). The child
    // also gets --max-seconds maxSeconds, so it ends by itself even if this process dies.
    explicit DevSimProcess(std::vector<std::string> extraArgs = {}, double maxSeconds = 60);
    ~DevSimProcess();
    DevSimProcess(const DevSimProcess&) = delete;
    DevSimProcess& operator=(const DevSimProcess&) = delete;

    bool Started() const { return m_ready; }
    const std::string& Error() const { return m_error; }   // why it did not start
    const std::string& PtyPath() const { return m_ptyPath; }   // follows "replug"
    const std::string& LinkPath() const { return m_linkPath; }
    const std::string& Folder() const { return m_folder; }
    std::string TranscriptPath() const { return m_folder + "/transcript.txt"; }
    std::string FirmwarePath() const { return m_folder + "/firmware.rom"; }

    // Sends one control line and returns its answer ("OK ..." or "ERR ..."), or an empty text
    // when none came within the time.
    std::string Control(const std::string& line, int timeoutMs = 3000);
    // Sends one control line; true when the answer starts with "OK".
    bool Command(const std::string& line, int timeoutMs = 3000);

    std::vector<std::string> TranscriptLines() const;
    // The hex text after "RX " / "TX " of every line, with any "!note" after it.
    std::vector<std::string> ReceivedFrames() const;
    std::vector<std::string> SentFrames() const;
    bool WaitForReceivedFrames(std::size_t count, int timeoutMs) const;
    bool WaitForSentFrames(std::size_t count, int timeoutMs) const;
    bool WaitForTranscriptLine(const std::string& text, int timeoutMs) const;   // a line containing text

    // Asks the unit to quit, then escalates to SIGTERM and SIGKILL. Returns the exit status,
    // or -1 when it had to be killed or was not running.
    int Stop(int timeoutMs = 3000);
    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }

    // Waits for the child to end by itself (end of input, time limit); the exit status or -1.
    int WaitForExit(int timeoutMs);
    void CloseInput();

    static std::string BinaryPath();

private:
    std::string ReadLine(int timeoutMs);
    std::vector<std::string> Lines(const char* prefix) const;

    pid_t m_pid = -1;
    int m_toChild = -1;
    int m_fromChild = -1;
    std::string m_buffer;
    std::string m_folder;
    std::string m_ptyPath;
    std::string m_linkPath;
    std::string m_error;
    bool m_ready = false;
};
