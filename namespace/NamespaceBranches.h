// The branch kinds a namespace file builds: one per drive node, option slot and menu.
// Each is a plain DaNode that remembers the one number or text it was made from.
#pragma once

#include <cstdint>
#include <string>

#include "da/DaNode.h"

class DriveNodeBranch : public DaNode {
public:
    std::string nodeAddress;  // written by the loader before the branch is attached
};

class SlotBranch : public DaNode {
public:
    uint8_t slotNumber = 0;  // written by the loader before the branch is attached
};

class MenuBranch : public DaNode {
public:
    uint8_t menuNumber = 0;  // loader thread only; tags copy it when their number is read
};
