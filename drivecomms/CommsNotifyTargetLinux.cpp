#include "drivecomms/CommsNotifyTarget.h"
#include "platform/MessageTarget.h"

struct CommsNotifyTarget::Impl {
    explicit Impl(CommsNotifySink& sink)
        : target([&sink](const kv::platform::PostedMessage& m) { dispatchCommsMessage(sink, m.message, m.wParam, m.lParam); })
    {
    }
    kv::platform::MessageTarget target;
};

CommsNotifyTarget::CommsNotifyTarget(CommsNotifySink& sink) : impl_(new Impl(sink)) {}

CommsNotifyTarget::~CommsNotifyTarget() = default;

HWND CommsNotifyTarget::hwnd() const
{
    return impl_->target.hwnd();
}
