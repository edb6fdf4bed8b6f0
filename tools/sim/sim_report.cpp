#include "sim_report.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <cstdio>

#include "checksums.h"
#include "sim_limits.h"

namespace vantrel::sim {

namespace {

QString FromLatin1(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QJsonObject BlockJson(const BlockRecord& block) {
    QJsonObject object{{"number", block.number >= 0 ? QJsonValue(block.number) : QJsonValue()},
                       {"size", block.size},
                       {"answer", FromLatin1(block.answer)}};
    if (block.duplicate) {
        object.insert("duplicate", true);
    }
    if (!block.error.empty()) {
        object.insert("error", FromLatin1(block.error));
    }
    return object;
}

QJsonObject TransferJson(const TransferRecord& transfer) {
    QJsonArray blocks;
    for (const BlockRecord& block : transfer.blocks) {
        blocks.append(BlockJson(block));
    }
    QJsonObject object{{"mode", FromLatin1(transfer.mode)},
                       {"blocks", blocks},
                       {"eot", transfer.eotCount},
                       {"completed", transfer.completed},
                       {"end", FromLatin1(transfer.end)}};
    if (transfer.blocksTruncated) {
        object.insert("blocks_truncated", true);
    }
    return object;
}

QJsonValue ImageJson(const SimRecord& record) {
    if (!record.image) {
        return QJsonValue();
    }
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(Crc32(*record.image)));
    return QJsonObject{{"size", static_cast<qint64>(record.image->size())},
                       {"crc32", QString::fromLatin1(crc)}};
}

}  // namespace

void SimRecord::AddCommand(std::string command) {
    if (commands.size() >= kMaxRecordedCommands) {
        commandsTruncated = true;
        return;
    }
    commands.push_back(std::move(command));
}

void SimRecord::AddBlock(TransferRecord& transfer, BlockRecord block) {
    if (transfer.blocks.size() >= kMaxRecordedBlocks) {
        transfer.blocksTruncated = true;
        return;
    }
    transfer.blocks.push_back(std::move(block));
}

std::string ReportJson(const SimRecord& record) {
    QJsonArray commands;
    for (const std::string& command : record.commands) {
        commands.append(FromLatin1(command));
    }
    QJsonArray transfers;
    for (const TransferRecord& transfer : record.transfers) {
        transfers.append(TransferJson(transfer));
    }
    QJsonObject report{
        {"model", record.model},
        {"resets", record.resets},
        {"commands", commands},
        {"base_address",
         record.baseAddress ? QJsonValue(FromLatin1(*record.baseAddress)) : QJsonValue()},
        {"user_area", record.blank ? "blank" : (record.programValid ? "programmed" : "not blank")},
        {"transfers", transfers},
        {"image", ImageJson(record)},
    };
    if (record.commandsTruncated) {
        report.insert("commands_truncated", true);
    }
    return QJsonDocument(report).toJson(QJsonDocument::Indented).toStdString();
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string& error) {
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly)) {
        error = "cannot write " + path + ": " + file.errorString().toStdString();
        return false;
    }
    file.write(bytes.data(), static_cast<qint64>(bytes.size()));
    if (!file.commit()) {
        error = "cannot write " + path + ": " + file.errorString().toStdString();
        return false;
    }
    return true;
}

}  // namespace vantrel::sim
