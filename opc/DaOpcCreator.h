// The engine factory of an OPC server process: its DaServer tells the entry when the
// engine found the client dead (a callback failed with a dead-client code), so that
// the entry's main thread takes the client's COM objects down. Applications derive
// their own factory (drive tags, groups) from this one. Windows only.
#pragma once

#include "da/DaCreator.h"

class DaOpcCreator : public DaCreator {
public:
    DaRef<DaServer> createServer(DaObjectRoot* root, uint32_t serverClass, bool publicGroups) override;

protected:
    ~DaOpcCreator() override = default;
};
