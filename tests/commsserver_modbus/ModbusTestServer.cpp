#include "tests/commsserver_modbus/ModbusTestServer.h"

#include <modbus.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

namespace modbustest {

namespace {

constexpr int kPollMs = 20;  // how soon the server thread notices stop()

bool readable(int fd, int timeoutMs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv{0, timeoutMs * 1000};
    return select(fd + 1, &set, nullptr, nullptr, &tv) > 0;
}

}  // namespace

ModbusTestServer::ModbusTestServer(int port) : ModbusTestServer(false, {}, 1, port) {}

ModbusTestServer::ModbusTestServer(const std::string& device, int unit) : ModbusTestServer(true, device, unit, 0) {}

ModbusTestServer::ModbusTestServer(bool serial, const std::string& device, int unit, int port)
    : serial_(serial), device_(device), unit_(unit), port_(port),
      mapping_(modbus_mapping_new(0, 0, kRegisters, 0), &modbus_mapping_free), context_(nullptr, &modbus_free),
      query_(MODBUS_TCP_MAX_ADU_LENGTH)
{
}

ModbusTestServer::~ModbusTestServer()
{
    stop();
}

bool ModbusTestServer::start()
{
    if (running())
        return true;
    stop_ = false;
    context_.reset(serial_ ? modbus_new_rtu(device_.c_str(), 19200, 'N', 8, 1) : modbus_new_tcp("127.0.0.1", port_));
    modbus_t* context = context_.get();
    bool ready = context != nullptr;
    if (ready && serial_)
        ready = modbus_set_slave(context, unit_) != -1 && modbus_connect(context) != -1;
    if (ready && !serial_)
        ready = (listener_ = modbus_tcp_listen(context, 1)) != -1;
    if (!ready) {
        error_ = (serial_ ? "RTU server on " + device_ : "TCP server on 127.0.0.1:" + std::to_string(port_)) + ": " +
                 modbus_strerror(errno);
        context_.reset();
        return false;
    }
    if (serial_) {
        modbus_flush(context);  // a drive that powers up has no old requests
    } else {
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length);
        port_ = ntohs(bound.sin_port);  // kept for a restart on the same port
    }
    thread_ = std::thread([this] { serve(); });
    return true;
}

void ModbusTestServer::stop()
{
    if (!thread_.joinable())
        return;
    stop_ = true;
    thread_.join();
    modbus_close(context_.get());  // the line, or the connection being served
    if (listener_ != -1)
        close(listener_);
    listener_ = -1;
    context_.reset();
}

std::uint16_t ModbusTestServer::reg(int address)
{
    std::lock_guard<std::mutex> guard(lock_);
    return mapping_->tab_registers[address];
}

void ModbusTestServer::setReg(int address, std::uint16_t value)
{
    std::lock_guard<std::mutex> guard(lock_);
    mapping_->tab_registers[address] = value;
}

void ModbusTestServer::setMissing(int address, bool missing)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (missing)
        missing_.insert(address);
    else
        missing_.erase(address);
}

void ModbusTestServer::answer(int length)
{
    ++requests_;
    modbus_t* context = context_.get();
    if (silent_)
        return;
    if (rawReply_) {
        const std::vector<std::uint8_t> bytes = rawReply_({query_.begin(), query_.begin() + length});
        send(modbus_get_socket(context), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        return;
    }
    const int h = modbus_get_header_length(context);
    const int function = query_[h];
    const int first = (query_[h + 1] << 8) | query_[h + 2];
    const int count = function == 3 || function == 16 ? (query_[h + 3] << 8) | query_[h + 4] : 1;
    std::lock_guard<std::mutex> guard(lock_);
    auto hole = missing_.lower_bound(first);
    if (hole != missing_.end() && *hole < first + count) {
        modbus_reply_exception(context, query_.data(), MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
        return;
    }
    modbus_reply(context, query_.data(), length, mapping_.get());
}

// One connection at a time: each test's comms server keeps one per drive host, and a
// connection that comes while another is served waits in the listen backlog.
void ModbusTestServer::serve()
{
    modbus_t* context = context_.get();
    while (!stop_) {
        const int fd = modbus_get_socket(context);
        if (fd == -1) {  // TCP, no connection
            if (readable(listener_, kPollMs))
                modbus_tcp_accept(context, &listener_);
            continue;
        }
        if (!readable(fd, kPollMs))
            continue;
        const int length = modbus_receive(context, query_.data());
        if (length > 0) {
            answer(length);
        } else if (length == -1 && serial_) {
            modbus_flush(context);
        } else if (length == -1) {  // the client went: wait for the next one
            modbus_close(context);
            modbus_set_socket(context, -1);
        }
    }
}

PtyPair::PtyPair()
{
    char folder[] = "/tmp/kv-rtu-XXXXXX";
    if (!mkdtemp(folder)) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    folder_ = folder;
    drive_ = folder_ + "/drive";
    comms_ = folder_ + "/comms";
    const std::string a = "pty,raw,echo=0,link=" + drive_;
    const std::string b = "pty,raw,echo=0,link=" + comms_;
    pid_ = fork();
    if (pid_ == 0) {
        execlp("socat", "socat", a.c_str(), b.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (access(drive_.c_str(), F_OK) == 0 && access(comms_.c_str(), F_OK) == 0)
            return;
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "socat ended at once (apt-get install socat): the RTU tests need it for a pseudo-terminal pair";
            return;
        }
        usleep(10000);  // socat gives no other sign that its ends exist
    }
    error_ = "socat did not make " + drive_ + " and " + comms_ + " within 10 s";
}

PtyPair::~PtyPair()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (!folder_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder_, ec);
    }
}

}  // namespace modbustest
