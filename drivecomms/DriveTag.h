// A tag bound to one drive parameter: its ParameterRecord (exchanged with the comms
// server by address, so laid out exactly as ICommsServer declares it), the texts that
// name it in diagnostics, and the polling-loop state. The namespace loader fills the
// addressing fields; loop membership and direct requests work on the rest.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "commsserver/CommsServerInterface.h"
#include "drivecomms/DriveTagBase.h"

class DriveTag : public DriveTagBase {
public:
    DriveTag();

    // Addressing, set by the namespace loader.
    void setNodeAddress(std::string_view address);
    std::string getNodeAddress() const;
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
    // Held while a direct request is started and while its reply is processed.
    DaLock& requestLock() KV_RETURN_CAPABILITY(requestLock_) { return requestLock_; }

    // Polling-loop state.
    uint32_t getLoopRateMs() const;
    void setLoopRateMs(uint32_t rateMs);
    bool isInLoop() const;
    void setInLoop(bool inLoop);
    // Distinct active items that refer to this tag ("unique connections"). Both return
    // the number after the change.
    size_t addActiveItem(DaObject* item);
    size_t removeActiveItem(DaObject* item);
    size_t activeItemCount() const;

protected:
    ~DriveTag() override = default;

private:
    ParameterRecord record_{};        // guarded by lock_
    std::string description_;         // guarded by lock_
    std::string parameterLabel_;      // guarded by lock_
    std::string nodeAddress_;         // guarded by lock_
    std::vector<DaObject*> activeItems_;  // guarded by lock_; the items hold the tag, not back
    uint32_t loopRateMs_ = kDaNoUpdateRate;  // guarded by lock_
    bool inLoop_ = false;             // guarded by lock_
    DaLock requestLock_;
};
