#pragma once

#include <QMetaType>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_port.h"
#include "xmodem_peer.h"

namespace vantrel::test {

struct Reply {
    std::string text;
    std::uint64_t afterMs = 0;
};

struct Step {
    std::string expect;  // the exact write that triggers the step
    std::vector<Reply> replies;
    bool startsTransfer = false;  // after the replies, an XModem-1K receiver takes over
};

using Script = std::vector<Step>;

// Dialogue().On("2").Say("a", "b").Pause(4000).Say("c"): Say() sends lines with CR LF, Prompt()
// text without line end; lines come kLineGapMs apart unless Pause() adds more.
class Dialogue {
public:
    static constexpr std::uint64_t kLineGapMs = 5;

    Dialogue& On(const std::string& write) {
        m_script.push_back(Step{write, {}, false});
        m_at = 0;
        return *this;
    }
    template <typename... Lines>
    Dialogue& Say(const Lines&... lines) {
        (Raw(std::string(lines) + "\r\n"), ...);
        return *this;
    }
    Dialogue& Prompt(const std::string& text) { return Raw(text); }
    Dialogue& Raw(const std::string& bytes) {
        m_at += kLineGapMs;
        m_script.back().replies.push_back(Reply{bytes, m_at});
        return *this;
    }
    Dialogue& Pause(std::uint64_t ms) {
        m_at += ms;
        return *this;
    }
    // `count` lines of `text`, `everyMs` apart: a boot loader that will not stop talking.
    Dialogue& Chatter(const std::string& text, int count, std::uint64_t everyMs) {
        for (int i = 0; i < count; ++i) {
            Pause(everyMs);
            Say(text);
        }
        return *this;
    }
    Dialogue& ThenReceive() {
        m_script.back().startsTransfer = true;
        return *this;
    }
    Dialogue& Then(const Script& more) {
        m_script.insert(m_script.end(), more.begin(), more.end());
        return *this;
    }
    operator Script() const { return m_script; }

private:
    Script m_script;
    std::uint64_t m_at = 0;
};

// A boot loader on a FakePort that answers each expected write with its step's replies (other
// writes go to Unexpected()); after a transfer step, an XModem-1K receiver takes over.
class ScriptedBootLoader {
public:
    // When the receiver asks for the transfer after the boot loader's start line.
    static constexpr std::uint64_t kStartSignalDelayMs = 100;

    explicit ScriptedBootLoader(FakePort& port) : m_port(port) {
        m_port.SetResponder([this](FakePort& p, const FakePort::Bytes& written) {
            if (m_receiving) {
                receiver.Answer(p, written);
            } else {
                OnWrite(written);
            }
        });
    }

    void Load(const Script& script) {
        m_script = script;
        m_next = 0;
        m_unexpected.clear();
    }
    const std::vector<std::string>& Unexpected() const { return m_unexpected; }
    bool Finished() const { return m_next == m_script.size(); }

    XModemReceiver receiver;

private:
    void OnWrite(const FakePort::Bytes& written) {
        const std::string text(written.begin(), written.end());
        if (m_next >= m_script.size() || m_script[m_next].expect != text) {
            m_unexpected.push_back(text);
            return;
        }
        const Step& step = m_script[m_next++];
        std::uint64_t last = 0;
        for (const auto& reply : step.replies) {
            m_port.Arrive(reply.text, reply.afterMs);
            last = reply.afterMs;
        }
        if (step.startsTransfer) {
            m_receiving = true;
            m_port.Arrive(FakePort::Bytes{'C'}, last + kStartSignalDelayMs);
        }
    }

    FakePort& m_port;
    Script m_script;
    std::size_t m_next = 0;
    std::vector<std::string> m_unexpected;
    bool m_receiving = false;
};

}  // namespace vantrel::test

Q_DECLARE_METATYPE(vantrel::test::Script)
