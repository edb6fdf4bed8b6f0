#include "relay.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace vantrel::relay {

namespace {

void Say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

Direction Other(Direction d) {
    return d == Direction::ToProgram ? Direction::ToInstrument : Direction::ToProgram;
}

}  // namespace

std::uint64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000u;
}

Relay::Relay(const RelayOptions& options, std::uint64_t seed)
    : m_options(options),
      m_seed(seed),
      m_faults{FaultInjector(options.rates[0], seed, Direction::ToInstrument),
               FaultInjector(options.rates[1], seed, Direction::ToProgram)} {}

Relay::~Relay() {
    std::error_code ec;
    if (!m_options.programLink.empty()) {
        std::filesystem::remove(m_options.programLink, ec);
    }
    if (!m_options.instrumentLink.empty()) {
        std::filesystem::remove(m_options.instrumentLink, ec);
    }
    if (!m_aliasPath.empty()) {
        std::filesystem::remove(m_aliasPath, ec);
    }
    UnwatchProgram();
    if (m_openWatch >= 0) {
        close(m_openWatch);
    }
    CloseEnd(m_program);
    CloseEnd(m_instrument);
}

bool Relay::WatchProgram(std::string& error) {
    m_programOpens = 0;
    if (m_openWatch < 0) {
        m_openWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    if (m_openWatch >= 0) {
        m_watch = inotify_add_watch(m_openWatch, m_program.path.c_str(), IN_OPEN | IN_CLOSE);
    }
    if (m_openWatch < 0 || m_watch < 0) {
        error = std::string("cannot watch ") + m_program.path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void Relay::UnwatchProgram() {
    if (m_watch >= 0) {
        inotify_rm_watch(m_openWatch, m_watch);
        m_watch = -1;
    }
}

void Relay::ReadOpenEvents() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = read(m_openWatch, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        for (ssize_t at = 0; at < n;) {
            inotify_event event{};
            std::memcpy(&event, buffer + at, sizeof event);
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (event.wd != m_watch) {
                continue;
            }
            if (event.mask & IN_OPEN) {
                ++m_programOpens;
                Say("OPENED");
                if (m_options.followOpen && m_instrument.fd >= 0) {
                    // A simulator that resets on being opened resets for this program.
                    CloseEnd(m_instrument);
                    std::string error;
                    if (!OpenDevice(m_options.device, m_instrument, error)) {
                        InstrumentGone(error, NowMs());
                    }
                }
            }
            if (event.mask & IN_CLOSE) {
                m_programOpens = std::max(0, m_programOpens - 1);
                Say("CLOSED");
            }
        }
    }
}

bool Relay::PlaceProgramLinks(std::string& error) {
    if (!m_options.programLink.empty() &&
        !PlaceLink(m_options.programLink, m_program.path, error)) {
        return false;
    }
    return m_aliasPath.empty() || PlaceLink(m_aliasPath, m_program.path, error);
}

bool Relay::Start(std::string& error) {
    if (!m_options.alias.empty()) {
        const std::string folder = AliasFolder(error);
        if (folder.empty()) {
            return false;
        }
        m_aliasPath = folder + "/" + m_options.alias;
    }
    if (!OpenPty(m_program, error) || !WatchProgram(error) || !PlaceProgramLinks(error)) {
        return false;
    }
    if (m_options.device.empty()) {
        if (!OpenPty(m_instrument, error)) {
            return false;
        }
        if (!m_options.instrumentLink.empty() &&
            !PlaceLink(m_options.instrumentLink, m_instrument.path, error)) {
            return false;
        }
    } else if (!OpenDevice(m_options.device, m_instrument, error)) {
        return false;
    }
    Say("PROGRAM " + m_program.path);
    if (m_options.device.empty()) {
        Say("INSTRUMENT " + m_instrument.path);
    }
    Say("SEED " + std::to_string(m_seed));
    Say("READY");
    return true;
}

std::size_t Relay::WaitingFor(Direction towards) const {
    std::size_t total = m_waiting[Index(towards)].size();
    for (const auto& chunk : m_delayed[Index(towards)]) {
        total += chunk.bytes.size();
    }
    return total;
}

bool Relay::CutTriggered(Direction d, std::uint8_t byte) {
    if (m_cut != CutState::Armed || !m_options.cut || m_options.cut->direction != d) {
        return false;
    }
    const CutRule& rule = *m_options.cut;
    ++m_passed[Index(d)];
    if (rule.afterText.empty()) {
        return m_passed[Index(d)] >= rule.afterBytes;
    }
    m_window.push_back(static_cast<char>(byte));
    if (m_window.size() > rule.afterText.size()) {
        m_window.erase(0, m_window.size() - rule.afterText.size());
    }
    return m_window == rule.afterText;
}

void Relay::Commit(Direction d, std::string& bytes, std::uint64_t now) {
    if (bytes.empty()) {
        return;
    }
    const std::uint32_t delay = m_options.rates[Index(d)].delayMs;
    if (delay == 0) {
        m_waiting[Index(d)] += bytes;
    } else {
        m_delayed[Index(d)].push_back(Delayed{now + delay, bytes});
    }
    bytes.clear();
}

void Relay::ReadSide(Direction towards, std::uint64_t now) {
    // Bytes read from the program travel towards the instrument and the other way round.
    LineEnd& source = EndOf(Other(towards));
    std::uint8_t buffer[limits::kReadChunk];
    const ssize_t n = read(source.fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        const std::string why = n == 0 ? "end of file" : std::strerror(errno);
        if (towards == Direction::ToProgram) {
            InstrumentGone(why, now);
        } else {
            // The relay holds the slave open, so its master cannot see a hang-up.
            Say("ERROR program side: " + why);
            UnwatchProgram();
            CloseEnd(m_program);
        }
        return;
    }
    std::string passed;
    for (ssize_t i = 0; i < n; ++i) {
        const bool nobodyListens = towards == Direction::ToProgram && m_programOpens == 0;
        if (m_cut == CutState::Cut || nobodyListens) {
            ++m_discarded[Index(towards)];
            continue;
        }
        m_faults[Index(towards)].Pass(buffer[i], passed);
        if (CutTriggered(towards, buffer[i])) {
            Commit(towards, passed, now);
            if (m_options.cut->delayMs == 0) {
                // What passed up to the trigger is handed on before the line goes.
                if (EndOf(towards).fd >= 0 && !m_waiting[Index(towards)].empty()) {
                    WriteSide(towards);
                }
                CutNow();
            } else {
                m_cut = CutState::Pending;
                m_cutAtMs = now + m_options.cut->delayMs;
            }
        }
    }
    Commit(towards, passed, now);
}

void Relay::WriteSide(Direction towards) {
    LineEnd& sink = EndOf(towards);
    std::string& waiting = m_waiting[Index(towards)];
    const ssize_t n = write(sink.fd, waiting.data(), waiting.size());
    if (n > 0) {
        waiting.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        if (towards == Direction::ToInstrument) {
            InstrumentGone(std::strerror(errno), NowMs());
        } else {
            Say(std::string("ERROR program side: ") + std::strerror(errno));
            UnwatchProgram();
            CloseEnd(m_program);
        }
    }
}

void Relay::CutNow() {
    if (m_cut == CutState::Cut || m_cut == CutState::Done) {
        return;
    }
    m_cut = CutState::Cut;
    // Bytes that passed before the cut are still delivered where their side is open; what
    // comes after it is thrown away as it is read.
    Say(std::string("CUT ") + (m_options.cutMode == CutMode::Hangup ? "hangup" : "silent") +
        " after to-instrument=" + std::to_string(m_faults[0].Counts().in) +
        " to-program=" + std::to_string(m_faults[1].Counts().in));
    if (m_options.cutMode == CutMode::Hangup) {
        const int toProgram = Index(Direction::ToProgram);
        m_discarded[toProgram] += WaitingFor(Direction::ToProgram);
        m_waiting[toProgram].clear();
        m_delayed[toProgram].clear();
        UnwatchProgram();
        CloseEnd(m_program);
    }
    if (m_options.replugAfterMs) {
        m_replugAtMs = NowMs() + *m_options.replugAfterMs;
    }
}

void Relay::Replug() {
    m_replugAtMs.reset();
    if (m_options.cutMode == CutMode::Hangup) {
        std::string error;
        if (!OpenPty(m_program, error) || !WatchProgram(error) || !PlaceProgramLinks(error)) {
            Say("ERROR replug: " + error);
            return;
        }
    }
    m_cut = CutState::Done;
    Say("REPLUG " + m_program.path);
}

void Relay::InstrumentGone(const std::string& why, std::uint64_t now) {
    Say("INSTRUMENT GONE " + why);
    CloseEnd(m_instrument);
    m_waiting[Index(Direction::ToInstrument)].clear();
    m_delayed[Index(Direction::ToInstrument)].clear();
    if (!m_options.device.empty()) {
        m_reopenAtMs = now + limits::kReopenMs;
    }
}

void Relay::ReleaseDue(std::uint64_t now) {
    for (int d = 0; d < kDirections; ++d) {
        auto& queue = m_delayed[d];
        while (!queue.empty() && queue.front().dueMs <= now) {
            m_waiting[d] += queue.front().bytes;
            queue.pop_front();
        }
    }
    if (m_cut == CutState::Pending && now >= m_cutAtMs) {
        CutNow();
    }
    if (m_replugAtMs && now >= *m_replugAtMs) {
        Replug();
    }
    if (m_reopenAtMs && now >= *m_reopenAtMs) {
        std::string error;
        if (OpenDevice(m_options.device, m_instrument, error)) {
            m_reopenAtMs.reset();
            Say("INSTRUMENT BACK " + m_instrument.path);
        } else {
            m_reopenAtMs = now + limits::kReopenMs;
        }
    }
}

int Relay::PollTimeout(std::uint64_t now) const {
    std::optional<std::uint64_t> next;
    const auto consider = [&next](std::uint64_t at) { next = next ? std::min(*next, at) : at; };
    for (const auto& queue : m_delayed) {
        if (!queue.empty()) {
            consider(queue.front().dueMs);
        }
    }
    if (m_cut == CutState::Pending) {
        consider(m_cutAtMs);
    }
    if (m_replugAtMs) {
        consider(*m_replugAtMs);
    }
    if (m_reopenAtMs) {
        consider(*m_reopenAtMs);
    }
    if (!next) {
        return -1;
    }
    return *next <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(*next - now, 60'000));
}

int Relay::Run(int signalFd) {
    for (;;) {
        const std::uint64_t now = NowMs();
        ReleaseDue(now);
        pollfd fds[4] = {{signalFd, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}, {m_openWatch, POLLIN, 0}};
        const Direction sides[2] = {Direction::ToInstrument, Direction::ToProgram};
        // fds[1]: the program side, read towards the instrument; fds[2]: the instrument side.
        for (int k = 0; k < 2; ++k) {
            const Direction readTowards = sides[k];
            const Direction writeTowards = Other(readTowards);
            const LineEnd& end = EndOf(writeTowards);
            if (end.fd < 0) {
                continue;
            }
            fds[k + 1].fd = end.fd;
            // A cut line is still read, to throw the bytes away as a pulled cable would.
            if (m_cut == CutState::Cut || WaitingFor(readTowards) < limits::kMaxWaiting) {
                fds[k + 1].events |= POLLIN;
            }
            if (!m_waiting[Index(writeTowards)].empty()) {
                fds[k + 1].events |= POLLOUT;
            }
        }
        if (poll(fds, 4, PollTimeout(now)) < 0 && errno != EINTR) {
            Say(std::string("ERROR poll: ") + std::strerror(errno));
            return 1;
        }
        if (fds[0].revents & POLLIN) {
            unsigned char signal = 0;
            if (read(signalFd, &signal, 1) == 1) {
                if (signal != SIGUSR1) {
                    return 0;
                }
                CutNow();
            }
        }
        // Opens first: what arrived with them is for the program that opened. Reopening the
        // instrument side may change its descriptor, which the loop below checks.
        if (fds[3].revents & POLLIN) {
            ReadOpenEvents();
        }
        const std::uint64_t then = NowMs();
        for (int k = 0; k < 2; ++k) {
            const Direction readTowards = sides[k];
            const Direction writeTowards = Other(readTowards);
            // The side may have been closed by what happened before in this pass.
            if (fds[k + 1].fd < 0 || EndOf(writeTowards).fd != fds[k + 1].fd) {
                continue;
            }
            if (fds[k + 1].revents & (POLLIN | POLLHUP | POLLERR)) {
                ReadSide(readTowards, then);
            }
            if (EndOf(writeTowards).fd == fds[k + 1].fd && (fds[k + 1].revents & POLLOUT)) {
                WriteSide(writeTowards);
            }
        }
    }
}

void Relay::PrintStats() const {
    for (int d = 0; d < kDirections; ++d) {
        const FaultCounts& c = m_faults[d].Counts();
        char line[256];
        std::snprintf(line, sizeof line,
                      "STATS %s in=%" PRIu64 " out=%" PRIu64 " dropped=%" PRIu64 " flipped=%" PRIu64
                      " duplicated=%" PRIu64 " inserted=%" PRIu64 " discarded=%" PRIu64,
                      DirectionName(static_cast<Direction>(d)), c.in, c.out, c.dropped, c.flipped,
                      c.duplicated, c.inserted, m_discarded[d]);
        Say(line);
    }
}

}  // namespace vantrel::relay
