// The application's group and factory: DriveGroup moves the parameters of its items to a
// faster loop rate when its update rate changes; DriveCreator makes DriveGroups and
// DriveTags, and servers whose transactions end after 5000 ms.
#pragma once

#include "da/DaCreator.h"
#include "da/DaGroup.h"

class DriveComms;
struct AppDiagnostics;

class DriveGroup : public DaGroup {
public:
    // comms may be null (no loop to revise); both are not owned and outlive the group.
    DriveGroup(DaServer* server, DriveComms* comms, AppDiagnostics& diagnostics);

    // Reports success whatever the revision of the loop rates gives.
    HRESULT setUpdateRate(uint32_t requestedMs, uint32_t* revisedMs) override;

protected:
    ~DriveGroup() override = default;

private:
    DriveComms* const comms_;
    AppDiagnostics& diagnostics_;
};

class DriveCreator : public DaCreator {
public:
    static constexpr uint32_t kTransactionLimitMs = 5000;

    DriveCreator(DriveComms* comms, AppDiagnostics& diagnostics) : comms_(comms), diagnostics_(diagnostics) {}

    DaRef<DaServer> createServer(DaObjectRoot* root, uint32_t serverClass, bool publicGroups) override;
    DaRef<DaGroup> createGroup(DaServer* server) override;
    DaRef<DaTag> createTag() override;

private:
    DriveComms* const comms_;
    AppDiagnostics& diagnostics_;
};
