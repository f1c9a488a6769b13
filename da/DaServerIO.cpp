// The group-less reads and writes of a DaServer (IOPCItemIO): tags named by item ID,
// read with their max ages or written with value, quality and time, in one synchronous
// transaction of the server-level kinds.
#include <new>

#include "da/DaCreator.h"
#include "da/DaObjectRoot.h"
#include "da/DaServer.h"
#include "da/DaTag.h"

namespace {

// Resolves each ID and checks the right; errors get one entry per ID, tags a null entry
// for each failed one. The answer is S_FALSE when any failed.
HRESULT resolveTags(const DaServer& server, std::span<const std::string> itemIds, uint32_t right,
                    std::vector<DaRef<DaTag>>& tags, std::vector<HRESULT>& errors)
{
    tags.assign(itemIds.size(), nullptr);
    errors.assign(itemIds.size(), S_OK);
    HRESULT answer = S_OK;
    for (size_t i = 0; i < itemIds.size(); ++i) {
        errors[i] = server.resolveItemID(itemIds[i], tags[i]);
        if (SUCCEEDED(errors[i]) && !(tags[i]->getAccessRights() & right))
            errors[i] = OPC_E_BADRIGHTS;
        if (FAILED(errors[i])) {
            tags[i] = nullptr;
            answer = S_FALSE;
        }
    }
    return answer;
}

DaRef<DaRequest> makeServerRequest(DaServer& server, DaTransaction* transaction, DaRequestKind kind, bool write,
                                   DaTag* tag)
{
    DaCreator* creator = server.root() ? server.root()->creator() : nullptr;
    if (creator)
        return creator->createRequest(transaction, kind, write, nullptr, tag);
    return DaRef<DaRequest>(new (std::nothrow) DaRequest(transaction, kind, write, nullptr, tag));
}

DaRef<DaTransaction> makeServerTransaction(DaServer& server, DaTransactionKind kind)
{
    DaCreator* creator = server.root() ? server.root()->creator() : nullptr;
    if (creator)
        return creator->createTransaction(kind, DaConnectionType::sync, nullptr);
    return DaRef<DaTransaction>(new (std::nothrow) DaTransaction(kind, DaConnectionType::sync, nullptr));
}

}  // namespace

HRESULT DaServer::readTags(std::span<const std::string> itemIds, std::span<const uint32_t> maxAges,
                           std::vector<DaReadResult>& results, std::vector<HRESULT>& errors)
{
    try {
        if (itemIds.empty() || maxAges.size() != itemIds.size())
            return E_INVALIDARG;
        std::vector<DaRef<DaTag>> tags;
        HRESULT answer = resolveTags(*this, itemIds, kDaAccessReadable, tags, errors);
        results.clear();
        results.resize(itemIds.size());
        DaRef<DaTransaction> transaction = makeServerTransaction(*this, DaTransactionKind::serverRead);
        if (!transaction)
            return E_OUTOFMEMORY;
        transaction->setReadLcid(lcid());
        std::vector<DaRef<DaRequest>> requests(itemIds.size());
        for (size_t i = 0; i < itemIds.size(); ++i) {
            if (!tags[i])
                continue;
            requests[i] = makeServerRequest(*this, transaction.get(), kDaServerMaxAgeRead, false, tags[i].get());
            if (!requests[i])
                return E_OUTOFMEMORY;
            requests[i]->setMaxAge(maxAges[i]);
            transaction->addRequest(requests[i].get());
        }
        answer = daExecuteAndCollect(*this, *transaction, readTimeoutMs(), requests, errors, answer);
        for (size_t i = 0; i < itemIds.size(); ++i)
            if (requests[i])
                requests[i]->getReadResult(results[i].value.put(), &results[i].quality, &results[i].timestamp);
        return answer;
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}

HRESULT DaServer::writeTags(std::span<const std::string> itemIds, std::span<const VARIANT> values,
                            std::span<const DaWriteQT> qts, std::vector<HRESULT>& errors)
{
    try {
        if (itemIds.empty() || values.size() != itemIds.size() || (!qts.empty() && qts.size() != itemIds.size()))
            return E_INVALIDARG;
        std::vector<DaRef<DaTag>> tags;
        HRESULT answer = resolveTags(*this, itemIds, kDaAccessWritable, tags, errors);
        DaRef<DaTransaction> transaction = makeServerTransaction(*this, DaTransactionKind::serverWrite);
        if (!transaction)
            return E_OUTOFMEMORY;
        std::vector<DaRef<DaRequest>> requests(itemIds.size());
        for (size_t i = 0; i < itemIds.size(); ++i) {
            if (!tags[i])
                continue;
            errors[i] = daCheckWriteValue(*tags[i], values[i]);
            if (FAILED(errors[i])) {
                answer = S_FALSE;
                continue;
            }
            requests[i] = makeServerRequest(*this, transaction.get(), kDaServerDeviceRead, true, tags[i].get());
            if (!requests[i])
                return E_OUTOFMEMORY;
            if (!daSetWriteValue(*requests[i], values[i], qts, i, errors, answer)) {
                requests[i] = nullptr;
                continue;
            }
            transaction->addRequest(requests[i].get());
        }
        return daExecuteAndCollect(*this, *transaction, writeTimeoutMs(), requests, errors, answer);
    } catch (const std::exception&) {
        return E_OUTOFMEMORY;  // nothing of it reaches the client
    }
}
