#include "qt_serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QSerialPortInfo>
#include <cerrno>
#include <climits>
#include <cstring>

#include "serial_timing.h"

namespace vantrel {

namespace {

constexpr qint32 kBaudRate = 38400;

std::string Quoted(const std::string& device) {
    return "\"" + device + "\"";
}

// Whether the user lacks the rights to open `device` for reading and writing. Another
// program holding the port shows up as the same Qt error, so the two are told apart here.
bool LacksRights(const std::string& device) {
    return ::access(device.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM);
}

// Whether `device` can be opened as a terminal (a serial port or a pseudo-terminal).
bool IsTerminal(const std::string& device) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return true;  // cannot tell; Qt's own reason is shown instead
    }
    const bool terminal = ::isatty(fd) == 1;
    ::close(fd);
    return terminal;
}

std::string OpenFailureText(const std::string& device, const QSerialPort& port) {
    const std::string head = "Cannot open the serial port " + Quoted(device) + ": ";
    switch (port.error()) {
        case QSerialPort::DeviceNotFoundError:
            return head +
                   "there is no such device. Check that the cable or USB adapter is plugged "
                   "in and choose the port again.";
        case QSerialPort::PermissionError:
            if (LacksRights(device)) {
                return head +
                       "permission denied. Add your user to the \"dialout\" group "
                       "(sudo usermod -aG dialout $USER), then log out and log in again.";
            }
            return head +
                   "the port is in use by another program. Close that program and try "
                   "again.";
        default:
            if (!IsTerminal(device)) {
                return head + "it is not a serial port.";
            }
            return head + port.errorString().toStdString() + ".";
    }
}

std::string FailureText(const std::string& device, const std::string& why) {
    return "The serial port " + Quoted(device) + " stopped working: " + why +
           ". Check the cable or USB adapter, then choose the port again.";
}

}  // namespace

struct QtSerialPort::Private {
    QSerialPort port;
    std::string device;
    std::string error;
    std::function<void()> handler;
    bool open = false;  // from a successful Open until Close, even once the port has failed
    bool failed = false;
    bool armed = false;
    bool deliveryQueued = false;
    bool delivering = false;
};

QtSerialPort::QtSerialPort(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {
    connect(&d->port, &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) { OnPortError(error); });
    // Only schedules: the handler runs from the event loop, never inside Qt's read.
    connect(&d->port, &QSerialPort::readyRead, this, [this] { QueueDelivery(); });
}

QtSerialPort::~QtSerialPort() {
    QObject::disconnect(&d->port, nullptr, this, nullptr);
    d->port.close();
}

bool QtSerialPort::Open(const std::string& device) {
    Close();
    d->device = device;
    d->failed = false;
    d->error.clear();
    d->port.setPortName(QString::fromStdString(device));
    if (!d->port.open(QIODevice::ReadWrite)) {
        d->error = OpenFailureText(device, d->port);
        d->port.clearError();
        return false;
    }
    // Raw 8-bit line: Qt puts the terminal in raw mode, so 0x1A, NUL and XON/XOFF arrive as
    // ordinary data and nothing is translated.
    const bool settled =
        d->port.setBaudRate(kBaudRate) && d->port.setDataBits(QSerialPort::Data8) &&
        d->port.setParity(QSerialPort::NoParity) && d->port.setStopBits(QSerialPort::OneStop) &&
        d->port.setFlowControl(QSerialPort::NoFlowControl);
    if (!settled) {
        d->error = "The serial port " + Quoted(device) + " does not accept 38400 baud, 8 data " +
                   "bits, no parity, 1 stop bit: " + d->port.errorString().toStdString() + ".";
        d->port.close();
        d->port.clearError();
        return false;
    }
    // DTR and RTS stay asserted for as long as the port is open, as a terminal program
    // leaves them: the boot loader uses no handshake, and port-powered level converters and
    // isolators need the lines high. They are never toggled, so opening the port cannot
    // pulse a reset line. Pseudo-terminals have no modem lines; a refusal there is harmless.
    d->port.setDataTerminalReady(true);
    d->port.setRequestToSend(true);
    d->port.clearError();
    d->open = true;
    if (d->armed) {
        QueueDelivery();
    }
    return true;
}

void QtSerialPort::Close() {
    d->open = false;
    if (d->port.isOpen()) {
        d->port.close();
    }
    d->port.clearError();
}

bool QtSerialPort::IsOpen() const {
    return d->open;
}

std::size_t QtSerialPort::Waiting() {
    ReleaseIfFailed();
    if (!d->open || d->failed) {
        return 0;
    }
    if (d->port.bytesAvailable() == 0) {
        PullFromSystem(0);
    }
    return d->failed ? 0 : static_cast<std::size_t>(d->port.bytesAvailable());
}

std::optional<std::uint8_t> QtSerialPort::Take() {
    if (Waiting() == 0) {
        return std::nullopt;
    }
    char byte = 0;
    if (!d->port.getChar(&byte)) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(byte);
}

void QtSerialPort::DiscardInput() {
    ReleaseIfFailed();
    if (d->open && !d->failed) {
        d->port.clear(QSerialPort::Input);
    }
}

bool QtSerialPort::Write(const std::uint8_t* data, std::size_t size) {
    ReleaseIfFailed();
    if (!d->open || d->failed) {
        return false;
    }
    const auto length = static_cast<qint64>(size);
    if (d->port.write(reinterpret_cast<const char*>(data), length) != length) {
        MarkFailed("a write was refused (" + d->port.errorString().toStdString() + ")");
        return false;
    }
    // Without an event loop (command line) Qt keeps the bytes in its own buffer; push them
    // into the system now, so that they go out before any answer is awaited.
    const QDeadlineTimer deadline(serial_timing::kWriteLimitMs);
    while (d->port.bytesToWrite() > 0 && !d->failed) {
        if (!d->port.waitForBytesWritten(static_cast<int>(deadline.remainingTime())) &&
            d->port.bytesToWrite() > 0 && !d->failed) {
            MarkFailed(deadline.hasExpired()
                           ? "it did not send its data within " +
                                 std::to_string(serial_timing::kWriteLimitMs) + " ms"
                           : "a write failed (" + d->port.errorString().toStdString() + ")");
        }
    }
    return !d->failed;
}

bool QtSerialPort::WaitForInput(std::uint64_t ms) {
    if (Waiting() > 0) {
        return true;
    }
    const QDeadlineTimer deadline(static_cast<qint64>(std::min<std::uint64_t>(ms, LLONG_MAX)));
    while (d->open && !d->failed) {
        const qint64 remaining = deadline.remainingTime();
        PullFromSystem(static_cast<int>(std::min<qint64>(remaining, INT_MAX)));
        if (d->failed) {
            break;
        }
        if (d->port.bytesAvailable() > 0) {
            return true;
        }
        if (deadline.hasExpired()) {
            break;
        }
    }
    ReleaseIfFailed();
    return false;
}

void QtSerialPort::SetReceiveNotification(bool armed) {
    d->armed = armed;
    if (armed) {
        QueueDelivery();
    }
}

bool QtSerialPort::ReceiveNotificationArmed() const {
    return d->armed;
}

bool QtSerialPort::HasFailed() const {
    return d->open && d->failed;
}

std::string QtSerialPort::ErrorText() const {
    return d->error;
}

void QtSerialPort::SetReceiveHandler(std::function<void()> handler) {
    d->handler = std::move(handler);
}

void QtSerialPort::OnPortError(QSerialPort::SerialPortError error) {
    if (!d->open || d->failed) {
        return;
    }
    switch (error) {
        case QSerialPort::ResourceError:
        case QSerialPort::ReadError:
            // Qt's text for these is often a stale errno; what happened is plain enough.
            MarkFailed("the device was removed or the line hung up");
            break;
        case QSerialPort::WriteError:
            MarkFailed("a write failed (" + d->port.errorString().toStdString() + ")");
            break;
        default:
            // Time-outs of Qt's own waits and refused modem-line requests are not failures.
            break;
    }
}

void QtSerialPort::MarkFailed(const std::string& why) {
    if (d->failed) {
        return;
    }
    d->failed = true;
    d->error = FailureText(d->device, why);
    // The device is let go outside Qt's own call stack: a removed USB adapter keeps its
    // descriptor readable forever, and a held descriptor keeps the device name taken when
    // the adapter comes back.
    QMetaObject::invokeMethod(
        this, [this] { ReleaseIfFailed(); }, Qt::QueuedConnection);
}

void QtSerialPort::ReleaseIfFailed() {
    if (d->failed && d->port.isOpen()) {
        d->port.close();
        d->port.clearError();
    }
}

void QtSerialPort::PullFromSystem(int timeoutMs) {
    if (!d->port.isOpen() || d->failed) {
        return;
    }
    pollfd watch{static_cast<int>(d->port.handle()), POLLIN, 0};
    const int ready = ::poll(&watch, 1, timeoutMs);
    if (ready < 0) {
        if (errno != EINTR) {
            MarkFailed(std::string("waiting for input failed (") + std::strerror(errno) + ")");
        }
        return;
    }
    if (ready == 0) {
        return;
    }
    if ((watch.revents & POLLIN) != 0) {
        // Qt reads what the system holds into its buffer; a read error reaches OnPortError.
        d->port.waitForReadyRead(0);
    } else if ((watch.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        MarkFailed("the device was removed or the line hung up");
    }
}

void QtSerialPort::QueueDelivery() {
    if (!d->armed || d->deliveryQueued || d->delivering) {
        return;
    }
    d->deliveryQueued = true;
    QMetaObject::invokeMethod(
        this, [this] { Deliver(); }, Qt::QueuedConnection);
}

void QtSerialPort::Deliver() {
    d->deliveryQueued = false;
    if (!d->armed || !d->handler || d->delivering || Waiting() == 0) {
        return;
    }
    d->delivering = true;
    d->handler();
    d->delivering = false;
    // A handler that gave up on what it read (an unrecognised signature) leaves the rest
    // waiting: offer it again, from the event loop, for as long as the owner listens.
    QueueDelivery();
}

std::vector<PortEntry> ListPorts() {
    std::vector<std::string> devices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        devices.push_back(info.systemLocation().toStdString());
    }
    return MapPorts(PortAliasFolder(), devices);
}

}  // namespace vantrel
