// The one definition of the comms server GUIDs in the Linux build; on Windows they
// come from widl's commsserver_i.c.
#define INITGUID
#include "commsserver/CommsServerInterface.h"
