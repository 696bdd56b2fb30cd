#pragma once

#include <cstdint>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

// One server under test, run as a child process: started fresh for each load phase so that no
// phase sees what an earlier one left behind, and read through /proc while it runs.
class ServerProcess
{
public:
    // command: executable and leading arguments; the control port is appended as the last one.
    // tmpdir becomes the child's TMPDIR; its output goes to <tmpdir>/<name>.out.
    ServerProcess(std::string name, std::vector<std::string> command, std::string tmpdir,
                  rlimit child_nofile);
    ~ServerProcess();
    ServerProcess(const ServerProcess &) = delete;
    ServerProcess &operator=(const ServerProcess &) = delete;

    // Starts the child and waits until it listens on port; false (see error()) otherwise.
    bool start(uint16_t port);
    // Asks the child to end (SIGTERM, SIGKILL after a grace period); returns how it ended,
    // e.g. "exit 0", "signal 11".
    std::string stop();
    bool isRunning();

    uint16_t port() const { return m_port; }
    const std::string &name() const { return m_name; }
    const std::string &error() const { return m_error; }

    // user + system CPU time of the whole process in seconds, or -1.
    double cpuSeconds() const;
    // Resident set in KiB, or -1.
    long rssKiB() const;
    // Number of threads, or -1.
    long threads() const;
    // Names of its threads (empty when it is gone).
    std::vector<std::string> threadNames() const;
    // Number of open descriptors, or -1.
    long descriptors() const;

private:
    std::string describeExit(int status) const;
    long statusField(const char *field) const;

    std::string m_name;
    std::vector<std::string> m_command;
    std::string m_tmpdir;
    rlimit m_child_nofile;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_error;
};
