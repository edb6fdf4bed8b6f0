#include "update_record.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

namespace vantrel::cli {

namespace {

// Lines from the boot loader may carry any byte; invalid UTF-8 becomes U+FFFD so that the
// record stays valid JSON.
QString Text(const std::string& text) {
    return QString::fromUtf8(text.data(), text.size());
}

QJsonValue Number(std::int64_t value) {
    return QJsonValue(static_cast<qint64>(value));
}

QString Hex32(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return QString::fromLatin1(text);
}

QJsonObject ImageObject(const std::string& path, const std::optional<ImageDigest>& digest) {
    QJsonObject image;
    image["path"] = Text(path);
    if (!digest || !digest->ok) {
        image["error"] = digest ? Text(digest->error) : QString();
        return image;
    }
    image["size"] = Number(digest->size);
    image["sent_size"] = Number(digest->sentSize);
    image["sha256"] = Text(digest->sha256);
    image["crc32"] = Hex32(digest->crc32);
    return image;
}

QJsonObject TransferObject(const UpdateRecord::TransferEntry& t) {
    QJsonObject transfer;
    transfer["check"] = t.started ? QJsonValue(t.crcMode ? "crc" : "checksum") : QJsonValue();
    transfer["frames_sent"] = Number(t.framesSent);
    transfer["bytes_acknowledged"] = Number(t.bytesAcknowledged);
    transfer["eot_sent"] = t.eotSent;
    transfer["result"] = t.result;
    transfer["image_error"] = t.imageError.empty() ? QJsonValue() : QJsonValue(Text(t.imageError));
    QJsonArray repeats;
    for (const auto& [block, count] : t.repeatsPerBlock) {
        repeats.append(QJsonObject{{"block", Number(block)}, {"repeats", count}});
    }
    transfer["repeats"] = repeats;
    return transfer;
}

QJsonObject RecordObject(const UpdateRecord& r) {
    QJsonObject o;
    o["program"] = Text(r.program);
    o["start"] = Text(r.start);
    o["end"] = Text(r.end);
    o["port"] = QJsonObject{{"name", Text(r.portName)}, {"device", Text(r.device)}};
    o["model"] = r.model >= 0 ? QJsonValue(r.model) : QJsonValue();
    QJsonArray requested;
    for (const auto& name : r.requested) {
        requested.append(Text(name));
    }
    o["requested"] = requested;
    QJsonArray functions;
    for (const auto& f : r.functions) {
        functions.append(QJsonObject{{"name", Text(f.name)},
                                     {"result", f.result ? QJsonValue(*f.result) : QJsonValue()},
                                     {"outcome", Text(f.outcome)},
                                     {"reason", f.reason.empty() ? QJsonValue()
                                                                 : QJsonValue(Text(f.reason))}});
    }
    o["functions"] = functions;
    QJsonArray statuses;
    for (const auto& s : r.statuses) {
        statuses.append(QJsonObject{{"time", Text(s.time)}, {"text", Text(s.text)}});
    }
    o["status"] = statuses;
    o["image"] = r.imagePath.empty() ? QJsonValue() : ImageObject(r.imagePath, r.image);
    QJsonArray transfers;
    for (const auto& t : r.transfers) {
        transfers.append(TransferObject(t));
    }
    o["transfers"] = transfers;
    QJsonArray phases;
    for (const auto& p : r.phases) {
        phases.append(QJsonObject{{"name", Text(p.name)},
                                  {"start", Text(p.start)},
                                  {"duration_ms", Number(p.durationMs)},
                                  {"outcome", p.outcome.empty() ? QJsonValue()
                                                                : QJsonValue(Text(p.outcome))}});
    }
    o["phases"] = phases;
    if (r.diagnosis) {
        o["diagnosis"] =
            QJsonObject{{"kind", Text(r.diagnosis->kind)},
                        {"bytes_seen", Number(static_cast<std::int64_t>(r.diagnosis->bytesSeen))},
                        {"first_bytes", Text(r.diagnosis->firstBytesHex)},
                        {"text", Text(r.diagnosis->text)}};
    } else {
        o["diagnosis"] = QJsonValue();
    }
    o["error"] = r.error.empty() ? QJsonValue() : QJsonValue(Text(r.error));
    o["trace"] = r.trace.empty() ? QJsonValue() : QJsonValue(Text(r.trace));
    o["trace_error"] = r.traceError.empty() ? QJsonValue() : QJsonValue(Text(r.traceError));
    o["declined"] = r.declined.empty() ? QJsonValue() : QJsonValue(Text(r.declined));
    o["exit_status"] = r.exitStatus;
    return o;
}

}  // namespace

std::string BuildRecordLine(const UpdateRecord& record) {
    // Compact JSON escapes line feeds inside strings, so the only one is the final one.
    QByteArray json = QJsonDocument(RecordObject(record)).toJson(QJsonDocument::Compact);
    json.append('\n');
    return json.toStdString();
}

}  // namespace vantrel::cli
