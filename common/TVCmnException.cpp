#include "common/TVCmnException.h"

TVCmnException::TVCmnException(const std::string& text)
    : dynamic_(std::make_shared<const std::string>(text))
{
}

void tvCmnThrowOutOfMemory()
{
    throw TVCmnException(TVCmnException::kOutOfMemory);
}
