#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A real mosquitto broker on a free loopback port with a generated configuration, and the
// mosquitto_sub / mosquitto_pub clients as independent peers. Every wait has a deadline and
// the destructor ends the broker and every peer still running.
class Broker
{
public:
    struct Options
    {
        bool tls = false;            // the listener speaks TLS with a server certificate for 127.0.0.1
        std::string user;            // with a password: anonymous clients are refused
        std::string password;
        bool persistence = false;    // sessions and retained messages survive a restart
        std::string acl = {};        // the text of an acl_file, when given
    };

    explicit Broker(Options options);
    Broker() : Broker(Options{}) {}
    ~Broker();
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    bool Start();   // (again) on the same port; true once it accepts connections
    void Stop();
    bool Running() const { return m_pid > 0; }
    int Port() const { return m_port; }
    const std::string& Folder() const { return m_folder; }
    const std::string& Error() const { return m_error; }

    // Made by openssl when tls is on: a CA, the server's certificate, and a second CA that
    // signed nothing the broker shows.
    std::string CaFile() const { return m_folder + "/ca.crt"; }
    std::string OtherCaFile() const { return m_folder + "/other-ca.crt"; }

    // The peers' own arguments for this broker (port, TLS, user).
    std::vector<std::string> ClientArgs() const;

    // Waits until the broker logged a subscription of clientId to topic.
    bool WaitForSubscription(const std::string& clientId, const std::string& topic, int timeoutMs = 10000) const;
    std::string Log() const;

    // mosquitto_sub until count messages came or seconds passed; each line "topic payload".
    std::vector<std::string> Subscribe(const std::string& topic, int count, int seconds,
                                       bool retainedOnly = false) const;
    bool Publish(const std::string& topic, const std::string& payload, bool retain = false) const;

private:
    bool MakeCertificates();

    Options m_options;
    std::string m_folder;
    std::string m_error;
    int m_port = 0;
    pid_t m_pid = -1;
};

// A mosquitto_sub running in the background that sees only what is published after it
// subscribed (retained messages are left out).
class Listener
{
public:
    // persistentId: a session the broker keeps (and fills) while the listener is away.
    Listener(const Broker& broker, const std::string& topic, int count, int seconds,
             const std::string& persistentId = {});
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Waits until it ended (count reached or time up); each line "topic payload".
    std::vector<std::string> Lines();

private:
    pid_t m_pid = -1;
    std::string m_output;
};

// A name server on loopback that takes every question and never answers, made this process's
// (and its children's) only one in a mount namespace of its own. Needs the private
// namespaces' root (see in-private-netns.sh).
class SilentResolver
{
public:
    SilentResolver() = default;
    ~SilentResolver();
    SilentResolver(const SilentResolver&) = delete;
    SilentResolver& operator=(const SilentResolver&) = delete;

    // folder: where its resolv.conf is written.
    bool Start(const std::string& folder);
    // Which step of Start failed, and why.
    const std::string& Error() const { return m_error; }
    // Waits for a question; the name asked for, or empty when none came.
    std::string WaitForQuestion(int timeoutMs);

private:
    int m_socket = -1;
    std::string m_error;
};

// Starts a command with its output going to a file; the child's pid.
pid_t SpawnProcess(const std::vector<std::string>& args, const std::string& outputPath);
// Waits for a child with a deadline, then kills it; its wait status or -1.
int WaitForChild(pid_t pid, int timeoutMs);

// Runs a command with a deadline; its exit status (or -1) and its output.
int RunCommand(const std::vector<std::string>& args, std::string* output, int timeoutMs);
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);
