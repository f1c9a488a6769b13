// Direct read and write: one request at a time, started on the comms event thread and
// completed by its reply (or by the deadline, or by going offline). Only the comms event
// thread runs these, so the in-progress flag and the ID counters need no lock, and
// no lock is held across the comms server's calls.
#include <cmath>

#include "common/TVCmnTick.h"
#include "common/TVCmnVariant.h"
#include "da/DaRequest.h"
#include "drivecomms/DriveComms.h"
#include "namespace/ValueConversion.h"

namespace {
constexpr HRESULT kResultBadType = static_cast<HRESULT>(0xC0040004L);    // OPC_E_BADTYPE
constexpr HRESULT kResultRange = static_cast<HRESULT>(0xC004000BL);      // OPC_E_RANGE
constexpr HRESULT kResultBadRights = static_cast<HRESULT>(0xC0040006L);  // OPC_E_BADRIGHTS
constexpr uint16_t kDiagBoth = kDiagCommsError | kDiagNormalComms;
constexpr LONG kAnalogEu = 1;

void setCacheQuality(DriveTag& tag, uint16_t quality)
{
    if (DaRef<DaCache> cache = tag.getCache())
        cache->setQuality(quality);
}

// A written value outside an analog tag's EU range never reaches the drive.
bool outsideEuRange(DriveTag& tag, const VARIANT& written)
{
    if (tag.getEUType() != kAnalogEu)
        return false;
    TVCmnVariant range;
    if (FAILED(tag.getEUInfo(range.put())) || range.vt() != (VT_ARRAY | VT_R8))
        return false;
    TVCmnVariant asDouble(written);
    if (FAILED(asDouble.changeType(VT_R8, 0x409)))
        return false;
    double* bounds = nullptr;
    SAFEARRAY* array = range.get().parray;
    if (!array || FAILED(SafeArrayAccessData(array, reinterpret_cast<void**>(&bounds))))
        return false;
    const double low = bounds[0], high = bounds[1];
    SafeArrayUnaccessData(array);
    const double v = asDouble.get().dblVal;
    return std::isnan(v) || v < low || v > high;
}
}  // namespace

DriveComms::Reading DriveComms::readingTime(const ParameterRecord& record)
{
    const uint32_t now = DaClock::tick();
    uint32_t ageMs = record.readTick == 0 ? 0 : TVCmnTick::elapsed(static_cast<uint32_t>(record.readTick), now);
    if (ageMs > kLongestReadingAgeMs)
        ageMs = 0;  // not our clock: taken as read now, as a comms server that gives no time
    // Whole milliseconds on both ends may make the age up to one too long; the timestamp
    // gives that back rather than date a value before it was read.
    const uint32_t stampAgeMs = ageMs == 0 ? 0 : ageMs - 1;
    return {now - ageMs, daUintToFileTime(DaClock::now() - uint64_t(stampAgeMs) * 10000)};
}

int DriveComms::storeDriveValue(DriveTag& tag, const ParameterRecord& record, bool* converted)
{
    TVCmnVariant value;
    *converted = SUCCEEDED(driveValueToVariant({record.value, record.decimalPlaces}, tag.getDatatype(),
                                               fullPrecisionMode(), value.put()));
    DaRef<DaCache> cache = tag.getCache();
    if (!cache)
        return 0;
    // The cache keeps whichever of a loop update and a direct reply was read last,
    // whatever order they reach it in.
    const Reading when = readingTime(record);
    const HRESULT stored = *converted ? cache->storeReading(&value.get(), kQualityGood, when.timestamp, when.tick)
                                      : cache->storeReading(nullptr, kQualityConfigError, when.timestamp, when.tick);
    if (stored != S_OK)
        return 0;
    tag.setRecord(record);
    return *converted ? daUpdateTagValue(tag, nullptr, 0, nullptr) : 0;
}

void DriveComms::startDirectRead(DriveTag& tag, DaRequest& request)
{
    if (!isOnline()) {
        setCacheQuality(tag, kQualityOutOfService);
        request.complete(S_OK, false, kQualityOutOfService, true, false);
        postDiagnostic(diagnostics_, kDiagBoth, "Read request with server offline");
        return;
    }
    if (requestInProgress_) {
        request.complete(S_OK, false, kQualityUncertain, false, true);
        postDiagnostic(diagnostics_, kDiagBoth, "Read request with transaction in progress");
        return;
    }
    const LONG handle = directHandle_.load();
    if (handle < 0) {
        setCacheQuality(tag, kQualityCommFailure);
        request.complete(S_OK, false, kQualityCommFailure, false, false);
        postDiagnostic(diagnostics_, kDiagBoth, "No user ID!");
        return;
    }
    ParameterRecord record = tag.getRecord();
    const std::shared_ptr<const NodeAddressText> address = tag.nodeAddressText();
    LONG r = kStatusNetworkDown;
    if (HRESULT hr = checked(server()->ReadParameter(handle, address->wide.c_str(), &record, &r)); FAILED(hr))
        r = hr;  // the comms server is gone: reported with the call's own code
    if (r == kStatusOk) {
        requestInProgress_ = true;
        requestStartTick_ = TVCmnTick::now();
        ++readIds_;
        postDiagnostic(diagnostics_, kDiagNormalComms, "Direct IO read request started, ID: %i", int(readIds_));
    } else if (r == kStatusNetworkDown) {
        setCacheQuality(tag, kQualityCommFailure);
        request.complete(S_OK, false, kQualityCommFailure, false, false);
        postDiagnostic(diagnostics_, kDiagCommsError,
                       "Error on read request start, error -17 (PC may be disconnected from network)");
        requestInProgress_ = false;
    } else {
        setCacheQuality(tag, kQualityBad);
        request.complete(S_OK, false, kQualityBad, false, false);
        postDiagnostic(diagnostics_, kDiagCommsError, "Error on read request start, error %i", int(r));
        requestInProgress_ = false;
    }
}

void DriveComms::startDirectWrite(DriveTag& tag, DaRequest& request)
{
    if (!isOnline()) {
        request.complete(E_FAIL, true, kQualityOutOfService, false, false);
        postDiagnostic(diagnostics_, kDiagBoth, "Write request with server offline");
        return;
    }
    if (requestInProgress_) {
        request.complete(E_FAIL, true, kQualityBad, false, false);
        postDiagnostic(diagnostics_, kDiagBoth, "Write request with transaction in progress");
        return;
    }
    if (!(tag.getAccessRights() & kDaAccessWritable)) {
        request.complete(E_FAIL, true, kQualityConfigError, false, false);
        postDiagnostic(diagnostics_, kDiagBoth, "Write request to read only value");
        return;
    }
    const LONG handle = directHandle_.load();
    if (handle < 0) {
        request.complete(E_FAIL, true, kQualityCommFailure, false, false);
        postDiagnostic(diagnostics_, kDiagBoth, "No user ID!");
        return;
    }
    TVCmnVariant written;
    request.getWriteValue(written.put());
    DriveValue drive;
    const HRESULT converted = variantToDriveValue(written.get(), fullPrecisionMode(), drive);
    if (converted == kResultRange || (SUCCEEDED(converted) && outsideEuRange(tag, written.get()))) {
        requestInProgress_ = false;
        request.complete(kResultRange, true, kQualityEuExceeded, false, false);
        postDiagnostic(diagnostics_, kDiagCommsError, "Write value out of range for node %s, #%i.%i",
                       tag.getNodeAddress().c_str(), int(tag.getMenuNumber()), int(tag.getParameterNumber()));
        return;
    }
    if (FAILED(converted)) {
        requestInProgress_ = false;
        request.complete(kResultBadType, true, kQualityConfigError, false, false);
        postDiagnostic(diagnostics_, kDiagCommsError, "Failed to convert from type");
        return;
    }
    tag.setWrittenValue(drive.value, drive.decimalPlaces);
    ParameterRecord record = tag.getRecord();
    const std::shared_ptr<const NodeAddressText> address = tag.nodeAddressText();
    LONG r = kStatusNetworkDown;
    if (HRESULT hr = checked(server()->WriteParameter(handle, address->wide.c_str(), &record, &r)); FAILED(hr))
        r = hr;
    if (r == kStatusOk) {
        requestInProgress_ = true;
        requestStartTick_ = TVCmnTick::now();
        ++writeIds_;
        postDiagnostic(diagnostics_, kDiagNormalComms, "Direct IO write request started ID: %i", int(writeIds_));
    } else if (r == kStatusNetworkDown) {
        requestInProgress_ = false;
        request.complete(E_FAIL, true, kQualityCommFailure, false, false);
        postDiagnostic(diagnostics_, kDiagCommsError,
                       "Error on write request start, error -17 (PC may be disconnected from network)");
    } else {
        requestInProgress_ = false;
        request.complete(E_FAIL, true, kQualityBad, false, false);
        postDiagnostic(diagnostics_, kDiagCommsError, "Error on write request start, error %i", int(r));
    }
}

void DriveComms::processReply(DriveTag& tag, DaRequest& request, WPARAM kind, LONG status)
{
    const bool write = request.isWrite();
    if (!isOnline()) {
        if (write) {
            request.complete(E_FAIL, true, kQualityOutOfService, false, false);
        } else {
            setCacheQuality(tag, kQualityOutOfService);
            request.complete(S_OK, false, kQualityUncertain, false, true);
        }
        postDiagnostic(diagnostics_, kDiagCommsError, "Read or write reply recieved when offline");
        return;
    }
    if (!requestInProgress_)
        return;  // a stray reply
    ParameterRecord record = tag.getRecord();
    record.reserved3 = record.value = record.decimalPlaces = record.readTick = 0;
    record.floatValue = 0.0;
    tag.setRecord(record);
    const std::string node = tag.getNodeAddress();
    const int menu = int(record.menu), parameter = int(record.parameter);
    if (kind == kReplyTimeout) {
        if (write) {
            request.complete(E_FAIL, true, kQualityDeviceFailure, false, false);
        } else {
            setCacheQuality(tag, kQualityDeviceFailure);
            request.complete(S_OK, false, kQualityUncertain, false, true);
        }
        postDiagnostic(diagnostics_, kDiagCommsError, "Timeout message recieved");
    } else if (kind == kReplyRead && write) {
        setCacheQuality(tag, kQualityUncertain);
        request.complete(S_OK, false, kQualityUncertain, false, true);
        postDiagnostic(diagnostics_, kDiagCommsError,
                       "IO read conf when write expected from  node %s, #%i.%i, status code %i", node.c_str(), menu,
                       parameter, int(status));
    } else if (kind == kReplyRead) {
        if (status == kStatusSuccess) {
            ParameterRecord reply{};
            bool converted = false;
            if (FAILED(checked(server()->GetReply(directHandle_.load(), &reply))))
                setCacheQuality(tag, kQualityCommFailure);  // the reply went with the comms server
            else
                storeDriveValue(tag, reply, &converted);
            if (converted)
                postDiagnostic(diagnostics_, kDiagNormalComms, "IO read reply from  node %s, #%i.%i, value %i, ID: %i",
                               node.c_str(), menu, parameter, int(reply.value), int(readIds_));
            else
                postDiagnostic(diagnostics_, kDiagCommsError, "IO value type unknown from node %s, #%i.%i",
                               node.c_str(), menu, parameter);
        } else {
            setCacheQuality(tag, status == kStatusNoSuchParameter || status == kStatusWriteRejected ? kQualityConfigError
                                                                                                    : kQualityBad);
            postDiagnostic(diagnostics_, kDiagCommsError,
                           "IO read failure reply from  node %s, #%i.%i, status code %i", node.c_str(), menu,
                           parameter, int(status));
        }
        request.complete(S_OK, false, kQualityUncertain, false, true);
    } else if (kind == kReplyWriteConfirmed && write) {
        if (status == kStatusSuccess) {
            request.complete(S_OK, true, kQualityGood, false, true);
            postDiagnostic(diagnostics_, kDiagNormalComms, "IO write reply from  node %s, #%i.%i, ID: %i",
                           node.c_str(), menu, parameter, int(writeIds_));
        } else {
            switch (status) {
            case kStatusOutOfRange: request.complete(kResultRange, true, kQualityEuExceeded, false, false); break;
            case kStatusBadValue: request.complete(E_FAIL, true, kQualityConfigError, false, false); break;
            case kStatusWriteRejected: request.complete(kResultBadRights, true, kQualityConfigError, false, false); break;
            default: request.complete(E_FAIL, true, kQualityBad, false, false); break;
            }
            postDiagnostic(diagnostics_, kDiagCommsError,
                           "IO write failure reply from  node %s, #%i.%i, status code %i", node.c_str(), menu,
                           parameter, int(status));
        }
    } else if (kind == kReplyWriteConfirmed) {
        request.complete(E_FAIL, true, kQualityUncertain, false, false);
        postDiagnostic(diagnostics_, kDiagCommsError,
                       "IO write conf when read expected from  node %s, #%i.%i, status code %i", node.c_str(), menu,
                       parameter, int(status));
    } else {
        request.complete(S_OK, false, kQualityUncertain, false, true);
    }
    requestInProgress_ = false;
}
