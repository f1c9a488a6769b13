// The application's binding of the loader's diagnostics: every line goes through
// postDiagnostic, which shows it by its class and traces namespace lines. Lines that
// would be neither shown nor traced are not even formatted (a 100,000-parameter file
// makes well over a million of them).
#pragma once

#include "app/Diagnostics.h"
#include "namespace/NamespaceLoader.h"

class NamespaceAppDiagnostics : public NamespaceDiagnostics {
public:
    explicit NamespaceAppDiagnostics(AppDiagnostics& app) : app_(app) {}

    bool wants(uint16_t diagClass) const override
    {
        if (diagClass == kDiagAlways || (app_.flags.load(std::memory_order_relaxed) & diagClass) != 0)
            return true;
        return diagClass == kDiagNamespace && app_.trace->isOn(kTraceInfo, kTraceGroupNamespaceDiag);
    }
    void post(uint16_t diagClass, const std::string& message) override
    {
        postDiagnostic(app_, diagClass, "%s", message.c_str());
    }

private:
    AppDiagnostics& app_;  // the application object's; outlives the load
};
