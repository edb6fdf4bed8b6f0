#pragma once

// Images and files for the tests: the padding of the last block, seeded random images, an
// image that fails, whole-file reads and writes, lines looked for in order.

#include <QByteArray>
#include <QFile>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "session/xmodem.h"

namespace vantrel::test {

// As the instrument stores an image: 0x1A after the data, then 0xFF to the end of the block.
inline QByteArray Padded(QByteArray data) {
    if (data.size() % 1024 != 0) {
        data.append('\x1A');
        data.append(QByteArray((1024 - data.size() % 1024) % 1024, '\xFF'));
    }
    return data;
}

// Seeded: every run sends the same image.
inline QByteArray RandomImage(qsizetype size, quint32 seed = 1234) {
    QRandomGenerator random(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        data[i] = static_cast<char>(random.bounded(256));
    }
    return data;
}

inline QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Everything written to a temporary stream so far.
inline QByteArray Contents(std::FILE* file) {
    std::fflush(file);
    QByteArray data(std::ftell(file), '\0');
    std::rewind(file);
    const std::size_t n = std::fread(data.data(), 1, static_cast<std::size_t>(data.size()), file);
    data.truncate(static_cast<qsizetype>(n));
    std::fseek(file, 0, SEEK_END);  // the stream is written to again
    return data;
}

inline bool WriteFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Empty when the lines of `text` hold `fragments` in this order, one line each; otherwise
// which one is missing, and the text.
inline QString MissingInOrder(const QString& text, const QStringList& fragments) {
    const QStringList lines = text.split('\n');
    qsizetype at = 0;
    for (const QString& fragment : fragments) {
        while (at < lines.size() && !lines[at].contains(fragment)) {
            ++at;
        }
        if (at++ >= lines.size()) {
            return "no \"" + fragment + "\" in order in:\n" + text;
        }
    }
    return {};
}

// An image in memory that can fail with a read error at a given offset.
class MemoryImage final : public ImageReader {
public:
    explicit MemoryImage(QByteArray data, qint64 failAt = -1)
        : m_data(std::move(data)), m_failAt(failAt) {}
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        if (m_failed) {
            return 0;
        }
        qint64 end = std::min<qint64>(m_pos + static_cast<qint64>(size), m_data.size());
        if (m_failAt >= 0 && end > m_failAt) {
            end = std::max(m_pos, m_failAt);
            m_failed = true;
        }
        const auto count = static_cast<std::size_t>(end - m_pos);
        std::memcpy(buffer, m_data.constData() + m_pos, count);
        m_pos = end;
        return count;
    }
    bool Failed() const override { return m_failed; }
    std::string ErrorText() const override { return m_failed ? "Input/output error" : ""; }

private:
    QByteArray m_data;
    qint64 m_failAt;
    qint64 m_pos = 0;
    bool m_failed = false;
};

}  // namespace vantrel::test
