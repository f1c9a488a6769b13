#include "commsserver/CommsServerInterface.h"
#include "drivecomms/CommsNotifyTarget.h"

void dispatchCommsMessage(CommsNotifySink& sink, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kCommsNotify)
        sink.onCommsNotify(wParam, lParam);
    else if (message == kCommsNotify2 && wParam == kUpdatesWaiting)
        sink.onUpdatesWaiting();
}
