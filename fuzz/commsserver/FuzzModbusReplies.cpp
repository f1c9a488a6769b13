// A drive, or something pretending to be one, answers our Modbus TCP requests with
// whatever bytes it likes: short frames, another transaction's id, another function,
// exceptions, wrong byte counts, any register values. The backend must never crash or
// hang on them, and a reply that does not answer the request must end it with an error.
//
// The fuzz input is a list of records [control][length][length bytes]. Each record is
// one request of the backend (its operation chosen by the control byte) and also the
// next reply the responder on 127.0.0.1 sends; requests beyond the records close the
// connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commsserver/CommsSettings.h"
#include "commsserver/ModbusTcpBackend.h"

namespace {

enum Control : std::uint8_t {
    kFixHeader = 0x01,   // the record is the reply's PDU; the responder writes a matching header
    kCloseAfter = 0x02,  // the responder closes the connection after replying
    kSilent = 0x04,      // no reply at all
};

struct Slice {
    std::uint8_t control = 0;
    std::vector<std::uint8_t> bytes;
};

// What the responder saw of one request and what it sent back.
struct Exchange {
    bool answeredWell = false;  // the reply is exactly the one a good drive sends
    bool tainted = false;       // bytes of some earlier reply may still wait in the socket
    std::vector<std::uint16_t> registers;  // of a good read reply
    std::size_t length = 0;                // of the good reply to this request
};

void check(bool ok)
{
    if (!ok)
        std::abort();
}

class Responder {
public:
    Responder()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        check(bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(listener_, 4) == 0);
        socklen_t n = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
        std::thread([this] { serve(); }).detach();
    }
    int port() const { return port_; }

    void load(std::deque<Slice> slices)
    {
        std::lock_guard<std::mutex> guard(lock_);
        slices_ = std::move(slices);
        exchanges_.clear();
    }
    std::vector<Exchange> exchanges()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return exchanges_;
    }

private:
    static bool readAll(int s, std::uint8_t* out, std::size_t n)
    {
        while (n > 0) {
            const ssize_t got = recv(s, out, n, 0);
            if (got <= 0)
                return false;
            out += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }

    // The length of the reply a good drive sends to request (header included).
    static std::size_t goodReplyLength(const std::vector<std::uint8_t>& request)
    {
        return request[7] == 3 ? 9 + 2 * static_cast<std::size_t>((request[10] << 8) | request[11]) : 12;
    }

    void serve()
    {
        for (;;) {
            const int s = accept(listener_, nullptr, nullptr);
            if (s < 0)
                continue;
            bool tainted = false;
            for (;;) {
                std::vector<std::uint8_t> request(7);
                if (!readAll(s, request.data(), 7))
                    break;
                const std::size_t rest = static_cast<std::size_t>((request[4] << 8) | request[5]);
                if (rest < 2 || rest > 260)
                    break;
                request.resize(6 + rest);
                if (!readAll(s, request.data() + 7, rest - 1))
                    break;
                Slice slice;
                bool have = false;
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    if (!slices_.empty()) {
                        slice = std::move(slices_.front());
                        slices_.pop_front();
                        have = true;
                    }
                }
                if (!have)
                    break;
                std::vector<std::uint8_t> reply = slice.bytes;
                if (slice.control & kFixHeader) {
                    reply.insert(reply.begin(), request.begin(), request.begin() + 7);
                    const std::size_t length = reply.size() - 6;
                    reply[4] = static_cast<std::uint8_t>(length >> 8);
                    reply[5] = static_cast<std::uint8_t>(length);
                }
                Exchange e = judge(request, reply);
                e.tainted = tainted;
                if (slice.control & kSilent)
                    reply.clear();
                else if (reply.size() > (e.answeredWell ? e.length : 9))
                    tainted = true;  // may have been read only in part
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    exchanges_.push_back(e);
                }
                if (!reply.empty() && send(s, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
                    break;
                if (slice.control & kCloseAfter)
                    break;
            }
            close(s);
        }
    }

    static Exchange judge(const std::vector<std::uint8_t>& request, const std::vector<std::uint8_t>& reply)
    {
        Exchange e;
        const std::size_t length = goodReplyLength(request);
        e.length = length;
        // libmodbus frames a reply by its function and byte count, not by the length
        // in its header: bytes beyond that frame are left for the next request, whose
        // transaction id check then refuses them. Of the header it checks only the
        // transaction id: a wrong protocol id or unit id still passes (open finding).
        if (reply.size() < length || reply[0] != request[0] || reply[1] != request[1] || reply[7] != request[7])
            return e;
        const std::uint8_t function = request[7];
        if (function == 3) {
            if (reply[8] != 2 * request[11] || request[10] != 0)
                return e;
            for (std::size_t i = 9; i + 1 < length; i += 2)
                e.registers.push_back(static_cast<std::uint16_t>((reply[i] << 8) | reply[i + 1]));
        } else if (function == 16) {
            if (reply[10] != request[10] || reply[11] != request[11])
                return e;
        }
        e.answeredWell = true;
        return e;
    }

    int listener_ = -1;
    int port_ = 0;
    std::mutex lock_;
    std::deque<Slice> slices_;         // guarded by lock_
    std::vector<Exchange> exchanges_;  // guarded by lock_
};

Responder& responder()
{
    static Responder* r = new Responder;  // lives as long as the process: its thread does
    return *r;
}

const comms::CommsSettings& settings()
{
    static const comms::CommsSettings s = [] {
        const std::string text = "[comms]\nprotocol = 1\nreplyTimeoutMs = 1\nreconnectMinMs = 1\nreconnectMaxMs = 2\n"
                                 "[node 127.0.0.1]\nport = " +
                                 std::to_string(responder().port()) +
                                 "\n[parameter * #20.5]\ntype = int32\n[parameter * #4.1]\ntype = uint16\n";
        comms::CommsSettings out;
        std::string error;
        check(comms::parseCommsSettings(text, out, error) == kStatusOk);
        return out;
    }();
    return s;
}

const LONG kKnownStatuses[] = {kStatusOk,        kStatusWriteRejected, kStatusNoSuchParameter, kStatusOutOfRange,
                               kStatusNetworkDown, kStatusNodeSilent,  kStatusReplyTimeout,    kStatusBadReply};

bool known(LONG status)
{
    for (LONG s : kKnownStatuses) {
        if (s == status)
            return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::deque<Slice> slices;
    std::vector<std::uint8_t> operations;
    for (std::size_t at = 0; at + 2 <= size && slices.size() < 8;) {
        Slice slice;
        slice.control = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
        slice.bytes.assign(data + at + 2, data + at + 2 + length);
        operations.push_back(static_cast<std::uint8_t>(data[at] >> 3));
        slices.push_back(std::move(slice));
        at += 2 + length;
    }
    responder().load(std::move(slices));
    comms::ModbusTcpBackend backend(settings());
    check(backend.connect() == kStatusOk);
    const std::string node = "127.0.0.1";

    for (const std::uint8_t op : operations) {
        const std::size_t before = responder().exchanges().size();
        LONG status = kStatusOk;
        LONG value = 0;
        bool oneRegisterRead = false;
        switch (op % 5) {
        case 0: {  // int16 at register 302
            const comms::ParameterReading r = backend.readParameter(node, 3, 2);
            status = r.status;
            value = r.value;
            oneRegisterRead = true;
            break;
        }
        case 1:  // int32 at registers 2005..2006
            status = backend.readParameter(node, 20, 5).status;
            break;
        case 2:
            status = backend.writeParameter(node, 3, 2, -7, 0);
            break;
        case 3:
            status = backend.writeParameter(node, 20, 5, 100000, 0);
            break;
        default: {
            std::array<comms::ParameterReading, 6> block;
            status = backend.readBlock(node, 4, 1, block);
            for (const comms::ParameterReading& r : block)
                check(known(r.status));
            break;
        }
        }
        check(known(status));
        const std::vector<Exchange> exchanges = responder().exchanges();
        // A single request whose reply the responder judged bad must fail.
        if (op % 5 < 4 && exchanges.size() == before + 1 && !exchanges.back().tainted) {
            const Exchange& e = exchanges.back();
            if (!e.answeredWell)
                check(status != kStatusOk);
            else if (oneRegisterRead && status == kStatusOk)
                check(value == static_cast<std::int16_t>(e.registers.at(0)));
        }
    }
    return 0;
}
