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

#include <algorithm>
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
    : serial_(serial), device_(device), unit_(unit), port_(port), mapping_(modbus_mapping_new(0, 0, kRegisters, 0)),
      query_(MODBUS_TCP_MAX_ADU_LENGTH)
{
}

ModbusTestServer::~ModbusTestServer()
{
    stop();
    modbus_mapping_free(mapping_);
}

bool ModbusTestServer::start()
{
    if (running())
        return true;
    stop_ = false;
    if (serial_) {
        context_ = modbus_new_rtu(device_.c_str(), 19200, 'N', 8, 1);
        if (!context_ || modbus_set_slave(context_, unit_) == -1 || modbus_connect(context_) == -1) {
            error_ = "RTU server on " + device_ + ": " + modbus_strerror(errno);
            if (context_)
                modbus_free(context_);
            context_ = nullptr;
            return false;
        }
        modbus_flush(context_);  // a drive that powers up has no old requests
        thread_ = std::thread([this] { serveRtu(); });
        return true;
    }
    context_ = modbus_new_tcp("127.0.0.1", port_);
    listener_ = context_ ? modbus_tcp_listen(context_, 8) : -1;
    if (listener_ == -1) {
        error_ = "TCP server on 127.0.0.1:" + std::to_string(port_) + ": " + modbus_strerror(errno);
        if (context_)
            modbus_free(context_);
        context_ = nullptr;
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.sin_port);  // kept for a restart on the same port
    const int listener = listener_;
    thread_ = std::thread([this, listener] { serveTcp(listener); });
    return true;
}

void ModbusTestServer::stop()
{
    if (!thread_.joinable())
        return;
    stop_ = true;
    thread_.join();
    if (serial_)
        modbus_close(context_);
    modbus_free(context_);
    context_ = nullptr;
    listener_ = -1;
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

void ModbusTestServer::answer(modbus_t* context, int length)
{
    ++requests_;
    if (silent_)
        return;
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
    modbus_reply(context, query_.data(), length, mapping_);
}

void ModbusTestServer::serveTcp(int listener)
{
    std::vector<int> clients;
    while (!stop_) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(listener, &set);
        int top = listener;
        for (int fd : clients) {
            FD_SET(fd, &set);
            top = std::max(top, fd);
        }
        timeval tv{0, kPollMs * 1000};
        if (select(top + 1, &set, nullptr, nullptr, &tv) <= 0)
            continue;
        if (FD_ISSET(listener, &set)) {
            const int fd = accept(listener, nullptr, nullptr);
            if (fd != -1)
                clients.push_back(fd);
        }
        for (auto it = clients.begin(); it != clients.end();) {
            if (!FD_ISSET(*it, &set)) {
                ++it;
                continue;
            }
            modbus_set_socket(context_, *it);
            const int length = modbus_receive(context_, query_.data());
            if (length > 0)
                answer(context_, length);
            if (length == -1) {
                close(*it);
                it = clients.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (int fd : clients)
        close(fd);
    close(listener);
    modbus_set_socket(context_, -1);
}

void ModbusTestServer::serveRtu()
{
    const int fd = modbus_get_socket(context_);
    while (!stop_) {
        if (!readable(fd, kPollMs))
            continue;
        const int length = modbus_receive(context_, query_.data());
        if (length > 0)
            answer(context_, length);
        else if (length == -1)
            modbus_flush(context_);
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
