// A small address space shared by the da tests:
//   Drive1 (node) . Speed (node) . {Setpoint, Actual} (tags), Drive1 . Status (tag)
//   Drive2 (node, empty)
#pragma once

#include <string>

#include "da/DaNamespaceRoot.h"
#include "da/DaTag.h"

inline DaRef<DaTag> makeTag(const std::string& name, VARTYPE vt = VT_I4, uint32_t rights = kDaAccessReadable)
{
    DaRef<DaTag> tag(new DaTag);
    tag->setName(name);
    tag->setDatatype(vt);
    tag->setAccessRights(rights);
    tag->setDefaultHandling(3);
    return tag;
}

inline DaRef<DaNode> makeNode(const std::string& name)
{
    DaRef<DaNode> node(new DaNode);
    node->setName(name);
    return node;
}

struct DaTestTree {
    DaRef<DaNamespaceRoot> root{new DaNamespaceRoot};
    DaRef<DaNode> drive1 = makeNode("Drive1");
    DaRef<DaNode> speed = makeNode("Speed");
    DaRef<DaNode> drive2 = makeNode("Drive2");
    DaRef<DaTag> setpoint = makeTag("Setpoint", VT_R4, kDaAccessReadable | kDaAccessWritable);
    DaRef<DaTag> actual = makeTag("Actual", VT_R4);
    DaRef<DaTag> status = makeTag("Status", VT_UI2);

    DaTestTree()
    {
        root->addChild(drive1.get());
        root->addChild(drive2.get());
        drive1->addChild(speed.get());
        drive1->addChild(status.get());
        speed->addChild(setpoint.get());
        speed->addChild(actual.get());
    }
    ~DaTestTree() { root->removeAllChildren(); }
};
