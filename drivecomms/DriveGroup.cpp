#include "drivecomms/DriveGroup.h"

#include <vector>

#include "app/Diagnostics.h"
#include "da/DaServer.h"
#include "drivecomms/DriveComms.h"

DriveGroup::DriveGroup(DaServer* server, DriveComms* comms, AppDiagnostics& diagnostics)
    : DaGroup(server), comms_(comms), diagnostics_(diagnostics)
{
}

HRESULT DriveGroup::setUpdateRate(uint32_t requestedMs, uint32_t* revisedMs)
{
    const HRESULT hr = DaGroup::setUpdateRate(requestedMs, revisedMs);
    postDiagnostic(diagnostics_, kDiagNormalComms, "Group %i setting update rate to %i", int(serverHandle()),
                   int(requestedMs));
    if (comms_) {
        std::vector<DaRef<DaItem>> items;
        getItems(items);
        for (const DaRef<DaItem>& item : items)
            if (DaTag* tag = item->tag(); tag && tag->isKind(kDaCodeTag))
                comms_->refreshUpdateRate(*static_cast<DriveTag*>(tag));
    }
    return SUCCEEDED(hr) ? hr : S_OK;
}

DaRef<DaServer> DriveCreator::createServer(DaObjectRoot* root, uint32_t serverClass, bool publicGroups)
{
    DaRef<DaServer> server = DaCreator::createServer(root, serverClass, publicGroups);
    if (server)
        server->setTimeouts(kTransactionLimitMs, kTransactionLimitMs);
    return server;
}

DaRef<DaGroup> DriveCreator::createGroup(DaServer* server)
{
    return DaRef<DaGroup>(new DriveGroup(server, comms_, diagnostics_));
}

DaRef<DaTag> DriveCreator::createTag()
{
    return DaRef<DaTag>(new DriveTag);
}
