#include "serverprocess.h"

#include "net.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr auto ReadyTimeout = std::chrono::seconds(15);
constexpr auto StopGrace = std::chrono::seconds(5);
constexpr auto PollStep = std::chrono::milliseconds(10);

[[noreturn]] void execChild(const std::vector<std::string> &args, const std::string &tmpdir,
                            const std::string &out, rlimit nofile)
{
    // The child must not outlive the bench, e.g. after Ctrl-C.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::setrlimit(RLIMIT_NOFILE, &nofile);
    ::setenv("TMPDIR", tmpdir.c_str(), 1);
    // Every load connection comes from loopback: the per-address limit would refuse most.
    ::setenv("VX_MAX_CONNECTIONS_PER_ADDRESS", "0", 1);
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int null = ::open("/dev/null", O_RDONLY);
    if (fd >= 0) {
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
    }
    if (null >= 0)
        ::dup2(null, STDIN_FILENO);
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

} // namespace

ServerProcess::ServerProcess(std::string name, std::vector<std::string> command, std::string tmpdir,
                             rlimit child_nofile)
    : m_name(std::move(name)), m_command(std::move(command)), m_tmpdir(std::move(tmpdir)),
      m_child_nofile(child_nofile)
{
}

ServerProcess::~ServerProcess()
{
    if (m_pid > 0)
        stop();
}

bool ServerProcess::start(uint16_t port)
{
    m_error.clear();
    m_port = port;
    std::vector<std::string> args = m_command;
    args.push_back(std::to_string(port));
    const std::string out = m_tmpdir + "/" + m_name + ".out";
    m_pid = ::fork();
    if (m_pid < 0) {
        m_error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (m_pid == 0)
        execChild(args, m_tmpdir, out, m_child_nofile);

    const auto deadline = net::Clock::now() + ReadyTimeout;
    while (net::Clock::now() < deadline) {
        if (!isRunning()) {
            m_error = "ended before listening, " + m_error + " (see " + out + ")";
            return false;
        }
        if (net::isListening(port))
            return true;
        std::this_thread::sleep_for(PollStep);
    }
    m_error = "not listening on port " + std::to_string(port) + " after 15 s";
    stop();
    return false;
}

bool ServerProcess::isRunning()
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
    if (r == 0)
        return true;
    m_error = r == m_pid ? "ended by itself: " + describeExit(status) : "lost";
    m_pid = -1;
    return false;
}

std::string ServerProcess::stop()
{
    if (m_pid <= 0)
        return m_error.empty() ? "not running" : m_error;
    ::kill(m_pid, SIGTERM);
    const auto deadline = net::Clock::now() + StopGrace;
    int status = 0;
    while (net::Clock::now() < deadline) {
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return describeExit(status);
        }
        std::this_thread::sleep_for(PollStep);
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return "no exit within 5 s of SIGTERM, killed";
}

std::string ServerProcess::describeExit(int status) const
{
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "unknown end";
}

double ServerProcess::cpuSeconds() const
{
    std::ifstream file("/proc/" + std::to_string(m_pid) + "/stat");
    std::string text;
    std::getline(file, text);
    // The command name may hold blanks; the fields we want follow its closing parenthesis.
    const size_t paren = text.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(paren + 1));
    std::string field;
    long utime = -1, stime = -1;
    // Fields 3 (state) to 15 (stime); utime is field 14.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14)
            utime = std::stol(field);
        else if (index == 15)
            stime = std::stol(field);
    }
    if (utime < 0 || stime < 0)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long ServerProcess::statusField(const char *field) const
{
    std::ifstream file("/proc/" + std::to_string(m_pid) + "/status");
    std::string line;
    const size_t len = std::strlen(field);
    while (std::getline(file, line)) {
        if (line.compare(0, len, field) == 0 && line.size() > len && line[len] == ':')
            return std::stol(line.substr(len + 1));
    }
    return -1;
}

long ServerProcess::rssKiB() const
{
    return statusField("VmRSS");
}

long ServerProcess::threads() const
{
    return statusField("Threads");
}

std::vector<std::string> ServerProcess::threadNames() const
{
    std::vector<std::string> names;
    const std::string tasks = "/proc/" + std::to_string(m_pid) + "/task";
    DIR *dir = ::opendir(tasks.c_str());
    if (!dir)
        return names;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(tasks + "/" + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

long ServerProcess::descriptors() const
{
    DIR *dir = ::opendir(("/proc/" + std::to_string(m_pid) + "/fd").c_str());
    if (!dir)
        return -1;
    long count = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(dir);
    return count;
}
