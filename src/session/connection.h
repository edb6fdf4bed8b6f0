#pragma once

#include <cstdint>
#include <string>

#include "operator_display.h"
#include "serial/serial_channel.h"
#include "session_events.h"

namespace vantrel {

// Recognition of a reset instrument, its model, and the state of the connection.
//
// Off-Line lasts until the first OpenPort; after that the session is Connection-Lost until
// IdentifyInstrument brings it On-Line, and any silent read of the dialogue, a restart or a
// new OpenPort brings it back to Connection-Lost.
class Connection {
public:
    Connection(SerialChannel& channel, OperatorDisplay& display,
               SessionEvents& events = NoSessionEvents());

    // What the status line adds after the port's error when the port itself has failed: the
    // window asks the operator to select the port again; a front end that tries the port
    // again by itself says nothing. Empty by default.
    void SetPortFailedAdvice(const std::string& advice) { m_portFailedAdvice = advice; }

    // Connection-Lost first, then (re)opens `device` and sends one carriage return. An empty
    // device (no port selected) or a device that cannot be opened leaves the port closed and
    // says why in the status line. True when the port is open.
    bool OpenPort(const std::string& device);

    // The receive notification's handler: collects a four-character signature, sets the
    // model, sends a carriage return and waits for the ">" prompt, then goes On-Line and tells
    // the observer which model came. Does nothing while On-Line. When the signature matches no model or the prompt does
    // not come, nothing changes but the model just recognised; a port that failed on the
    // way goes to Connection-Lost so that the operator is told.
    void IdentifyInstrument();

    // On-Line: notification disarmed, Auto checked, Run enabled with caption "&Auto" and
    // focus, status "Instrument On-Line". Returns false.
    bool GoOnLine();
    // Connection-Lost: notification armed, Run disabled, status "Connection Lost - Reset the
    // Instrument", or, when the port itself has failed, the port's error and the advice set
    // with SetPortFailedAdvice. Returns true, which the operations pass on as their failure
    // result.
    bool GoConnectionLost();

    // Leaves the boot loader's menu with its exit command "7" while On-Line (the phase Leave),
    // also after the session's stop: a menu left waiting would take the next program's bytes
    // for commands. Changes nothing else: the caller closes the port or listens for the next
    // reset. True when the command went out.
    bool Leave();

    bool OnLine() const { return m_onLine; }
    // 0, 1 or 2 once a signature has been recognised; -1 before.
    int InstrumentModel() const { return m_model; }

    SerialChannel& channel() { return m_channel; }
    OperatorDisplay& display() { return m_display; }
    SessionEvents& events() { return m_events; }

private:
    // Up to four characters taken straight from the port, each within the signature gap of
    // the one before; empty when nothing (or a NUL) was waiting.
    std::string CollectSignature();
    // Reads lines until ReceivedLine is ">", within the prompt bound. False when a read
    // stayed silent or the bound passed.
    bool AwaitPrompt();

    SerialChannel& m_channel;
    OperatorDisplay& m_display;
    SessionEvents& m_events;
    std::string m_portFailedAdvice;
    bool m_onLine = false;
    int m_model = -1;
};

}  // namespace vantrel
