// Any byte string as a namespace document: the load must end, without a crash, leak or
// undefined behaviour, and leave a tree whose every tag can be found again by its ID.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "da/DaNamespaceRoot.h"
#include "da/DaTag.h"
#include "namespace/NamespaceLoader.h"

namespace {

class CountingDiagnostics : public NamespaceDiagnostics {
public:
    void post(uint16_t, const std::string& message) override
    {
        if (message.size() > 512)
            __builtin_trap();  // lines are bounded like postDiagnostic's
        ++lines;
    }
    size_t lines = 0;
};

void checkTree(const DaNamespaceRoot& root, const DaNode& node)
{
    std::vector<DaRef<DaElement>> children;
    node.getChildren(children);
    for (const auto& child : children) {
        if (child->isNode()) {
            checkTree(root, static_cast<const DaNode&>(*child));
        } else if (root.findTag(child->itemId()).get() != child.get()) {
            __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    DaRef<DaNamespaceRoot> root(new DaNamespaceRoot);
    CountingDiagnostics diagnostics;
    int32_t protocol = -1;
    loadNamespaceDocument(data, size, *root, diagnostics, protocol);
    checkTree(*root, *root);
    root->removeAllChildren();
    return 0;
}
