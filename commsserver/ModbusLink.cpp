#include "commsserver/ModbusLink.h"

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace comms {

ModbusFailure translateModbusError(int error, ModbusOperation operation, bool serial)
{
    const bool write = operation == ModbusOperation::Write;
    switch (error) {
    // The node answered with a Modbus exception: it is there, the request was wrong.
    case EMBXILADD:
        return {kStatusNoSuchParameter, LinkEffect::Keep};
    case EMBXILVAL:
        return {write ? kStatusOutOfRange : kStatusBadReply, LinkEffect::Keep};
    case EMBXILFUN:
    case EMBXSFAIL:
    case EMBXNACK:
    case EMBXMEMPAR:
        return {write ? kStatusWriteRejected : kStatusBadReply, LinkEffect::Keep};
    case EMBXSBUSY:
    case EMBXACK:
    // Exception codes 0 and 9 mean nothing, yet they come in a well-formed frame: the
    // node is there and the connection in step, not a network that went down.
    case MODBUS_ENOBASE:
    case MODBUS_ENOBASE + MODBUS_EXCEPTION_NOT_DEFINED:
        return {kStatusBadReply, LinkEffect::Keep};
    // A gateway says the drive behind it did not answer.
    case EMBXGPATH:
    case EMBXGTAR:
        return {kStatusNodeSilent, LinkEffect::Keep};
    // Replies that do not fit the request. After a garbled frame the next bytes may
    // belong to it, so the stream is started afresh.
    case EMBBADCRC:
    case EMBBADDATA:
    case EMBBADEXC:
    case EMBUNKEXC:
    case EMBMDATA:
    case EMBBADSLAVE:
        return {kStatusBadReply, LinkEffect::Reopen};
    case ETIMEDOUT:
        // A serial drive that stays quiet is silent; a TCP connect that times out is a
        // network that cannot be reached. A late write reply may still have applied.
        if (operation == ModbusOperation::Connect)
            return {kStatusNetworkDown, LinkEffect::Lost};
        return {write ? kStatusReplyTimeout : kStatusNodeSilent, LinkEffect::Reopen};
    default:
        // Connection refused, reset or broken pipe, a serial port that went away, and
        // the socket errors that winsock reports without errno (errno 0 or stale).
        (void)serial;
        return {kStatusNetworkDown, LinkEffect::Lost};
    }
}

std::unique_ptr<ModbusLink> ModbusLink::tcp(const std::string& host, unsigned port, std::string& error)
{
    const std::string service = std::to_string(port);
    modbus_t* context = modbus_new_tcp_pi(host.c_str(), service.c_str());
    if (!context) {
        error = "Modbus TCP " + host + ":" + service + ": " + modbus_strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<ModbusLink>(new ModbusLink(context, host + ":" + service, false));
}

std::unique_ptr<ModbusLink> ModbusLink::rtu(const std::string& device, unsigned baudRate, char parity, int dataBits,
                                            int stopBits, std::string& error)
{
    modbus_t* context = modbus_new_rtu(device.c_str(), static_cast<int>(baudRate), parity, dataBits, stopBits);
    if (!context) {
        error = "Modbus RTU " + device + ": " + modbus_strerror(errno);
        return nullptr;
    }
    return std::unique_ptr<ModbusLink>(new ModbusLink(context, device, true));
}

ModbusLink::ModbusLink(modbus_t* context, std::string name, bool serial)
    : context_(context), name_(std::move(name)), serial_(serial)
{
}

ModbusLink::~ModbusLink()
{
    close();
    modbus_free(context_);
}

void ModbusLink::setTimeoutMs(unsigned timeoutMs)
{
    modbus_set_response_timeout(context_, timeoutMs / 1000, (timeoutMs % 1000) * 1000);
    // The rest of a reply that has begun must come as promptly: left at libmodbus's own
    // half second, a drive that sends a cut-off frame held every request that long,
    // whatever the reply time-out.
    const unsigned gapMs = std::min(timeoutMs, kMaxByteGapMs);
    modbus_set_byte_timeout(context_, gapMs / 1000, (gapMs % 1000) * 1000);
}

ModbusFailure ModbusLink::fail(ModbusOperation operation, const std::string& what)
{
    const int error = errno;
    lastError_ = what + ": " + modbus_strerror(error);
    ModbusFailure failure = translateModbusError(error, operation, serial_);
    if (failure.effect != LinkEffect::Keep)
        close();
    return failure;
}

ModbusFailure ModbusLink::open()
{
    if (open_)
        return {};
    if (modbus_connect(context_) == -1)
        return fail(ModbusOperation::Connect, "connect " + name_);
    open_ = true;
    if (!serial_) {
        std::lock_guard<std::mutex> guard(socketLock_);
        socket_ = modbus_get_socket(context_);
    }
    return {};
}

void ModbusLink::close()
{
    {
        std::lock_guard<std::mutex> guard(socketLock_);
        socket_ = -1;
    }
    if (open_)
        modbus_close(context_);
    open_ = false;
}

void ModbusLink::interrupt()
{
    std::lock_guard<std::mutex> guard(socketLock_);
    if (socket_ == -1)
        return;
#ifdef _WIN32
    shutdown(static_cast<SOCKET>(socket_), SD_BOTH);
#else
    shutdown(socket_, SHUT_RDWR);
#endif
}

ModbusFailure ModbusLink::readRegisters(int unit, int first, int count, std::uint16_t* out)
{
    if (modbus_set_slave(context_, unit) == -1 || modbus_read_registers(context_, first, count, out) != count)
        return fail(ModbusOperation::Read, "read " + name_ + " unit " + std::to_string(unit) + " registers " +
                                               std::to_string(first) + ".." + std::to_string(first + count - 1));
    return {};
}

ModbusFailure ModbusLink::writeRegisters(int unit, int first, int count, const std::uint16_t* values)
{
    // A 16-bit parameter goes with "write single register", which every drive knows.
    const int written = modbus_set_slave(context_, unit) == -1 ? -1
                        : count == 1 ? modbus_write_register(context_, first, values[0])
                                     : modbus_write_registers(context_, first, count, values);
    if (written != (count == 1 ? 1 : count))
        return fail(ModbusOperation::Write, "write " + name_ + " unit " + std::to_string(unit) + " register " +
                                                std::to_string(first) + "+" + std::to_string(count));
    return {};
}

}  // namespace comms
