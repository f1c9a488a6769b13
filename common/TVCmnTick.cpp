#include "common/TVCmnTick.h"

#include "platform/win.h"

TVCmnTickMs TVCmnTick::now()
{
    return static_cast<TVCmnTickMs>(GetTickCount());
}
