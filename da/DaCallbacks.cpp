// The client callbacks of a completed transaction: V2 (IOPCDataCallback) arrays and V1
// streams. Runs on the thread that completed the transaction with no engine lock held;
// whatever the client does (fail, throw, hang up) stays here.
#include <algorithm>

#include "common/TVCmnVariantText.h"
#include "da/DaEngineTrace.h"
#include "da/DaGroup.h"
#include "da/DaItem.h"
#include "da/DaServer.h"
#include "da/DaTransaction.h"
#include "da/DaV1Stream.h"

struct DaTransaction::ReadEntry {
    OPCHANDLE clientHandle = 0;
    WORD quality = 0;
    FILETIME timestamp = {0, 0};
    TVCmnVariant value;
    HRESULT error = S_OK;
};

namespace {
bool changeTested(DaRequestKind kind)
{
    return kind == kDaCyclicEntry || kind == kDaRefreshReport || kind == kDaPolledRefreshItem ||
           kind == kDaReportKind;
}
}  // namespace

bool DaTransaction::collectReadEntries(DaServer* server, const DaConnection& connection,
                                       std::vector<ReadEntry>& entries, HRESULT& masterQuality,
                                       HRESULT& masterError)
{
    LCID lcid = group_->lcid();
    if (lcid == kDaEngineLcid)
        lcid = server->lcid();
    const bool groupActive = group_->isActive();
    const bool traceEntries = DaEngineTrace::isOn(kDaTraceDebug);
    std::vector<DaRef<DaRequest>> requests;
    getRequests(requests);
    entries.reserve(requests.size());
    const FILETIME now = daUintToFileTime(DaClock::now());
    for (const DaRef<DaRequest>& request : requests) {
        const uint8_t state = request->state();
        if (!(state & DaRequest::kReported))
            continue;
        DaItem* item = request->getItem();
        if (!item)
            continue;
        const DaRequestKind kind = request->kind();
        const bool itemActive = item->isActive();
        if (changeTested(kind) && (!itemActive || !groupActive))
            continue;  // the change test reports nothing of inactive items
        request->addState(DaRequest::kProcessed);
        ReadEntry entry;
        entry.error = request->getResult();
        DaRef<DaCache> cache;
        if (FAILED(entry.error)) {
            entry.quality = kDaQualityBad;
            entry.timestamp = now;
        } else if (!(cache = request->getCache())) {
            entry.quality = kDaQualityConfigError;
            entry.timestamp = now;
        } else {
            HRESULT error = S_OK;
            cache->get(entry.value.put(), &entry.quality, &entry.timestamp, request.get(),
                       item->requestedDatatype(), lcid, &error);
            if (FAILED(error) && SUCCEEDED(entry.error))
                entry.error = error;
        }
        if (((kind & kDaRequestCache) || ((kind & kDaRequestMaxAge) && request->getMaxAge() == kDaAnyAge)) &&
            (!itemActive || !groupActive))
            entry.quality = kDaQualityOutOfService;
        if (changeTested(kind) && !item->hasChanged(connection.key, entry.value.get(), entry.quality))
            continue;
        entry.clientHandle = item->clientHandle();
        if (!TVCmnQuality::isGood(entry.quality))
            masterQuality = S_FALSE;
        if (entry.error != S_OK)
            masterError = S_FALSE;
        if (traceEntries)
            DA_TRACE(kDaTraceDebug, this, " [%3.3d] send value:%s; quality:0x%X", int(entries.size()),
                     TVCmnVariantText::valueText(entry.value.get()).c_str(), unsigned(entry.quality));
        item->setLastSent(connection.key, entry.value.get(), entry.quality);
        entries.push_back(std::move(entry));
    }
    return !entries.empty();
}

void DaTransaction::callV2(DaServer* server, const DaConnection& connection, std::vector<ReadEntry>& entries,
                           HRESULT masterQuality, HRESULT masterError, bool dataChange)
{
    const DWORD count = DWORD(entries.size());
    std::vector<OPCHANDLE> handles(count);
    std::vector<VARIANT> values(count);
    std::vector<WORD> qualities(count);
    std::vector<FILETIME> timestamps(count);
    std::vector<HRESULT> errors(count);
    for (DWORD i = 0; i < count; ++i) {
        handles[i] = entries[i].clientHandle;
        VariantInit(&values[i]);
        entries[i].value.detachTo(values[i]);  // the entries give their values away
        qualities[i] = entries[i].quality;
        timestamps[i] = entries[i].timestamp;
        errors[i] = entries[i].error;
    }
    const int level = masterQuality == S_OK && masterError == S_OK ? kDaTraceInfo : kDaTraceError;
    const DWORD transactionId = isCyclic() ? 0 : clientTransactionId();
    const OPCHANDLE groupHandle = group_->clientHandle();
    HRESULT hr = S_OK;
    if (dataChange) {
        DA_TRACE(level, this, "call V2.0 data change callback for %lu items; [0x%X][0x%X]", (unsigned long)count,
                 unsigned(masterQuality), unsigned(masterError));
        setLastSendTime(DaClock::now());
        try {
            hr = connection.callback->OnDataChange(transactionId, groupHandle, masterQuality, masterError, count,
                                                   handles.data(), values.data(), qualities.data(),
                                                   timestamps.data(), errors.data());
            if (FAILED(hr))
                DA_TRACE(kDaTraceError, this, "IOPCDataCallback::OnDataChange [0x%X]", unsigned(hr));
        } catch (...) {
            DA_TRACE(kDaTraceError, this, "exception in OnDataChange");
        }
    } else {
        DA_TRACE(level, this, "call read complete callback for %lu items [0x%X][0x%X]", (unsigned long)count,
                 unsigned(masterQuality), unsigned(masterError));
        try {
            hr = connection.callback->OnReadComplete(transactionId, groupHandle, masterQuality, masterError, count,
                                                     handles.data(), values.data(), qualities.data(),
                                                     timestamps.data(), errors.data());
            if (FAILED(hr))
                DA_TRACE(kDaTraceError, this, "IOPCDataCallback::OnReadComplete [0x%X]", unsigned(hr));
        } catch (...) {
            DA_TRACE(kDaTraceError, this, "exception in OnReadComplete");
        }
    }
    for (VARIANT& value : values)
        VariantClear(&value);
    afterCallbackFailure(server, hr);
}

void DaTransaction::callV1Data(DaServer* server, const DaConnection& connection,
                               const std::vector<ReadEntry>& entries, HRESULT masterQuality)
{
    std::vector<DaV1DataEntry> items(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        items[i].clientHandle = entries[i].clientHandle;
        items[i].quality = entries[i].quality;
        items[i].timestamp = entries[i].timestamp;
        items[i].value = &entries[i].value.get();
    }
    const bool withTime = connection.kind == DaConnection::Kind::v1DataTime;
    std::vector<uint8_t> stream;
    if (!daBuildV1DataStream(withTime, group_->clientHandle(), isCyclic() ? 0 : serverTransactionId(), items, stream))
        return;  // out of memory: nothing is sent
    STGMEDIUM medium = {};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = daStreamToHGlobal(stream);
    if (!medium.hGlobal)
        return;
    FORMATETC format = {connection.format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DA_TRACE(kDaTraceInfo, this, "call V1.0 data change callback for %lu items; result: 0x%X",
             (unsigned long)entries.size(), unsigned(masterQuality));
    if (isCyclic())
        setLastSendTime(DaClock::now());
    try {
        connection.adviseSink->OnDataChange(&format, &medium);
    } catch (...) {
        DA_TRACE(kDaTraceError, this, "exception in OnDataChange V1(read)");
    }
    ReleaseStgMedium(&medium);
    (void)server;
}

void DaTransaction::sendReadCallbacks(DaServer* server, const DaConnection& connection)
{
    const bool v2 = connection.kind == DaConnection::Kind::v2;
    const bool dataChange = kind_ != DaTransactionKind::asyncRead;
    if (DaEngineTrace::isOn(kDaTraceDebug)) {
        const char* what = !v2 ? (connection.kind == DaConnection::Kind::v1Data
                                      ? "process V1.0 data change callback"
                                      : "process V1.0 data change callback (with timestamp)")
                               : (dataChange ? "process V2.0 data change callback" : "process V2.0 read complete callback");
        DA_TRACE(kDaTraceDebug, this, "%s", what);
    }
    std::vector<ReadEntry> entries;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    try {
        if (!collectReadEntries(server, connection, entries, masterQuality, masterError))
            return;  // nothing changed: no callback
        if (v2)
            callV2(server, connection, entries, masterQuality, masterError, dataChange);
        else
            callV1Data(server, connection, entries, masterQuality);
    } catch (const std::exception&) {
        return;  // out of memory while building: nothing is sent
    }
    if (dataChange) {
        server->setLastUpdateTime(DaClock::now());
    }
}

void DaTransaction::sendWriteCallbacks(DaServer* server, const DaConnection& connection)
{
    const bool v2 = connection.kind == DaConnection::Kind::v2;
    DA_TRACE(kDaTraceDebug, this, "%s", v2 ? "process V2.0 write complete callback" : "process V1.0 write complete callback");
    std::vector<DaRef<DaRequest>> requests;
    getRequests(requests);
    std::vector<OPCHANDLE> handles;
    std::vector<HRESULT> errors;
    HRESULT masterError = S_OK;
    try {
        for (const DaRef<DaRequest>& request : requests) {
            if (!(request->state() & DaRequest::kReported) || !request->getItem())
                continue;
            request->addState(DaRequest::kProcessed);
            const HRESULT result = request->getResult();
            DA_TRACE(kDaTraceDebug, this, " [%3.3d] send result:0x%X", int(handles.size()), unsigned(result));
            handles.push_back(request->getItem()->clientHandle());
            errors.push_back(result);
            if (result != S_OK)
                masterError = S_FALSE;
        }
    } catch (const std::exception&) {
        return;
    }
    if (handles.empty())
        return;
    const DWORD count = DWORD(handles.size());
    if (v2) {
        DA_TRACE(kDaTraceInfo, this, "call V2.0 write complete callback for %lu items; result: 0x%X",
                 (unsigned long)count, unsigned(masterError));
        HRESULT hr = S_OK;
        try {
            hr = connection.callback->OnWriteComplete(clientTransactionId(), group_->clientHandle(), masterError,
                                                      count, handles.data(), errors.data());
            if (FAILED(hr))
                DA_TRACE(kDaTraceError, this, "IOPCDataCallback::OnWriteComplete [0x%X]", unsigned(hr));
        } catch (...) {
            DA_TRACE(kDaTraceError, this, "exception in OnWriteComplete");
        }
        afterCallbackFailure(server, hr);
        return;
    }
    std::vector<DaV1WriteEntry> entries(count);
    for (DWORD i = 0; i < count; ++i)
        entries[i] = {handles[i], errors[i]};
    std::vector<uint8_t> stream;
    if (!daBuildV1WriteCompleteStream(group_->clientHandle(), serverTransactionId(), entries, stream))
        return;
    STGMEDIUM medium = {};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = daStreamToHGlobal(stream);
    if (!medium.hGlobal)
        return;
    FORMATETC format = {connection.format, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DA_TRACE(kDaTraceInfo, this, "call V1.0 write complete callback for %lu items; result: 0x%X",
             (unsigned long)count, unsigned(masterError));
    try {
        connection.adviseSink->OnDataChange(&format, &medium);
    } catch (...) {
        DA_TRACE(kDaTraceError, this, "exception in OnDataChange V1(write)");
    }
    ReleaseStgMedium(&medium);
}

void DaTransaction::sendCancelComplete(const DaConnection& connection)
{
    DA_TRACE(kDaTraceInfo, this, "call cancel complete callback");
    HRESULT hr = S_OK;
    try {
        hr = connection.callback->OnCancelComplete(clientTransactionId(), group_->clientHandle());
        if (FAILED(hr))
            DA_TRACE(kDaTraceError, this, "IOPCDataCallback::OnCancelComplete [0x%X]", unsigned(hr));
    } catch (...) {
        DA_TRACE(kDaTraceError, this, "exception in OnCancelComplete");
    }
    if (group_ && group_->server())
        afterCallbackFailure(group_->server(), hr);
}

void DaTransaction::sendKeepAlive(DaServer* server)
{
    if (!group_ || (connection_ != DaConnectionType::v2 && connection_ != DaConnectionType::all))
        return;
    std::vector<DaConnection> connections;
    group_->getConnections(connections);
    HRESULT failed = S_OK;
    for (const DaConnection& connection : connections) {
        if (server->isClientDead())
            break;
        if (connection.kind != DaConnection::Kind::v2)
            continue;
        DA_TRACE(kDaTraceInfo, this, "call V2.0 data change callback - keep alive");
        setLastSendTime(DaClock::now());
        OPCHANDLE handle = 0;
        VARIANT value;
        VariantInit(&value);
        WORD quality = 0;
        FILETIME timestamp = {0, 0};
        HRESULT error = E_FAIL;
        try {
            const HRESULT hr = connection.callback->OnDataChange(0, group_->clientHandle(), S_OK, S_OK, 0, &handle,
                                                                 &value, &quality, &timestamp, &error);
            if (FAILED(hr)) {
                DA_TRACE(kDaTraceError, this, "IOPCDataCallback::OnDataChange [0x%X]", unsigned(hr));
                if (server->noteCallResult(hr))
                    failed = hr;
            }
        } catch (...) {
            DA_TRACE(kDaTraceError, this, "exception in OnDataChange");
        }
    }
    if (daIsDeadClientCode(failed))
        server->disconnectClient();
}
