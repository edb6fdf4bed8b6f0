#pragma once

#include <QObject>
#include <QSerialPort>
#include <functional>
#include <memory>

#include "port.h"
#include "port_map.h"

namespace vantrel {

// The real port: a QSerialPort at 38400 8N1 without flow control.
//
// QSerialPort opens the device (its lock file and exclusive use), sets the line and the
// modem lines; the data itself goes through a descriptor of the adapter's own, so that input
// is seen with or without an event loop and every write is out before Write returns. Waits
// block in poll(), on the port and on the stop they are given, and so process no window
// messages. The receive notification is delivered through the handler set with
// SetReceiveHandler, queued to the event loop (between handlers, never inside a read), and
// delivered again after a handler returns while the notification is still armed and bytes are
// still waiting. Without a handler (the console, the station) no socket notifier is made, so
// that a port may live on a thread that runs no event loop.
//
// IsOpen() stays true from a successful Open until Close, also once the port has failed;
// HasFailed() tells the two apart.
//
// Thread contract: a port is made, used and destroyed on one thread. The free functions
// below may be called from any thread.
class QtSerialPort final : public QObject, public Port {
    Q_OBJECT
public:
    explicit QtSerialPort(QObject* parent = nullptr);
    ~QtSerialPort() override;

    bool Open(const std::string& device) override;
    void Close() override;
    bool IsOpen() const override;
    std::size_t Waiting() override;
    std::optional<std::uint8_t> Take() override;
    void DiscardInput() override;
    bool Write(const std::uint8_t* data, std::size_t size) override;
    bool WaitForInput(std::uint64_t ms, const StopSignal* stop) override;
    void SetReceiveNotification(bool armed) override;
    bool ReceiveNotificationArmed() const override;
    bool HasFailed() const override;
    std::string ErrorText() const override;

    // Whether the driver passes received bytes on at once (asked for at every open); nothing
    // when the driver has no such flag (a pseudo-terminal) or the port is closed.
    std::optional<bool> LowLatency() const;

    // Called on the event loop while the notification is armed and bytes are waiting.
    void SetReceiveHandler(std::function<void()> handler);

private:
    struct Private;

    bool OpenDescriptor(const std::string& device);
    bool ConfigureLine();
    void MarkFailed(const std::string& why);
    void ReleaseIfFailed();
    bool LineHungUp() const;
    // Waits up to `timeoutMs` for input (or for `stop`), then takes what has come.
    void PullFromSystem(int timeoutMs, const StopSignal* stop = nullptr);
    void WatchReadable();
    void OnReadable();
    void QueueDelivery();
    void Deliver();

    std::unique_ptr<Private> d;
};

// The COM names COM1..COM99 that stand for a serial device on this machine (aliases and the
// serial ports of /sys/class/tty), in the port list's sorted order. Opens nothing.
std::vector<PortEntry> ListPorts();

// The device behind one COM name (or a device path, with its links resolved: a
// /dev/serial/by-path name gives the tty the adapter has now): the name's own alias when it
// has one, otherwise the system's port of that number; empty when it stands for nothing now.
// Opens nothing, so it may be asked again and again while other ports are in use.
std::string ResolvePortName(const std::string& nameOrDevice);

}  // namespace vantrel
