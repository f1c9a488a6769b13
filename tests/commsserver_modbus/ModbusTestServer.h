// A Modbus server holding drive registers for the tests and the benchmark: libmodbus in
// a thread of the test process, over TCP on 127.0.0.1 (one connection at a time) or RTU
// on a serial device (one end of a pseudo-terminal pair). Every request is counted;
// registers can be marked missing (answered with "illegal data address"), and the
// server can be made silent, made to send a misbehaving drive's bytes instead of its
// answer, stopped and started again on the same port or device.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

typedef struct _modbus modbus_t;
typedef struct _modbus_mapping_t modbus_mapping_t;

namespace modbustest {

class ModbusTestServer {
public:
    static constexpr int kRegisters = 10000;

    // TCP on 127.0.0.1; port 0 picks a free one (port() tells which).
    explicit ModbusTestServer(int port = 0);
    // RTU on a serial device, answering one unit.
    ModbusTestServer(const std::string& device, int unit);
    ~ModbusTestServer();

    // Both return false with error() set when the server cannot start.
    bool start();
    void stop();  // closes the connection: its client sees it go
    bool running() const { return thread_.joinable(); }
    int port() const { return port_; }
    const std::string& error() const { return error_; }

    std::uint16_t reg(int address);
    void setReg(int address, std::uint16_t value);
    void setMissing(int address, bool missing);   // requests touching it get exception 2
    void setSilent(bool silent) { silent_ = silent; }  // requests are read and not answered
    std::uint64_t requests() const { return requests_.load(); }
    // Set before start(): what is sent back for each request's bytes instead of the answer.
    using RawReply = std::function<std::vector<std::uint8_t>(const std::vector<std::uint8_t>& request)>;
    void setRawReply(RawReply reply) { rawReply_ = std::move(reply); }

private:
    ModbusTestServer(bool serial, const std::string& device, int unit, int port);
    void serve();
    // Answers the request of length bytes in query_.
    void answer(int length);

    const bool serial_;
    std::string device_;
    int unit_ = 1;
    int port_ = 0;
    std::string error_;

    std::mutex lock_;
    std::unique_ptr<modbus_mapping_t, void (*)(modbus_mapping_t*)> mapping_;  // guarded by lock_
    std::set<int> missing_;                                                  // guarded by lock_

    // Made by start(), used by the server thread alone until stop() has joined it.
    std::unique_ptr<modbus_t, void (*)(modbus_t*)> context_;
    int listener_ = -1;
    RawReply rawReply_;  // read-only while the server runs
    std::atomic<bool> stop_{false};
    std::atomic<bool> silent_{false};
    std::atomic<std::uint64_t> requests_{0};
    std::vector<std::uint8_t> query_;  // the server thread's
    std::thread thread_;
};

// Two linked pseudo-terminals made by socat, at <folder>/drive and <folder>/comms.
// Empty error() when they exist.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    const std::string& driveEnd() const { return drive_; }
    const std::string& commsEnd() const { return comms_; }
    const std::string& error() const { return error_; }

private:
    std::string folder_, drive_, comms_, error_;
    int pid_ = -1;
};

}  // namespace modbustest
