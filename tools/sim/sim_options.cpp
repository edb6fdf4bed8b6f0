#include "sim_options.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <array>

namespace vantrel::sim {

namespace {

// Longest pause accepted by --slow, in ms: ten minutes is beyond any use and keeps the
// arithmetic far from overflow.
constexpr int kMaxSlowMs = 600000;
// Highest line rate accepted by --baud, in bits per second.
constexpr int kMaxBaud = 10000000;
// Highest block ordinal accepted by the XModem fault options: the largest image that fits the
// simulated flash, in 128-byte blocks.
constexpr int kMaxBlockOrdinal = 131072;

bool ParseInt(const QString& text, int low, int high, int& value) {
    bool ok = false;
    const int parsed = text.toInt(&ok, 10);
    if (!ok || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

bool ParseSilentFrom(const QString& text, SilentFrom& silent) {
    static const QString kCommands = QStringLiteral("123567");
    if (text.size() == 1 && kCommands.contains(text)) {
        silent.kind = SilentFrom::Kind::MenuCommand;
        silent.command = static_cast<char>(text.at(0).toLatin1());
        return true;
    }
    static const QString kXModem = QStringLiteral("xmodem:");
    if (text.startsWith(kXModem) &&
        ParseInt(text.mid(kXModem.size()), 1, kMaxBlockOrdinal, silent.block)) {
        silent.kind = SilentFrom::Kind::XModemBlock;
        return true;
    }
    return false;
}

struct OptionSet {
    QCommandLineOption model{"model", "Boot-loader variant: 0, 1 or 2 (default 0).", "N", "0"};
    QCommandLineOption port{"port", "Also create the alias COMn for the pty in the port folder.",
                            "COMn"};
    QCommandLineOption resetOnOpen{"reset-on-open", "Reset each time a program opens the port."};
    QCommandLineOption bareQuestions{"bare-questions", "Send questions without a line end."};
    QCommandLineOption blank{"blank", "The user area is blank at start."};
    QCommandLineOption notBlank{"not-blank", "The user area is not blank at start (default)."};
    QCommandLineOption protectedSectors{"protected", "The user-area sectors are protected."};
    QCommandLineOption faultNotBlank{"fault-not-blank",
                                     "Menu 5 refuses a user area that is not blank."};
    QCommandLineOption eraseFailAt{"erase-fail-at", "The erase of block K fails.", "K"};
    QCommandLineOption nakBlock{"nak-block", "Refuse XModem block N (counted from 1).", "N"};
    QCommandLineOption nakCount{"nak-count", "How many times --nak-block refuses (default 1).", "K",
                                "1"};
    QCommandLineOption cancelAtBlock{"cancel-at-block", "Answer XModem block N with CAN CAN.", "N"};
    QCommandLineOption silentFrom{"silent-from",
                                  "Pull the cable at menu command STEP (1, 2, 3, 5, 6, 7) or "
                                  "at XModem block N (xmodem:N).",
                                  "STEP"};
    QCommandLineOption garbage{"garbage", "Send junk between lines."};
    QCommandLineOption seed{"seed", "Seed of the junk (default 1).", "N", "1"};
    QCommandLineOption slow{"slow", "Pause before each menu answer, in ms.", "MS", "0"};
    QCommandLineOption lineEnd{"line-end", "Line end: crlf (default), lf or cr.", "END", "crlf"};
    QCommandLineOption baud{"baud", "Pace both directions at 10 bits per byte at this rate.",
                            "RATE"};
    QCommandLineOption checksum{"checksum", "Ask for XModem checksum mode (NAK) instead of CRC."};
    QCommandLineOption report{"report", "Write the JSON report to FILE.", "FILE"};
    QCommandLineOption imageOut{"image-out", "Write the last image received to FILE.", "FILE"};
    QCommandLineOption noStdin{"no-stdin", "Do not read the words above from stdin."};
    QCommandLineOption verbose{"verbose", "Trace events on stderr."};

    void AddTo(QCommandLineParser& parser) const {
        parser.addOptions({model,
                           port,
                           resetOnOpen,
                           bareQuestions,
                           blank,
                           notBlank,
                           protectedSectors,
                           faultNotBlank,
                           eraseFailAt,
                           nakBlock,
                           nakCount,
                           cancelAtBlock,
                           silentFrom,
                           garbage,
                           seed,
                           slow,
                           lineEnd,
                           baud,
                           checksum,
                           report,
                           imageOut,
                           noStdin,
                           verbose});
    }
};

bool ReadFaults(const QCommandLineParser& parser, const OptionSet& o, SimOptions& options,
                QString& error) {
    const ModelTraits& traits = TraitsOf(options.model);
    if (parser.isSet(o.eraseFailAt) && !ParseInt(parser.value(o.eraseFailAt), traits.firstBlock,
                                                 traits.lastBlock, options.eraseFailAt)) {
        error = QStringLiteral("--erase-fail-at: a block number from %1 to %2 on model %3")
                    .arg(traits.firstBlock)
                    .arg(traits.lastBlock)
                    .arg(options.model);
        return false;
    }
    if (parser.isSet(o.nakBlock) &&
        !ParseInt(parser.value(o.nakBlock), 1, kMaxBlockOrdinal, options.nakBlock)) {
        error = QStringLiteral("--nak-block: a block from 1 to %1").arg(kMaxBlockOrdinal);
        return false;
    }
    if (!ParseInt(parser.value(o.nakCount), 1, 1000, options.nakCount)) {
        error = QStringLiteral("--nak-count: a count from 1 to 1000");
        return false;
    }
    if (parser.isSet(o.cancelAtBlock) &&
        !ParseInt(parser.value(o.cancelAtBlock), 1, kMaxBlockOrdinal, options.cancelAtBlock)) {
        error = QStringLiteral("--cancel-at-block: a block from 1 to %1").arg(kMaxBlockOrdinal);
        return false;
    }
    if (parser.isSet(o.silentFrom) &&
        !ParseSilentFrom(parser.value(o.silentFrom), options.silentFrom)) {
        error = QStringLiteral("--silent-from: a menu command (1, 2, 3, 5, 6, 7) or xmodem:N");
        return false;
    }
    return true;
}

bool ReadLineOptions(const QCommandLineParser& parser, const OptionSet& o, SimOptions& options,
                     QString& error) {
    int seed = 0;
    if (!ParseInt(parser.value(o.seed), 0, 0x7FFFFFFF, seed)) {
        error = QStringLiteral("--seed: a number from 0 to 2147483647");
        return false;
    }
    options.seed = static_cast<std::uint32_t>(seed);
    if (!ParseInt(parser.value(o.slow), 0, kMaxSlowMs, options.slowMs)) {
        error = QStringLiteral("--slow: milliseconds from 0 to %1").arg(kMaxSlowMs);
        return false;
    }
    const QString end = parser.value(o.lineEnd);
    if (end == QLatin1String("crlf")) {
        options.lineEnd = "\r\n";
    } else if (end == QLatin1String("lf")) {
        options.lineEnd = "\n";
    } else if (end == QLatin1String("cr")) {
        options.lineEnd = "\r";
    } else {
        error = QStringLiteral("--line-end: crlf, lf or cr");
        return false;
    }
    if (parser.isSet(o.baud) && !ParseInt(parser.value(o.baud), 1, kMaxBaud, options.baud)) {
        error = QStringLiteral("--baud: a rate from 1 to %1").arg(kMaxBaud);
        return false;
    }
    return true;
}

}  // namespace

const ModelTraits& TraitsOf(int model) {
    static const std::array<ModelTraits, 3> kModels = {{
        {"\t\t\t\r", 1, 15, true, 0x00010000u},
        {"\n\n\n\r", 1, 7, false, 0x00010000u},
        {"\n\n\r\r", 0, 6, false, 0x00000000u},
    }};
    return kModels.at(static_cast<std::size_t>(model));
}

bool ParseOptions(const QStringList& arguments, SimOptions& options, QString& error,
                  QString& helpText) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Simulated instrument boot loader on a pseudo-terminal. Prints \"PTY <path>\" first.\n"
        "\n"
        "Words read on standard input, one a line (from a pipe or file, or from the terminal\n"
        "while in its foreground; never from the terminal in the background):\n"
        "  reset   reset the instrument: it sends its signature (also SIGUSR1)\n"
        "  report  write the --report file and print \"REPORT <file>\" (also SIGUSR2)\n"
        "  quit    write the report and end (also SIGTERM, SIGINT, SIGHUP, Ctrl-D)\n"
        "The end of a piped or empty stdin (/dev/null, a script's background job) ends only\n"
        "the reading: the simulator then runs until a signal ends it.\n"
        "\n"
        "The manual page: man vantrel-sim");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const OptionSet o;
    o.AddTo(parser);
    if (!parser.parse(QStringList{QStringLiteral("vantrel-sim")} + arguments)) {
        error = parser.errorText();
        return false;
    }
    if (parser.isSet(help)) {
        helpText = parser.helpText();
        return false;
    }
    if (parser.isSet(version)) {
        helpText = QStringLiteral("vantrel-sim %1\n").arg(QCoreApplication::applicationVersion());
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first());
        return false;
    }
    if (!ParseInt(parser.value(o.model), 0, 2, options.model)) {
        error = QStringLiteral("--model: 0, 1 or 2");
        return false;
    }
    if (parser.isSet(o.port)) {
        static const QRegularExpression kComName(QStringLiteral("^COM[1-9][0-9]?$"));
        if (!kComName.match(parser.value(o.port)).hasMatch()) {
            error = QStringLiteral("--port: a name from COM1 to COM99");
            return false;
        }
        options.portAlias = parser.value(o.port).toStdString();
    }
    if (parser.isSet(o.blank) && parser.isSet(o.notBlank)) {
        error = QStringLiteral("--blank and --not-blank exclude each other");
        return false;
    }
    options.blank = parser.isSet(o.blank);
    options.resetOnOpen = parser.isSet(o.resetOnOpen);
    options.bareQuestions = parser.isSet(o.bareQuestions);
    options.sectorsProtected = parser.isSet(o.protectedSectors);
    options.faultNotBlank = parser.isSet(o.faultNotBlank);
    options.garbage = parser.isSet(o.garbage);
    options.checksumMode = parser.isSet(o.checksum);
    options.watchStdin = !parser.isSet(o.noStdin);
    options.verbose = parser.isSet(o.verbose);
    options.reportPath = parser.value(o.report).toStdString();
    options.imageOutPath = parser.value(o.imageOut).toStdString();
    return ReadFaults(parser, o, options, error) && ReadLineOptions(parser, o, options, error);
}

}  // namespace vantrel::sim
