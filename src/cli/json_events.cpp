#include "json_events.h"

#include <QJsonDocument>

namespace vantrel::cli {

namespace {

// The version of the objects' layout: a reader checks it before it trusts a field.
constexpr int kSchema = 1;
// Progress lines of one port at most this often, besides one at every tenth of the image.
constexpr std::uint64_t kProgressEveryMs = 1000;

QString Text(const std::string& text) {
    // Boot-loader lines may carry any byte: invalid UTF-8 becomes U+FFFD, the JSON stays valid.
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void EventLines::Write(const std::string& port, const char* event, QJsonObject fields) {
    fields["schema"] = kSchema;
    fields["time"] = QString::fromStdString(UtcNowIso());
    fields["event"] = QString::fromLatin1(event);
    fields["port"] = port.empty() ? QJsonValue() : QJsonValue(Text(port));
    QByteArray line = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    line.append('\n');
    const std::lock_guard lock(m_mutex);
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), m_out);
    std::fflush(m_out);
}

void EventLines::Summary(const std::string& port, int done, int failed, int declined,
                         int exitStatus) {
    Write(port, "summary",
          {{"handled", done + failed},
           {"done", done},
           {"failed", failed},
           {"declined", declined},
           {"exit_status", exitStatus}});
}

JsonEvents::JsonEvents(EventLines& lines, std::string port, Clock& clock)
    : m_lines(lines), m_port(std::move(port)), m_clock(clock) {}

void JsonEvents::Identified(int model) {
    m_lines.Write(m_port, "identified", {{"model", model}});
}

void JsonEvents::Waiting() {
    m_lines.Write(m_port, "waiting");
}

void JsonEvents::PhaseBegun(Phase phase) {
    if (phase == Phase::Transfer) {
        m_lastTenth = -1;
        m_lastProgressMs = 0;
    }
    m_lines.Write(m_port, "phase", {{"phase", PhaseId(phase)}, {"state", "begin"}});
}

void JsonEvents::PhaseEnded(Phase phase, const Outcome& outcome) {
    QJsonObject fields{{"phase", PhaseId(phase)},
                       {"state", "end"},
                       {"ok", outcome.ok()},
                       {"outcome", OutcomeKindId(outcome.kind)},
                       {"result", outcome.result}};
    if (!outcome.words.empty()) {
        fields["text"] = Text(outcome.words);
    }
    m_lines.Write(m_port, "phase", fields);
}

void JsonEvents::TransferProgress(const TransferState& state) {
    const std::int64_t bytes = std::min(state.bytesAcknowledged, state.total);
    const int tenth = state.total > 0 ? static_cast<int>(bytes * 10 / state.total) : 10;
    const std::uint64_t now = m_clock.NowMs();
    if (tenth == m_lastTenth && now - m_lastProgressMs < kProgressEveryMs) {
        return;
    }
    m_lastTenth = tenth;
    m_lastProgressMs = now;
    m_lines.Write(m_port, "progress",
                  {{"bytes", static_cast<qint64>(bytes)},
                   {"total", static_cast<qint64>(state.total)},
                   {"block", static_cast<qint64>(state.block)},
                   {"repeats", state.repeats}});
}

void JsonEvents::InstrumentOutcome(bool ok, const std::string& text,
                                   std::optional<std::int32_t> result, int exitStatus) {
    m_lines.Write(m_port, "outcome",
                  {{"ok", ok},
                   {"text", Text(text)},
                   {"result", result ? QJsonValue(*result) : QJsonValue()},
                   {"exit_status", exitStatus}});
}

void JsonEvents::Declined(const std::string& text) {
    m_lines.Write(m_port, "declined", {{"text", Text(text)}});
}

void JsonEvents::Gone(const std::string& why) {
    m_lines.Write(m_port, "gone", {{"text", Text(why)}});
}

void JsonEvents::Back(const std::string& device) {
    m_lines.Write(m_port, "back", {{"device", Text(device)}});
}

}  // namespace vantrel::cli
