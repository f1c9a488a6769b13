// Base of every tag that stands for a drive parameter: a DaTag that tracks the items
// connected to it and is served from the cache first. Request routing comes with the
// drive parameter item behaviour in DriveTag.
#pragma once

#include "da/DaTag.h"

class DriveTagBase : public DaTag {
public:
    DriveTagBase();

protected:
    ~DriveTagBase() override = default;
};
