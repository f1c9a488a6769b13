#include "da/DaCreator.h"

#include <new>

#include "da/DaCache.h"
#include "da/DaGroup.h"
#include "da/DaItem.h"
#include "da/DaNamespaceRoot.h"
#include "da/DaNode.h"
#include "da/DaObjectRoot.h"
#include "da/DaProperty.h"
#include "da/DaRequest.h"
#include "da/DaServer.h"
#include "da/DaTag.h"
#include "da/DaTransaction.h"

namespace {
// Constructors may run out of memory part-way (names, lists); the factory answers null.
template <class T, class... Args>
DaRef<T> make(Args&&... args)
{
    try {
        return DaRef<T>(new (std::nothrow) T(std::forward<Args>(args)...));
    } catch (const std::exception&) {
        return nullptr;
    }
}
}  // namespace

DaRef<DaServer> DaCreator::createServer(DaObjectRoot* root, uint32_t serverClass, bool publicGroups)
{
    return make<DaServer>(root, serverClass, publicGroups);
}

DaRef<DaGroup> DaCreator::createGroup(DaServer* server) { return make<DaGroup>(server); }

DaRef<DaItem> DaCreator::createItem(DaGroup*) { return make<DaItem>(); }

DaRef<DaRequest> DaCreator::createRequest(DaTransaction* transaction, DaRequestKind kind, bool write, DaItem* item,
                                          DaTag* tag)
{
    return make<DaRequest>(transaction, kind, write, item, tag);
}

DaRef<DaCache> DaCreator::createCache() { return make<DaCache>(); }

// Tags made here track their items, so that device updates can find them.
DaRef<DaTag> DaCreator::createTag() { return make<DaTag>(true); }

DaRef<DaNode> DaCreator::createNode() { return make<DaNode>(); }

DaRef<DaProperty> DaCreator::createProperty(uint32_t id) { return make<DaProperty>(id); }

DaRef<DaTransaction> DaCreator::createTransaction(DaTransactionKind kind, DaConnectionType connection,
                                                  DaGroup* group)
{
    return make<DaTransaction>(kind, connection, group);
}

DaRef<DaNamespaceRoot> DaCreator::createNameSpaceRoot() { return make<DaNamespaceRoot>(); }

DaRef<DaObjectRoot> DaCreator::createObjectRoot() { return make<DaObjectRoot>(this); }
