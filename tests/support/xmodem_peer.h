#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <utility>
#include <vector>

#include "fake_port.h"

namespace vantrel::test {

// The receiving side of an XModem transfer on a FakePort, answering every frame and EOT from
// a script. Each answer is a token of letters, one byte each:
//   A = ACK, N = NAK, X = CAN, C = the letter C, ? = a noise byte (0x55),
//   - = no answer at all, + = after the answer, the receiver goes on chattering.
// Answers arrive answerDelayMs after the write. When the script runs out, every answer is ACK.
class ScriptedReceiver {
public:
    using Bytes = FakePort::Bytes;
    static constexpr std::uint64_t kAnswerDelayMs = 10;
    static inline const QString kLetters = QStringLiteral("ANXC?");
    static constexpr std::uint8_t kCodes[] = {0x06, 0x15, 0x18, 'C', 0x55};

    struct Write {
        std::uint64_t at;
        Bytes bytes;
    };

    // How long after a frame or EOT its answer arrives.
    std::uint64_t answerDelayMs = kAnswerDelayMs;

    ScriptedReceiver(FakePort& port, SimClock& clock) : m_port(port), m_clock(clock) {
        m_port.SetResponder([this](FakePort&, const Bytes& written) { OnWrite(written); });
    }

    void SetAnswers(const QStringList& answers) { m_answers = answers; }

    // Schedules the token's bytes to arrive `afterMs` from now.
    void Send(const QString& token, std::uint64_t afterMs) {
        Bytes bytes;
        for (const QChar c : token) {
            const qsizetype at = kLetters.indexOf(c);
            if (at >= 0) {
                bytes.push_back(kCodes[at]);
            }
        }
        m_port.Arrive(bytes, afterMs);
        if (token.endsWith(QLatin1Char('+'))) {
            // A receiver that goes on talking: a start signal and noise over 1.1 s.
            for (std::uint64_t t = afterMs + 100; t <= afterMs + 1100; t += 250) {
                m_port.Arrive(Bytes{'C', 0x55}, t);
            }
        }
    }

    const std::vector<Write>& Writes() const { return m_writes; }

    // The writes as tokens, runs collapsed: "F1 F2*3 E X*3" (F<n> a frame with block number
    // n, E an EOT, A an ACK, X a CAN, ? anything else).
    QString Summary() const {
        QStringList tokens;
        for (const auto& w : m_writes) {
            tokens << Token(w.bytes);
        }
        QStringList runs;
        for (int i = 0; i < tokens.size();) {
            int j = i;
            while (j < tokens.size() && tokens[j] == tokens[i]) {
                ++j;
            }
            runs << (j - i == 1 ? tokens[i] : tokens[i] + QStringLiteral("*%1").arg(j - i));
            i = j;
        }
        return runs.join(QLatin1Char(' '));
    }

    // Every data frame written, repeats included, in order.
    std::vector<Bytes> Frames() const {
        std::vector<Bytes> frames;
        for (const auto& w : m_writes) {
            if (IsFrame(w.bytes)) {
                frames.push_back(w.bytes);
            }
        }
        return frames;
    }

    static bool IsFrame(const Bytes& b) { return b.size() >= 1028 && b[0] == 0x02; }

private:
    static QString Token(const Bytes& b) {
        if (IsFrame(b)) {
            return QStringLiteral("F%1").arg(b[1]);
        }
        const qsizetype at = b.size() == 1 ? QByteArray("\x04\x06\x18").indexOf(char(b[0])) : -1;
        return at < 0 ? QStringLiteral("?") : QString("EAX"[at]);
    }

    void OnWrite(const Bytes& written) {
        m_writes.push_back(Write{m_clock.NowMs(), written});
        const bool eot = written.size() == 1 && written[0] == 0x04;
        if (IsFrame(written) || eot) {
            Send(m_answers.isEmpty() ? QStringLiteral("A") : m_answers.takeFirst(), answerDelayMs);
        }
    }

    FakePort& m_port;
    SimClock& m_clock;
    QStringList m_answers;
    std::vector<Write> m_writes;
};

// A proper XModem-1K receiver (CRC): takes the expected block, ACKs a repeat of the block
// before, cancels after 10 errors in a row. The line repeats its answer to block
// `repeatAfter`, delays that to block `lateAfter` by `lateMs`, and spoils the first arrival
// of block `spoiled`.
class XModemReceiver {
public:
    int repeatAfter = 0;
    int lateAfter = 0;
    std::uint64_t lateMs = 0;
    int spoiled = 0;

    void Attach(FakePort& port) {
        port.SetResponder([this](FakePort& p, const FakePort::Bytes& w) { Answer(p, w); });
    }
    bool Completed() const { return m_completed; }
    QByteArray Received() const { return m_image; }

    void Answer(FakePort& port, const FakePort::Bytes& write) {
        if (write.size() == 1 && write[0] == 0x04) {
            m_completed = true;
            port.Arrive(FakePort::Bytes{kAck}, 5);
            return;
        }
        if (!ScriptedReceiver::IsFrame(write)) {
            return;
        }
        const int number = write[1];
        std::uint8_t answer = kNak;
        int answered = 0;  // the block the answer acknowledges, 0 for none
        if (number == (m_blocks + 1) % 256 &&
            !(m_blocks + 1 == spoiled && !std::exchange(m_spoiledOnce, true))) {
            m_image.append(reinterpret_cast<const char*>(write.data()) + 3, 1024);
            answer = kAck;
            answered = ++m_blocks;
        } else if (number == m_blocks % 256 && m_blocks > 0) {
            answer = kAck;  // a repeat of the block before: taken once already
        }
        m_errors = answer == kAck ? 0 : m_errors + 1;
        if (m_errors >= 10) {
            port.Arrive(FakePort::Bytes{kCan, kCan}, 5);
            return;
        }
        FakePort::Bytes bytes{answer};
        if (answered != 0 && answered == repeatAfter) {
            bytes.push_back(answer);
        }
        port.Arrive(bytes, answered != 0 && answered == lateAfter ? lateMs : 5);
    }

private:
    static constexpr std::uint8_t kAck = 0x06, kNak = 0x15, kCan = 0x18;

    QByteArray m_image;
    bool m_spoiledOnce = false;
    int m_blocks = 0;
    int m_errors = 0;
    bool m_completed = false;
};

}  // namespace vantrel::test
