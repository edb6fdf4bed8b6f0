#include "pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "sim_limits.h"
#include "sim_trace.h"

namespace vantrel::sim {

namespace {

int g_signalWrite = -1;

void ForwardSignal(int signal) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(g_signalWrite, &byte, 1);
    errno = savedErrno;
}

int InstallSignalPipe(std::string& error) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = std::string("cannot make the signal pipe: ") + std::strerror(errno);
        return -1;
    }
    g_signalWrite = fds[1];
    struct sigaction action {};
    action.sa_handler = ForwardSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGUSR1, SIGUSR2, SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
    // A read of the terminal from the background then fails with EIO instead of stopping the
    // whole instrument. The simulator does not try one (ReadStdin asks first), but a job moved
    // to the background between the question and the read must not stop.
    std::signal(SIGTTIN, SIG_IGN);
    return fds[0];
}

std::string SystemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Raw mode: no echo, no line editing, no CR/LF translation on either side, 8 data bits.
bool MakeRaw(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        return false;
    }
    ::cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B38400);
    ::cfsetospeed(&settings, B38400);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

int PollTimeout(PtyLine::TimePoint wake, PtyLine::TimePoint now) {
    if (wake == PtyLine::TimePoint::max()) {
        return -1;
    }
    if (wake <= now) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// Whether this process is the foreground job of the terminal on `fd`. False for a terminal that
// is not this process's controlling terminal: it belongs to somebody else.
bool ForegroundOf(int fd) {
    const pid_t foreground = ::tcgetpgrp(fd);
    return foreground != -1 && foreground == ::getpgrp();
}

std::string_view Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

std::string PortAliasFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (config != nullptr && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + "/.config";
    }
    return base + "/vantrel/ports";
}

PtyLine::PtyLine(Settings settings) : m_settings(settings) {
    if (settings.baud > 0) {
        m_byteTime = std::chrono::duration_cast<Clock::duration>(
            std::chrono::nanoseconds(1'000'000'000LL * kBitsPerByte / settings.baud));
    }
}

PtyLine::~PtyLine() {
    RemoveAlias();
    for (int fd : {m_master, m_heldSlave, m_openWatch, m_signalRead}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool PtyLine::Open(std::string& error) {
    // Before any descriptor is made: a closed stdin's number would be handed out again.
    if (m_settings.watchStdin && ::fcntl(STDIN_FILENO, F_GETFD) != -1) {
        m_stdinKind = ::isatty(STDIN_FILENO) ? StdinKind::Terminal : StdinKind::Stream;
    }
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        error = SystemError("cannot create a pseudo-terminal");
        return false;
    }
    std::array<char, 128> name{};
    if (::ptsname_r(m_master, name.data(), name.size()) != 0) {
        error = SystemError("cannot name the pseudo-terminal");
        return false;
    }
    m_slavePath = name.data();
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_heldSlave = ::open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_heldSlave < 0 || !MakeRaw(m_heldSlave)) {
        error = SystemError("cannot set up the pseudo-terminal's slave");
        return false;
    }
    // Watch only after our own open, so that every open seen is a program's.
    m_openWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_openWatch < 0 ||
        ::inotify_add_watch(m_openWatch, m_slavePath.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        error = SystemError("cannot watch the pseudo-terminal");
        return false;
    }
    m_signalRead = InstallSignalPipe(error);
    if (m_signalRead < 0) {
        return false;
    }
    m_stdinWatched = m_stdinKind != StdinKind::None;
    return true;
}

bool PtyLine::PlaceAlias(const std::string& folder, const std::string& name, std::string& error) {
    std::error_code code;
    std::filesystem::create_directories(folder, code);
    if (code) {
        error = "cannot make " + folder + ": " + code.message();
        return false;
    }
    const std::string link = folder + "/" + name;
    const auto status = std::filesystem::symlink_status(link, code);
    if (!code && std::filesystem::exists(status) && !std::filesystem::is_symlink(status)) {
        error = link + " exists and is no symbolic link";
        return false;
    }
    // A new link under a temporary name, then renamed over the old one: a program resolving
    // the alias meanwhile sees the old target or the new one, never nothing.
    const std::string temporary = folder + "/." + name + "." + std::to_string(::getpid());
    ::unlink(temporary.c_str());
    if (::symlink(m_slavePath.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), link.c_str()) != 0) {
        error = SystemError(("cannot create the alias " + link).c_str());
        ::unlink(temporary.c_str());
        return false;
    }
    m_aliasPath = link;
    return true;
}

void PtyLine::RemoveAlias() {
    if (m_aliasPath.empty()) {
        return;
    }
    std::array<char, 256> target{};
    const ssize_t length = ::readlink(m_aliasPath.c_str(), target.data(), target.size() - 1);
    if (length > 0 && std::string_view(target.data(), static_cast<std::size_t>(length)) ==
                          std::string_view(m_slavePath)) {
        ::unlink(m_aliasPath.c_str());
    }
    m_aliasPath.clear();
}

void PtyLine::Send(std::string_view bytes) {
    if (m_programOpens == 0) {
        Trace("no program has the port open: " + std::to_string(bytes.size()) + " byte(s) lost");
        return;
    }
    if (m_output.size() + bytes.size() > kMaxPendingOutput) {
        Trace("the program is not reading: " + std::to_string(bytes.size()) + " byte(s) lost");
        return;
    }
    const TimePoint now = Clock::now();
    for (char c : bytes) {
        const TimePoint due = std::max(now, m_lastOutput) + m_byteTime;
        m_output.push_back({due, static_cast<std::uint8_t>(c)});
        m_lastOutput = due;
    }
}

std::optional<std::uint8_t> PtyLine::ReadByte(TimePoint deadline) {
    WaitFor(deadline, true);
    if (!InputReady(Clock::now())) {
        return std::nullopt;
    }
    const std::uint8_t byte = m_input.front().byte;
    m_input.pop_front();
    return byte;
}

std::uint8_t PtyLine::ReadByteWhenever() {
    for (;;) {
        if (const auto byte = ReadByte(TimePoint::max())) {
            return *byte;
        }
    }
}

void PtyLine::Pause(Clock::duration duration) {
    WaitFor(Clock::now() + duration, false);
}

void PtyLine::WaitQuiet(Clock::duration quiet) {
    while (ReadByteWithin(quiet)) {
    }
}

void PtyLine::IgnoreInput() {
    for (;;) {
        WaitFor(TimePoint::max(), true);
        const TimePoint now = Clock::now();
        while (InputReady(now)) {
            m_input.pop_front();
        }
    }
}

void PtyLine::Forget() {
    std::array<char, 4096> buffer{};
    while (::read(m_master, buffer.data(), buffer.size()) > 0) {
    }
    m_input.clear();
    m_output.clear();
    m_outputBlocked = false;
    m_lastInput = TimePoint{};
    m_lastOutput = TimePoint{};
}

bool PtyLine::InputReady(TimePoint now) const {
    // While a reset after an open is pending the instrument is deaf: the program's own
    // carriage return must not be answered before the reset.
    return !m_resetAt && !m_input.empty() && m_input.front().time <= now;
}

void PtyLine::WaitFor(TimePoint deadline, bool wantInput) {
    for (;;) {
        TimePoint now = Clock::now();
        if (!m_outputBlocked) {
            PumpOutput(now);
        }
        CheckPendingReset(now);
        if ((wantInput && InputReady(now)) || now >= deadline) {
            return;
        }
        if (m_quitAt && (m_input.empty() || m_resetAt || now >= *m_quitAt)) {
            throw LineInterrupted{Interruption::Quit};
        }
        TimePoint wake = m_quitAt ? std::min(deadline, *m_quitAt) : deadline;
        if (!m_output.empty() && !m_outputBlocked) {
            wake = std::min(wake, m_output.front().time);
        }
        if (wantInput && !m_input.empty() && !m_resetAt) {
            wake = std::min(wake, m_input.front().time);
        }
        if (m_resetAt) {
            wake = std::min(wake, *m_resetAt);
        }
        if (m_stdinAsideUntil && now >= *m_stdinAsideUntil) {
            m_stdinAsideUntil.reset();
        }
        if (m_stdinAsideUntil) {
            wake = std::min(wake, *m_stdinAsideUntil);
        }
        const bool room = m_input.size() < kMaxPendingInput;
        const short masterEvents =
            static_cast<short>((room ? POLLIN : 0) | (m_outputBlocked ? POLLOUT : 0));
        std::array<pollfd, 4> fds{{
            {masterEvents != 0 ? m_master : -1, masterEvents, 0},
            {m_openWatch, POLLIN, 0},
            {m_signalRead, POLLIN, 0},
            {m_stdinWatched && !m_stdinAsideUntil ? STDIN_FILENO : -1, POLLIN, 0},
        }};
        if (::poll(fds.data(), fds.size(), PollTimeout(wake, now)) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "vantrel-sim: %s\n", SystemError("poll failed").c_str());
            throw LineInterrupted{Interruption::Quit};
        }
        now = Clock::now();
        std::optional<Interruption> interruption;
        if (fds[1].revents != 0) {
            ReadOpenEvents(now);
        }
        if ((fds[0].revents & POLLOUT) != 0) {
            m_outputBlocked = false;
        }
        if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            ReadMaster(now);
        }
        if (fds[2].revents != 0) {
            ReadSignals(interruption);
        }
        if (fds[3].revents != 0) {
            ReadStdin(now, interruption);
        }
        if (interruption) {
            throw LineInterrupted{*interruption};
        }
    }
}

void PtyLine::PumpOutput(TimePoint now) {
    std::string chunk;
    while (!m_output.empty() && m_output.front().time <= now) {
        chunk.push_back(static_cast<char>(m_output.front().byte));
        m_output.pop_front();
    }
    if (chunk.empty()) {
        return;
    }
    if (m_programOpens == 0) {
        Trace("no program has the port open: " + std::to_string(chunk.size()) + " byte(s) lost");
        return;
    }
    std::size_t written = 0;
    while (written < chunk.size()) {
        const ssize_t n = ::write(m_master, chunk.data() + written, chunk.size() - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            Trace(SystemError("write to the pty failed"));
            return;
        }
        // The program is not reading and the pty's buffer is full: keep the rest, in order,
        // and go on once the pty can take more.
        for (std::size_t i = chunk.size(); i > written; --i) {
            m_output.push_front({now, static_cast<std::uint8_t>(chunk[i - 1])});
        }
        m_outputBlocked = true;
        return;
    }
}

void PtyLine::ReadMaster(TimePoint now) {
    std::array<std::uint8_t, 4096> buffer{};
    while (m_input.size() < kMaxPendingInput) {
        const std::size_t room = std::min(buffer.size(), kMaxPendingInput - m_input.size());
        const ssize_t n = ::read(m_master, buffer.data(), room);
        if (n <= 0) {
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            const TimePoint arrival = std::max(now, m_lastInput) + m_byteTime;
            m_input.push_back({arrival, buffer[static_cast<std::size_t>(i)]});
            m_lastInput = arrival;
        }
    }
}

void PtyLine::ReadOpenEvents(TimePoint now) {
    alignas(inotify_event) std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t n = ::read(m_openWatch, buffer.data(), buffer.size());
        if (n <= 0) {
            return;
        }
        for (ssize_t at = 0; at < n;) {
            inotify_event event{};
            std::memcpy(&event, buffer.data() + at, sizeof event);
            at += static_cast<ssize_t>(sizeof event + event.len);
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                Trace("open events lost; taking the port as open");
                m_programOpens = std::max(m_programOpens, 1);
            }
            if ((event.mask & IN_OPEN) != 0) {
                ++m_programOpens;
                Trace("a program opened the port (" + std::to_string(m_programOpens) + " open)");
                if (m_settings.resetOnOpen) {
                    m_resetAt = now + kResetAfterOpen;
                }
            }
            if ((event.mask & IN_CLOSE) != 0 && m_programOpens > 0) {
                --m_programOpens;
                Trace("a program closed the port (" + std::to_string(m_programOpens) + " open)");
                if (m_programOpens == 0) {
                    ProgramClosedPort();
                }
            }
        }
    }
}

void PtyLine::ProgramClosedPort() {
    // What was sent and not read is lost with nobody listening; the next program must not
    // find it. A program may also have left the slave in another mode: make it raw again.
    ::tcflush(m_heldSlave, TCIFLUSH);
    MakeRaw(m_heldSlave);
}

void PtyLine::CheckPendingReset(TimePoint now) {
    if (!m_resetAt || now < *m_resetAt) {
        return;
    }
    m_resetAt.reset();
    if (m_programOpens == 0) {
        Trace("the program closed the port again: no reset");
        return;
    }
    throw LineInterrupted{Interruption::Reset};
}

void PtyLine::ReadSignals(std::optional<Interruption>& interruption) {
    std::array<unsigned char, 64> buffer{};
    for (;;) {
        const ssize_t n = ::read(m_signalRead, buffer.data(), buffer.size());
        if (n <= 0) {
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            switch (buffer[static_cast<std::size_t>(i)]) {
                case SIGUSR1:
                    Trace("SIGUSR1: reset");
                    if (!interruption) {
                        interruption = Interruption::Reset;
                    }
                    break;
                case SIGUSR2:
                    RequestReport();
                    break;
                default:
                    Trace("signal: stop");
                    interruption = Interruption::Quit;
                    break;
            }
        }
    }
}

bool PtyLine::TerminalIsOurs(TimePoint now) {
    const bool ours = ForegroundOf(STDIN_FILENO);
    if (ours != m_terminalWasOurs) {
        Trace(ours ? "the terminal's foreground job: reading commands from it"
                   : "the terminal belongs to another job: not reading it");
        m_terminalWasOurs = ours;
    }
    if (!ours) {
        // What was typed is the foreground job's: look again a little later, not at once,
        // while it stays unread.
        m_stdinAsideUntil = now + kTerminalRecheck;
    }
    return ours;
}

void PtyLine::ReadStdin(TimePoint now, std::optional<Interruption>& interruption) {
    if (m_stdinKind == StdinKind::Terminal && !TerminalIsOurs(now)) {
        return;
    }
    std::array<char, 1024> buffer{};
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (n < 0 && errno == EIO && m_stdinKind == StdinKind::Terminal) {
        m_stdinAsideUntil = now + kTerminalRecheck;  // moved to the background meanwhile
        return;
    }
    if (n == 0 && m_stdinKind == StdinKind::Terminal) {
        Trace("Ctrl-D on the terminal: stop");
        interruption = Interruption::Quit;
        return;
    }
    if (n <= 0) {
        // An empty stdin (/dev/null, a script's background job) or the end of a pipe says
        // nothing about the instrument: commands come by signal from now on.
        Trace(n == 0 ? "end of stdin: commands by signal only"
                     : SystemError("stdin cannot be read: commands by signal only"));
        m_stdinWatched = false;
        return;
    }
    for (ssize_t i = 0; i < n; ++i) {
        const char c = buffer[static_cast<std::size_t>(i)];
        if (c == '\n') {
            HandleStdinLine(Trimmed(m_stdinLine), interruption);
            m_stdinLine.clear();
        } else if (m_stdinLine.size() < kMaxStdinLine) {
            m_stdinLine.push_back(c);
        }
    }
}

void PtyLine::HandleStdinLine(std::string_view line, std::optional<Interruption>& interruption) {
    if (line == "reset") {
        Trace("stdin: reset");
        if (!interruption) {
            interruption = Interruption::Reset;
        }
    } else if (line == "report") {
        RequestReport();
    } else if (line == "quit" && !m_input.empty() && !m_resetAt) {
        Trace("stdin: stop once the boot loader has taken what the program sent");
        m_quitAt = m_lastInput + kQuitGrace;
    } else if (line == "quit") {
        Trace("stdin: stop");
        interruption = Interruption::Quit;
    } else if (!line.empty()) {
        std::fprintf(stderr, "vantrel-sim: unknown command \"%.*s\" (reset, report, quit)\n",
                     static_cast<int>(line.size()), line.data());
    }
}

void PtyLine::RequestReport() {
    if (m_reportHandler) {
        m_reportHandler();
    }
}

}  // namespace vantrel::sim
