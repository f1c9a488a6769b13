// The message source of the native build: the table compiled from DaMessages.mc, and
// no system texts.
#include "opc/DaMessageTable.h"

const DaMessageSource& DaMessageSource::platform()
{
    static const DaCompiledMessageSource source;
    return source;
}
