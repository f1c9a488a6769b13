// The top of the engine's object tree: the factory, the namespace roots (one per server
// class), the settings every server reads (minimum update rate and keep-alive, the V1
// stream formats) and one DaServer per client connection, plus the server that owns the
// public groups. The server entry of the OPC layer holds the one root of the process.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

#include "common/TVCmnLock.h"
#include "da/DaClientSinks.h"
#include "da/DaCreator.h"
#include "da/DaNamespaceRoot.h"
#include "da/DaServer.h"

class DaObjectRoot : public DaObject {
public:
    static constexpr size_t kMaxServerClasses = 10;

    explicit DaObjectRoot(DaCreator* creator);

    DaCreator* creator() const noexcept { return creator_.get(); }

    void setNamespaceRoot(uint32_t serverClass, DaNamespaceRoot* root);
    DaRef<DaNamespaceRoot> namespaceRoot(uint32_t serverClass) const;

    uint32_t minimumUpdateRateMs() const { return minimumUpdateRateMs_.load(std::memory_order_relaxed); }
    void setMinimumUpdateRateMs(uint32_t ms) { minimumUpdateRateMs_.store(ms, std::memory_order_relaxed); }
    uint32_t minimumKeepAliveMs() const { return minimumKeepAliveMs_.load(std::memory_order_relaxed); }
    void setMinimumKeepAliveMs(uint32_t ms) { minimumKeepAliveMs_.store(ms, std::memory_order_relaxed); }
    // The registered clipboard format numbers of the three V1 streams.
    void setV1Formats(CLIPFORMAT data, CLIPFORMAT dataTime, CLIPFORMAT writeComplete);
    CLIPFORMAT v1DataFormat() const { return v1Data_.load(std::memory_order_relaxed); }
    CLIPFORMAT v1DataTimeFormat() const { return v1DataTime_.load(std::memory_order_relaxed); }
    CLIPFORMAT v1WriteCompleteFormat() const { return v1WriteComplete_.load(std::memory_order_relaxed); }

    // A server for a new client connection, with its work thread running (null when
    // the factory fails). startThread false leaves the thread to the caller (tests
    // drive work() by hand).
    DaRef<DaServer> createServer(uint32_t serverClass, bool startThread = true);
    // Ends the server's thread and forgets it; the caller's reference may be the last.
    void removeServer(DaServer* server);
    void getServers(std::vector<DaRef<DaServer>>& servers) const;
    DaServer* publicGroups() const noexcept { return publicGroups_.get(); }
    // Ends every server (process shutdown).
    void shutdown();

    std::string traceObjectName() const override { return "DaS Object Root"; }
    const char* typeTag() const override { return "DOR"; }

protected:
    ~DaObjectRoot() override;

private:
    const DaRef<DaCreator> creator_;
    std::atomic<uint32_t> minimumUpdateRateMs_{kDaDefaultMinimumUpdateRateMs};
    std::atomic<uint32_t> minimumKeepAliveMs_{kDaDefaultMinimumKeepAliveMs};
    std::atomic<CLIPFORMAT> v1Data_{0};
    std::atomic<CLIPFORMAT> v1DataTime_{0};
    std::atomic<CLIPFORMAT> v1WriteComplete_{0};
    DaRef<DaServer> publicGroups_;  // set in the constructor

    mutable TVCmnLock lock_;
    std::array<DaRef<DaNamespaceRoot>, kMaxServerClasses> namespaceRoots_ KV_GUARDED_BY(lock_);
    std::vector<DaRef<DaServer>> servers_ KV_GUARDED_BY(lock_);
};
