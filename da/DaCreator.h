// The factory through which the engine makes every object, so that the application
// supplies its own classes (the drive parameter tag, its group) by overriding the
// operations it needs. Each answers null when the object cannot be made; none throws.
#pragma once

#include <cstdint>

#include "common/TVCmnRefCounted.h"
#include "da/DaEngine.h"
#include "da/DaObject.h"

class DaCache;
class DaGroup;
class DaItem;
class DaNamespaceRoot;
class DaNode;
class DaObjectRoot;
class DaProperty;
class DaRequest;
class DaServer;
class DaTag;
class DaTransaction;

class DaCreator : public TVCmnRefCounted {
public:
    DaCreator() = default;

    // In the order the application knows them.
    virtual DaRef<DaServer> createServer(DaObjectRoot* root, uint32_t serverClass, bool publicGroups);
    virtual DaRef<DaGroup> createGroup(DaServer* server);
    virtual DaRef<DaItem> createItem(DaGroup* group);
    virtual DaRef<DaRequest> createRequest(DaTransaction* transaction, DaRequestKind kind, bool write, DaItem* item,
                                           DaTag* tag);
    virtual DaRef<DaCache> createCache();
    virtual DaRef<DaTag> createTag();
    virtual DaRef<DaNode> createNode();
    virtual DaRef<DaProperty> createProperty(uint32_t id);
    virtual DaRef<DaTransaction> createTransaction(DaTransactionKind kind, DaConnectionType connection,
                                                   DaGroup* group);
    virtual DaRef<DaNamespaceRoot> createNameSpaceRoot();
    virtual DaRef<DaObjectRoot> createObjectRoot();

protected:
    ~DaCreator() override = default;
};
