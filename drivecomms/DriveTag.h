// A tag bound to one drive parameter: its ParameterRecord (exchanged with the comms
// server by address, so laid out exactly as ICommsServer declares it), the texts that
// name it in diagnostics, and the polling-loop state. The namespace loader fills the
// addressing fields; loop membership and direct requests work on the rest.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "commsserver/CommsServerInterface.h"
#include "drivecomms/DriveTagBase.h"

class DriveTag;
class DaRequest;

// The comms side of every DriveTag: the one direct request queue and polling-loop
// membership. The comms link (DriveComms) installs itself while it runs; without one,
// queued requests stay open until the engine's time-out ends them and activation only
// keeps the set of active items.
class DriveTagComms {
public:
    virtual void queueRequest(DaRequest* request) = 0;
    virtual void signalQueue() = 0;
    virtual void onItemActivated(DriveTag& tag, DaObject* item) = 0;
    virtual void onItemDeactivated(DriveTag& tag, DaObject* item) = 0;

protected:
    ~DriveTagComms() = default;
};

// A tag's node address as the namespace names it and as the comms server is handed it.
// Made once when the address is set and shared, never changed: every loop entry and
// direct request needs the wide text, and converting or copying it each time was a
// good part of what putting a parameter into the loop cost.
struct NodeAddressText {
    std::string narrow;
    std::wstring wide;
};

class DriveTag : public DriveTagBase {
public:
    DriveTag();

    // Process-wide; null detaches. The caller keeps the object alive while installed.
    static void setComms(DriveTagComms* comms);
    static DriveTagComms* comms();

    // Writes and device reads go to the direct request queue (2); the subscription,
    // refresh and cache-side reads are served from the cache (3).
    uint32_t getRequestHandling(DaRequest* request) const override;
    void queueRequest(DaRequest* request, bool read) override;
    void signalQueue(bool read) override;
    void onItemActivated(DaObject* item) override;
    void onItemDeactivated(DaObject* item) override;
    void onItemDisconnected(DaObject* item) override;

    // Addressing, set by the namespace loader.
    void setNodeAddress(std::string_view address);
    std::string getNodeAddress() const;
    // Never null.
    std::shared_ptr<const NodeAddressText> nodeAddressText() const;
    void setMenuNumber(LONG menu);
    LONG getMenuNumber() const;
    void setParameterNumber(LONG parameter);
    LONG getParameterNumber() const;
    void setObjectType(LONG objectType);
    LONG getObjectType() const;
    void setDescription(std::string_view description);
    std::string getDescription() const;
    void setParameterLabel(std::string_view label);
    std::string getParameterLabel() const;

    // The whole record, a copy taken under the tag lock: a direct request hands its own
    // copy to the comms server by address, so no lock is held across that call.
    ParameterRecord getRecord() const;

    // Polling-loop state.
    uint32_t getLoopRateMs() const;
    void setLoopRateMs(uint32_t rateMs);
    bool isInLoop() const;
    void setInLoop(bool inLoop);
    // Distinct active items that refer to this tag ("unique connections"). Both return
    // the number after the change.
    size_t addActiveItem(DaObject* item);
    // addActiveItem that also tells the number before the call (for diagnostics) and
    // whether the item was listed already, in one take of the lock.
    struct ActiveItemChange {
        size_t before = 0;
        bool listed = false;
    };
    ActiveItemChange listActiveItem(DaObject* item);
    size_t removeActiveItem(DaObject* item);
    size_t activeItemCount() const;
    bool hasActiveItem(DaObject* item) const;
    // The record as a read reply or loop update brought it.
    void setRecord(const ParameterRecord& record);
    // Words 4 and 8 of a write.
    void setWrittenValue(LONG value, LONG decimalPlaces);

    // Loop membership is changed by one thread at a time without holding a lock across
    // the comms server call: whoever finds the tag idle claims it; a caller that finds
    // it claimed leaves a note that the claimant works off before releasing.
    bool claimLoopWork();
    // setLoopWanted then claimLoopWork, in one take of the lock.
    bool wantLoopAndClaim(bool wanted);
    // Whether the tag should be in the loop; what the claimant works towards.
    void setLoopWanted(bool wanted);
    bool isLoopWanted() const;
    // What the claimant works from, taken together.
    struct LoopView {
        bool wanted = false;
        bool inLoop = false;
        ParameterRecord record{};
        std::shared_ptr<const NodeAddressText> address;
    };
    LoopView loopView() const;
    // True when another caller left a note meanwhile (the claim is then kept).
    bool releaseLoopWork();

protected:
    ~DriveTag() override = default;

private:
    bool claimHeld();  // lock_ held

    ParameterRecord record_{};        // guarded by lock_
    std::string description_;         // guarded by lock_
    std::string parameterLabel_;      // guarded by lock_
    std::shared_ptr<const NodeAddressText> nodeAddress_;  // guarded by lock_; never null
    std::vector<DaObject*> activeItems_;  // guarded by lock_; the items hold the tag, not back
    uint32_t loopRateMs_ = kDaNoUpdateRate;  // guarded by lock_
    bool inLoop_ = false;             // guarded by lock_
    bool loopWanted_ = false;         // guarded by lock_
    bool loopWorkClaimed_ = false;    // guarded by lock_
    bool loopWorkNoted_ = false;      // guarded by lock_
};
