#pragma once

// What the fuzzers share: the fuzzer's bytes read as the peer's script (what arrives, and
// when), the upper bounds of simulated time each call must keep, and a check that stops the
// run when a property is broken (libFuzzer then keeps the input as a crash).

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "fake_port.h"
#include "serial/serial_timing.h"
#include "session/session_limits.h"
#include "sim_clock.h"

namespace vantrel::fuzz {

// Stops the run with `what` when `ok` is false.
inline void Require(bool ok, const std::string& what) {
    if (!ok) {
        std::fprintf(stderr, "property broken: %s\n", what.c_str());
        std::abort();
    }
}

// With VANTREL_FUZZ_TRACE set, says what a run did (to read a saved input back by hand).
inline void Trace(const std::string& what) {
    static const bool enabled = std::getenv("VANTREL_FUZZ_TRACE") != nullptr;
    if (enabled) {
        std::fprintf(stderr, "trace: %s\n", what.c_str());
    }
}

// The fuzzer's bytes, taken from the front. Past the end every byte reads as 0.
class Script {
public:
    Script(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool Done() const { return m_pos >= m_size; }
    std::uint8_t Byte() { return Done() ? 0 : m_data[m_pos++]; }
    std::uint8_t Peek() const { return Done() ? 0 : m_data[m_pos]; }
    std::uint16_t Word() {
        const std::uint16_t high = Byte();
        return static_cast<std::uint16_t>(high << 8 | Byte());
    }
    std::vector<std::uint8_t> Take(std::size_t n) {
        const std::size_t count = std::min(n, m_size - std::min(m_pos, m_size));
        std::vector<std::uint8_t> bytes(m_data + m_pos, m_data + m_pos + count);
        m_pos += count;
        return bytes;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// Delays a script can choose, in milliseconds: either side of every time-out the program
// uses (20 ms signature gap, 1 s block answer, 2 s read, 6 s start try, 8 s slow read), so
// that arrivals land just before and just after each deadline.
inline constexpr std::uint64_t kDelayMs[16] = {0,    1,    5,    19,   21,   100,  999,  1001,
                                               1999, 2001, 2100, 5999, 6001, 7999, 8001, 24001};

// One answer of the peer: header byte H, delay kDelayMs[H >> 4], then by H & 15:
//   0..12  that many bytes follow;
//   13     no bytes: the next answer belongs to the same write of the program and comes this
//          much later than the answer before it (a line, then a start signal after a pause);
//   14     the next two bytes give the number of bytes that follow (up to 2047: a whole
//          erase report fits);
//   15     the port fails after the delay instead (the cable is pulled).
struct Answer {
    std::uint64_t delayMs = 0;
    bool portFails = false;
    bool chained = false;
    std::vector<std::uint8_t> bytes;
};

inline constexpr int kChainCode = 13;
inline constexpr int kLongCode = 14;
inline constexpr int kFailCode = 15;

inline std::optional<Answer> NextAnswer(Script& script) {
    if (script.Done()) {
        return std::nullopt;
    }
    const std::uint8_t header = script.Byte();
    Answer answer;
    answer.delayMs = kDelayMs[header >> 4];
    const int code = header & 0x0F;
    if (code == kFailCode) {
        answer.portFails = true;
        return answer;
    }
    if (code == kChainCode) {
        answer.chained = true;
        return answer;
    }
    const std::size_t length =
        code == kLongCode ? script.Word() % 2048u : static_cast<std::size_t>(code);
    answer.bytes = script.Take(length);
    return answer;
}

// Plays the script on a fake port: some answers at once, then one answer (with those chained
// to it) after each write of the program.
class ScriptedPeer {
public:
    ScriptedPeer(test::FakePort& port, Script& script) : m_port(port), m_script(script) {
        m_port.SetResponder([this](test::FakePort&, const test::FakePort::Bytes&) { Play(); });
    }
    ~ScriptedPeer() { m_port.SetResponder(nullptr); }

    // Plays `count` answers now, before the program does anything.
    void Begin(int count) {
        for (int i = 0; i < count; ++i) {
            Play();
        }
    }

private:
    // Plays the next answer and those chained to it.
    void Play() {
        std::uint64_t base = 0;
        for (;;) {
            const auto answer = NextAnswer(m_script);
            if (!answer) {
                return;
            }
            const std::uint64_t at = base + answer->delayMs;
            if (answer->chained) {
                base = at;
                continue;
            }
            if (answer->portFails) {
                if (!m_failed) {
                    m_port.FailIn(at);
                    m_failed = true;
                }
            } else if (!answer->bytes.empty()) {
                m_port.Arrive(answer->bytes, at);
            }
            if (m_script.Done() || (m_script.Peek() & 0x0F) != kChainCode) {
                return;
            }
            base = at;
        }
    }

    test::FakePort& m_port;
    Script& m_script;
    bool m_failed = false;
};

// Upper bounds of simulated time, in milliseconds, for a line that may stay silent from any
// moment on. Every wait ends one millisecond after its limit at the latest (a wait ends when
// MORE than its limit has passed). `f` is the channel's time-out factor (1, or 4 on model 2).
namespace bounds {

inline constexpr std::uint64_t kSlack = 2;

inline std::uint64_t Read(std::uint64_t ms, std::uint64_t f) {
    return ms * f + kSlack;
}

inline std::uint64_t LineRead(std::uint64_t f) {
    return Read(session_limits::kReadTimeoutMs, f);
}

inline std::uint64_t Drain(std::uint64_t f) {
    return Read(serial_timing::kDrainLimitMs, f) + Read(serial_timing::kDrainQuietMs, f);
}

// WaitForLine: no read starts after its overall limit.
inline std::uint64_t LineWait(std::uint64_t f) {
    return std::uint64_t{session_limits::kLineWaitLimitMs} * f + LineRead(f);
}

// Identification: the signature's four gaps, then the prompt wait.
inline std::uint64_t Identify(std::uint64_t f) {
    return 5 * (session_limits::kSignatureGapMs + kSlack) +
           std::uint64_t{session_limits::kPromptWaitLimitMs} * f + LineRead(f);
}

// The XModem-1K sender as the protocol bounds it: 16 start tries of 6 s (each may end in a
// 1 s wait for a second CAN), 25 sendings per block with a 1 s answer and a 1 s second-CAN
// wait, 10 EOT with 2 s answers, the closing drain.
inline std::uint64_t SendFile(std::uint64_t blocks, std::uint64_t f) {
    const std::uint64_t start = 16 * (Read(6000, f) + Read(1000, f));
    const std::uint64_t perBlock = 25 * (Read(1000, f) + Read(1000, f));
    const std::uint64_t close = 10 * Read(2000, f);
    return start + blocks * perBlock + close + Drain(f);
}

}  // namespace bounds

}  // namespace vantrel::fuzz

namespace vantrel::fuzz {

// A scratch file of this process, on a memory file system where there is one (the code under
// test syncs what it writes, which on a disk would slow the fuzzing down a hundredfold).
// Removed when the process ends.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& name) {
        const char* folder = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        m_path = std::string(folder) + "/vantrel-fuzz-" + std::to_string(::getpid()) + "-" + name;
    }
    ~ScratchFile() { ::unlink(m_path.c_str()); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

}  // namespace vantrel::fuzz
