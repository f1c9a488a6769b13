// One libmodbus context: the TCP connection to one drive node, or the serial line of an
// RTU bus. Every libmodbus call of the comms server goes through here, and what its
// errno means for us (a status, and whether the connection is still usable) is decided
// in one place, translateModbusError(). The errno text is kept for the diagnostics.
//
// Used by the Modbus backends from CommsServer's worker thread; interrupt() is the one
// call that may come from another thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "commsserver/CommsServerInterface.h"

typedef struct _modbus modbus_t;

namespace comms {

// At most this many holding registers per read request (function 3).
constexpr int kMaxRegistersPerRead = 125;

// The longest pause allowed inside one reply. Bytes of a frame follow one another
// within milliseconds on TCP and on a serial line alike.
constexpr unsigned kMaxByteGapMs = 200;

enum class ModbusOperation { Connect, Read, Write };

// What a failed call leaves of the connection.
enum class LinkEffect {
    Keep,    // the node answered with an exception: the connection is fine
    Reopen,  // an answer came late or garbled: the byte stream may be out of step
    Lost,    // the connection is gone or cannot be made: the network is down
};

struct ModbusFailure {
    LONG status = kStatusOk;
    LinkEffect effect = LinkEffect::Keep;
};

// errno after a failed libmodbus call (EMBX* for a Modbus exception, EMB* for a bad
// reply, ETIMEDOUT, or a socket or serial error) as our status.
ModbusFailure translateModbusError(int error, ModbusOperation operation, bool serial);

class ModbusLink {
public:
    // Null when libmodbus refuses the parameters; why is in error.
    static std::unique_ptr<ModbusLink> tcp(const std::string& host, unsigned port, std::string& error);
    static std::unique_ptr<ModbusLink> rtu(const std::string& device, unsigned baudRate, char parity, int dataBits,
                                           int stopBits, std::string& error);
    ~ModbusLink();
    ModbusLink(const ModbusLink&) = delete;
    ModbusLink& operator=(const ModbusLink&) = delete;

    // How long a request (and a TCP connect) may take to begin its reply; the bytes of
    // a reply may then be at most this far apart, and never more than kMaxByteGapMs.
    void setTimeoutMs(unsigned timeoutMs);

    // kStatusOk, or the translated failure of modbus_connect.
    ModbusFailure open();
    void close();
    bool isOpen() const { return open_; }

    ModbusFailure readRegisters(int unit, int first, int count, std::uint16_t* out);
    ModbusFailure writeRegisters(int unit, int first, int count, const std::uint16_t* values);

    // From any thread: makes a TCP request in progress fail now. A serial request ends
    // by its time-out.
    void interrupt();

    // "read 10.0.1.11:502 unit 1 registers 100..104: Connection refused"; empty until
    // a call fails.
    const std::string& lastError() const { return lastError_; }

private:
    ModbusLink(modbus_t* context, std::string name, bool serial);
    ModbusFailure fail(ModbusOperation operation, const std::string& what);

    modbus_t* context_;
    const std::string name_;
    const bool serial_;
    bool open_ = false;
    std::string lastError_;

    std::mutex socketLock_;  // guards socket_ between open/close and interrupt()
    int socket_ = -1;        // guarded by socketLock_; -1 when closed or serial
};

}  // namespace comms
