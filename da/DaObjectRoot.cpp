#include "da/DaObjectRoot.h"

#include <algorithm>

#include "common/TVCmnException.h"

DaObjectRoot::DaObjectRoot(DaCreator* creator) : DaObject(kDaCodeObjectRoot), creator_(creator)
{
    publicGroups_ = creator_ ? creator_->createServer(this, 0, true)
                             : DaRef<DaServer>(new DaServer(this, 0, true));
    if (!publicGroups_)
        tvCmnThrowOutOfMemory();
}

DaObjectRoot::~DaObjectRoot() { shutdown(); }

void DaObjectRoot::setNamespaceRoot(uint32_t serverClass, DaNamespaceRoot* root)
{
    if (serverClass >= kMaxServerClasses)
        return;
    TVCmnScopedLock hold(lock_);
    namespaceRoots_[serverClass].reset(root);
}

DaRef<DaNamespaceRoot> DaObjectRoot::namespaceRoot(uint32_t serverClass) const
{
    if (serverClass >= kMaxServerClasses)
        return nullptr;
    TVCmnScopedLock hold(lock_);
    return namespaceRoots_[serverClass];
}

void DaObjectRoot::setV1Formats(CLIPFORMAT data, CLIPFORMAT dataTime, CLIPFORMAT writeComplete)
{
    v1Data_.store(data, std::memory_order_relaxed);
    v1DataTime_.store(dataTime, std::memory_order_relaxed);
    v1WriteComplete_.store(writeComplete, std::memory_order_relaxed);
}

DaRef<DaServer> DaObjectRoot::createServer(uint32_t serverClass, bool startThread)
{
    if (serverClass >= kMaxServerClasses)
        return nullptr;
    DaRef<DaServer> server;
    try {
        server = creator_ ? creator_->createServer(this, serverClass, false)
                          : DaRef<DaServer>(new DaServer(this, serverClass, false));
        if (!server)
            return nullptr;
        {
            TVCmnScopedLock hold(lock_);
            servers_.push_back(server);
        }
        if (startThread && !server->startWorkThread()) {
            removeServer(server.get());
            return nullptr;
        }
    } catch (const std::exception&) {
        if (server)
            removeServer(server.get());
        return nullptr;
    }
    return server;
}

void DaObjectRoot::removeServer(DaServer* server)
{
    if (!server)
        return;
    server->shutdown();
    DaRef<DaServer> removed;
    TVCmnScopedLock hold(lock_);
    auto it = std::find_if(servers_.begin(), servers_.end(), [server](const DaRef<DaServer>& s) { return s.get() == server; });
    if (it != servers_.end()) {
        removed = std::move(*it);
        servers_.erase(it);
    }
    hold.unlock();
}

void DaObjectRoot::getServers(std::vector<DaRef<DaServer>>& servers) const
{
    TVCmnScopedLock hold(lock_);
    servers = servers_;
}

void DaObjectRoot::shutdown()
{
    std::vector<DaRef<DaServer>> servers;
    {
        TVCmnScopedLock hold(lock_);
        servers.swap(servers_);
    }
    for (const DaRef<DaServer>& server : servers)
        server->shutdown();
    if (publicGroups_)
        publicGroups_->shutdown();
}
