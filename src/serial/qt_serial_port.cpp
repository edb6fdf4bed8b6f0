#include "qt_serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <filesystem>

#include "serial_timing.h"

namespace vantrel {

namespace {

constexpr qint32 kBaudRate = 38400;

// One read from the system takes at most this much; more simply waits for the next read.
constexpr std::size_t kReadChunkBytes = 4096;

constexpr short kHangUpEvents = POLLHUP | POLLERR | POLLNVAL;

constexpr const char* kHungUp = "the device was removed or the line hung up";

constexpr const char* kInUse =
    "the port is in use by another program. Close that program and try again.";

std::string Quoted(const std::string& device) {
    return "\"" + device + "\"";
}

std::string CannotOpen(const std::string& device, const std::string& why) {
    return "Cannot open the serial port " + Quoted(device) + ": " + why;
}

// Why the device could not be opened, from the system's error number.
std::string OpenFailureText(const std::string& device, int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return CannotOpen(device,
                              "there is no such device. Check that the cable or USB adapter is "
                              "plugged in.");
        case EACCES:
        case EPERM:
            return CannotOpen(device,
                              "permission denied. Add your user to the \"dialout\" group "
                              "(sudo usermod -aG dialout $USER), then log out and log in "
                              "again.");
        case EBUSY:
            return CannotOpen(device, kInUse);
        case ENOTTY:
            return CannotOpen(device, "it is not a serial port.");
        default:
            return CannotOpen(device, std::string(std::strerror(error)) + ".");
    }
}

// Asks the driver to pass each received byte on at once. Many USB adapters otherwise hold
// received bytes up to 16 ms before they hand them over, which delays every ACK: about 6% of
// a 1 KiB block's 267 ms at 38400 baud. A driver without the flag (a pseudo-terminal answers
// ENOTTY or EINVAL) is left as it is. Nothing when the driver has no such flag; otherwise
// whether it is on now.
std::optional<bool> RequestLowLatency(int fd) {
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return std::nullopt;
    }
    if ((serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        if (::ioctl(fd, TIOCSSERIAL, &serial) != 0 || ::ioctl(fd, TIOCGSERIAL, &serial) != 0) {
            return false;
        }
    }
    return (serial.flags & ASYNC_LOW_LATENCY) != 0;
}

std::string FailureText(const std::string& device, const std::string& why) {
    return "The serial port " + Quoted(device) + " stopped working: " + why +
           ". Check the cable or USB adapter.";
}

}  // namespace

struct QtSerialPort::Private {
    QSerialPort port;                // holds the device: lock file, exclusive use, line settings
    int fd = -1;                     // the adapter's own descriptor, for the data
    std::deque<std::uint8_t> input;  // taken from the system, not yet taken by the owner
    std::unique_ptr<QSocketNotifier> readable;  // only while a receive handler is set
    bool inReadable = false;                    // inside the notifier's own signal
    std::string device;
    std::string error;
    std::function<void()> handler;
    std::optional<bool> lowLatency;  // what the driver said at the open (nothing: no such flag)
    bool open = false;  // from a successful Open until Close, even once the port has failed
    bool failed = false;
    bool armed = false;
    bool deliveryQueued = false;
    bool delivering = false;
};

QtSerialPort::QtSerialPort(QObject* parent) : QObject(parent), d(std::make_unique<Private>()) {}

QtSerialPort::~QtSerialPort() {
    Close();
}

bool QtSerialPort::Open(const std::string& device) {
    Close();
    d->device = device;
    d->failed = false;
    d->error.clear();
    if (!OpenDescriptor(device)) {
        return false;
    }
    // Qt is asked only to write, and never does: its own reading, driven by the event loop,
    // takes a stale readiness report (input already read here) for a read error and then
    // stops reading for good. Opening after the adapter's descriptor keeps Qt's exclusive
    // use from shutting that descriptor out.
    d->port.setPortName(QString::fromStdString(device));
    if (!d->port.open(QIODevice::WriteOnly)) {
        d->error = d->port.error() == QSerialPort::PermissionError
                       ? CannotOpen(device, kInUse)
                       : CannotOpen(device, d->port.errorString().toStdString() + ".");
        Close();
        return false;
    }
    if (!ConfigureLine()) {
        d->error = "The serial port " + Quoted(device) +
                   " does not accept 38400 baud, 8 data bits, no parity, 1 stop bit.";
        Close();
        return false;
    }
    // DTR and RTS stay asserted for as long as the port is open, as a terminal program
    // leaves them: the boot loader uses no handshake, and port-powered level converters and
    // isolators need the lines high. They are never toggled, so opening the port cannot
    // pulse a reset line. Pseudo-terminals have no modem lines; a refusal there is harmless.
    d->port.setDataTerminalReady(true);
    d->port.setRequestToSend(true);
    d->port.clearError();
    d->lowLatency = RequestLowLatency(d->fd);

    d->open = true;
    WatchReadable();
    if (d->armed) {
        QueueDelivery();
    }
    return true;
}

void QtSerialPort::WatchReadable() {
    if (!d->handler || d->fd < 0 || d->readable) {
        return;
    }
    d->readable = std::make_unique<QSocketNotifier>(d->fd, QSocketNotifier::Read);
    connect(d->readable.get(), &QSocketNotifier::activated, this, [this] { OnReadable(); });
}

bool QtSerialPort::OpenDescriptor(const std::string& device) {
    // Non-blocking so that no modem line can hold the open or a read; no controlling
    // terminal so that the instrument's line cannot signal the program.
    d->fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (d->fd < 0) {
        d->error = OpenFailureText(device, errno);
        return false;
    }
    if (::isatty(d->fd) != 1) {
        d->error = OpenFailureText(device, ENOTTY);
        Close();
        return false;
    }
    return true;
}

bool QtSerialPort::ConfigureLine() {
    const bool settled =
        d->port.setBaudRate(kBaudRate) && d->port.setDataBits(QSerialPort::Data8) &&
        d->port.setParity(QSerialPort::NoParity) && d->port.setStopBits(QSerialPort::OneStop) &&
        d->port.setFlowControl(QSerialPort::NoFlowControl);
    if (!settled) {
        return false;
    }
    // Raw 8-bit line in both directions: 0x1A, NUL, XON/XOFF, CR and LF pass as data, and
    // the receiver is on although Qt was asked only to write.
    termios line{};
    if (::tcgetattr(d->fd, &line) != 0) {
        return false;
    }
    ::cfmakeraw(&line);
    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    line.c_cflag |= CREAD | CLOCAL;
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    return ::tcsetattr(d->fd, TCSANOW, &line) == 0;
}

void QtSerialPort::Close() {
    d->open = false;
    d->lowLatency.reset();
    d->readable.reset();
    d->input.clear();
    if (d->fd >= 0) {
        ::close(d->fd);
        d->fd = -1;
    }
    if (d->port.isOpen()) {
        d->port.close();
    }
    d->port.clearError();
}

bool QtSerialPort::IsOpen() const {
    return d->open;
}

std::size_t QtSerialPort::Waiting() {
    if (!d->open || d->failed) {
        return 0;
    }
    if (d->input.empty()) {
        PullFromSystem(0);
    }
    return d->failed ? 0 : d->input.size();
}

std::optional<std::uint8_t> QtSerialPort::Take() {
    if (Waiting() == 0) {
        return std::nullopt;
    }
    const std::uint8_t byte = d->input.front();
    d->input.pop_front();
    return byte;
}

void QtSerialPort::DiscardInput() {
    d->input.clear();
    if (d->open && !d->failed) {
        ::tcflush(d->fd, TCIFLUSH);
    }
}

bool QtSerialPort::Write(const std::uint8_t* data, std::size_t size) {
    if (!d->open || d->failed) {
        return false;
    }
    // The system takes what fits in its buffer at each call; the rest follows as soon as
    // there is room, within one bound for the whole write.
    const QDeadlineTimer deadline(serial_timing::kWriteLimitMs);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(d->fd, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            MarkFailed(LineHungUp() ? std::string(kHungUp)
                                    : "a write failed (" + std::string(std::strerror(errno)) + ")");
            return false;
        }
        if (deadline.hasExpired()) {
            MarkFailed("it did not send its data within " +
                       std::to_string(serial_timing::kWriteLimitMs) + " ms");
            return false;
        }
        pollfd watch{d->fd, POLLOUT, 0};
        if (::poll(&watch, 1, static_cast<int>(deadline.remainingTime())) > 0 &&
            (watch.revents & kHangUpEvents) != 0) {
            MarkFailed(kHungUp);
            return false;
        }
    }
    return true;
}

bool QtSerialPort::WaitForInput(std::uint64_t ms, const StopSignal* stop) {
    if (Waiting() > 0) {
        return true;
    }
    const QDeadlineTimer deadline(static_cast<qint64>(std::min<std::uint64_t>(ms, LLONG_MAX)));
    while (d->open && !d->failed) {
        if (stop != nullptr && stop->Raised()) {
            return false;
        }
        const qint64 remaining = deadline.remainingTime();
        PullFromSystem(static_cast<int>(std::min<qint64>(remaining, INT_MAX)), stop);
        if (!d->input.empty() && !d->failed) {
            return true;
        }
        if (deadline.hasExpired()) {
            break;
        }
    }
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

std::optional<bool> QtSerialPort::LowLatency() const {
    return d->lowLatency;
}

void QtSerialPort::SetReceiveHandler(std::function<void()> handler) {
    d->handler = std::move(handler);
    WatchReadable();
}

void QtSerialPort::MarkFailed(const std::string& why) {
    if (d->failed) {
        return;
    }
    d->failed = true;
    d->error = FailureText(d->device, why);
    d->input.clear();
    // The device is let go at once: a held descriptor would keep the device name taken when
    // the USB adapter comes back.
    ReleaseIfFailed();
}

void QtSerialPort::ReleaseIfFailed() {
    if (!d->failed || d->fd < 0) {
        return;
    }
    if (d->readable) {
        // A removed device stays readable forever: left on, the notifier would wake the event
        // loop without pause. Inside the notifier's own signal it cannot be deleted, so it is
        // switched off and left to the event loop that delivered the signal; anywhere else it
        // goes at once.
        d->readable->setEnabled(false);
        if (d->inReadable) {
            QSocketNotifier* notifier = d->readable.release();
            notifier->setParent(this);
            notifier->deleteLater();
        } else {
            d->readable.reset();
        }
    }
    ::close(d->fd);
    d->fd = -1;
    d->port.close();
    d->port.clearError();
}

bool QtSerialPort::LineHungUp() const {
    if (d->fd < 0) {
        return true;
    }
    pollfd watch{d->fd, 0, 0};
    return ::poll(&watch, 1, 0) > 0 && (watch.revents & kHangUpEvents) != 0;
}

void QtSerialPort::PullFromSystem(int timeoutMs, const StopSignal* stop) {
    if (d->fd < 0 || d->failed) {
        return;
    }
    pollfd fds[2] = {{d->fd, POLLIN, 0}, {stop != nullptr ? stop->Fd() : -1, POLLIN, 0}};
    const int ready = ::poll(fds, stop != nullptr && stop->Fd() >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0) {
        if (errno != EINTR) {
            MarkFailed(std::string("waiting for input failed (") + std::strerror(errno) + ")");
        }
        return;
    }
    const pollfd& watch = fds[0];
    if (ready == 0 || watch.revents == 0) {
        return;
    }
    if ((watch.revents & POLLIN) != 0) {
        std::uint8_t chunk[kReadChunkBytes];
        const ssize_t n = ::read(d->fd, chunk, sizeof chunk);
        if (n > 0) {
            d->input.insert(d->input.end(), chunk, chunk + n);
            return;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        // A hung-up terminal reads as end of file (0) or fails (EIO); a healthy one that
        // merely had nothing left reads 0 without reporting a hang-up.
        if (n < 0 || (watch.revents & kHangUpEvents) != 0) {
            MarkFailed(kHungUp);
        }
        return;
    }
    if ((watch.revents & kHangUpEvents) != 0) {
        MarkFailed(kHungUp);
    }
}

void QtSerialPort::OnReadable() {
    d->inReadable = true;
    PullFromSystem(0);
    d->inReadable = false;
    QueueDelivery();
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

namespace {

// The kernel's list of terminal devices: one folder per tty, read without opening any.
constexpr const char* kTtyClass = "/sys/class/tty";

}  // namespace

std::vector<PortEntry> ListPorts() {
    return MapPorts(PortAliasFolder(), SerialDevicesIn(kTtyClass));
}

std::string ResolvePortName(const std::string& nameOrDevice) {
    const std::string folder = PortAliasFolder();
    std::error_code ec;
    const std::filesystem::path alias = std::filesystem::path(folder) / nameOrDevice;
    if (!folder.empty() && std::filesystem::is_symlink(alias, ec)) {
        const std::filesystem::path target = std::filesystem::canonical(alias, ec);
        return ec ? std::string() : target.string();
    }
    return ResolvePort(MapPorts(std::string(), SerialDevicesIn(kTtyClass)), nameOrDevice);
}

}  // namespace vantrel
