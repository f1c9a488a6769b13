#include "opc/DaOpcCreator.h"

#include <new>

#include "da/DaServer.h"
#include "opc/DaEntry.h"

namespace {

class DaOpcEngineServer final : public DaServer {
public:
    using DaServer::DaServer;

protected:
    // Runs on the engine thread whose callback failed: the COM objects go on the
    // entry's main thread, because their release ends this server's work thread.
    void onClientDisconnected() override { DaEntry::instance().requestClientCheck(); }
};

}  // namespace

DaRef<DaServer> DaOpcCreator::createServer(DaObjectRoot* root, uint32_t serverClass, bool publicGroups)
{
    return DaRef<DaServer>(new (std::nothrow) DaOpcEngineServer(root, serverClass, publicGroups));
}
